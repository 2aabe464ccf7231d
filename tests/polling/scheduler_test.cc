// The poll scheduler's tick on a settable clock, with real managers sending to silent devices on
// 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>

#include "polling/poll_harness.h"

namespace quorlan {
namespace {

using testing::kTestOid;
using testing::PollHarness;
using testing::SilentDevice;

const DateTime kStart = DateTime::FromCivil({2026, 12, 7, 10, 2, 30});
const DateTime kNextGrid = DateTime::FromCivil({2026, 12, 7, 10, 5, 0});
const std::string kEngine("\x80\x00\x1f\x88\x04x", 6);

class SchedulerTest : public ::testing::Test {
 protected:
  ManualClock clock_{kStart};
  PollHarness h_{clock_};
  SilentDevice device_;
};

enum class Outcome { kNothing, kFirstSend, kResend, kGiveUp, kNextTimeAgain };

// One entry before a tick, as offsets from the tick's start, and what the tick does with it.
struct Transition {
  const char* name;
  bool pending;
  int64_t timeout_ms;  // PollTimeOutTime - now
  int64_t next_ms;     // PollNextTime - now
  int16_t retry_times;
  int16_t retries;
  int32_t interval = 300;
  const char* type = kPollTypeSnmpPoll;
  int16_t version = 2;
  int16_t counter_before = 0;  // Pending, or PendingV3 for version 3 (see counted_as)
  Outcome outcome = Outcome::kNothing;
  int16_t counter_after = 0;
  int16_t counted_as = 0;  // the version a pending request was sent and counted with; 0: version
};

TEST_F(SchedulerTest, EveryTransitionOfAnEntry) {
  const Transition cases[] = {
      {"idle before its next poll time", false, 0, 1, 0, 2},
      {"due exactly at PollNextTime", false, 0, 0, 0, 2, 300, kPollTypeSnmpPoll, 2, 0,
       Outcome::kFirstSend, 1},
      {"due SnmpStatus", false, 0, -60000, 0, 2, 300, kPollTypeSnmpStatus, 2, 0,
       Outcome::kFirstSend, 1},
      {"due SNMPv1", false, 0, -1, 0, 2, 300, kPollTypeSnmpPoll, 1, 0, Outcome::kFirstSend, 1},
      {"due SnmpVersion 0 is still sent", false, 0, -1, 0, 2, 300, kPollTypeSnmpPoll, 0, 0,
       Outcome::kFirstSend, 1},
      {"due SNMPv3 with a known engine", false, 0, -1, 0, 2, 300, kPollTypeSnmpPoll, 3, 0,
       Outcome::kFirstSend, 1},
      {"PollInterval 0 is never polled", false, 0, -1, 0, 2, 0},
      {"a deleted report is never polled", false, 0, -1, 0, 2, 300, kPollTypeDeleted},
      {"the poll type is compared with its case", false, 0, -1, 0, 2, 300, "snmppoll"},
      {"waiting until exactly PollTimeOutTime", true, 0, -1, 0, 2, 300, kPollTypeSnmpPoll, 2, 1,
       Outcome::kNothing, 1},
      {"timed out with resends left", true, -1, -1, 1, 2, 300, kPollTypeSnmpPoll, 2, 1,
       Outcome::kResend, 1},
      {"SNMPv3 timed out with resends left", true, -1, -1, 0, 1, 300, kPollTypeSnmpPoll, 3, 1,
       Outcome::kResend, 1},
      {"timed out after the last resend", true, -1, -1, 2, 2, 300, kPollTypeSnmpPoll, 2, 3,
       Outcome::kGiveUp, 2},
      {"PollRetries 0 gives up at the first time-out", true, -1, -1, 0, 0, 300, kPollTypeSnmpPoll,
       2, 1, Outcome::kGiveUp, 0},
      {"a give-up does not take Pending below 0", true, -1, -1, 0, 0, 300, kPollTypeSnmpPoll, 2, 0,
       Outcome::kGiveUp, 0},
      {"SNMPv3 give-up", true, -1, -1, 1, 1, 300, kPollTypeSnmpPoll, 3, 1, Outcome::kGiveUp, 0},
      {"SNMPv3 give-up with PendingV3 already 0", true, -1, -1, 1, 1, 300, kPollTypeSnmpPoll, 3, 0,
       Outcome::kGiveUp, 0},
      // A clock set back (the end of daylight-saving time) leaves times too far ahead.
      {"PollNextTime more than an interval ahead is computed again", false, 0, 300001, 0, 2, 300,
       kPollTypeSnmpPoll, 2, 0, Outcome::kNextTimeAgain},
      {"PollNextTime one interval ahead is kept", false, 0, 300000, 0, 2},
      {"PollTimeOutTime more than PollTimeOut ahead is a time-out", true, 5001, -1, 0, 2, 300,
       kPollTypeSnmpPoll, 2, 1, Outcome::kResend, 1},
      {"and after the last resend a give-up", true, 5001, -1, 2, 2, 300, kPollTypeSnmpPoll, 2, 1,
       Outcome::kGiveUp, 0},
      {"PollTimeOutTime PollTimeOut ahead still waits", true, 5000, -1, 0, 2, 300,
       kPollTypeSnmpPoll, 2, 1, Outcome::kNothing, 1},
      // The node changed its SNMP version under a pending request: the slot its send took is
      // freed, and the entry is polled afresh with its new version.
      {"an SNMPv3 request whose node went to v2c frees PendingV3", true, -1, -1, 0, 2, 300,
       kPollTypeSnmpPoll, 2, 1, Outcome::kGiveUp, 0, 3},
      {"an SNMPv2c request whose node went to v3 frees Pending", true, -1, -1, 0, 2, 300,
       kPollTypeSnmpPoll, 3, 1, Outcome::kGiveUp, 0, 2},
  };
  for (const Transition& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock(kStart);
    PollHarness h(clock);
    SilentDevice device;
    TrendListEntry& e = h.AddEntry(device.port(), c.version);
    e.PollPending = c.pending;
    e.PollMessId = c.pending ? 999 : 0;
    e.PollTimeOutTime = kStart.PlusMillis(c.timeout_ms);
    e.PollNextTime = kStart.PlusMillis(c.next_ms);
    e.PollRetryTimes = c.retry_times;
    e.PollRetries = c.retries;
    e.PollInterval = c.interval;
    e.PollType = c.type;
    e.PollEngineId = c.version == 3 ? kEngine : std::string();
    e.PollEngineBoots = 7;
    e.PollSampledValue[1] = 5;
    e.PollSavedValue[1] = 9;
    e.PollCountedV3 = (c.counted_as != 0 ? c.counted_as : c.version) == 3;
    int16_t& counter = e.PollCountedV3 ? h.st.PendingV3 : h.st.Pending;
    int16_t& other = e.PollCountedV3 ? h.st.Pending : h.st.PendingV3;
    counter = c.counter_before;
    other = 1;
    const TrendListEntry before = e;
    // The poll timer may sleep through a tick only when the tick would do nothing.
    const int64_t idle = PollIdleMs(h.st);
    EXPECT_EQ(idle > 0, c.outcome == Outcome::kNothing) << idle;

    timerPoll_Timer(h.st);

    EXPECT_EQ(counter, c.counter_after);
    EXPECT_EQ(other, 1) << "the other version's counter";
    const std::vector<int32_t> sent = device.Received();
    switch (c.outcome) {
      case Outcome::kNothing:
        EXPECT_TRUE(sent.empty());
        EXPECT_EQ(e.PollPending, before.PollPending);
        EXPECT_EQ(e.PollMessId, before.PollMessId);
        EXPECT_EQ(e.PollNextTime, before.PollNextTime);
        EXPECT_EQ(e.PollSampledValue[1], 5);
        break;
      case Outcome::kFirstSend:
      case Outcome::kResend: {
        EXPECT_EQ(sent, std::vector<int32_t>{kFirstMessId});
        EXPECT_TRUE(e.PollPending);
        EXPECT_EQ(e.PollMessId, kFirstMessId);
        EXPECT_EQ(e.PollTimeOutTime, kStart.PlusSeconds(e.PollTimeOut));
        const int16_t retries = c.outcome == Outcome::kResend ? c.retry_times + 1 : 0;
        EXPECT_EQ(e.PollRetryTimes, retries);
        EXPECT_EQ(e.PollSampledValue[1], 5);
        EXPECT_EQ(e.PollEngineBoots, 7);
        break;
      }
      case Outcome::kGiveUp:
        EXPECT_TRUE(sent.empty());
        EXPECT_FALSE(e.PollPending);
        EXPECT_EQ(e.PollMessId, 0);
        EXPECT_EQ(e.PollEngineId, "");
        EXPECT_EQ(e.PollEngineBoots, 0);
        EXPECT_EQ(e.PollEngineTime, 0);
        for (int k = 1; k <= kTrendObjects; ++k) {
          EXPECT_EQ(e.PollSampledValue[k], -1);
          EXPECT_EQ(e.PollSavedValue[k], 0);
        }
        EXPECT_EQ(e.PollNextTime, kNextGrid);
        break;
      case Outcome::kNextTimeAgain:
        EXPECT_TRUE(sent.empty());
        EXPECT_FALSE(e.PollPending);
        EXPECT_EQ(e.PollNextTime, kNextGrid);
        break;
    }
    EXPECT_TRUE(h.Events().empty());
    // Counted for the self-monitoring: each request under the version it went out with (0 goes
    // out as SNMPv1), resends and give-ups apart. A poll due a tick period (2 s) or more before
    // this tick was found due by an earlier tick: it goes out late.
    const ServiceCounters& n = h.st.Counters;
    std::array<int64_t, 3> requests{};
    if (!sent.empty()) requests[static_cast<size_t>(std::max(c.version, int16_t{1}) - 1)] = 1;
    EXPECT_EQ(n.RequestsSent, requests);
    EXPECT_EQ(n.Resends, c.outcome == Outcome::kResend ? 1 : 0);
    EXPECT_EQ(n.PollsGivenUp, c.outcome == Outcome::kGiveUp ? 1 : 0);
    EXPECT_EQ(n.PollsLate, c.outcome == Outcome::kFirstSend && c.next_ms <= -2000 ? 1 : 0);
  }
}

// How long the poll timer may sleep: until the first tick that would find work.
TEST_F(SchedulerTest, TheTimerSleepsUntilTheFirstTickWithWork) {
  constexpr int64_t kToTheHour = (57 * 60 + 30) * 1000;  // kStart is 10:02:30
  struct Case {
    const char* name;
    std::function<void(PollState&, TrendListEntry&)> set;
    int64_t idle_ms;
  };
  const Case cases[] = {
      {"a request times out once now is past its time-out",
       [](PollState&, TrendListEntry& e) {
         e.PollPending = true;
         e.PollTimeOutTime = kStart.PlusSeconds(3);
       },
       3001},
      {"an entry is due at its next poll time",
       [](PollState&, TrendListEntry& e) { e.PollNextTime = kStart.PlusSeconds(150); }, 150000},
      {"an entry never polled leaves the hour",
       [](PollState&, TrendListEntry& e) { e.PollInterval = 0; }, kToTheHour},
      {"a repeated events' window ends",
       [](PollState& st, TrendListEntry&) {
         st.Repeats.Log(st, RepeatRule{1, 60000, "minute"}, "k", "m", "p", "text", 1, "things");
       },
       60000},
      {"a change code waits", [](PollState& st, TrendListEntry&) { st.Mib_sysTrendChanged = 1; },
       0},
      {"a restart waits", [](PollState& st, TrendListEntry&) { st.RestartPending = true; }, 0},
      {"the hour changed since the last tick",
       [](PollState& st, TrendListEntry&) { st.LastHour = 9; }, 0},
      {"paused, a due entry waits for the console",
       [](PollState& st, TrendListEntry& e) {
         st.ServiceState = kServiceStopped;
         e.PollNextTime = kStart;
       },
       kToTheHour},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock(kStart);
    PollHarness h(clock);
    TrendListEntry& e = h.AddEntry(device_.port());
    e.PollNextTime = kStart.PlusSeconds(3600);
    e.PollInterval = 3600;
    c.set(h.st, e);
    EXPECT_EQ(PollIdleMs(h.st), c.idle_ms);
  }
}

TEST_F(SchedulerTest, AStoppedServiceChangesNothing) {
  TrendListEntry& e = h_.AddEntry(device_.port());
  h_.st.Mib_sysTrendChanged = 1;
  h_.st.ServiceState = kServiceStopped;
  timerPoll_Timer(h_.st);
  EXPECT_TRUE(device_.Received().empty());
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(h_.st.Mib_sysTrendChanged, 1);
  EXPECT_EQ(clock_.Now(), kStart);
}

TEST_F(SchedulerTest, AtMostMaxPendSnmpRequestsAndOneSnmpV3RequestAreOutstanding) {
  h_.st.Ini.MaxPendSnmp = 1;
  TrendListEntry& a = h_.AddEntry(device_.port());
  TrendListEntry& b = h_.AddEntry(device_.port());
  TrendListEntry& c = h_.AddEntry(device_.port(), 3);
  TrendListEntry& d = h_.AddEntry(device_.port(), 3);
  c.PollEngineId = d.PollEngineId = kEngine;
  timerPoll_Timer(h_.st);
  EXPECT_EQ(device_.Received(), (std::vector<int32_t>{kFirstMessId, kFirstMessId + 1}));
  EXPECT_TRUE(a.PollPending && c.PollPending);
  EXPECT_FALSE(b.PollPending || d.PollPending);
  EXPECT_EQ(h_.st.Pending, 1);
  EXPECT_EQ(h_.st.PendingV3, 1);
  // Still no room at the next tick; the entries stay due.
  timerPoll_Timer(h_.st);
  EXPECT_TRUE(device_.Received().empty());
  // Once the first requests are answered the others go out.
  a.PollPending = c.PollPending = false;
  a.PollNextTime = c.PollNextTime = kStart.PlusHours(1);
  h_.st.Pending = h_.st.PendingV3 = 0;
  timerPoll_Timer(h_.st);
  EXPECT_EQ(device_.Received(), (std::vector<int32_t>{kFirstMessId + 2, kFirstMessId + 3}));
  EXPECT_TRUE(b.PollPending && d.PollPending);
}

TEST_F(SchedulerTest, SendsArePacedAndSlowerDuringTheStartUpPeriod) {
  struct Case {
    int64_t since_start_s;
    int64_t spacing_ms;
  };
  for (const Case c : {Case{10, 400}, Case{299, 400}, Case{300, 200}, Case{3600, 200}}) {
    SCOPED_TRACE(c.since_start_s);
    ManualClock clock(kStart);
    PollHarness h(clock);
    SilentDevice device;
    h.st.ServiceStartTime = kStart.PlusSeconds(-c.since_start_s);
    TrendListEntry& a = h.AddEntry(device.port());
    TrendListEntry& b = h.AddEntry(device.port());
    timerPoll_Timer(h.st);
    EXPECT_EQ(b.PollTimeOutTime.Millis() - a.PollTimeOutTime.Millis(), c.spacing_ms);
    EXPECT_EQ(clock.Now(), kStart.PlusMillis(2 * c.spacing_ms));
  }
}

TEST_F(SchedulerTest, AnOverflowingPauseEndsThePassRightAfterItsSend) {
  struct Case {
    const char* name;
    int16_t delay;
    int16_t factor;
    bool resend;  // the first entry is resent rather than sent
  };
  for (const Case c :
       {Case{"PollDelaySnmp x 10", 3277, 1, false}, Case{"the start-up factor", 2000, 2, false},
        Case{"after a resend", 3277, 1, true}}) {
    SCOPED_TRACE(c.name);
    ManualClock clock(kStart);
    PollHarness h(clock);
    SilentDevice device;
    h.st.Ini.PollDelaySnmp = c.delay;
    h.st.Ini.StartUpDelayFactor = c.factor;
    h.st.ServiceStartTime = kStart;
    TrendListEntry& a = h.AddEntry(device.port());
    if (c.resend) {
      a.PollPending = true;
      a.PollTimeOutTime = kStart.PlusSeconds(-1);
      h.st.Pending = 1;
    }
    TrendListEntry& b = h.AddEntry(device.port());
    timerPoll_Timer(h.st);
    EXPECT_EQ(device.Received(), std::vector<int32_t>{kFirstMessId});
    EXPECT_FALSE(b.PollPending);
    const auto events = h.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, "1");
    EXPECT_EQ(events[0].source, "frmQuorlanTrend_timerPoll_ReportID=101");
    EXPECT_NE(events[0].message.find("Overflow"), std::string::npos) << events[0].message;
  }
}

// What events do during the tick's pauses: a stop, the agent's restart rebuilding a shorter list.
TEST_F(SchedulerTest, AStopOrAShorterListDuringAPauseEndsThePass) {
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stop" : "shorter list");
    ManualClock clock(kStart);
    PollHarness h(clock);
    SilentDevice device;
    for (int n = 0; n < 3; ++n) h.AddEntry(device.port());
    h.loop.Post([&h, stop] {
      if (stop) {
        h.st.ServiceState = kServiceStopped;
      } else {
        h.st.Pending = 0;  // as the restart does
        h.st.TrendListCount = 1;
        ++h.st.TrendListBuilds;
      }
    });
    timerPoll_Timer(h.st);
    EXPECT_EQ(device.Received(), std::vector<int32_t>{kFirstMessId});
    EXPECT_EQ(h.st.Pending, stop ? 1 : 0);
    EXPECT_FALSE(h.st.TrendList[2].PollPending || h.st.TrendList[3].PollPending);
    EXPECT_EQ(clock.Now(), kStart.PlusMillis(200)) << "one pause";
  }
}

