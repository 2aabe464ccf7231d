#include <fmt/format.h>
#include <gtest/gtest.h>

#include "components/platform/platform.h"
#include "support/temp_dir.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace {

DateTime At(int y, int mo, int d, int h, int mi, int s) {
  return DateTime::FromCivil({y, mo, d, h, mi, s, 0});
}

class PollRulesTest : public ::testing::Test {
 protected:
  PollRulesTest() : loop(clock), st(dir.path(), clock, loop) { dir.MakeDir("Debug"); }

  // PollNextTime of entry 1 with the given interval, computed at the given time of 2026-12-07.
  std::string NextAt(int32_t interval, int h, int mi, int s) {
    clock.Set(At(2026, 12, 7, h, mi, s));
    st.TrendList[1].PollInterval = interval;
    const int16_t entry = 1;
    CalcPollNextTime(st, entry);
    return st.TrendList[1].PollNextTime.FormatDateTime();
  }

  std::vector<std::string> Events() {
    const std::string log = st.DebugFile("T-AppEvent.txt");
    return FileExists(log) ? ReadLines(log) : std::vector<std::string>{};
  }

  testing::TempDir dir;
  ManualClock clock;
  EventLoop loop;
  TrendState st;
};

TEST_F(PollRulesTest, OneMinuteGrid) {
  EXPECT_EQ(NextAt(60, 10, 0, 0), "2026-12-07 10:01:00");
  EXPECT_EQ(NextAt(60, 10, 58, 30), "2026-12-07 10:59:00");
  EXPECT_EQ(NextAt(60, 10, 59, 30), "2026-12-07 11:00:00");
  EXPECT_EQ(NextAt(60, 23, 58, 59), "2026-12-07 23:59:00");
  // The next day's midnight becomes now plus the interval, seconds included.
  EXPECT_EQ(NextAt(60, 23, 59, 30), "2026-12-08 00:00:30");
  EXPECT_EQ(NextAt(60, 0, 0, 30), "2026-12-07 00:01:00");
}

TEST_F(PollRulesTest, FiveMinuteGridEveryBand) {
  for (int m = 0; m < 55; ++m) {
    const int next = (m / 5 + 1) * 5;
    EXPECT_EQ(NextAt(300, 10, m, 59), fmt::format("2026-12-07 10:{:02d}:00", next)) << m;
  }
  for (int m = 55; m < 60; ++m) EXPECT_EQ(NextAt(300, 10, m, 0), "2026-12-07 11:00:00") << m;
  EXPECT_EQ(NextAt(300, 10, 4, 59), "2026-12-07 10:05:00");
  EXPECT_EQ(NextAt(300, 10, 5, 0), "2026-12-07 10:10:00");
  EXPECT_EQ(NextAt(300, 23, 57, 10), "2026-12-08 00:02:10");
  EXPECT_EQ(NextAt(300, 0, 2, 11), "2026-12-07 00:05:00");  // back on the grid
}

TEST_F(PollRulesTest, FifteenMinuteGrid) {
  EXPECT_EQ(NextAt(900, 14, 0, 0), "2026-12-07 14:15:00");
  EXPECT_EQ(NextAt(900, 14, 14, 59), "2026-12-07 14:15:00");
  EXPECT_EQ(NextAt(900, 14, 15, 0), "2026-12-07 14:30:00");
  EXPECT_EQ(NextAt(900, 14, 29, 0), "2026-12-07 14:30:00");
  EXPECT_EQ(NextAt(900, 14, 30, 0), "2026-12-07 14:45:00");
  EXPECT_EQ(NextAt(900, 14, 44, 10), "2026-12-07 14:45:00");
  EXPECT_EQ(NextAt(900, 14, 45, 0), "2026-12-07 15:00:00");
  EXPECT_EQ(NextAt(900, 14, 59, 59), "2026-12-07 15:00:00");
  EXPECT_EQ(NextAt(900, 23, 50, 0), "2026-12-08 00:05:00");
  EXPECT_EQ(NextAt(900, 23, 44, 0), "2026-12-07 23:45:00");
}

