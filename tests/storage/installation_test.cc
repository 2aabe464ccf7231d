// quorlan-trendctl init, run as a program, and the service's storage steps on what it creates.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "components/platform/platform.h"
#include "storage/internal.h"
#include "storage_fixture.h"

namespace quorlan {
namespace {

struct RunResult {
  int status = -1;
  std::string output;
};

RunResult RunTrendctl(const std::string& arguments) {
  const std::string command =
      std::string(QUORLAN_BINARY_DIR) + "/quorlan-trendctl " + arguments + " 2>&1";
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) result.output += buffer;
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

using InstallationTest = testing::StorageTest;

TEST_F(InstallationTest, InitCreatesAnInstallationTheStorageStepsRunOn) {
  const std::string root = dir_.File("opt/quorlan");
  const RunResult run = RunTrendctl("init " + root);
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* name : {"quorlan-trend", "Quorlan.mdb", "Quorlan-suite.db", "Quorlan.ini"}) {
    EXPECT_TRUE(FileExists(root + "/" + name)) << name;
  }
  EXPECT_TRUE(DirectoryExists(root + "/Debug"));
  EXPECT_EQ(std::filesystem::file_size(root + "/quorlan-trend"),
            std::filesystem::file_size(std::string(QUORLAN_BINARY_DIR) + "/quorlan-trend"));
  EXPECT_EQ(access((root + "/quorlan-trend").c_str(), X_OK), 0);

  const std::vector<std::string> ini = ReadLines(root + "/Quorlan.ini");
  for (const char* line :
       {"ServerIpAddr=", "ServerPort=1625", "ServerTrapPort=162", "SnmpAgentGetComm=public",
        "StartUpDelay=15", "StartUpPeriod=300", "StartUpDelayFactor=2", "TimerInterval=1000",
        "PollDelaySnmp=20", "MaxPendSnmp=10"}) {
    EXPECT_NE(std::find(ini.begin(), ini.end(), line), ini.end()) << line;
  }
  // No access for others, no group write; the secrets for the owner alone.
  for (const auto& [name, mode] :
       std::vector<std::pair<std::string, int>>{{"", 0750},
                                                {"/Debug", 0750},
                                                {"/quorlan-trend", 0750},
                                                {"/Quorlan.mdb", 0600},
                                                {"/Quorlan-suite.db", 0600},
                                                {"/Quorlan.ini", 0600}}) {
    EXPECT_EQ(static_cast<int>(std::filesystem::status(root + name).permissions()), mode) << name;
  }
  // The write community is the installation's own: not the documented default, nor another's.
  ASSERT_EQ(RunTrendctl("init " + dir_.File("other")).status, 0);
  const auto community = [](const std::string& folder) {
    for (const std::string& line : ReadLines(folder + "/Quorlan.ini")) {
      if (line.starts_with("SnmpAgentSetComm=")) return line.substr(17);
    }
    return std::string();
  };
  EXPECT_EQ(community(root).size(), 20u);
  EXPECT_NE(community(root), "wexrol");
  EXPECT_NE(community(root), community(dir_.File("other")));

