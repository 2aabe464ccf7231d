// Creation of the trend-data tables and their daily retention, on a real SQLite suite database.
#include "storage_fixture.h"

namespace quorlan {
namespace {

using testing::RecordingDatabase;
using testing::StorageTest;

std::string CreateText(const std::string& table) {
  return "CREATE TABLE " + table +
         " (ReportId int NOT NULL,Time datetime NOT NULL,Value1 bigint NOT NULL,Value2 bigint NOT "
         "NULL,Value3 bigint NOT NULL,Value4 bigint NOT NULL,Value5 bigint NOT NULL,Value6 "
         "bigint NOT NULL)";
}

std::string IndexText(const std::string& table) {
  return "CREATE INDEX IF NOT EXISTS " + table + "_ReportId_Time ON " + table + " (ReportId, Time)";
}

// The statements of a start that creates these tables, each with its index.
std::vector<std::string> Creating(const std::vector<std::string>& tables) {
  std::vector<std::string> out = {"SELECT name from sys.tables"};
  for (const std::string& table : tables) {
    out.push_back(CreateText(table));
    out.push_back(IndexText(table));
  }
  return out;
}

using TrendTablesTest = StorageTest;

TEST_F(TrendTablesTest, CreatesAllFourInOrderWithTheExactStatements) {
  VerifiyTrendDataTables(st_);
  EXPECT_EQ(recording_->Statements(),
            Creating({"TrendData1", "TrendData5", "TrendData15", "TrendData60"}));
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(Count("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name LIKE "
                  "'TrendData%'"),
            4);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name LIKE "
                  "'TrendData%_ReportId_Time'"),
            4);
  // A second start finds them all and creates nothing.
  recording_->log().clear();
  VerifiyTrendDataTables(st_);
  EXPECT_EQ(recording_->Statements(), (std::vector<std::string>{"SELECT name from sys.tables"}));
  EXPECT_TRUE(Events().empty());
}

TEST_F(TrendTablesTest, ANameDifferingOnlyInCaseCountsAsPresent) {
  Exec({"CREATE TABLE trenddata5 (x int)", "CREATE TABLE TRENDDATA60 (y int)"});
  VerifiyTrendDataTables(st_);
  EXPECT_EQ(recording_->Statements(), Creating({"TrendData1", "TrendData15"}));
  EXPECT_TRUE(Events().empty());
}

TEST_F(TrendTablesTest, AFailedCreationStopsTheRestAndTheNextStartTriesAgain) {
  // A view is not a table, so TrendData5 counts as missing, and its creation is refused.
  Exec({"CREATE VIEW TrendData5 AS SELECT 1 AS x"});
  VerifiyTrendDataTables(st_);
  std::vector<std::string> expected = Creating({"TrendData1"});
  expected.push_back(CreateText("TrendData5"));
  EXPECT_EQ(recording_->Statements(), expected);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_VerifiyTrendDataTables");
  EXPECT_EQ(
      events[0].message.rfind("TrendData5 ODBC HY000 execute '" + CreateText("TrendData5"), 0), 0u)
      << events[0].message;

  Exec({"DROP VIEW TrendData5"});
  recording_->log().clear();
  VerifiyTrendDataTables(st_);
  EXPECT_EQ(recording_->Statements(), Creating({"TrendData5", "TrendData15", "TrendData60"}));
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(TrendTablesTest, AnErrorEntryIsReportedWithTheTableNameAndAnEmptyDescription) {
  recording_->FailStatement(4, RecordingDatabase::FailureMode::kErrorEntry);
  VerifiyTrendDataTables(st_);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "TrendData5 ");
  EXPECT_EQ(recording_->Statements().size(), 4u);
}