// The discovery wait: two seconds of the monotonic clock whatever the wall clock does, and an
// entry rebuilt meanwhile is not touched.
TEST_F(SchedulerTest, TheDiscoveryWaitLastsTwoSecondsAndLeavesARebuiltEntryAlone) {
  for (const bool rebuild : {false, true}) {
    SCOPED_TRACE(rebuild ? "rebuilt" : "clock set back");
    ManualClock clock(kStart);
    PollHarness h(clock);
    SilentDevice device;
    TrendListEntry& e = h.AddEntry(device.port(), 3);
    h.loop.Post([&h, &clock, &e, rebuild] {
      if (!rebuild) {
        clock.Set(kStart.PlusHours(-1));
        return;
      }
      h.st.PendingV3 = 0;  // as the restart does
      e = TrendListEntry{};
      e.ReportId = 555;
      e.PollSampledValue[1] = 5;
      e.PollNextTime = kNextGrid;
      ++h.st.TrendListBuilds;
    });
    const int64_t start = clock.MonotonicMs();
    timerPoll_Timer(h.st);
    EXPECT_EQ(device.Received(), std::vector<int32_t>{0}) << "the probe alone";
    EXPECT_GE(clock.MonotonicMs() - start, 2000);
    EXPECT_LT(clock.MonotonicMs() - start, 3000);
    EXPECT_EQ(h.st.PendingV3, 0);
    EXPECT_FALSE(e.PollPending);
    if (rebuild) {
      EXPECT_EQ(e.PollSampledValue[1], 5) << "the new report's entry is left alone";
      EXPECT_EQ(e.PollTimeOutTime, DateTime());
    }
  }
}

