// The tick's database work (change passes, hourly and daily work) against an embedded
// installation's SQLite suite database, in the order the statements reach the driver.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "polling/poll_harness.h"
#include "support/process.h"
#include "support/recording_database.h"

namespace quorlan {
namespace {

using testing::PollHarness;
using testing::RecordingDatabase;

class HousekeepingTest : public ::testing::Test {
 protected:
  HousekeepingTest() {
    CreateEmbeddedInstallation(h_.dir.path(), testing::BuiltExecutable("quorlan-trend"));
    h_.st.DbConnStringSql = "Driver=SQLite3;Database=" + h_.dir.File(kSuiteDatabase);
    VerifiyTrendDataTables(h_.st);
    recorder_ = std::make_shared<RecordingDatabase>(h_.st.Db);
    h_.st.Db = recorder_;
    h_.st.DebugMode = true;
    h_.st.LastHour = 10;
  }

  // Runs one tick at t and returns what it did, in order: "change" (the edit pass), "profiles",
  // "nodes", and each trend-data table the retention pass touched; repeats collapsed.
  std::vector<std::string> TickAt(DateTime t) {
    clock_.Set(t);
    recorder_->log().clear();
    timerPoll_Timer(h_.st);
    std::vector<std::string> work;
    for (const std::string& sql : recorder_->Statements()) {
      std::string tag;
      if (sql.find("DbChanged") != std::string::npos) tag = "change";
      if (sql.find("SecProfiles") != std::string::npos) tag = "profiles";
      if (sql.find("ATR_Nodes") != std::string::npos) tag = "nodes";
      for (const char* table : kTrendDataTables) {
        if (sql.find(std::string(table) + " ") != std::string::npos) tag = table;
      }
      if (!tag.empty() && (work.empty() || work.back() != tag)) work.push_back(tag);
    }
    EXPECT_EQ(h_.st.LastHour, t.Hour());
    return work;
  }
  bool Exists(const char* trace) { return FileExists(h_.st.DebugFile(trace)); }

  ManualClock clock_{DateTime::FromCivil({2026, 12, 7, 10, 30, 0})};
  PollHarness h_{clock_};
  std::shared_ptr<RecordingDatabase> recorder_;
};

using Work = std::vector<std::string>;
const Work kHourly = {"profiles", "nodes"};
const Work kHourlyAndDaily = {"profiles",   "nodes",       "TrendData1",
                              "TrendData5", "TrendData15", "TrendData60"};

TEST_F(HousekeepingTest, HourlyAndDailyWorkRunInTheirOrder) {
  const DateTime day = DateTime::FromDate(2026, 12, 7);
  h_.st.Mib_sysTrendChanged = 2;
  EXPECT_EQ(TickAt(day.PlusHours(10).PlusSeconds(1800)), (Work{"nodes", "change", "profiles"}));
  EXPECT_EQ(h_.st.Mib_sysTrendChanged, 0);
  EXPECT_EQ(TickAt(day.PlusHours(10).PlusSeconds(1802)), Work{}) << "same hour";

  EXPECT_EQ(TickAt(day.PlusHours(11).PlusSeconds(1)), kHourly) << "first tick of a new hour";
  EXPECT_TRUE(Exists(kTraceTrendList));

  // An event log line older than 60 days goes with the daily work.
  AppendToFile(h_.st.DebugFile("T-AppEvent.txt"), "2026-09-01 10:00:00.000\t3\tx_y\told\r\n");
  EXPECT_EQ(TickAt(day.PlusHours(10).PlusSeconds(1900)), kHourlyAndDaily) << "clock set back";
  EXPECT_FALSE(Exists(kTraceTrendList)) << "the debug files are cleared after the hourly dump";
  const auto events = h_.Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].message, "0 Trend Data Older Than 7 Days Deleted From 1 Min Sampling");
  EXPECT_EQ(events[3].source, "frmVeltTrendSrv_DelTrendData");

  EXPECT_EQ(TickAt(day.PlusHours(23).PlusSeconds(3599)), kHourly) << "a later hour";
  EXPECT_EQ(TickAt(day.PlusDays(1).PlusSeconds(1)), kHourlyAndDaily) << "midnight";
  EXPECT_EQ(h_.Events().size(), 8u);
}

// A pass that fails at every tick (a pause whose product overflows) does not keep the hourly and
// daily work from running, and its error is logged once an hour with a count.
TEST_F(HousekeepingTest, AFailingPassStillRunsTheHourlyAndDailyWork) {
  testing::SilentDevice device;
  h_.st.Ini.PollDelaySnmp = 3277;
  for (int n = 1; n <= 3; ++n) {
    h_.AddEntry(device.port());
    // The node synchronisation keeps the entries of nodes that exist.
    OpenSuiteConnection(h_.st)->Execute(fmt::format(
        "INSERT INTO ATR_Nodes (node_id, node_name, address, UdpPort, SnmpVersion, TrendReports) "
        "VALUES ({}, 'node{}', '127.0.0.1', {}, 2, 1)",
        n, n, device.port()));
  }
  h_.st.LastHour = 23;
  const DateTime midnight = DateTime::FromDate(2026, 12, 8);
  EXPECT_EQ(TickAt(midnight.PlusSeconds(1)), kHourlyAndDaily);
  EXPECT_EQ(TickAt(midnight.PlusSeconds(3)), Work{})
      << "the second entry's send fails the same way";
  EXPECT_EQ(TickAt(midnight.PlusHours(1).PlusSeconds(1)), kHourly);
  std::vector<std::string> tick_errors;
  for (const auto& e : h_.Events()) {
    if (e.source.rfind("frmQuorlanTrend_timerPoll", 0) == 0) {
      tick_errors.push_back(e.source + " " + e.message.substr(0, 24));
    }
  }
  EXPECT_EQ(device.Received().size(), 3u);
  EXPECT_EQ(tick_errors, (std::vector<std::string>{
                             "frmQuorlanTrend_timerPoll_ReportID=101 Overflow: 3277 * 10 does",
                             "frmQuorlanTrend_timerPoll_ReportID=101 1 more tick errors \"Over",
                             "frmQuorlanTrend_timerPoll_ReportID=101 Overflow: 3277 * 10 does"}));
}

}  // namespace
}  // namespace quorlan