TEST_F(TrendTablesTest, UnreachableDatabaseIsOneErrorEvent) {
  st_.DbConnStringSql = "Driver=SQLite3;Database=" + dir_.File("no/such/folder/x.db");
  VerifiyTrendDataTables(st_);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "modQuorlanTrend_VerifiyTrendDataTables");
  EXPECT_NE(events[0].message.find("connect 'Driver=SQLite3;"), std::string::npos)
      << events[0].message;
}

class DelTrendDataTest : public StorageTest {
 protected:
  DelTrendDataTest() { VerifiyTrendDataTables(st_); }

  // n rows of report 17, one minute apart, the last at `last`.
  void AddRows(const std::string& table, int n, const std::string& last) {
    Exec({"INSERT INTO " + table +
          " WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c WHERE x < " +
          std::to_string(n - 1) + ") SELECT 17, datetime('" + last +
          "', '-' || x || ' minutes'), x, 0, 0, 0, 0, 0 FROM c"});
  }
  void StartAt(int year, int month, int day, int hour, int minute, int second) {
    clock_.inner.Set(DateTime::FromCivil({year, month, day, hour, minute, second}));
    recording_->log().clear();
  }
};

TEST_F(DelTrendDataTest, DeletesSevenThousandOldRowsInThreeChunksAndKeepsTheCutOffDay) {
  AddRows("TrendData1", 7000, "2026-05-02 23:59:59");
  AddRows("TrendData1", 30, "2026-05-03 00:29:00");  // the cut-off day, from midnight on
  StartAt(2026, 5, 10, 0, 0, 5);
  DelTrendData(st_, "TrendData1");

  const std::string count = "SELECT COUNT(ReportId) FROM TrendData1 WHERE time < '2026-05-03'";
  const std::string del = "DELETE TOP (3000) FROM TrendData1 WHERE time < '2026-05-03'";
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "open", count, "= 7000", del, "= 3000 rows changed", "WaitMs(500)", count,
                         "= 4000", del, "= 3000 rows changed", "WaitMs(500)", count, "= 1000", del,
                         "= 1000 rows changed", "WaitMs(500)", "close"}));
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "3");
  EXPECT_EQ(events[0].source, "frmVeltTrendSrv_DelTrendData");
  EXPECT_EQ(events[0].message, "7000 Trend Data Older Than 7 Days Deleted From 1 Min Sampling");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData1"), 30);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData1 WHERE time < '2026-05-03'"), 0);
}

TEST_F(DelTrendDataTest, SqlServerGetsALanguageNeutralCutOff) {
  recording_->ReportDbmsName("Microsoft SQL Server");  // 'YYYY-MM-DD' is year-day-month there
  StartAt(2026, 5, 10, 0, 0, 5);
  DelTrendData(st_, "TrendData1");
  ASSERT_FALSE(recording_->Statements().empty());
  EXPECT_EQ(recording_->Statements()[0],
            "SELECT COUNT(ReportId) FROM TrendData1 WHERE time < '20260503'");
}

TEST_F(DelTrendDataTest, NoStatementRunsWhileTheCountIsStillOpen) {
  {
    // The check itself: a statement over a result with its row unread is noticed; one after
    // the result's Close, or after it was read to its end, is not.
    RecordingDatabase probe(direct_);
    auto conn = probe.NewConnection();
    conn->Open(st_.DbConnStringSql, kDbConnectTimeoutSeconds);
    auto rows = conn->Execute("SELECT COUNT(*) FROM TrendData1");
    conn->Execute("SELECT 1");
    rows->Close();
    conn->Execute("SELECT 2");
    auto read = conn->Execute("SELECT 3");
    read->MoveNext();
    conn->Execute("SELECT 4");
    EXPECT_EQ(probe.StatementsOverOpenResults(), (std::vector<std::string>{"SELECT 1"}));
  }
  AddRows("TrendData1", 7000, "2026-05-02 23:59:59");
  StartAt(2026, 5, 10, 0, 0, 5);
  DelTrendData(st_, "TrendData1");
  EXPECT_EQ(recording_->Statements().size(), 6u);  // three counts, three deletes
  EXPECT_EQ(recording_->StatementsOverOpenResults(), std::vector<std::string>{});
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData1"), 0);
}

