#include <gtest/gtest.h>

#include "service/service.h"
#include "support/event_log.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::FakeServiceHost;
using testing::ReadEventLog;
using testing::TempDir;

class RunCycleTest : public ::testing::Test {
 protected:
  RunCycleTest() : clock_(DateTime::FromCivil({2026, 12, 7, 14, 30, 0})), loop_(clock_) {
    dir_.MakeDir("Debug");
  }
  // A suite database that is set up, so that the start goes through.
  void SetUpDatabase() {
    m_.SqlDbSetupOk = true;
    m_.DbConnStringSql = "Driver=SQLite3;Database=" + dir_.File("suite.db");
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const auto& e : ReadEventLog(dir_.path())) out.push_back(e.type + " " + e.message);
    return out;
  }

  TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  FakeServiceHost host_;
  Module m_{dir_.path(), clock_, loop_, host_};
};

TEST_F(RunCycleTest, StartWithoutSetUpDatabaseIsRefusedOnceAndForAll) {
  host_.Deliver(kStateStart);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 Exit Due to SQL Not Setup OK"}));
  EXPECT_EQ(ReadEventLog(dir_.path())[0].source, "frmQuorlanTrend_dartSvc_State");
  EXPECT_EQ(m_.ServiceState, 0);
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_FALSE(m_.timerDebug.Enabled());
  // A later start event in the same process does nothing, whatever changed meanwhile.
  SetUpDatabase();
  host_.Deliver(kStateStart);
  EXPECT_EQ(Messages().size(), 1u);
  EXPECT_EQ(m_.ServiceState, 0);
}

TEST_F(RunCycleTest, StartWithoutConnectionStringIsRefused) {
  m_.SqlDbSetupOk = true;
  host_.Deliver(kStateStart);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 Exit Due to No SQL Connection String"}));
  EXPECT_EQ(m_.ServiceState, 0);
}

TEST_F(RunCycleTest, StartRunsTheSequenceAndEnablesTheTimers) {
  SetUpDatabase();
  dir_.Write("Quorlan.ini", "TimerInterval=1500\n");
  const DateTime before = clock_.Now();
  host_.Deliver(kStateStart);
  EXPECT_GE(clock_.Now(), before.PlusMillis(7000)) << "the start waits 7 seconds";
  EXPECT_EQ(m_.ServiceState, 1);
  EXPECT_EQ(m_.LastMessId, 1000000);
  EXPECT_EQ(m_.LastHour, 14);
  EXPECT_EQ(m_.ServiceStartTime, before.PlusMillis(7000));
  EXPECT_EQ(m_.timerPoll.Interval(), 3000);
  EXPECT_TRUE(m_.timerPoll.Enabled());
  EXPECT_TRUE(m_.timerDebug.Enabled());
  EXPECT_EQ(m_.timerDebug.Interval(), 30000);
  EXPECT_EQ(
      Messages(),
      (std::vector<std::string>{"3 Quorlan Trend Reporting Service Started. Version: 10.00"}));
}

TEST_F(RunCycleTest, TimerIntervalAbove16383OverflowsAndLeavesThePollTimerOff) {
  SetUpDatabase();
  dir_.Write("Quorlan.ini", "TimerInterval=16384\n");
  host_.Deliver(kStateStart);
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_EQ(m_.ServiceState, 0);
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "frmQuorlanTrend_dartSvc_State");
  EXPECT_EQ(events[0].message, "Overflow: 2 * 16384 does not fit a 16-bit integer");
}

TEST_F(RunCycleTest, StopDisablesPollingButNotTheDebugTimer) {
  SetUpDatabase();
  host_.Deliver(kStateStart);
  const DateTime before = clock_.Now();
  host_.Deliver(kStateStop);
  EXPECT_EQ(m_.ServiceState, 2);
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_TRUE(m_.timerDebug.Enabled());
  EXPECT_EQ(clock_.Now(), before.PlusMillis(2000)) << "four pauses of 500 ms";
  EXPECT_EQ(Messages().back(), "3 Quorlan Trend Reporting Service Stopped");
}

TEST_F(RunCycleTest, PauseAndResumeOnlyReportAndOtherStatesAreIgnored) {
  host_.Deliver(kStatePause);
  host_.Deliver(kStateResume);
  host_.Deliver(4);
  host_.Deliver(-1);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"3 Pause Not Implemented", "3 Resume Not Implemented"}));
  EXPECT_EQ(m_.ServiceState, 0);
}

TEST_F(RunCycleTest, EventsDuringTheStartPauseAreDelivered) {
  SetUpDatabase();
  int delivered = 0;
  loop_.Post([&] { ++delivered; });
  host_.Deliver(kStateStart);
  EXPECT_EQ(delivered, 1);
}

}  // namespace
}  // namespace quorlan