  // The service's storage steps, on the new folder.
  StorageState st(root, clock_, loop_);
  SettingsConsoleRead(st);
  EXPECT_TRUE(st.SqlDbSetupOk);
  // Relative to the folder: a copied or moved installation keeps using its own database.
  EXPECT_EQ(st.DbConnStringSql, "Driver=SQLite3;Database=Quorlan-suite.db");
  st.DebugMode = true;
  SettingsGeneralRead(st);
  EXPECT_FALSE(st.DebugMode);
  VerifiyTrendDataTables(st);
  SysUpdateSecProfiles(st);
  EXPECT_EQ(FindSecProfile(st, ""), 1);
  EXPECT_FALSE(FileExists(st.DebugFile("T-AppEvent.txt")));  // no error anywhere
  auto conn = OpenSuiteConnection(st);
  auto tables = ExecuteQuery(*conn, "SELECT name from sys.tables");
  std::vector<std::string> names;
  for (; !tables->Eof(); tables->MoveNext()) names.push_back(tables->Field(0).AsString());
  EXPECT_EQ(names,
            (std::vector<std::string>{"Settings", "ATR_Nodes", "TrendReports", "SecProfiles",
                                      "TrendData1", "TrendData5", "TrendData15", "TrendData60"}));
  // The suite tables hold every column the trend list reads.
  conn->Execute(
      "INSERT INTO ATR_Nodes (node_id, node_name, address, TrendReports) VALUES (7, 'Core-1', "
      "'10.0.0.1', 1)");
  conn->Execute("INSERT INTO TrendReports (NodeId, ObjId1) VALUES (7, '1.3.6.1.2.1.1.3.0')");
  auto nodes = ExecuteQuery(*conn, "SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'");
  ASSERT_FALSE(nodes->Eof());
  for (const char* column :
       {"node_id", "node_name", "address", "UdpPort", "image", "SnmpVersion", "PollTimeOut",
        "PollRetries", "PollType", "readcomm", "trapcomm", "StreetAddress"}) {
    EXPECT_FALSE(nodes->Field(column).IsNull()) << column;
  }
  EXPECT_FALSE(nodes->Field("image").AsBool());
  auto reports = ExecuteQuery(*conn, "SELECT * FROM TrendReports WHERE DbChanged = '1'");
  ASSERT_FALSE(reports->Eof());
  for (const char* stem :
       {"ObjId", "ObjName", "ObjType", "ObjEval", "TriggerAlarm", "TriggerExpr", "TriggerValue"}) {
    for (int k = 1; k <= 6; ++k) {
      EXPECT_FALSE(reports->Field(stem + std::to_string(k)).IsNull()) << stem << k;
    }
  }
  EXPECT_EQ(reports->Field("ReportId").AsInt32(), 1);
  EXPECT_EQ(ExecuteQuery(*conn, "PRAGMA journal_mode")->Field(0).AsString(), "wal");
  EXPECT_EQ(reports->Field("PollInterval").AsInt32(), 5);
  reports.reset();
  nodes.reset();
  conn->Close();

  // A copy of the folder works on its own database, not on the original's.
  const std::string copy = dir_.File("copy");
  std::filesystem::copy(root, copy, std::filesystem::copy_options::recursive);
  StorageState copied(copy, clock_, loop_);
  SettingsConsoleRead(copied);
  OpenSuiteConnection(copied)->Execute("DELETE FROM ATR_Nodes");
  EXPECT_TRUE(ExecuteQuery(*OpenSuiteConnection(copied), "SELECT * FROM ATR_Nodes")->Eof());
  EXPECT_FALSE(ExecuteQuery(*OpenSuiteConnection(st), "SELECT * FROM ATR_Nodes")->Eof());
}

// An installation of an earlier version: suite keys without AUTOINCREMENT, rows whose highest id
// was deleted, an index of the operator's own.
TEST_F(InstallationTest, UpgradeRebuildsOldSuiteTablesKeepingEveryRow) {
  const std::string root = dir_.File("old");
  ASSERT_EQ(RunTrendctl("init " + root).status, 0);
  const std::string suite = "Driver=SQLite3;Database=" + root + "/Quorlan-suite.db";
  std::vector<std::string> old = {"DROP TABLE Settings", "DROP TABLE ATR_Nodes",
                                  "DROP TABLE TrendReports", "DROP TABLE SecProfiles"};
  for (std::string sql : SqliteSuiteStatements()) {
    const size_t at = sql.find(" AUTOINCREMENT");
    if (at != std::string::npos) sql.erase(at, 14);
    old.push_back(sql);
  }
  for (const char* sql : {"CREATE INDEX ReportsByNode ON TrendReports (NodeId)",
                          "INSERT INTO ATR_Nodes (node_name, TrendReports) VALUES ('n1', 1)",
                          "INSERT INTO TrendReports (ReportTitle, NodeId) VALUES ('a', 1), ('b', "
                          "1), ('c', 1)",
                          "DELETE FROM TrendReports WHERE ReportId = 3"}) {
    old.push_back(sql);
  }
  const auto exec = [&](const std::vector<std::string>& statements) {
    auto conn = direct_->NewConnection();
    conn->Open(suite, kDbConnectTimeoutSeconds);
    for (const std::string& sql : statements) conn->Execute(sql);
  };
  const auto query = [&](const std::string& sql) {
    auto conn = direct_->NewConnection();
    conn->Open(suite, kDbConnectTimeoutSeconds);
    std::string out;
    for (auto rows = ExecuteQuery(*conn, sql); !rows->Eof(); rows->MoveNext()) {
      for (int i = 0; i < rows->FieldCount(); ++i) {
        out += (rows->Field(i).IsNull() ? "NULL" : rows->Field(i).AsString()) + "|";
      }
      out += "\n";
    }
    return out;
  };
  exec(old);
  const std::string rows = query("SELECT * FROM TrendReports") + query("SELECT * FROM ATR_Nodes") +
                           query("SELECT * FROM Settings");
  {
    InstanceLock service;  // the installation's service is running
    ASSERT_TRUE(service.Acquire(root));
    const RunResult refused = RunTrendctl("upgrade " + root);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("is running; stop it first"), std::string::npos);
  }
  RunResult run = RunTrendctl("upgrade " + root);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("table TrendReports now never gives an id twice"), std::string::npos)
      << run.output;
  EXPECT_EQ(query("SELECT * FROM TrendReports") + query("SELECT * FROM ATR_Nodes") +
                query("SELECT * FROM Settings"),
            rows);
  EXPECT_EQ(query("SELECT name FROM sqlite_master WHERE type = 'index' AND name = "
                  "'ReportsByNode'"),
            "ReportsByNode|\n");
  EXPECT_EQ(query("SELECT COUNT(*) FROM sqlite_master WHERE sql LIKE '%AUTOINCREMENT%'"), "4|\n");
  exec({"INSERT INTO TrendReports (NodeId) VALUES (1)",
        "DELETE FROM TrendReports WHERE ReportId = 3",
        "INSERT INTO TrendReports (NodeId) VALUES (1)"});
  EXPECT_EQ(query("SELECT MAX(ReportId) FROM TrendReports"), "4|\n");
  run = RunTrendctl("upgrade " + root);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("is up to date"), std::string::npos) << run.output;
}

