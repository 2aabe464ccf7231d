// The trend list over the embedded installation's own suite tables (sql/sqlite-suite.sql), with
// the rows an operator's editor writes: only the columns it sets, the rest at their defaults.
#include <gtest/gtest.h>

#include <fstream>

#include "trendlist/trend_db.h"
#include "trendlist/trendlist.h"

namespace quorlan::testing {
namespace {

class SuiteSchemaTest : public ::testing::Test {
 protected:
  SuiteSchemaTest() : loop(clock), st(dir.path(), clock, loop) {
    dir.MakeDir("Debug");
    st.DbConnStringSql = "Driver=SQLite3;Database=" + dir.File(kSuiteDatabase);
    // The script: comment lines, and statements that end with ";" at the end of a line.
    std::ifstream in(std::string(QUORLAN_SOURCE_DIR) + "/sql/sqlite-suite.sql");
    std::string line;
    std::string statement;
    while (std::getline(in, line)) {
      if (line.rfind("--", 0) == 0) continue;
      statement += line + "\n";
      if (!line.empty() && line.back() == ';') {
        Exec(statement.substr(0, statement.size() - 2));
        statement.clear();
      }
    }
    EXPECT_EQ(statement.find_first_not_of(" \r\n\t"), std::string::npos) << statement;
  }

  void Exec(const std::string& sql) {
    auto conn = st.Db->NewConnection();
    conn->Open(st.DbConnStringSql, kDbConnectTimeoutSeconds);
    conn->Execute(sql);
  }

  TempDir dir;
  ManualClock clock{DateTime::FromCivil({2026, 12, 7, 23, 59, 30, 0})};
  EventLoop loop;
  TrendState st;
};

TEST_F(SuiteSchemaTest, BuildsFromTheSuiteTablesWithTheirDefaults) {
  Exec(
      "INSERT INTO ATR_Nodes (node_id, node_name, address, TrendReports) VALUES "
      "(7, 'Core-7', '192.0.2.7', 1), (8, 'Lab', '192.0.2.8', 0)");
  Exec(
      "INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
      "ObjName1, ObjType1, TriggerAlarm1, TriggerExpr1, TriggerValue1) VALUES (1, 'Uplink', 7, "
      "'Core-7', 1, '1.3.6.1.2.1.2.2.1.10.3', 'In', 3, 1, '>', '80M')");
  Exec("INSERT INTO TrendReports (ReportId, NodeId) VALUES (2, 8)");
  TrendListCreate(st);
  ASSERT_FALSE(FileExists(st.DebugFile("T-AppEvent.txt")))
      << ReadLines(st.DebugFile("T-AppEvent.txt"))[0];
  ASSERT_EQ(st.TrendListCount, 1);
  const TrendListEntry& e = st.TrendList[1];
  EXPECT_EQ(e.PollType, "SnmpStatus");
  EXPECT_EQ(e.SnmpVersion, 1);
  EXPECT_EQ(e.UdpPort, 161);
  EXPECT_EQ(e.PollTimeOut, 5);
  EXPECT_EQ(e.ReadComm, "public");
  EXPECT_EQ(e.PollTriggerValue[1], 8e7f);
  EXPECT_EQ(e.PollNumObjects, 1);
  EXPECT_EQ(e.PollNextTime, DateTime::FromCivil({2026, 12, 8, 0, 0, 30, 0}));

  // The editor's new rows default to '1' (added); the addition pass takes them in.
  Exec("INSERT INTO TrendReports (ReportId, NodeId, PollInterval) VALUES (3, 7, 60)");
  TrendListTrendAdd(st);
  ASSERT_EQ(st.TrendListCount, 2);
  EXPECT_EQ(st.TrendList[2].PollInterval, 3600);
  EXPECT_EQ(st.TrendList[2].PollType, "SnmpPoll");
  Exec("UPDATE ATR_Nodes SET TrendReports = 0 WHERE node_id = 7");
  TrendListDevSync(st);
  EXPECT_EQ(st.TrendList[1].PollType, "Deleted");
  EXPECT_EQ(st.TrendList[2].PollType, "Deleted");
  EXPECT_FALSE(FileExists(st.DebugFile("T-AppEvent.txt")));
}

}  // namespace
}  // namespace quorlan::testing