// In debug mode with a trace file that cannot be written (a full disk, a folder in its place):
// the requests still go out, and the failure is one event an hour.
TEST_F(SchedulerTest, ATraceRowThatCannotBeWrittenStopsNoPoll) {
  h_.st.DebugMode = true;
  h_.dir.MakeDir(std::string("Debug/") + kTraceSnmpPoll);
  TrendListEntry& e = h_.AddEntry(device_.port());
  e.PollTimeOut = 1;
  timerPoll_Timer(h_.st);
  EXPECT_EQ(device_.Received(), std::vector<int32_t>{kFirstMessId});
  EXPECT_TRUE(e.PollPending);
  EXPECT_EQ(h_.st.Pending, 1);
  clock_.Set(kStart.PlusSeconds(2));
  timerPoll_Timer(h_.st);  // the resend
  EXPECT_EQ(device_.Received(), std::vector<int32_t>{kFirstMessId + 1});
  const auto events = h_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "modQuorlanTrend_SnmpPollSend");
  EXPECT_EQ(events[0].message.rfind("Trace row not written to T-SnmpPoll.txt: ", 0), 0u)
      << events[0].message;
  // An hour later the count of the failures left out comes with the next tick.
  clock_.Set(kStart.PlusHours(1));
  timerPoll_Timer(h_.st);
  ASSERT_GE(h_.Events().size(), 2u);
  EXPECT_EQ(h_.Events()[1].message,
            "1 more failures to write T-SnmpPoll.txt in the hour from 2026-12-07 10:02:30.000 "
            "were not logged");
}

