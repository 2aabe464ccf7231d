// The request senders: SNMPv1/v2c GETs through snmpManager, SNMPv3 GETs through snmpMgrV3 with
// the security profile of the entry's user and, when the engine is not known yet, a discovery
// first. Both draw request ids from one sequence.
#include <fmt/format.h>

#include <limits>

#include "components/platform/platform.h"
#include "polling/internal.h"
#include "polling/polling.h"

namespace quorlan {

namespace {

// The authentication and privacy protocol codes the manager knows.
constexpr int kMaxAuthProtocol = 4;
constexpr int kMaxPrivProtocol = 5;

// Object count and the identifiers of slots 0 .. PollNumObjects - 1, in slot order.
void SetObjects(SnmpManager& mgr, const TrendListEntry& e) {
  if (e.PollNumObjects > kTrendObjects) {
    throw RuntimeError(err::kSubscriptOutOfRange,
                       fmt::format("Subscript out of range: {} objects (at most {})",
                                   e.PollNumObjects, kTrendObjects));
  }
  mgr.SetObjCount(e.PollNumObjects);
  for (int k = 1; k <= e.PollNumObjects; ++k) mgr.SetObjId(k - 1, e.PollObjId[k]);
}

// The time-out moment, the request state of a first send, and a new request id.
void MarkSent(PollState& st, int16_t i, SnmpManager& mgr, bool resend) {
  TrendListEntry& e = st.TrendList[i];
  e.PollTimeOutTime = st.Now().PlusSeconds(e.PollTimeOut);
  if (!resend) {
    e.PollRetryTimes = 0;
    e.PollPending = true;
  }
  e.PollMessId = NextMessId(st);
  NoteMessId(st, e.PollMessId, i);
  mgr.SetRequestId(e.PollMessId);
}

// Whether a first request sent now is late: more than kLateMs after the first poll tick at or
// after the entry's due time. Ticks come every 2 x TimerInterval ms, counted back from the tick
// running now; a tick that a long one before it made the timer drop counts as if it had come, so
// the wait it caused is lateness. An entry that fell due during this tick is measured from its
// due time.
bool SentLate(PollState& st, const TrendListEntry& e) {
  const int64_t due = e.PollNextTime.Millis();
  const int64_t tick = st.TickStarted.Millis();
  const int64_t period = 2 * int64_t{st.Ini.TimerInterval};
  int64_t first_tick = due;
  if (tick >= due && period > 0) first_tick = tick - (tick - due) / period * period;
  return st.Now().Millis() - first_tick > ServiceCounters::kLateMs;
}

// Counts a request that went out, by the version the manager sent it with.
void CountSent(PollState& st, TrendListEntry& e, const SnmpManager& mgr, bool resend) {
  ServiceCounters& c = st.Counters;
  ++c.RequestsSent[static_cast<size_t>(mgr.SnmpVersion() - 1)];
  if (resend) {
    ++c.Resends;
    return;
  }
  e.PollCountedLate = SentLate(st, e);
  if (e.PollCountedLate) ++c.PollsLate;
}

const char* SendAction(bool resend) { return resend ? " --> snmpResend" : " --> snmpPoll"; }

void SetTarget(SnmpManager& mgr, const TrendListEntry& e) {
  mgr.Reset();
  mgr.SetRemoteHost(e.Address);
  mgr.SetRemotePort(e.UdpPort);
  mgr.SetCommunity(e.ReadComm);
}

int32_t RaisedEngineTime(int32_t time, int32_t interval) {
  const int64_t sum = int64_t{time} + interval;
  if (sum > std::numeric_limits<int32_t>::max() || sum < std::numeric_limits<int32_t>::min()) {
    throw RuntimeError(
        err::kOverflow,
        fmt::format("Overflow: engine time {} + {} does not fit a 32-bit integer", time, interval));
  }
  return static_cast<int32_t>(sum);
}

// The security values of the profile whose UserName matches the entry's user, in the order the
// manager takes them; nothing when no profile matches or its level is not 0, 1 or 2.
void SetSecurity(PollState& st, TrendListEntry& e, SnmpManager& mgr) {
  const int slot = FindSecProfile(st, e.PollSnmpV3User);
  if (slot == 0) return;
  const SecProfile& p = st.SecProfileList[slot];
  if (p.SecurityLevel < 0 || p.SecurityLevel > 2) return;
  mgr.SetRemoteEngineId(e.PollEngineId);
  if (p.SecurityLevel == 0) {
    mgr.SetRemoteEngineBoots(0);
    mgr.SetRemoteEngineTime(0);
    mgr.SetUser(p.UserName);
    mgr.SetAuthPassword("");
    return;
  }
  mgr.SetRemoteEngineBoots(e.PollEngineBoots);
  // The cached engine clock moves on by one poll interval per request.
  if (!e.PollEngineId.empty())
    e.PollEngineTime = RaisedEngineTime(e.PollEngineTime, e.PollInterval);
  mgr.SetRemoteEngineTime(e.PollEngineTime);
  mgr.SetUser(p.UserName);
  mgr.SetAuthPassword(p.AuthPassword);
  if (p.AuthProtocol >= 1 && p.AuthProtocol <= kMaxAuthProtocol)
    mgr.SetAuthProtocol(p.AuthProtocol);
  if (p.SecurityLevel == 1) return;
  mgr.SetPrivPassword(p.PrivPassword);
  if (p.PrivProtocol >= 1 && p.PrivProtocol <= kMaxPrivProtocol)
    mgr.SetPrivProtocol(p.PrivProtocol);
}

// The sender's side of one discovery: DiscoverWaiting names entry i while it waits, and the
// manager's wait time is 2 s only for the discovery call.
class DiscoveryWait {
 public:
  DiscoveryWait(PollState& st, int16_t i) : st_(st) {
    st_.snmpMgrV3.SetTimeout(polling::kDiscoveryWindowS);
    st_.DiscoverDone = false;
    st_.DiscoverWaiting = i;
  }
  ~DiscoveryWait() {
    st_.DiscoverWaiting = 0;
    st_.snmpMgrV3.SetTimeout(0);
  }
  DiscoveryWait(const DiscoveryWait&) = delete;
  DiscoveryWait& operator=(const DiscoveryWait&) = delete;

