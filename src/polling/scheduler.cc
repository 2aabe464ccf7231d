// The poll scheduler: the poll timer's tick.
#include <fmt/format.h>

#include <algorithm>

#include "polling/internal.h"
#include "polling/polling.h"

namespace quorlan {

namespace polling {

void ClearValues(TrendListEntry& e) {
  for (int k = 1; k <= kTrendObjects; ++k) {
    e.PollSampledValue[k] = -1;
    e.PollSavedValue[k] = 0;
  }
}

int16_t& CountedPending(PollState& st, const TrendListEntry& e) {
  return e.PollCountedV3 ? st.PendingV3 : st.Pending;
}

void EndWithoutAnswer(PollState& st, int16_t i) {
  ++st.Counters.PollsGivenUp;
  TrendListEntry& e = st.TrendList[i];
  e.PollPending = false;
  e.PollMessId = 0;
  e.PollEngineId.clear();
  e.PollEngineBoots = 0;
  e.PollEngineTime = 0;
  ClearValues(e);
  CalcPollNextTime(st, i);
  LowerPendingCount(CountedPending(st, e));
  // Last, once the entry is closed: the node's event may be sent as a trap.
  HealthNoAnswer(st, e);
}

void EndFailedSend(PollState& st, int16_t i) {
  TrendListEntry& e = st.TrendList[i];
  HealthProblem(st, e, "the request could not be sent");
  ClearValues(e);
  e.PollPending = false;
  CalcPollNextTime(st, i);
  LowerPendingCount(CountedPending(st, e));
}

}  // namespace polling

namespace {

// Applies the change code the agent set (reports added, edited or deleted), then clears it.
void ApplyTrendChange(PollState& st) {
  const int16_t code = st.Mib_sysTrendChanged;
  if (code >= 1 && code <= 3) {
    if (code == 1) TrendListTrendAdd(st);
    if (code == 2) TrendListTrendEdit(st);
    if (code == 3) TrendListTrendDel(st);
    if (st.DebugMode) DebugTrendList(st);
    SysUpdateSecProfiles(st);
  }
  st.Mib_sysTrendChanged = 0;
}

void Send(PollState& st, int16_t i, bool resend) {
  if (st.TrendList[i].SnmpVersion == 3) {
    SnmpPollSendV3(st, i, resend);
  } else {
    SnmpPollSend(st, i, resend);
  }
}

// The poll of entry i got no answer after its last resend (or its node changed SNMP version).
// The no-reply row goes to the response file of the version the request was sent with.
void GiveUp(PollState& st, int16_t i) {
  TrendListEntry& e = st.TrendList[i];
  const bool v3 = e.PollCountedV3;
  polling::EndWithoutAnswer(st, i);
  if (st.DebugMode) {
    AppendTraceLine(st, v3 ? kTraceSnmpRespV3 : kTraceSnmpResp,
                    PollTraceRow(st, e, " <-- snmpNoReply", "", PollRowObjects::kNoReply), kModForm,
                    "timerPoll_Timer");
  }
}

// A pause of the tick; false when the service stopped during it, which ends the tick.
bool Pause(PollState& st, int16_t ms) {
  st.WaitMs(ms);
  return st.ServiceState != kServiceStopped;
}

// Entry i is within the pass: at most the count read at the pass's start, and live now (a build
// during a pause may have shortened the list; entries above the count are never matched by an
// answer or a time-out again).
bool InPass(PollState& st, int16_t i, int16_t count) {
  return i <= count && i <= st.TrendListCount;
}

// The request of e counts as unanswered once now is strictly past PollTimeOutTime, or when
// PollTimeOutTime lies more than PollTimeOut seconds ahead: a clock set back left it there.
bool TimedOut(const TrendListEntry& e, DateTime now) {
  return now > e.PollTimeOutTime || e.PollTimeOutTime > now.PlusSeconds(e.PollTimeOut);
}

// Resends each request that timed out, or gives it up after its last resend, pausing after each
// resend. A request whose entry changed between SNMPv3 and SNMPv1/v2c since it was sent is given
// up: it holds a slot of the other version's counter, and the next due pass polls the entry with
// its new version. i names the entry being worked on. False when the service stopped.
// The passes read the clock once, and again after each send, pause or give-up: the walk over the
// entries in between takes microseconds, and a reading per entry cost more than the walk.
bool TimeOutPass(PollState& st, int16_t& i) {
  const int16_t count = st.TrendListCount;
  DateTime now = st.Now();
  for (i = 1; InPass(st, i, count); ++i) {
    TrendListEntry& e = st.TrendList[i];
    if (!e.PollPending || !TimedOut(e, now)) continue;
    const bool version_changed = (e.SnmpVersion == 3) != e.PollCountedV3;
    if (e.PollRetryTimes < e.PollRetries && !version_changed) {
      ++e.PollRetryTimes;
      Send(st, i, true);
      if (!Pause(st, MulInt16(st.Ini.PollDelaySnmp, 10))) return false;
    } else {
      GiveUp(st, i);  // no pause follows
    }
    now = st.Now();
  }
  return true;
}

// The pause after a first send, in 16-bit arithmetic: PollDelaySnmp x 10 ms, times
// StartUpDelayFactor during the start-up period.
int16_t SendPause(PollState& st) {
  const int16_t pause = MulInt16(st.Ini.PollDelaySnmp, 10);
  const int64_t seconds = (st.Now().Millis() - st.ServiceStartTime.Millis()) / 1000;
  if (seconds < st.Ini.StartUpPeriod) return MulInt16(pause, st.Ini.StartUpDelayFactor);
  return pause;
}

bool IsPolledType(const std::string& type) {
  return type == kPollTypeSnmpStatus || type == kPollTypeSnmpPoll;
}

// A next poll time more than one interval ahead was left by a clock set back (at the end of
// daylight-saving time, 03:00 becomes 02:00): it is computed again from now.
void CorrectSetBack(PollState& st, int16_t i, DateTime now) {
  const TrendListEntry& e = st.TrendList[i];
  if (e.PollInterval > 0 && e.PollNextTime > now.PlusSeconds(e.PollInterval)) {
    CalcPollNextTime(st, i);
  }
}

// The SNMPv1/v2c first requests of a due pass that no pause separates go out together: the
// manager queues them, and they are sent before a pause, at every kSendBatch requests and when the
// pass ends (also by an error), in the order they were made. A request whose datagram the system
// refused ends as a send that failed at once would have, and leaves the counts of requests sent
// and late polls as that send would have: counted when queued, it is taken out again.
class SendBatch {
 public:
  static constexpr size_t kSendBatch = 64;

