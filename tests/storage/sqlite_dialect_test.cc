#include <gtest/gtest.h>

#include "storage/internal.h"
#include "storage/storage.h"
#include "support/recording_database.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

TEST(SqliteDialectTest, RewritesTheTsqlForms) {
  EXPECT_EQ(AdaptSqlForSqlite("SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'"),
            "SELECT * FROM ATR_Nodes WHERE TrendReports = '1' LIMIT 300");
  EXPECT_EQ(AdaptSqlForSqlite("select top 5 a, b from t order by a;"),
            "SELECT a, b from t order by a LIMIT 5");
  EXPECT_EQ(AdaptSqlForSqlite("DELETE TOP (3000) FROM TrendData1 WHERE time < '2026-05-03'"),
            "DELETE FROM TrendData1 WHERE rowid IN (SELECT rowid FROM TrendData1 WHERE time < "
            "'2026-05-03' LIMIT 3000)");
  EXPECT_EQ(AdaptSqlForSqlite("\n\tSELECT\tTOP(2) x FROM t"), "SELECT x FROM t LIMIT 2");
  EXPECT_EQ(AdaptSqlForSqlite("delete\r\ntop 2 from t"),
            "DELETE FROM t WHERE rowid IN (SELECT rowid FROM t LIMIT 2)");
  EXPECT_EQ(AdaptSqlForSqlite("DELETE TOP (10) FROM T"),
            "DELETE FROM T WHERE rowid IN (SELECT rowid FROM T LIMIT 10)");
  EXPECT_EQ(AdaptSqlForSqlite("SELECT name from sys.tables"),
            "SELECT name from (SELECT name FROM sqlite_master WHERE type='table' AND name NOT "
            "LIKE 'sqlite%')");
}

TEST(PostgresDialectTest, RewritesTheTsqlFormsAndTheTypeOfTimes) {
  EXPECT_EQ(AdaptSqlForPostgres("SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'"),
            "SELECT * FROM ATR_Nodes WHERE TrendReports = '1' LIMIT 300");
  EXPECT_EQ(AdaptSqlForPostgres("DELETE TOP (3000) FROM TrendData1 WHERE time < '2026-05-03'"),
            "DELETE FROM TrendData1 WHERE ctid = ANY (ARRAY(SELECT ctid FROM TrendData1 WHERE "
            "time < '2026-05-03' LIMIT 3000))");
  EXPECT_EQ(AdaptSqlForPostgres("SELECT name from sys.tables"),
            "SELECT name from (SELECT c.relname AS name FROM pg_catalog.pg_class c WHERE "
            "c.relkind IN ('r', 'p') AND pg_catalog.pg_table_is_visible(c.oid) AND c.relname = "
            "lower(c.relname)) AS sys_tables");
  EXPECT_EQ(AdaptSqlForPostgres("CREATE TABLE TrendData1 (ReportId int NOT NULL,Time datetime "
                                "NOT NULL,Value1 bigint NOT NULL)"),
            "CREATE TABLE TrendData1 (ReportId int NOT NULL,Time timestamp(3) NOT NULL,Value1 "
            "bigint NOT NULL)");
  const std::string insert = "INSERT INTO T VALUES ('datetime', 'SELECT TOP (1) x')";
  EXPECT_EQ(AdaptSqlForPostgres(insert), insert);
  EXPECT_EQ(AdaptSqlForPostgres("CREATE TABLE t (datetimes int, d datetime2)"),
            "CREATE TABLE t (datetimes int, d datetime2)");
}

TEST(SqliteDialectTest, LeavesOtherStatementsAndQuotedTextAlone) {
  const std::string insert = "INSERT INTO T VALUES ('SELECT TOP (1) x from sys.tables');";
  EXPECT_EQ(AdaptSqlForSqlite(insert), insert);
  EXPECT_EQ(AdaptSqlForSqlite("UPDATE TrendReports SET NodeName = 'sys.tables' WHERE a = 1"),
            "UPDATE TrendReports SET NodeName = 'sys.tables' WHERE a = 1");
  EXPECT_EQ(AdaptSqlForSqlite("SELECT * FROM mysys.tables2"), "SELECT * FROM mysys.tables2");
}

TEST(SqlLiteralTest, EachDatabaseGetsItsDatesAndText) {
  testing::TempDir dir;
  auto recording = std::make_shared<testing::RecordingDatabase>(NewOdbcDriver());
  auto conn = recording->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + dir.File("x.db"), kDbConnectTimeoutSeconds);
  const DateTime t = DateTime::FromCivil({2026, 5, 3, 7, 8, 9, 500});
  EXPECT_EQ(SqlDate(*conn, t), "'2026-05-03'");
  EXPECT_EQ(SqlDateTime(*conn, t), "'2026-05-03 07:08:09'");
  EXPECT_EQ(SqlText(*conn, "Ядро-1 'a'"), "'Ядро-1 ''a'''");
  recording->ReportDbmsName("Microsoft SQL Server");
  EXPECT_EQ(SqlDate(*conn, t), "'20260503'");
  EXPECT_EQ(SqlDateTime(*conn, t), "'2026-05-03T07:08:09'");
  EXPECT_EQ(SqlText(*conn, "Ядро-1 'a'"), "N'Ядро-1 ''a'''");
  recording->ReportDbmsName("PostgreSQL");
  EXPECT_EQ(SqlDate(*conn, t), "'2026-05-03'");
  EXPECT_EQ(SqlDateTime(*conn, t), "'2026-05-03 07:08:09'");
  EXPECT_EQ(SqlText(*conn, R"(C:\x' Ядро)"), R"(E'C:\\x'' Ядро')");
}

}  // namespace
}  // namespace quorlan
