// The ODBC client against real SQLite files through Debian's SQLite3 ODBC driver.
#include <gtest/gtest.h>

#include <filesystem>

#include "storage/internal.h"
#include "storage/storage.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::TempDir;

class OdbcClientTest : public ::testing::Test {
 protected:
  std::unique_ptr<Connection> Open() {
    auto conn = driver_->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + dir_.File("suite.db"), kDbConnectTimeoutSeconds);
    return conn;
  }
  void Exec(const std::string& sql) { Open()->Execute(sql); }

  TempDir dir_;
  std::shared_ptr<DatabaseDriver> driver_ = NewOdbcDriver();
};

TEST_F(OdbcClientTest, ReadsRowsFrontToBackWithFieldsByNameAnyCaseAndPosition) {
  Exec("CREATE TABLE T (Id int NOT NULL, Name varchar(50), Flag bit, Big bigint, Memo text)");
  Exec("INSERT INTO T VALUES (1, 'one', 1, 9007199254740993, 'Zürich')");
  Exec("INSERT INTO T VALUES (2, NULL, 'False', -3000000000, NULL)");
  auto conn = Open();
  EXPECT_EQ(conn->State(), 1);
  EXPECT_EQ(conn->DbmsName(), "SQLite");
  auto rs = ExecuteQuery(*conn, "SELECT id, NAME, flag, big, memo FROM t");
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->FieldCount(), 5);
  EXPECT_EQ(rs->Field("ID").AsInt32(), 1);
  EXPECT_EQ(rs->Field("name").AsString(), "one");
  EXPECT_TRUE(rs->Field("Flag").AsBool());
  EXPECT_EQ(rs->Field("BIG").AsString(), "9007199254740993");  // no 32-bit wrap
  EXPECT_EQ(rs->Field(4).AsString(), "Zürich");                // UTF-8 text comes back unchanged
  rs->MoveNext();
  ASSERT_FALSE(rs->Eof());
  EXPECT_TRUE(rs->Field("Name").IsNull());
  EXPECT_FALSE(rs->Field("Flag").AsBool());
  EXPECT_EQ(rs->Field("Big").AsString(), "-3000000000");
  try {
    rs->Field("Memo").AsString();
    FAIL() << "NULL read as text";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kInvalidUseOfNull);
    EXPECT_EQ(e.description(), "Invalid use of Null: field Memo");
  }
  EXPECT_THROW(rs->Field("NoSuchField"), RuntimeError);
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  try {
    rs->Field("Id");
    FAIL() << "field read past the last row";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kNoCurrentRecord);
  }
  conn->Close();
  EXPECT_EQ(conn->State(), 0);
  EXPECT_EQ(rs->State(), 0);  // closed with its connection
  EXPECT_TRUE(rs->Eof());
}

TEST_F(OdbcClientTest, ConversionsNameTheFieldAndLongTextComesWhole) {
  Exec("CREATE TABLE T (Level smallint, Word varchar(10), Memo text)");
  const std::string long_text(10000, 'q');
  Exec("INSERT INTO T VALUES (40000, 'abc', '" + long_text + "')");
  auto conn = Open();
  auto rs = ExecuteQuery(*conn, "SELECT * FROM T");
  EXPECT_EQ(rs->Field("Memo").AsString(), long_text);
  try {
    rs->Field("Level").AsInt16();
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kOverflow);
    EXPECT_NE(e.description().find("(field Level)"), std::string::npos) << e.description();
  }
  try {
    rs->Field("Word").AsBool();
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);
    EXPECT_NE(e.description().find("(field Word)"), std::string::npos) << e.description();
  }
}

TEST_F(OdbcClientTest, StatementsWithoutRowsReportChangedRowsAndNoMatchIsNoFailure) {
  Exec("CREATE TABLE T (A int)");
  auto conn = Open();
  EXPECT_EQ(conn->Execute("INSERT INTO T VALUES (1)"), nullptr);
  EXPECT_EQ(conn->RecordsAffected(), 1);
  EXPECT_EQ(conn->Execute("DELETE FROM T WHERE A = 5"), nullptr);  // SQL_NO_DATA
  EXPECT_EQ(conn->RecordsAffected(), 0);
  EXPECT_TRUE(conn->Errors().empty());
}

TEST_F(OdbcClientTest, RejectedStatementRaisesWithDiagnosticsAndFillsErrors) {
  auto conn = Open();
  try {
    conn->Execute("SELECT * FROM NoSuchTable");
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kDatabase);
    EXPECT_EQ(e.description(),
              "ODBC HY000 execute 'SELECT * FROM NoSuchTable': [SQLite]no such table: "
              "NoSuchTable (1)");
  }
  ASSERT_EQ(conn->Errors().size(), 1u);
  EXPECT_EQ(conn->Errors()[0].SqlState, "HY000");
  EXPECT_EQ(conn->Errors()[0].NativeError, 1);
  // The connection stays usable and the next success clears the collection.
  EXPECT_NE(conn->Execute("SELECT 1"), nullptr);
  EXPECT_TRUE(conn->Errors().empty());
  // A statement that begins with WITH, which the driver would skip as if it had run, is refused.
  EXPECT_THROW(conn->Execute(" with n(i) AS (SELECT 1) SELECT i FROM n"), RuntimeError);
  EXPECT_EQ(conn->Errors().at(0).SqlState, "42000");
  EXPECT_FALSE(conn->Execute("SELECT * FROM (WITH n(i) AS (SELECT 7) SELECT i FROM n)")->Eof());
}