  explicit SendBatch(PollState& st) : st_(st) { st_.snmpManager.SetBatching(true); }
  ~SendBatch() {
    try {
      Flush();
    } catch (const std::exception&) {
      // The pass already ends with an error of its own; the requests left time out.
    }
    st_.snmpManager.SetBatching(false);
  }
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

  void FlushWhenFull() {
    if (st_.snmpManager.Batched() >= kSendBatch) Flush();
  }
  void Flush() {
    for (const SnmpManager::FailedSend& f : st_.snmpManager.FlushBatch()) {
      const int16_t c = EntryOfMessId(st_, f.request_id);
      polling::UncountRefusedSend(st_, c, f.version);
      if (c != 0 && st_.TrendList[c].PollPending) polling::EndFailedSend(st_, c);
    }
  }

 private:
  PollState& st_;
};

// Sends a first request for each due entry while its version's count of outstanding requests is
// below its limit, pausing after each send. A count at its limit is no error: the entry stays due
// for a later tick. False when the service stopped.
bool DuePass(PollState& st, int16_t& i) {
  const int16_t count = st.TrendListCount;
  SendBatch batch(st);
  DateTime now = st.Now();
  for (i = 1; InPass(st, i, count); ++i) {
    const TrendListEntry& e = st.TrendList[i];
    if (e.PollPending || e.PollInterval == 0) continue;
    CorrectSetBack(st, i, now);
    if (now < e.PollNextTime || !IsPolledType(e.PollType)) continue;
    if (e.SnmpVersion == 3) {
      if (st.PendingV3 >= st.Ini.MaxPendSnmpV3) continue;
      ++st.PendingV3;
      batch.Flush();  // an engine discovery may wait: what is queued goes out first
      SnmpPollSendV3(st, i, false);
    } else {
      if (st.Pending >= st.Ini.MaxPendSnmp) continue;
      ++st.Pending;
      SnmpPollSend(st, i, false);
    }
    const int16_t pause = SendPause(st);
    if (pause == 0) {
      batch.FlushWhenFull();
    } else {
      batch.Flush();  // what the pause waits for has gone out
    }
    if (!Pause(st, pause)) return false;
    now = st.Now();
  }
  return true;
}

// At a new hour: the security profiles, the node synchronisation and the debug dump. At a new
// day (or a clock set back past the hour): the event log is shortened, the debug files cleared
// and the trend data pruned.
void HourlyAndDailyWork(PollState& st) {
  if (st.Now().Hour() != st.LastHour) {
    SysUpdateSecProfiles(st);
    TrendListDevSync(st);
    if (st.DebugMode) DebugTrendList(st);
  }
  // The day rolled over, or the clock went back.
  if (st.Now().Hour() < st.LastHour) {
    DebugDirClear_AE(st);
    DebugDirClear(st);
    for (const char* table : kTrendDataTables) DelTrendData(st, table);
  }
  st.LastHour = static_cast<int16_t>(st.Now().Hour());
}

// Times the tick for the self-monitoring while it lives.
class TickTiming {
 public:
  explicit TickTiming(PollState& st) : st_(st) {
    st_.TickStarted = st_.Now();
    st_.Counters.TickStartMs = st_.clock.MonotonicMs();
  }
  ~TickTiming() {
    ServiceCounters& c = st_.Counters;
    c.LongestTickMs = std::max(c.LongestTickMs, st_.clock.MonotonicMs() - c.TickStartMs);
    c.TickStartMs = -1;
  }
  TickTiming(const TickTiming&) = delete;
  TickTiming& operator=(const TickTiming&) = delete;

