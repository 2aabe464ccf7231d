// The settings-console read of Quorlan.mdb: SQLite files as installations create them, and real
// Access (Jet 4) files through the MDBTools driver.
#include <filesystem>

#include "storage_fixture.h"
#include "support/ci.h"

namespace quorlan {
namespace {

const char* kJetFixtures = QUORLAN_SOURCE_DIR "/tests/fixtures/jet";
const char* kFixtureConn =
    "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;User ID=sa;Initial "
    "Catalog=Quorlan;Data Source=DBHOST\\SQLEXPRESS";

class SettingsConsoleReadTest : public testing::StorageTest {
 protected:
  // Copies a Jet fixture to AppPath/Quorlan.mdb (the shared folder is read-only).
  void UseJetFixture(const std::string& name) {
    std::filesystem::copy_file(std::string(kJetFixtures) + "/" + name, dir_.File("Quorlan.mdb"));
    std::filesystem::permissions(dir_.File("Quorlan.mdb"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
  }
  // The run-time error of the read.
  RuntimeError ReadError() {
    try {
      SettingsConsoleRead(st_);
    } catch (const RuntimeError& e) {
      return e;
    }
    ADD_FAILURE() << "the read did not fail";
    return RuntimeError(0, "");
  }
};

#define SKIP_WITHOUT_JET_FIXTURES()                                                  \
  if (!DirectoryExists(kJetFixtures)) {                                              \
    SKIP_OR_FAIL_UNDER_CI("Jet fixtures not found at " + std::string(kJetFixtures)); \
  }

TEST_F(SettingsConsoleReadTest, SqliteFileGivesFlagAndConnectionString) {
  CreateSqliteSettingsConsole(dir_.File("Quorlan.mdb"), true, "Driver=SQLite3;Database=/x.db");
  SettingsConsoleRead(st_);
  EXPECT_EQ(st_.DbConnStringJet, "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + dir_.path() +
                                     "\\Quorlan.mdb;Persist Security Info=False");
  EXPECT_TRUE(st_.SqlDbSetupOk);
  EXPECT_EQ(st_.DbConnStringSql, "Driver=SQLite3;Database=/x.db");
}

TEST_F(SettingsConsoleReadTest, SqliteFileNotSetUpOrWithNullConnectionString) {
  CreateSqliteSettingsConsole(dir_.File("Quorlan.mdb"), false, "");
  SettingsConsoleRead(st_);
  EXPECT_FALSE(st_.SqlDbSetupOk);
  EXPECT_EQ(st_.DbConnStringSql, "");
  std::filesystem::remove(dir_.File("Quorlan.mdb"));
  CreateSqliteSettingsConsole(dir_.File("Quorlan.mdb"), true, std::nullopt);
  const RuntimeError e = ReadError();
  EXPECT_EQ(e.number(), err::kInvalidUseOfNull);
  EXPECT_EQ(e.description(), "Invalid use of Null: field DbConnStringSql");
}

TEST_F(SettingsConsoleReadTest, MissingEmptyOrForeignFilesFailWithoutCreatingAnything) {
  RuntimeError e = ReadError();
  EXPECT_NE(e.description().find("Quorlan.mdb does not exist"), std::string::npos)
      << e.description();
  EXPECT_FALSE(FileExists(dir_.File("Quorlan.mdb")));
  EXPECT_FALSE(st_.DbConnStringJet.empty());  // the start is marked as handled all the same

  dir_.Write("Quorlan.mdb", "not a database at all");
  e = ReadError();
  EXPECT_NE(e.description().find("neither an Access nor a SQLite database"), std::string::npos)
      << e.description();

  std::filesystem::remove(dir_.File("Quorlan.mdb"));
  CreateSqliteSettingsConsole(dir_.File("Quorlan.mdb"), true, "x");
  auto conn = direct_->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + dir_.File("Quorlan.mdb"), 5);
  conn->Execute("DELETE FROM Settings_Console");
  conn->Close();
  e = ReadError();
  EXPECT_EQ(e.number(), err::kNoCurrentRecord);
}

TEST_F(SettingsConsoleReadTest, JetFileSetUpGivesTheStoredOleDbString) {
  SKIP_WITHOUT_JET_FIXTURES();
  UseJetFixture("Quorlan.mdb");
  SettingsConsoleRead(st_);
  EXPECT_TRUE(st_.SqlDbSetupOk);
  EXPECT_EQ(st_.DbConnStringSql, kFixtureConn);
}

TEST_F(SettingsConsoleReadTest, JetFileNotSetUp) {
  SKIP_WITHOUT_JET_FIXTURES();
  UseJetFixture("Quorlan-notsetup.mdb");
  SettingsConsoleRead(st_);
  EXPECT_FALSE(st_.SqlDbSetupOk);
  EXPECT_EQ(st_.DbConnStringSql, kFixtureConn);
}

TEST_F(SettingsConsoleReadTest, JetFileEmptyOrWithNullConnectionStringFails) {
  SKIP_WITHOUT_JET_FIXTURES();
  UseJetFixture("Quorlan-empty.mdb");
  EXPECT_EQ(ReadError().number(), err::kNoCurrentRecord);
  std::filesystem::remove(dir_.File("Quorlan.mdb"));
  UseJetFixture("Quorlan-nullconn.mdb");
  const RuntimeError e = ReadError();
  EXPECT_EQ(e.description(), "Invalid use of Null: field DbConnStringSql");
}

}  // namespace
}  // namespace quorlan