TEST_F(SchedulerTest, RequestIdsRunToFiveMillionAndOneAndAroundSharedByBothSenders) {
  h_.st.LastMessId = 4999999;
  TrendListEntry& a = h_.AddEntry(device_.port());
  TrendListEntry& b = h_.AddEntry(device_.port(), 3);
  b.PollEngineId = kEngine;
  TrendListEntry& c = h_.AddEntry(device_.port(), 1);
  timerPoll_Timer(h_.st);
  EXPECT_EQ(device_.Received(), (std::vector<int32_t>{5000000, 5000001, 1000001}));
  EXPECT_EQ(a.PollMessId, 5000000);
  EXPECT_EQ(b.PollMessId, 5000001);
  EXPECT_EQ(c.PollMessId, 1000001);
  // Each resend takes a new id.
  clock_.Set(kStart.PlusSeconds(6));
  timerPoll_Timer(h_.st);
  EXPECT_EQ(device_.Received(), (std::vector<int32_t>{1000002, 1000003, 1000004}));
  EXPECT_EQ(a.PollRetryTimes, 1);
}

TEST_F(SchedulerTest, AFailingSendEndsThePollSilently) {
  struct Case {
    const char* name;
    int16_t version;
    const char* oid;
    bool manager_active;
    int32_t mess_id_after;  // PollMessId keeps what it had reached
    size_t poll_rows;
    const char* address = "127.0.0.1";
    int16_t delay = 20;  // PollDelaySnmp: 0 sends the pass's requests together
  };
  for (const Case c : {Case{"OID refused", 2, "not-an-oid", true, 0, 0},
                       Case{"send refused", 2, kTestOid, false, kFirstMessId, 1},
                       Case{"SNMPv3 send refused", 3, kTestOid, false, kFirstMessId, 1},
                       Case{"datagram refused by the system", 2, kTestOid, true, kFirstMessId, 1,
                            "255.255.255.255"},
                       Case{"datagram of a batch refused", 2, kTestOid, true, kFirstMessId, 1,
                            "255.255.255.255", 0}}) {
    SCOPED_TRACE(c.name);
    ManualClock clock(kStart);
    PollHarness h(clock);
    SilentDevice device;
    h.st.DebugMode = true;
    TrendListEntry& e = h.AddEntry(device.port(), c.version);
    e.PollObjId[1] = c.oid;
    e.PollEngineId = c.version == 3 ? kEngine : std::string();
    e.PollSampledValue[1] = 5;
    e.Address = c.address;
    e.PollNextTime = kStart.PlusSeconds(-10);  // a late poll, had it gone out
    h.st.Ini.PollDelaySnmp = c.delay;
    h.st.snmpManager.SetActive(c.manager_active);
    h.st.snmpMgrV3.SetActive(c.manager_active);
    timerPoll_Timer(h.st);
    EXPECT_TRUE(device.Received().empty());
    EXPECT_FALSE(e.PollPending);
    EXPECT_EQ(e.PollMessId, c.mess_id_after);
    EXPECT_EQ(e.PollSampledValue[1], -1);
    EXPECT_EQ(e.PollNextTime, kNextGrid);
    EXPECT_EQ(e.PollEngineId, "");
    EXPECT_EQ(h.st.Pending, 0);
    EXPECT_EQ(h.st.PendingV3, 0);
    EXPECT_EQ(h.st.Counters.RequestsSent, (std::array<int64_t, 3>{})) << "nothing went out";
    EXPECT_EQ(h.st.Counters.PollsLate, 0);
    EXPECT_EQ(h.Trace(c.version == 3 ? kTraceSnmpPollV3 : kTraceSnmpPoll).size(), c.poll_rows);
    EXPECT_TRUE(h.Trace(kTraceSnmpResp).empty());
    EXPECT_TRUE(h.Events().empty());
  }
}

