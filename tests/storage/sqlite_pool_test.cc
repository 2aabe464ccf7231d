// Closed SQLite connections kept for the next operation, against real files through the SQLite3
// ODBC driver and, as the other process, the sqlite3 command-line tool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "components/platform/platform.h"
#include "storage/storage.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::ProcessResult;
using testing::RunCommand;
using testing::TempDir;

// Whether the connection is one used before: a TEMP table lives only as long as the physical
// connection.
bool SeesMarker(Connection& conn) {
  try {
    conn.Execute("SELECT COUNT(*) FROM temp.Marker");
    return true;
  } catch (const RuntimeError&) {
    return false;
  }
}

// Runs SQL in the sqlite3 tool, a process of its own that exits at the end.
std::string Sqlite3(const TempDir& dir, const std::string& db, const std::string& sql) {
  const ProcessResult r =
      RunCommand(dir.path(), "sqlite3 -init /dev/null -bail -batch -cmd '.timeout 5000' '" + db +
                                 "' '" + sql + "'");
  EXPECT_EQ(r.status, 0) << sql << ": " << r.err;
  return r.out;
}

std::string ClientRows(Connection& conn) {
  std::string out;
  for (auto rs = ExecuteQuery(conn, "SELECT v FROM T ORDER BY v"); !rs->Eof(); rs->MoveNext()) {
    out += rs->Field(0).AsString() + "\n";
  }
  return out;
}

// The POSIX locks this process holds on the file, as /proc/locks lists them.
int LocksHeldOn(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  const std::string pid = " " + std::to_string(getpid()) + " ";
  std::ifstream in("/proc/locks");
  int count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find("POSIX") != std::string::npos && line.find(pid) != std::string::npos &&
        line.find(inode) != std::string::npos) {
      ++count;
    }
  }
  return count;
}

TEST(SqliteKeptConnectionTest, AnotherProcessEndingDoesNotTakeTheLogFromUnderAKeptConnection) {
  TempDir dir;
  const std::string db = dir.File("suite.db");
  const std::string cs = "Driver=SQLite3;Database=" + db;
  auto driver = NewOdbcDriver();
  {
    auto conn = driver->NewConnection();
    conn->Open(cs, kDbConnectTimeoutSeconds);
    EXPECT_EQ(ExecuteQuery(*conn, "PRAGMA journal_mode=WAL")->Field(0).AsString(), "wal");
    conn->Execute("CREATE TABLE T (v int)");
    conn->Execute("INSERT INTO T VALUES (1)");
    conn->Execute("CREATE TEMP TABLE Marker (x int)");
  }  // kept open for the next operation
  // The kept connection still holds its shared lock on the database file, so the tool does not
  // take itself for the last connection: it neither checkpoints nor removes the log.
  EXPECT_GT(LocksHeldOn(db), 0);
  Sqlite3(dir, db, "INSERT INTO T VALUES (2)");
  EXPECT_TRUE(FileExists(db + "-wal"));
  {
    auto conn = driver->NewConnection();
    conn->Open(cs, kDbConnectTimeoutSeconds);
    ASSERT_TRUE(SeesMarker(*conn)) << "the kept connection was not used";
    conn->Execute("INSERT INTO T VALUES (3)");
    EXPECT_EQ(ClientRows(*conn), "1\n2\n3\n");
  }
  Sqlite3(dir, db, "INSERT INTO T VALUES (4)");

  EXPECT_EQ(Sqlite3(dir, db, "SELECT v FROM T ORDER BY v"), "1\n2\n3\n4\n");
  auto kept = driver->NewConnection();
  kept->Open(cs, kDbConnectTimeoutSeconds);
  EXPECT_TRUE(SeesMarker(*kept));
  EXPECT_EQ(ClientRows(*kept), "1\n2\n3\n4\n");
  kept.reset();
  driver.reset();  // the last connection of all: the log is checkpointed into the file
  auto fresh = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  fresh->Open(cs, kDbConnectTimeoutSeconds);
  EXPECT_EQ(ClientRows(*fresh), "1\n2\n3\n4\n");
}

// Whether a connection that ran the statements (after creating a TEMP table) serves the next
// open; failing is a statement the driver rejects, or "" for none.
bool KeptAfter(const std::string& failing) {
  TempDir dir;
  const std::string cs = "Driver=SQLite3;Database=" + dir.File("suite.db");
  auto driver = NewOdbcDriver();
  {
    auto conn = driver->NewConnection();
    conn->Open(cs, kDbConnectTimeoutSeconds);
    conn->Execute("CREATE TABLE T (id int PRIMARY KEY)");
    conn->Execute("INSERT INTO T VALUES (1)");
    conn->Execute("CREATE TEMP TABLE Marker (x int)");
    if (!failing.empty()) {
      EXPECT_THROW(conn->Execute(failing), RuntimeError) << failing;
    }
    // The connection works on after the failure; it is still not kept.
    conn->Execute("INSERT INTO T VALUES (2)");
  }
  auto next = driver->NewConnection();
  next->Open(cs, kDbConnectTimeoutSeconds);
  EXPECT_EQ(ExecuteQuery(*next, "SELECT COUNT(*) FROM T")->Field(0).AsInt32(), 2);
  return SeesMarker(*next);
}

TEST(SqliteKeptConnectionTest, AConnectionOnWhichACallFailedIsClosedNotKept) {
  EXPECT_TRUE(KeptAfter(""));
  EXPECT_FALSE(KeptAfter("SELEC 1"));                   // syntax error
  EXPECT_FALSE(KeptAfter("INSERT INTO T VALUES (1)"));  // constraint violation
  EXPECT_FALSE(KeptAfter("SELECT * FROM NoSuchTable"));
}

}  // namespace
}  // namespace quorlan
