// The general settings read from a real SQLite suite database.
#include <chrono>
#include <thread>

#include "storage/internal.h"
#include "storage_fixture.h"
#include "support/recording_database.h"

namespace quorlan {
namespace {

class SettingsGeneralReadTest : public testing::StorageTest {
 protected:
  SettingsGeneralReadTest() { Exec(SqliteSuiteStatements()); }
};

TEST_F(SettingsGeneralReadTest, FollowsTheFirstRowOfSettings) {
  SettingsGeneralRead(st_);
  EXPECT_FALSE(st_.DebugMode);
  Exec({"UPDATE Settings SET DebugMode = 1", "INSERT INTO Settings VALUES (2, 0)"});
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  // A stopping service reads nothing, and logs no refusal for the watcher's tick.
  st_.StopRequested = [] { return true; };
  Exec({"UPDATE Settings SET DebugMode = 0"});
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  EXPECT_TRUE(Events().empty());
}

// The 30-second watcher reads nothing while the SQLite file and its log are as the last read found
// them (and a second old, so that a change in the same clock tick cannot hide); a change is read.
TEST_F(SettingsGeneralReadTest, AnUnchangedSqliteFileIsNotReadAgain) {
  auto db = std::make_shared<testing::RecordingDatabase>(st_.Db);
  st_.Db = db;
  SettingsGeneralRead(st_);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  SettingsGeneralRead(st_);  // read again: the first one's stamps were too young to keep
  const int reads = db->statement_count();
  EXPECT_EQ(reads, 2);
  SettingsGeneralRead(st_);
  SettingsGeneralRead(st_);
  EXPECT_EQ(db->statement_count(), reads);
  Exec({"UPDATE Settings SET DebugMode = 1"});
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
}

TEST_F(SettingsGeneralReadTest, NullEmptyAndMissingLeaveTheFlagAndReport) {
  st_.DebugMode = true;
  Exec({"DROP TABLE Settings", "CREATE TABLE Settings (Id int, DebugMode bit)",
        "INSERT INTO Settings VALUES (1, NULL)"});
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  Exec({"DELETE FROM Settings"});
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  Exec({"DROP TABLE Settings"});
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  for (const auto& e : events) {
    EXPECT_EQ(e.type, "1");
    EXPECT_EQ(e.source, "modQuorlanTrend_SettingsGeneralRead");
  }
  EXPECT_EQ(events[0].message, "Invalid use of Null: field DebugMode");
  EXPECT_NE(events[1].message.find("No current record"), std::string::npos) << events[1].message;
  EXPECT_NE(events[2].message.find("no such table: Settings"), std::string::npos);
}

TEST_F(SettingsGeneralReadTest, AMissingSqliteSuiteDatabaseIsRefusedNotCreated) {
  st_.DebugMode = true;
  const std::string missing = dir_.File("unmounted.db");
  // An explicit NoCreat=0 does not let a suite connection create the file either.
  for (const char* extra : {"", ";NoCreat=0"}) {
    st_.DbConnStringSql = "Driver=SQLite3;Database=" + missing + extra;
    SettingsGeneralRead(st_);
  }
  EXPECT_TRUE(st_.DebugMode);
  EXPECT_FALSE(FileExists(missing));
  const auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.source, "modQuorlanTrend_SettingsGeneralRead");
    EXPECT_NE(e.message.find("the SQLite database " + missing + " does not exist"),
              std::string::npos)
        << e.message;
  }
}

// The translation of the stored string is kept between operations; what it stands for is not:
// a file gone since the last operation is refused, and a changed string is used at once.
TEST_F(SettingsGeneralReadTest, EachOperationSeesTheFileAndTheStringAsTheyAreNow) {
  Exec({"UPDATE Settings SET DebugMode = 1"});
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  const std::string moved = dir_.File("moved.db");
  RenameFile(dir_.File("suite.db"), moved);
  st_.DebugMode = false;
  SettingsGeneralRead(st_);
  EXPECT_FALSE(st_.DebugMode);
  EXPECT_FALSE(FileExists(dir_.File("suite.db")));
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_NE(Events()[0].message.find("suite.db does not exist"), std::string::npos);
  st_.DbConnStringSql = "Driver=SQLite3;Database=" + moved;
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  EXPECT_EQ(Events().size(), 1u);
}

}  // namespace
}  // namespace quorlan
