#include <gtest/gtest.h>

#include "components/platform/platform.h"
#include "support/temp_dir.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

class DumpTest : public ::testing::Test {
 protected:
  DumpTest()
      : clock(DateTime::FromCivil({2026, 12, 7, 9, 5, 3, 42})),
        loop(clock),
        st(dir.path(), clock, loop) {
    dir.MakeDir("Debug");
  }
  std::string Dump() { return dir.Read("Debug/T-TrendList.txt"); }

  testing::TempDir dir;
  ManualClock clock;
  EventLoop loop;
  TrendState st;
};

TEST_F(DumpTest, HeaderHasEightyThreeColumnsInOrder) {
  const auto cols = Split(TrendListDumpHeader());
  ASSERT_EQ(cols.size(), 83u);
  EXPECT_EQ(cols[0], "ReportId");
  EXPECT_EQ(cols[13], "PollSnmpV3User");
  EXPECT_EQ(cols[14], "PollObjId1");
  EXPECT_EQ(cols[23], "PollTriggerStatus1");
  EXPECT_EQ(cols[24], "PollObjId2");
  EXPECT_EQ(cols[73], "PollTriggerStatus6");
  EXPECT_EQ(cols[74], "PollNumObjects");
  EXPECT_EQ(cols[82], "PollNextTime");
  for (const std::string& c : cols) EXPECT_EQ(c.find("PollTriggerValueText"), std::string::npos);
}

TEST_F(DumpTest, EmptyTableWritesTitleHeaderAndTwoEmptyLines) {
  st.Mib_sysTrendChanged = 2;
  DebugTrendList(st);
  const std::string block =
      "2026-12-07 09:05:03.042\tMib_sysTrendChanged=2\r\n" + TrendListDumpHeader() + "\r\n\r\n\r\n";
  EXPECT_EQ(Dump(), block);
  DebugTrendList(st);  // appends a second block
  EXPECT_EQ(Dump(), block + block);
}

TEST_F(DumpTest, NeverPolledEntryLine) {
  TrendListEntry& e = st.TrendList[1];
  e.ReportId = 17;
  e.ReportTitle = "Core\tuplink\r\n";  // control characters become blanks
  e.NodeId = -4;
  e.PollInterval = 300;
  e.PollType = "SnmpPoll";
  e.PollObjId[1] = "1.3.6.1.2.1.2.2.1.10.1";
  e.PollObjType[1] = 3;
  for (int k = 1; k <= 6; ++k) e.PollSampledValue[k] = -1;
  e.PollTriggerValue[2] = 1500;
  e.PollTriggerAlarm[2] = true;
  e.PollNumObjects = 1;
  e.PollTimeOutTime = DateTime::FromCivil({2026, 12, 7, 9, 5, 3, 42});
  st.TrendListCount = 1;
  DebugTrendList(st);
  const auto lines = ReadLines(dir.File("Debug/T-TrendList.txt"));
  ASSERT_EQ(lines.size(), 5u);
  const auto v = Split(lines[2]);
  ASSERT_EQ(v.size(), 83u);
  EXPECT_EQ(v[0], "17");
  EXPECT_EQ(v[1], "Core uplink  ");
  EXPECT_EQ(v[2], "-4");
  EXPECT_EQ(v[9], "300");
  EXPECT_EQ(v[14], "1.3.6.1.2.1.2.2.1.10.1");
  EXPECT_EQ(v[16], "3");
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(v[14 + 10 * k + 4], "-1") << k;     // PollSampledValue
    EXPECT_EQ(v[14 + 10 * k + 5], "0") << k;      // PollSavedValue
    EXPECT_EQ(v[14 + 10 * k + 9], "False") << k;  // PollTriggerStatus
  }
  EXPECT_EQ(v[30], "True");  // PollTriggerAlarm2
  EXPECT_EQ(v[32], "1500");  // PollTriggerValue2
  EXPECT_EQ(v[42], "0");     // PollTriggerValue3
  EXPECT_EQ(v[74], "1");
  EXPECT_EQ(v[75], "");
  EXPECT_EQ(v[78], "0");  // PollMessId
  EXPECT_EQ(v[79], "2026-12-07 09:05:03");
  EXPECT_EQ(v[81], "False");  // PollPending
  EXPECT_EQ(v[82], "1899-12-30 00:00:00");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "");
}

TEST_F(DumpTest, WideValuesKeepTheirDigitsAndSingleTextsStay) {
  TrendListEntry& e = st.TrendList[1];
  e.PollSampledValue[1] = 4294967295.0;  // a Counter32 at its top
  e.PollSavedValue[1] = 16777217;
  e.PollSampledValue[2] = 0.25;
  e.PollSavedValue[2] = 1.0 / 3.0;
  e.PollSampledValue[3] = 1.5e15;
  e.PollSavedValue[3] = -2.5;
  const auto v = Split(TrendListDumpLine(e));
  EXPECT_EQ(v[18], "4294967295");
  EXPECT_EQ(v[19], "16777217");
  EXPECT_EQ(v[28], "0.25");
  EXPECT_EQ(v[29], "0.333333333333333");
  EXPECT_EQ(v[38], "1.5E+15");
  EXPECT_EQ(v[39], "-2.5");
}

TEST_F(DumpTest, AFailedAppendIsReportedAndWritesNothing) {
  // The dump file's name is taken by a folder: the append fails, the event log still works.
  dir.MakeDir("Debug/T-TrendList.txt");
  st.TrendListCount = 1;
  st.TrendList[1].ReportId = 17;
  DebugTrendList(st);
  EXPECT_TRUE(DirectoryExists(dir.File("Debug/T-TrendList.txt")));
  ASSERT_TRUE(FileExists(st.DebugFile("T-AppEvent.txt"))) << "the failure was not reported";
  const auto lines = ReadLines(st.DebugFile("T-AppEvent.txt"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "2026-12-07 09:05:03.042\t1\tmodQuorlanTrend_DebugTrendList\topen for appending " +
                st.DebugFile("T-TrendList.txt") + ": Is a directory");
}

}  // namespace
}  // namespace quorlan