TEST_F(SchedulerTest, AGiveUpWritesTheNoReplyRowOfItsOwnEntry) {
  h_.st.DebugMode = true;
  for (int16_t version : {2, 3, 2}) {
    TrendListEntry& e = h_.AddEntry(device_.port(), version);
    e.PollPending = true;
    e.PollRetries = 0;
    e.PollTimeOutTime = kStart.PlusSeconds(-1);
    e.PollObjId[2] = "1.3.6.1.2.1.1.3.0";
    e.PollTriggerValue[1] = 1500;
    e.PollTriggerAlarm[1] = true;
    e.PollCountedV3 = version == 3;
  }
  h_.st.Pending = 2;
  h_.st.PendingV3 = 1;
  timerPoll_Timer(h_.st);
  const auto v2 = h_.Trace(kTraceSnmpResp);
  const auto v3 = h_.Trace(kTraceSnmpRespV3);
  ASSERT_EQ(v2.size(), 2u);
  ASSERT_EQ(v3.size(), 1u);
  const std::vector<std::string> first = testing::Fields(v2[0]);
  ASSERT_EQ(first.size(), 76u);
  EXPECT_EQ(first[0], "2026-12-07 10:02:30.000");
  EXPECT_EQ(std::vector<std::string>(first.begin() + 1, first.begin() + 16),
            (std::vector<std::string>{" <-- snmpNoReply", "SnmpPoll", "300", "101", "Report 1", "1",
                                      "node1", "127.0.0.1", "0", "2", "", "0", "0", "1", "1"}));
  EXPECT_EQ(std::vector<std::string>(first.begin() + 16, first.begin() + 27),
            (std::vector<std::string>{kTestOid, "Object", "0", "", "-1", "0", "True", "", "1500",
                                      "False", "1.3.6.1.2.1.1.3.0"}));
  EXPECT_EQ(testing::Fields(v2[1])[4], "103");
  EXPECT_EQ(testing::Fields(v2[1])[14], "0") << "Pending after the second give-up";
  EXPECT_EQ(testing::Fields(v3[0])[4], "102");
  EXPECT_EQ(testing::Fields(v3[0])[15], "0");
}

}  // namespace
}  // namespace quorlan