TEST_F(DelTrendDataTest, ExactlyThreeThousandTakesOneDeleteAndOnePause) {
  AddRows("TrendData5", 3000, "2026-04-09 12:00:00");
  StartAt(2026, 5, 10, 0, 0, 5);
  DelTrendData(st_, "trenddata5");
  const std::string where = " FROM trenddata5 WHERE time < '2026-04-10'";
  EXPECT_EQ(Trace(), (std::vector<std::string>{"open", "SELECT COUNT(ReportId)" + where, "= 3000",
                                               "DELETE TOP (3000)" + where, "= 3000 rows changed",
                                               "WaitMs(500)", "close"}));
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].message, "3000 Trend Data Older Than 30 Days Deleted From 5 Min Sampling");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData5"), 0);
}

TEST_F(DelTrendDataTest, NoOldRowsCountsOncePausesOnceAndReportsZero) {
  AddRows("TrendData60", 10, "2026-05-09 12:00:00");
  StartAt(2026, 5, 10, 0, 0, 5);
  DelTrendData(st_, "TrendData60");
  EXPECT_EQ(Trace(),
            (std::vector<std::string>{
                "open", "SELECT COUNT(ReportId) FROM TrendData60 WHERE time < '2025-05-10'", "= 0",
                "WaitMs(500)", "close"}));
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].type, "3");
  EXPECT_EQ(Events()[0].message, "0 Trend Data Older Than 1 Year Deleted From 60 Min Sampling");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData60"), 10);
}

TEST_F(DelTrendDataTest, ARunAcrossMidnightKeepsItsFirstCutOff) {
  AddRows("TrendData15", 3001, "2026-02-07 23:59:00");
  AddRows("TrendData15", 100, "2026-02-08 23:00:00");
  StartAt(2026, 5, 9, 23, 59, 59);  // cut-off 2026-02-08; after the first pause it is the 10th
  DelTrendData(st_, "TrendData15");
  EXPECT_GE(clock_.inner.Now(), DateTime::FromDate(2026, 5, 10));
  const std::vector<std::string> statements = recording_->Statements();
  ASSERT_EQ(statements.size(), 4u);
  for (const std::string& sql : statements) {
    EXPECT_NE(sql.find("WHERE time < '2026-02-08'"), std::string::npos) << sql;
  }
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].message,
            "3001 Trend Data Older Than 3 Months Deleted From 15 Min Sampling");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData15"), 100);
}

TEST_F(DelTrendDataTest, FailuresEndTheRunWithoutTheTotalAndKeepWhatWasDeleted) {
  AddRows("TrendData1", 7000, "2026-05-02 23:59:59");
  StartAt(2026, 5, 10, 0, 0, 5);
  recording_->FailStatement(4, RecordingDatabase::FailureMode::kErrorEntry);  // second delete
  DelTrendData(st_, "TrendData1");
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "frmVeltTrendSrv_DelTrendData");
  EXPECT_EQ(events[0].message, "");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData1"), 4000);

  Exec({"DROP TABLE TrendData1"});
  DelTrendData(st_, "TrendData1");
  events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].type, "1");
  EXPECT_NE(events[1].message.find("no such table: TrendData1"), std::string::npos)
      << events[1].message;
}

TEST_F(DelTrendDataTest, AnUnknownTableNameDeletesNothing) {
  Exec({"CREATE TABLE Nodes (ReportId int, Time datetime)",
        "INSERT INTO Nodes VALUES (1, '2000-01-01')"});
  recording_->log().clear();
  DelTrendData(st_, "Nodes");
  EXPECT_TRUE(recording_->Statements().empty());
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].message, "'Nodes' is not a trend data table; nothing deleted");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM Nodes"), 1);
}

}  // namespace
}  // namespace quorlan