 private:
  PollState& st_;
};

// Discovers the engine of entry i and waits up to 2 s for its answer, delivering events every
// 20 ms. The window is measured on the monotonic clock, so that a wall clock set back during the
// wait does not hold the tick. True when the answer came; otherwise the poll has ended without a
// request: no answer in time, or the service stopped meanwhile. When the list was rebuilt during
// the wait (the agent's restart), entry i may now be another report and every slot was freed:
// nothing more is done with it.
bool DiscoverForSend(PollState& st, int16_t i) {
  st.TrendList[i].PollTimeOutTime = st.Now().PlusSeconds(polling::kDiscoveryWindowS);
  const int32_t builds = st.TrendListBuilds;
  const int64_t until = st.clock.MonotonicMs() + polling::kDiscoveryWindowS * 1000;
  {
    DiscoveryWait wait(st, i);
    DiscoverEngineId(st, i);
    st.snmpMgrV3.SetTimeout(0);
    do {
      st.WaitMs(polling::kDiscoveryStepMs);
    } while (!st.DiscoverDone && st.clock.MonotonicMs() <= until &&
             st.ServiceState != kServiceStopped);
  }
  if (st.TrendListBuilds != builds) return false;
  if (st.DiscoverDone && st.ServiceState != kServiceStopped) return true;
  polling::EndWithoutAnswer(st, i);
  return false;
}

}  // namespace

namespace polling {

void UncountRefusedSend(PollState& st, int16_t i, int version) {
  ServiceCounters& c = st.Counters;
  if (version >= 1 && version <= 2) --c.RequestsSent[static_cast<size_t>(version - 1)];
  if (i == 0) return;
  TrendListEntry& e = st.TrendList[i];
  if (e.PollCountedLate) --c.PollsLate;
  e.PollCountedLate = false;
}

}  // namespace polling

int32_t NextMessId(PollState& st) {
  if (st.LastMessId > kLastMessId - 1) st.LastMessId = kFirstMessId - 1;
  return ++st.LastMessId;
}

void SnmpPollSend(PollState& st, int16_t i, bool resend) {
  try {
    TrendListEntry& e = st.TrendList[i];
    if (!resend) e.PollCountedV3 = false;
    SnmpManager& mgr = st.snmpManager;
    SetTarget(mgr, e);
    if (e.SnmpVersion == 1 || e.SnmpVersion == 2) mgr.SetSnmpVersion(e.SnmpVersion);
    SetObjects(mgr, e);
    MarkSent(st, i, mgr, resend);
    if (st.DebugMode) {
      AppendTraceLine(
          st, kTraceSnmpPoll,
          PollTraceRow(st, e, SendAction(resend), e.PollEngineId, PollRowObjects::kPoll),
          kModShared, "SnmpPollSend");
    }
    mgr.SendGetRequest();
    CountSent(st, e, mgr, resend);
  } catch (const std::exception&) {
    // The poll ends here, silently: the entry is idle again with its next poll time.
    polling::EndFailedSend(st, i);
  }
}

void SnmpPollSendV3(PollState& st, int16_t i, bool resend) {
  try {
    TrendListEntry& e = st.TrendList[i];
    if (!resend) e.PollCountedV3 = true;
    SnmpManager& mgr = st.snmpMgrV3;
    SetTarget(mgr, e);
    mgr.SetSnmpVersion(3);
    SetSecurity(st, e, mgr);
    if (e.PollEngineId.empty() && !DiscoverForSend(st, i)) return;
    SetObjects(mgr, e);
    MarkSent(st, i, mgr, resend);
    if (st.DebugMode) {
      AppendTraceLine(st, kTraceSnmpPollV3,
                      PollTraceRow(st, e, SendAction(resend), EngineIdText(e.PollEngineId),
                                   PollRowObjects::kPoll),
                      kModShared, "SnmpPollSendV3");
    }
    mgr.SendGetRequest();
    CountSent(st, e, mgr, resend);
  } catch (const std::exception&) {
    // The poll ends here, silently; the next request discovers the engine again.
    polling::EndFailedSend(st, i);
    st.TrendList[i].PollEngineId.clear();
  }
}

}  // namespace quorlan
