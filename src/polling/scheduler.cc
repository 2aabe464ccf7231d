// The poll scheduler: the poll timer's tick.
#include <fmt/format.h>

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

void EndWithoutAnswer(PollState& st, int16_t i, int16_t& counter) {
  TrendListEntry& e = st.TrendList[i];
  e.PollPending = false;
  e.PollMessId = 0;
  e.PollEngineId.clear();
  e.PollEngineBoots = 0;
  e.PollEngineTime = 0;
  ClearValues(e);
  CalcPollNextTime(st, i);
  LowerPendingCount(counter);
}

void EndFailedSend(PollState& st, int16_t i, int16_t& counter) {
  TrendListEntry& e = st.TrendList[i];
  ClearValues(e);
  e.PollPending = false;
  CalcPollNextTime(st, i);
  LowerPendingCount(counter);
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

// The poll of entry i got no answer after its last resend.
void GiveUp(PollState& st, int16_t i) {
  TrendListEntry& e = st.TrendList[i];
  const bool v3 = e.SnmpVersion == 3;
  polling::EndWithoutAnswer(st, i, v3 ? st.PendingV3 : st.Pending);
  if (st.DebugMode) {
    AppendTraceLine(st, v3 ? kTraceSnmpRespV3 : kTraceSnmpResp,
                    PollTraceRow(st, e, " <-- snmpNoReply", "", PollRowObjects::kNoReply));
  }
}

// Resends each request whose time-out has passed, or gives it up after its last resend, pausing
// after each resend. i names the entry being worked on.
void TimeOutPass(PollState& st, int16_t& i) {
  const int16_t count = st.TrendListCount;
  for (i = 1; i <= count; ++i) {
    TrendListEntry& e = st.TrendList[i];
    if (!e.PollPending || !(st.Now() > e.PollTimeOutTime)) continue;
    if (e.PollRetryTimes < e.PollRetries) {
      ++e.PollRetryTimes;
      Send(st, i, true);
      st.WaitMs(MulInt16(st.Ini.PollDelaySnmp, 10));
    } else {
      GiveUp(st, i);  // no pause follows
    }
  }
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

// Sends a first request for each due entry while its version's count of outstanding requests is
// below its limit, pausing after each send. A count at its limit is no error: the entry stays due
// for a later tick.
void DuePass(PollState& st, int16_t& i) {
  const int16_t count = st.TrendListCount;
  for (i = 1; i <= count; ++i) {
    const TrendListEntry& e = st.TrendList[i];
    if (st.Now() < e.PollNextTime || e.PollPending || e.PollInterval == 0) continue;
    if (!IsPolledType(e.PollType)) continue;
    if (e.SnmpVersion == 3) {
      if (st.PendingV3 >= st.Ini.MaxPendSnmpV3) continue;
      ++st.PendingV3;
      SnmpPollSendV3(st, i, false);
    } else {
      if (st.Pending >= st.Ini.MaxPendSnmp) continue;
      ++st.Pending;
      SnmpPollSend(st, i, false);
    }
    st.WaitMs(SendPause(st));
  }
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

// The report named in a tick's error: the entry being worked on, or 0 when none is.
int32_t ReportIdOf(PollState& st, int16_t i) {
  return i >= 1 && i <= kTrendListSize ? st.TrendList[i].ReportId : 0;
}

}  // namespace

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
  int16_t i = 0;
  try {
    if (st.RestartPending) RunRestart(st);
    ApplyTrendChange(st);
    TimeOutPass(st, i);
    DuePass(st, i);
    i = 0;
    HourlyAndDailyWork(st);
    BadPacketSummaries(st, false);
  } catch (const std::exception& e) {
    AppEvent(st, kModForm, fmt::format("timerPoll_ReportID={}", ReportIdOf(st, i)), e.what(),
             kEventError);
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