 private:
  PollState& st_;
};

// The report named in a tick's error: the entry being worked on, or 0 when none is.
int32_t ReportIdOf(PollState& st, int16_t i) {
  return i >= 1 && i <= st.TrendList.Size() ? st.TrendList[i].ReportId : 0;
}

// An error of the tick, under the report of the entry i being worked on. The same error again
// (a pause that overflows fails every tick) is logged once an hour with a count.
void ReportTickError(PollState& st, int16_t i, const std::exception& e) {
  st.Repeats.Log(st, kOncePerHour, std::string("timerPoll ") + e.what(), kModForm,
                 fmt::format("timerPoll_ReportID={}", ReportIdOf(st, i)), e.what(), kEventError,
                 fmt::format("tick errors \"{}\"", e.what()));
}

// The wall milliseconds before entry e gives a tick work (see PollIdleMs), at most limit.
int64_t EntryIdleMs(const TrendListEntry& e, DateTime now, int64_t limit) {
  if (e.PollPending) {
    if (e.PollTimeOutTime > now.PlusSeconds(e.PollTimeOut)) return 0;
    return std::min(limit, e.PollTimeOutTime.Millis() + 1 - now.Millis());
  }
  if (e.PollInterval == 0) return limit;
  if (e.PollNextTime > now.PlusSeconds(e.PollInterval)) return 0;
  if (!IsPolledType(e.PollType)) return limit;
  return std::min(limit, e.PollNextTime.Millis() - now.Millis());
}

}  // namespace

int64_t PollIdleMs(PollState& st) {
  const DateTime now = st.Now();
  const CivilTime c = now.ToCivil();
  if (c.hour != st.LastHour && st.ServiceState != kServiceStopped) return 0;
  int64_t idle = 3600000 - ((c.minute * 60 + c.second) * 1000 + c.millisecond);
  if (st.ServiceState == kServiceStopped) return idle;
  if (st.RestartPending || st.Mib_sysTrendChanged != 0) return 0;
  const DateTime flush = st.Repeats.FirstEnd();
  if (flush != DateTime()) idle = std::min(idle, flush.Millis() - now.Millis());
  const int16_t count = std::min(st.TrendListCount, st.TrendList.Size());
  for (int16_t i = 1; i <= count && idle > 0; ++i) {
    idle = EntryIdleMs(st.TrendList[i], now, idle);
  }
  return std::max<int64_t>(idle, 0);
}

bool RunRestart(PollState& st) {
  st.LastRestartTick = st.PollTicks;
  st.RestartPending = false;
  st.ServiceStartTime = st.Now();
  st.Pending = 0;
  st.PendingV3 = 0;
  return TrendListCreate(st);
}

void timerPoll_Timer(PollState& st) {
  ++st.PollTicks;
  if (st.ServiceState == kServiceStopped) return;
  const TickTiming timing(st);
  int16_t i = 0;
  try {
    if (st.RestartPending) RunRestart(st);
    ApplyTrendChange(st);
    // A stop during one of the pauses ends the tick there.
    if (!TimeOutPass(st, i) || !DuePass(st, i)) return;
  } catch (const std::exception& e) {
    ReportTickError(st, i, e);
  }
  // The hourly and daily work run even after a pass failed, so that a fault of the passes never
  // stops the pruning.
  try {
    HourlyAndDailyWork(st);
    st.Repeats.Flush(st, false);
  } catch (const std::exception& e) {
    ReportTickError(st, 0, e);
  }
}

void timerDebug_Timer(PollState& st) {
  try {
    const bool was_on = st.DebugMode;
    SettingsGeneralRead(st);
    if (!was_on && st.DebugMode) DebugFilePrep(st);
    if (was_on && !st.DebugMode) DebugMergePoll(st);
  } catch (const std::exception& e) {
    AppEvent(st, kModForm, "timerDebug", e.what(), kEventError);
  }
}

}  // namespace quorlan