TEST_F(PollRulesTest, HourGrid) {
  EXPECT_EQ(NextAt(3600, 8, 0, 0), "2026-12-07 09:00:00");
  EXPECT_EQ(NextAt(3600, 8, 59, 59), "2026-12-07 09:00:00");
  EXPECT_EQ(NextAt(3600, 22, 30, 0), "2026-12-07 23:00:00");
  EXPECT_EQ(NextAt(3600, 23, 10, 20), "2026-12-08 00:10:20");
}

TEST_F(PollRulesTest, MonthAndYearEndsAndMilliseconds) {
  clock.Set(DateTime::FromCivil({2026, 12, 31, 23, 59, 30, 250}));
  st.TrendList[2].PollInterval = 60;
  const int16_t entry = 2;
  CalcPollNextTime(st, entry);
  EXPECT_EQ(st.TrendList[2].PollNextTime, DateTime::FromCivil({2027, 1, 1, 0, 0, 30, 250}));
  clock.Set(DateTime::FromCivil({2026, 2, 28, 22, 59, 0, 999}));
  CalcPollNextTime(st, entry);
  EXPECT_EQ(st.TrendList[2].PollNextTime, At(2026, 2, 28, 23, 0, 0));
}

TEST_F(PollRulesTest, OtherIntervalsLeaveTheTimeAlone) {
  EXPECT_EQ(NextAt(120, 10, 0, 0), "1899-12-30 00:00:00");
  st.TrendList[1].PollNextTime = At(2026, 12, 7, 9, 0, 0);
  for (int32_t interval : {120, 0, -60, 61, 7200}) {
    EXPECT_EQ(NextAt(interval, 10, 0, 0), "2026-12-07 09:00:00") << interval;
  }
  EXPECT_TRUE(Events().empty());
}

TEST_F(PollRulesTest, EntryOutsideTheTableIsReported) {
  for (int16_t entry : {int16_t{0}, int16_t{301}, int16_t{-1}}) CalcPollNextTime(st, entry);
  const auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_NE(events[0].find("\t1\tmodQuorlanTrend_CalcPollNextTime\tSubscript out of range: "
                           "trend list entry 0"),
            std::string::npos)
      << events[0];
  EXPECT_THROW(st.TrendList[301], RuntimeError);
  EXPECT_THROW(st.TrendList[1].PollObjId[7], RuntimeError);
  EXPECT_NO_THROW(st.TrendList[300].PollObjId[6]);
}

TEST_F(PollRulesTest, TriggerValueTable) {
  // Thresholds are the numbers written, in double precision.
  const std::pair<std::string, double> rows[] = {{"", 0},
                                                 {"75", 75},
                                                 {"10K", 10000},
                                                 {"10kB", 10000},
                                                 {"20M", 2e7},
                                                 {"2g", 2e9},
                                                 {" 1.5k", 1500},
                                                 {"-3", -3},
                                                 {"1M5", 1e6},
                                                 {"1.5", 1.5},
                                                 {"7 ", 7},
                                                 {"99.9", 99.9},
                                                 {"123456789", 123456789},
                                                 {"4294967295", 4294967295},
                                                 {"1.003K", 1003},
                                                 {"8.19K", 8190},
                                                 {"0.000001G", 1000},
                                                 {"1e40", 1e40}};
  for (const auto& [text, expected] : rows) {
    double value = 123;
    ConvTriggerValue(st, text, value);
    EXPECT_EQ(value, expected) << text;
  }
  EXPECT_TRUE(Events().empty());
}

TEST_F(PollRulesTest, TriggerValueErrorsKeepTheValue) {
  for (const std::string text : {"K10", "abc", "1e400", "x5M", "5m1K"}) {
    double value = 42;
    ConvTriggerValue(st, text, value);
    EXPECT_EQ(value, 42) << text;
  }
  const auto events = Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_NE(events[0].find("\t1\tmodQuorlanTrend_ConvTriggerValue\tTrigger value \"K10\": Type "
                           "mismatch"),
            std::string::npos)
      << events[0];
  EXPECT_NE(events[1].find("\"abc\""), std::string::npos) << events[1];
  EXPECT_NE(events[2].find("Overflow"), std::string::npos) << events[2];
}

}  // namespace
}  // namespace quorlan
