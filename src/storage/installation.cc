// Creation of an embedded installation: the service with a SQLite suite database beside it.
#include <fmt/format.h>

#include <filesystem>
#include <system_error>

#include "components/files.h"
#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what, const std::error_code& ec) {
  throw RuntimeError(err::kPathNotFound, fmt::format("{}: {}", what, ec.message()));
}

// Runs statements on a SQLite file, creating it.
void ExecuteOnSqliteFile(const std::string& path, const std::vector<std::string>& statements) {
  std::unique_ptr<Connection> conn = NewOdbcDriver()->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + path, kDbConnectTimeoutSeconds);
  for (const std::string& sql : statements) conn->Execute(sql);
  conn->Close();
}

std::string IniText() {
  const std::vector<std::string> lines = {
      "; Quorlan.ini: network and timing settings of quorlan-trend, read at every service start.",
      "; Lines starting with ';' or '[' are ignored; keys are not case-sensitive. The values",
      "; below are the built-in defaults.",
      "",
      "; The server's own IP address: the agent address of every event trap.",
      "ServerIpAddr=",
      "; Base port: the built-in SNMP agent listens on UDP port ServerPort + 1.",
      "ServerPort=1625",
      "; UDP port on 127.0.0.1 to which all traps are sent.",
      "ServerTrapPort=162",
      "; Communities the built-in agent accepts for reading and for writing.",
      "SnmpAgentGetComm=public",
      "SnmpAgentSetComm=wexrol",
      "; Stored only.",
      "StartUpDelay=15",
      "; Seconds after a start during which requests are spaced StartUpDelayFactor times wider.",
      "StartUpPeriod=300",
      "StartUpDelayFactor=2",
      "; Half the poll timer's period, in milliseconds.",
      "TimerInterval=1000",
      "; Pause after each SNMP request, in tens of milliseconds.",
      "PollDelaySnmp=20",
      "; Largest number of outstanding SNMPv1/v2c requests.",
      "MaxPendSnmp=10",
  };
  std::string text;
  for (const std::string& line : lines) text += line + kCrLf;
  return text;
}

}  // namespace

void CreateSqliteSettingsConsole(const std::string& path, bool setup_ok,
                                 const std::optional<std::string>& conn_string) {
  ExecuteOnSqliteFile(
      path, {SqliteSettingsConsoleTable(),
             fmt::format("INSERT INTO Settings_Console (Id, ConsoleName, SqlDbSetupOk, "
                         "DbConnStringSql) VALUES (1, 'MainConsole', {}, {})",
                         setup_ok ? 1 : 0, conn_string ? SqlQuote(*conn_string) : "NULL")});
}

std::vector<std::string> InstallationFiles() {
  return {kServiceExecutable, "Quorlan.mdb", kSuiteDatabase, "Quorlan.ini"};
}

std::string CreateEmbeddedInstallation(const std::string& dir, const std::string& executable) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) Fail("create " + dir, ec);
  const std::string root = fs::canonical(dir, ec).string();
  if (ec) Fail("resolve " + dir, ec);
  for (const std::string& name : InstallationFiles()) {
    if (fs::exists(root + "/" + name)) {
      throw RuntimeError(err::kFileAlreadyOpen,
                         fmt::format("{} already holds an installation ({} exists); nothing was "
                                     "changed",
                                     root, name));
    }
  }
  if (root.find(';') != std::string::npos) {
    throw RuntimeError(err::kPathNotFound,
                       "the folder " + root + " holds a ';', which a connection string cannot");
  }
  if (!FileExists(executable)) {
    throw RuntimeError(err::kFileNotFound, "the service executable " + executable + " is missing");
  }
  const bool had_debug = DirectoryExists(root + "/Debug");
  const std::string suite = "Driver=SQLite3;Database=" + root + "/" + kSuiteDatabase;
  try {
    fs::copy_file(executable, root + "/" + kServiceExecutable, ec);
    if (ec) Fail("copy " + executable + " to " + root, ec);
    fs::permissions(root + "/" + kServiceExecutable, fs::perms(0755), ec);
    fs::create_directory(root + "/Debug", ec);
    if (ec) Fail("create " + root + "/Debug", ec);
    ExecuteOnSqliteFile(root + "/" + kSuiteDatabase, SqliteSuiteStatements());
    CreateSqliteSettingsConsole(root + "/Quorlan.mdb", true, suite);
    WriteNewFile(root + "/Quorlan.ini", IniText());
  } catch (...) {
    for (const std::string& name : InstallationFiles()) fs::remove(root + "/" + name, ec);
    if (!had_debug) fs::remove(root + "/Debug", ec);
    throw;
  }
  return root;
}

}  // namespace quorlan