// An installation of an earlier version: files every user could read, trend tables without an
// index.
TEST_F(InstallationTest, UpgradeTightensModesAndIndexesTheTrendTables) {
  const std::string root = dir_.File("loose");
  ASSERT_EQ(RunTrendctl("init " + root).status, 0);
  for (const char* name : {"/Quorlan.mdb", "/Quorlan.ini", "/Quorlan-suite.db", "/Debug"}) {
    std::filesystem::permissions(root + name, std::filesystem::perms(name[1] == 'D' ? 0777 : 0644));
  }
  std::filesystem::permissions(root, std::filesystem::perms(0755));
  {
    auto conn = direct_->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + root + "/Quorlan-suite.db", kDbConnectTimeoutSeconds);
    conn->Execute("CREATE TABLE TrendData5 (ReportId int NOT NULL, Time datetime NOT NULL)");
  }
  RunResult run = RunTrendctl("upgrade " + root);
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* line : {"/Quorlan.mdb: mode 0644 -> 0600\n", "/Quorlan.ini: mode 0644 -> 0600\n",
                           "/Quorlan-suite.db: mode 0644 -> 0600\n", "/Debug: mode 0777 -> 0750\n",
                           "loose: mode 0755 -> 0750\n",
                           "Quorlan-suite.db: table TrendData5 indexed by report and time\n"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << run.output;
  }
  EXPECT_EQ(static_cast<int>(std::filesystem::status(root + "/Quorlan.ini").permissions()), 0600);
  run = RunTrendctl("upgrade " + root);
  EXPECT_EQ(run.output,
            "The suite database " + root +
                "/Quorlan-suite.db is up to date\nService executable: already this one\n");
}

TEST_F(InstallationTest, InitRefusesAnExistingInstallationAndWrongUsage) {
  const std::string root = dir_.MakeDir("q");
  dir_.Write("q/Quorlan.ini", "ServerPort=2000\n");
  RunResult run = RunTrendctl("init " + root);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("already holds an installation (Quorlan.ini exists)"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(dir_.Read("q/Quorlan.ini"), "ServerPort=2000\n");
  EXPECT_FALSE(FileExists(root + "/Quorlan.mdb"));
  EXPECT_FALSE(DirectoryExists(root + "/Debug"));
  // A link another user planted where init would write is refused, never followed.
  const std::string planted = dir_.MakeDir("planted");
  std::filesystem::create_symlink(dir_.File("elsewhere"), planted + "/Quorlan.mdb");
  run = RunTrendctl("init " + planted);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("(Quorlan.mdb exists)"), std::string::npos) << run.output;
  EXPECT_FALSE(std::filesystem::exists(dir_.File("elsewhere")));

  run = RunTrendctl("");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("Usage: quorlan-trendctl [-d DIR] COMMAND"), std::string::npos);
  EXPECT_NE(run.output.find("init DIR [--demo]"), std::string::npos);
  EXPECT_EQ(RunTrendctl("start " + root).status, 2);
  EXPECT_EQ(RunTrendctl("--help").status, 0);
}

}  // namespace
}  // namespace quorlan
