#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "components/platform/platform.h"
#include "diagnostics/diagnostics.h"
#include "support/event_log.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::TempDir;

class DebugFilesTest : public ::testing::Test {
 protected:
  DebugFilesTest() : clock_(DateTime::FromCivil({2026, 12, 7, 14, 0, 0})), loop_(clock_) {
    dir_.MakeDir("Debug");
  }
  bool Exists(const std::string& name) { return FileExists(dir_.File("Debug/" + name)); }
  std::string Read(const std::string& name) { return dir_.Read("Debug/" + name); }

  TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  Runtime rt_{dir_.path(), clock_, loop_};
};

TEST_F(DebugFilesTest, HeadersNameTheColumnsOfTheirRows) {
  const std::string poll = DebugPollHeader();
  EXPECT_TRUE(poll.starts_with(
      "Time\tAction\tPollType\tPollInt\tRepId\tRepTitle\tDevId\tName\tAddress\tMessId\t"
      "SnmpVer\tEngineId\tEngineBoots\tEngineTime\tPending\tPendingV3\tObjOid1\tObjName1\t"
      "ObjType1\tObjEval1\tSampledVal1\tSavedVal1\tTriggerAlarm1\tTriggerExpr1\tTriggerValue1\t"
      "TriggerStatus1\tObjOid2\t"))
      << poll;
  EXPECT_EQ(std::count(poll.begin(), poll.end(), '\t'), 75);
  EXPECT_TRUE(poll.ends_with("\tTriggerValue6\tTriggerStatus6")) << poll;
  EXPECT_EQ(DebugTrapHeader(),
            "Time\tDevId\tDevName\tReportId\tReportTitle\tObjectName\tSavedValue\tTriggerExpr\t"
            "TriggerValue\tTrapId");
}

TEST_F(DebugFilesTest, PrepCreatesTheFiveFilesAnewWithTheirHeaders) {
  dir_.Write("Debug/T-SnmpPoll.txt", "an old row\r\n");
  DebugFilePrep(rt_);
  EXPECT_EQ(Read("T-SnmpTrap.txt"), DebugTrapHeader() + "\r\n");
  for (const char* name : {kTraceSnmpPoll, kTraceSnmpPollV3, kTraceSnmpResp, kTraceSnmpRespV3}) {
    EXPECT_EQ(Read(name), DebugPollHeader() + "\r\n") << name;
  }
  EXPECT_FALSE(Exists(kTraceDiscEngineId));
  EXPECT_TRUE(testing::ReadEventLog(dir_.path()).empty());
}

TEST_F(DebugFilesTest, PrepStopsAtAFileItCannotWriteAndReportsIt) {
  std::filesystem::create_directory(dir_.File("Debug/T-SnmpResp.txt"));
  DebugFilePrep(rt_);
  EXPECT_TRUE(Exists(kTraceSnmpPollV3));
  EXPECT_FALSE(Exists(kTraceSnmpRespV3));
  const auto events = testing::ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_DebugFilePrep");
  EXPECT_NE(events[0].message.find("T-SnmpResp.txt"), std::string::npos) << events[0].message;
}

TEST_F(DebugFilesTest, ClearDeletesTheTraceFilesAndKeepsTheLogs) {
  const std::vector<std::string> traces = {
      "T-SnmpPoll.txt",   "T-SnmpPollV3.txt",   "T-SnmpResp.txt",
      "T-SnmpRespV3.txt", "T-SnmpTrap.txt",     "T-PollStatus.txt",
      "T-TrendList.txt",  "T-DiscEngineId.txt", "T-SnmpOther.txt"};
  const std::vector<std::string> kept = {"T-Services.txt", "T-AppEvent.txt", "T-AppEvent.bak",
                                         "notes.txt"};
  for (const auto& name : traces) dir_.Write("Debug/" + name, "x\r\n");
  for (const auto& name : kept) dir_.Write("Debug/" + name, "x\r\n");
  DebugDirClear(rt_);
  for (const auto& name : traces) EXPECT_FALSE(Exists(name)) << name;
  for (const auto& name : kept) EXPECT_TRUE(Exists(name)) << name;
  // Nothing to delete is no error.
  DebugDirClear(rt_);
  EXPECT_EQ(Read("T-AppEvent.txt"), "x\r\n");
}

}  // namespace
}  // namespace quorlan
