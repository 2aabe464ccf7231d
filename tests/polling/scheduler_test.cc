// The poll scheduler's tick on a settable clock, with real managers sending to silent devices on
// 127.0.0.1.
#include <gtest/gtest.h>

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

enum class Outcome { kNothing, kFirstSend, kResend, kGiveUp };

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
  int16_t counter_before = 0;  // Pending, or PendingV3 for version 3
  Outcome outcome = Outcome::kNothing;
  int16_t counter_after = 0;
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
    int16_t& counter = c.version == 3 ? h.st.PendingV3 : h.st.Pending;
    counter = c.counter_before;
    const TrendListEntry before = e;

    timerPoll_Timer(h.st);

    EXPECT_EQ(counter, c.counter_after);
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
    }
    EXPECT_TRUE(h.Events().empty());
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

TEST_F(SchedulerTest, AnOverflowingPauseEndsTheTickRightAfterItsSend) {
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
    h.st.LastHour = 9;  // the hourly work would run after the passes
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
    EXPECT_EQ(h.st.LastHour, 9);
    const auto events = h.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, "1");
    EXPECT_EQ(events[0].source, "frmQuorlanTrend_timerPoll_ReportID=101");
    EXPECT_NE(events[0].message.find("Overflow"), std::string::npos) << events[0].message;
  }
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
  };
  for (const Case c : {Case{"OID refused", 2, "not-an-oid", true, 0, 0},
                       Case{"send refused", 2, kTestOid, false, kFirstMessId, 1},
                       Case{"SNMPv3 send refused", 3, kTestOid, false, kFirstMessId, 1}}) {
    SCOPED_TRACE(c.name);
    ManualClock clock(kStart);
    PollHarness h(clock);
    SilentDevice device;
    h.st.DebugMode = true;
    TrendListEntry& e = h.AddEntry(device.port(), c.version);
    e.PollObjId[1] = c.oid;
    e.PollEngineId = c.version == 3 ? kEngine : std::string();
    e.PollSampledValue[1] = 5;
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
