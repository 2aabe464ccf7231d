// Loading the SNMPv3 security profiles from a real SQLite suite database.
#include <fmt/format.h>

#include "storage/internal.h"
#include "storage_fixture.h"

namespace quorlan {
namespace {

class SecProfilesTest : public testing::StorageTest {
 protected:
  SecProfilesTest() { Exec(SqliteSuiteStatements()); }

  void AddProfile(const std::string& user, const std::string& enabled, int level = 2) {
    Exec(
        {fmt::format("INSERT INTO SecProfiles (Enabled, UserName, SecurityLevel, AuthPassword, "
                     "AuthProtocol, PrivPassword, PrivProtocol) VALUES ({}, '{}', {}, '{}', 2, "
                     "'{}', 3)",
                     enabled, user, level, "auth-" + user, "priv-" + user)});
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (int slot = 1; slot <= kSecProfileSlots; ++slot) {
      names.push_back(st_.SecProfileList[slot].UserName);
    }
    return names;
  }
};

TEST_F(SecProfilesTest, TwelveEnabledRowsLoadTenAndReportOneError) {
  for (int i = 1; i <= 12; ++i) AddProfile("user" + std::to_string(i), "1");
  SysUpdateSecProfiles(st_);
  EXPECT_EQ(Names(), (std::vector<std::string>{"user1", "user2", "user3", "user4", "user5", "user6",
                                               "user7", "user8", "user9", "user10"}));
  const SecProfile& p = st_.SecProfileList[10];
  EXPECT_EQ(p.SecurityLevel, 2);
  EXPECT_EQ(p.AuthPassword, "auth-user10");
  EXPECT_EQ(p.AuthProtocol, 2);
  EXPECT_EQ(p.PrivPassword, "priv-user10");
  EXPECT_EQ(p.PrivProtocol, 3);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_SysUpdateSecProfiles");
  EXPECT_NE(events[0].message.find("Subscript out of range"), std::string::npos);
}

TEST_F(SecProfilesTest, DisabledAndNullRowsTakeNoSlotAndLookupIgnoresCase) {
  AddProfile("alpha", "1");
  AddProfile("off", "0");
  AddProfile("unset", "NULL");
  AddProfile("Beta", "'True'");
  SysUpdateSecProfiles(st_);
  EXPECT_EQ(Names(), (std::vector<std::string>{"alpha", "Beta", "", "", "", "", "", "", "", ""}));
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(FindSecProfile(st_, "BETA"), 2);
  EXPECT_EQ(FindSecProfile(st_, "Alpha"), 1);
  EXPECT_EQ(FindSecProfile(st_, "off"), 0);
  EXPECT_EQ(FindSecProfile(st_, ""), 3);  // the first free slot
}

TEST_F(SecProfilesTest, AReloadKeepsTheStaleFieldsOfFreedSlots) {
  for (int i = 1; i <= 5; ++i) AddProfile("user" + std::to_string(i), "1", i % 3);
  SysUpdateSecProfiles(st_);
  Exec({"UPDATE SecProfiles SET Enabled = 0 WHERE UserName IN ('user2', 'user4')"});
  SysUpdateSecProfiles(st_);
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"user1", "user3", "user5", "", "", "", "", "", "", ""}));
  // Slots 4 and 5 are free but keep what user4 and user5 left there.
  EXPECT_EQ(st_.SecProfileList[4].SecurityLevel, 1);
  EXPECT_EQ(st_.SecProfileList[4].AuthPassword, "auth-user4");
  EXPECT_EQ(st_.SecProfileList[5].PrivPassword, "priv-user5");
  EXPECT_EQ(st_.SecProfileList[5].SecurityLevel, 2);
  EXPECT_EQ(FindSecProfile(st_, ""), 4);
  EXPECT_TRUE(Events().empty());
}

TEST_F(SecProfilesTest, ANullInAnEnabledRowEndsTheLoadAndLeavesItsSlotFree) {
  // Slot 2 held another user from an earlier load; its secrets must never pair with b's name.
  st_.SecProfileList[2] = {"old", 2, "auth-old", 2, "priv-old", 4};
  Exec({"DROP TABLE SecProfiles",
        "CREATE TABLE SecProfiles (Enabled bit, UserName varchar(50), SecurityLevel smallint, "
        "AuthPassword varchar(50), AuthProtocol smallint, PrivPassword varchar(50), PrivProtocol "
        "smallint)",
        "INSERT INTO SecProfiles VALUES (1, 'a', 0, '', 1, '', 1)",
        "INSERT INTO SecProfiles VALUES (1, 'b', 1, 'auth-b', 1, 'priv-b', NULL)",
        "INSERT INTO SecProfiles VALUES (1, 'c', 0, '', 1, '', 1)"});
  SysUpdateSecProfiles(st_);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "", "", "", "", "", "", "", "", ""}));
  EXPECT_EQ(FindSecProfile(st_, "b"), 0);
  EXPECT_EQ(st_.SecProfileList[2].SecurityLevel, 2);
  EXPECT_EQ(st_.SecProfileList[2].AuthPassword, "auth-old");
  EXPECT_EQ(st_.SecProfileList[2].PrivProtocol, 4);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "Invalid use of Null: field PrivProtocol");
}

TEST_F(SecProfilesTest, AnUnreachableDatabaseLeavesAllNamesEmptyAndOneError) {
  AddProfile("alpha", "1");
  SysUpdateSecProfiles(st_);
  ASSERT_EQ(FindSecProfile(st_, "alpha"), 1);
  recording_->FailOpens(testing::RecordingDatabase::FailureMode::kErrorEntry);
  SysUpdateSecProfiles(st_);
  EXPECT_EQ(Names(), std::vector<std::string>(10, ""));
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "modQuorlanTrend_SysUpdateSecProfiles");
  EXPECT_EQ(events[0].message, "");  // an error entry: no run-time error pending
}

}  // namespace
}  // namespace quorlan