TEST_F(OdbcClientTest, FailedConnectRaisesNamingTheMaskedConnectionString) {
  auto conn = driver_->NewConnection();
  try {
    conn->Open("Driver=NoSuchDriver;Server=x;PWD=secret", 5);
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_NE(e.description().find("connect 'Driver=NoSuchDriver;Server=x;PWD=***'"),
              std::string::npos)
        << e.description();
    EXPECT_EQ(e.description().find("secret"), std::string::npos);
  }
  EXPECT_EQ(conn->State(), 0);
  EXPECT_FALSE(conn->Errors().empty());
}

TEST_F(OdbcClientTest, TsqlFormsRunOnSqlite) {
  Exec("CREATE TABLE TrendData1 (ReportId int NOT NULL, Time datetime NOT NULL)");
  for (int i = 0; i < 10; ++i) {
    Exec("INSERT INTO TrendData1 VALUES (" + std::to_string(i) + ", '2026-01-0" +
         std::to_string(i % 3 + 1) + " 10:00:00')");
  }
  auto conn = Open();
  auto top = ExecuteQuery(*conn, "SELECT TOP (3) * FROM TrendData1 WHERE ReportId > 2");
  int rows = 0;
  for (; !top->Eof(); top->MoveNext()) ++rows;
  EXPECT_EQ(rows, 3);
  conn->Execute("DELETE TOP (2) FROM TrendData1 WHERE time < '2026-01-03'");
  EXPECT_EQ(conn->RecordsAffected(), 2);
  auto count = ExecuteQuery(*conn, "SELECT COUNT(ReportId) FROM TrendData1");
  EXPECT_EQ(count->Field(0).AsInt32(), 8);
  auto tables = ExecuteQuery(*conn, "SELECT name from sys.tables");
  ASSERT_FALSE(tables->Eof());
  EXPECT_EQ(tables->Field(0).AsString(), "TrendData1");
  tables->MoveNext();
  EXPECT_TRUE(tables->Eof());
}

}  // namespace
}  // namespace quorlan

namespace quorlan {
namespace {

// Whether the connection is one used before: a TEMP table lives only as long as the physical
// connection.
bool SeesTempTable(Connection& conn) {
  try {
    conn.Execute("SELECT * FROM temp.Marker");
    return true;
  } catch (const RuntimeError&) {
    return false;
  }
}

TEST(SqlitePoolTest, AClosedConnectionServesTheNextOpenOfTheSameFile) {
  testing::TempDir dir;
  const std::string cs = "Driver=SQLite3;Database=" + dir.File("a.db");
  auto driver = NewOdbcDriver();
  auto first = driver->NewConnection();
  first->Open(cs, 5);
  first->Execute("CREATE TEMP TABLE Marker (x int)");
  first->Close();
  auto second = driver->NewConnection();
  second->Open(cs, 5);
  EXPECT_TRUE(SeesTempTable(*second));
  EXPECT_EQ(second->DbmsName(), "SQLite");
  // While the second is open, a third open gets a connection of its own.
  auto third = driver->NewConnection();
  third->Open(cs, 5);
  EXPECT_FALSE(SeesTempTable(*third));
}

TEST(SqlitePoolTest, AReplacedFileIsOpenedAfresh) {
  testing::TempDir dir;
  const std::string cs = "Driver=SQLite3;Database=" + dir.File("a.db");
  auto driver = NewOdbcDriver();
  auto conn = driver->NewConnection();
  conn->Open(cs, 5);
  conn->Execute("CREATE TABLE T (v int)");
  conn->Execute("INSERT INTO T VALUES (1)");
  conn->Execute("CREATE TEMP TABLE Marker (x int)");
  conn->Close();
  std::filesystem::remove(dir.File("a.db"));
  {
    auto other = NewOdbcDriver({.sqlite_idle_seconds = 0});
    auto fresh = other->NewConnection();
    fresh->Open(cs, 5);
    fresh->Execute("CREATE TABLE T (v int)");
    fresh->Execute("INSERT INTO T VALUES (2)");
  }
  conn->Open(cs, 5);
  EXPECT_FALSE(SeesTempTable(*conn));
  EXPECT_EQ(ExecuteQuery(*conn, "SELECT v FROM T")->Field(0).AsInt32(), 2);
}

TEST(SqlitePoolTest, WithoutKeepingEveryOpenIsNew) {
  testing::TempDir dir;
  const std::string cs = "Driver=SQLite3;Database=" + dir.File("a.db");
  auto driver = NewOdbcDriver({.sqlite_idle_seconds = 0});
  auto conn = driver->NewConnection();
  conn->Open(cs, 5);
  conn->Execute("CREATE TEMP TABLE Marker (x int)");
  conn->Close();
  conn->Open(cs, 5);
  EXPECT_FALSE(SeesTempTable(*conn));
}

}  // namespace
}  // namespace quorlan
