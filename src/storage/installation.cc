// Creation of an embedded installation: the service with a SQLite suite database beside it.
#include <fmt/format.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <system_error>

#include "components/platform/platform.h"
#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

namespace fs = std::filesystem;

// Characters of the write community drawn at installation (about 103 bits).
constexpr size_t kWriteCommunityLength = 20;

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

std::string IniText(const std::string& write_community) {
  const std::vector<std::string> lines = {
      "; Quorlan.ini: network and timing settings of quorlan-trend, read at every service start.",
      "; Lines starting with ';' or '[' are ignored; keys are not case-sensitive. The values",
      "; below are the built-in defaults, except the write community.",
      "",
      "; The server's own IP address: the agent address of every event trap.",
      "ServerIpAddr=",
      "; Base port: the built-in SNMP agent listens on UDP port ServerPort + 1.",
      "ServerPort=1625",
      "; UDP port on 127.0.0.1 to which all traps are sent.",
      "ServerTrapPort=162",
      "; Communities the built-in agent accepts for reading and for writing. The write community",
      "; was drawn at random for this installation; quorlan-trendctl reads it here.",
      "SnmpAgentGetComm=public",
      "SnmpAgentSetComm=" + write_community,
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
      "; Most megabytes (MiB) of sample rows kept in the folder Spool while the suite database is",
      "; out; when full, the oldest rows are dropped.",
      "SpoolLimitMB=256",
  };
  std::string text;
  for (const std::string& line : lines) text += line + kCrLf;
  return text;
}

// The rows of a one-column query, as text.
std::vector<std::string> Column(Connection& conn, const std::string& sql) {
  std::vector<std::string> out;
  for (auto rows = ExecuteQuery(conn, sql); !rows->Eof(); rows->MoveNext()) {
    const FieldValue f = rows->Field(0);
    if (!f.IsNull()) out.push_back(f.AsString());
  }
  return out;
}

int64_t CountRows(Connection& conn, const std::string& table) {
  return std::stoll(Column(conn, "SELECT COUNT(*) FROM " + table).at(0));
}

// The CREATE TABLE text with AUTOINCREMENT after the key's INTEGER PRIMARY KEY, for a table of
// another name; "" when the key is not a plain INTEGER PRIMARY KEY.
std::string AutoincrementCreate(const std::string& create, const std::string& key,
                                const std::string& new_name) {
  const std::regex kKey("\\b\"?" + key + "\"?\\s+INTEGER\\s+PRIMARY\\s+KEY\\b", std::regex::icase);
  std::smatch m;
  const size_t paren = create.find('(');
  if (paren == std::string::npos || !std::regex_search(create, m, kKey)) return "";
  const size_t at = static_cast<size_t>(m.position(0) + m.length(0));
  return "CREATE TABLE " + new_name + " " + create.substr(paren, at - paren) + " AUTOINCREMENT" +
         create.substr(at);
}

// Rebuilds one table with an AUTOINCREMENT key; false when it needs none.
bool UpgradeTable(Connection& conn, const std::string& table, const std::string& key) {
  const std::vector<std::string> create = Column(
      conn, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = " + SqlQuote(table) +
                " COLLATE NOCASE");
  if (create.empty() || create[0].find("AUTOINCREMENT") != std::string::npos) return false;
  const std::string upgraded = "quorlan_upgrade_" + table;
  const std::string statement = AutoincrementCreate(create[0], key, upgraded);
  if (statement.empty()) return false;
  // Indexes and triggers go with the old table; they are made again on the new one.
  const std::vector<std::string> extras =
      Column(conn,
             "SELECT sql FROM sqlite_master WHERE type IN ('index', 'trigger') AND tbl_name "
             "= " +
                 SqlQuote(table) + " COLLATE NOCASE AND sql IS NOT NULL");
  conn.Execute("BEGIN IMMEDIATE");
  try {
    const int64_t rows = CountRows(conn, table);
    conn.Execute(statement);
    conn.Execute("INSERT INTO " + upgraded + " SELECT * FROM " + table);
    if (CountRows(conn, upgraded) != rows) {
      throw RuntimeError(err::kDatabase, "the copy does not hold every row");
    }
    conn.Execute("DROP TABLE " + table);
    conn.Execute("ALTER TABLE " + upgraded + " RENAME TO " + table);
    for (const std::string& sql : extras) conn.Execute(sql);
    conn.Execute("COMMIT");
  } catch (const RuntimeError& e) {
    try {
      conn.Execute("ROLLBACK");
    } catch (const RuntimeError&) {
    }  // the failure that matters is e
    throw RuntimeError(err::kDatabase, fmt::format("upgrade table {}: {}; the table is unchanged",
                                                   table, e.description()));
  }
  return true;
}

// Indexes each trend-data table of the SQLite database by report and time where its index is
// missing; returns the tables indexed.
std::vector<std::string> IndexTrendTables(Connection& conn) {
  std::vector<std::string> indexed;
  const auto exists = [&conn](const std::string& type, const std::string& name) {
    return !Column(conn, "SELECT name FROM sqlite_master WHERE type = " + SqlQuote(type) +
                             " AND name = " + SqlQuote(name) + " COLLATE NOCASE")
                .empty();
  };
  for (const char* table : kTrendDataTables) {
    if (!exists("table", table) || exists("index", TrendIndexName(table))) continue;
    conn.Execute(TrendIndexStatement(conn, table));
    indexed.push_back(table);
  }
  return indexed;
}

// The files of an installation that others must not read or change; a suite database inside
// the installation folder with the files SQLite keeps beside it (one elsewhere may be shared
// with the suite's editor on purpose).
std::vector<std::string> PrivateFiles(const std::string& dir, const std::string& suite) {
  std::vector<std::string> files = {dir + "/Quorlan.mdb", dir + "/Quorlan.ini"};
  if (suite.starts_with(dir + "/")) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) files.push_back(suite + suffix);
  }
  return files;
}

// Removes the permissions of group write and of other users from path (a symbolic link is left
// alone); returns a line for the operator when the mode changed.
std::optional<std::string> Tighten(const fs::path& path, fs::perms remove) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec || !fs::exists(status) || fs::is_symlink(status)) return std::nullopt;
  const fs::perms before = status.permissions();
  if ((before & remove) == fs::perms::none) return std::nullopt;
  fs::permissions(path, remove, fs::perm_options::remove, ec);
  if (ec) Fail("tighten the mode of " + path.string(), ec);
  return fmt::format("{}: mode {:04o} -> {:04o}", path.string(), static_cast<int>(before),
                     static_cast<int>(before & ~remove));
}

// Takes away what other users may do with the installation's files: the private files 0600,
// the folder, Debug and its files no access for others and no group write.
std::vector<std::string> TightenModes(const std::string& dir, const std::string& suite) {
  constexpr fs::perms kOthers = fs::perms::others_all | fs::perms::group_write;
  constexpr fs::perms kAllButOwner = fs::perms::others_all | fs::perms::group_all;
  std::vector<std::string> lines;
  auto add = [&lines](std::optional<std::string> line) {
    if (line) lines.push_back(*line);
  };
  add(Tighten(dir, kOthers));
  add(Tighten(dir + "/" + kServiceExecutable, kOthers));
  for (const std::string& file : PrivateFiles(dir, suite)) add(Tighten(file, kAllButOwner));
  add(Tighten(dir + "/Debug", kOthers));
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir + "/Debug", ec)) add(Tighten(entry, kOthers));
  return lines;
}

}  // namespace

std::vector<std::string> UpgradeSqliteSuite(const std::string& path) {
  if (!FileExists(path)) {
    throw RuntimeError(err::kFileNotFound, "the suite database " + path + " does not exist");
  }
  std::unique_ptr<Connection> conn = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + path + ";NoCreat=1", kDbConnectTimeoutSeconds);
  std::vector<std::string> upgraded;
  for (const auto& [table, key] : SuiteTableKeys()) {
    if (UpgradeTable(*conn, table, key)) upgraded.push_back(table);
  }
  conn->Close();
  return upgraded;
}

std::vector<std::string> IndexSqliteTrendTables(const std::string& path) {
  std::unique_ptr<Connection> conn = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + path + ";NoCreat=1", kDbConnectTimeoutSeconds);
  std::vector<std::string> indexed = IndexTrendTables(*conn);
  conn->Close();
  return indexed;
}

std::vector<std::string> UpgradeInstallation(const std::string& dir) {
  std::unique_ptr<Connection> settings = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  settings->Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + dir + "/Quorlan.mdb", 0);
  const std::string stored = ExecuteQuery(*settings, "SELECT * FROM Settings_Console")
                                 ->Field("DbConnStringSql")
                                 .AsString();
  settings->Close();
  const std::string path =
      SqliteDatabasePath(WithSqliteBase(TranslateConnectionString(stored), dir));
  std::vector<std::string> out = TightenModes(dir, path);
  if (IsPostgresString(stored)) {
    const PostgresSuiteReport report = PreparePostgresSuite(stored);
    for (const std::string& line : report.changes) out.push_back("PostgreSQL: " + line);
    if (report.changes.empty()) out.push_back("The suite database (PostgreSQL) is up to date");
    return out;
  }
  if (path.empty()) {
    out.push_back(
        "The suite database is not a SQLite file: nothing to upgrade (SQL Server never gives "
        "an IDENTITY value twice)");
    return out;
  }
  for (const std::string& table : UpgradeSqliteSuite(path)) {
    out.push_back(
        fmt::format("{}: table {} now never gives an id twice (AUTOINCREMENT)", path, table));
  }
  for (const std::string& table : IndexSqliteTrendTables(path)) {
    out.push_back(fmt::format("{}: table {} indexed by report and time", path, table));
  }
  if (out.empty()) out.push_back("The suite database " + path + " is up to date");
  return out;
}

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

namespace {

// The installation folder: created 0750 when missing (its parents as usual), returned absolute.
std::string InstallationFolder(const std::string& dir) {
  std::error_code ec;
  const fs::path folder = fs::absolute(dir, ec).lexically_normal();
  if (ec) Fail("resolve " + dir, ec);
  if (!fs::exists(fs::symlink_status(folder, ec))) {
    fs::create_directories(folder.parent_path(), ec);
    if (ec) Fail("create " + folder.parent_path().string(), ec);
    CreateNewFolder(folder.string());
  }
  const std::string root = fs::canonical(folder, ec).string();
  if (ec) Fail("resolve " + dir, ec);
  return root;
}

// Refuses a folder that holds any installation file, a symbolic link by that name included.
void RequireEmptyPlace(const std::string& root) {
  for (const std::string& name : InstallationFiles()) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(root + "/" + name, ec))) {
      throw RuntimeError(err::kFileAlreadyOpen,
                         fmt::format("{} already holds an installation ({} exists); nothing was "
                                     "changed",
                                     root, name));
    }
  }
}

// Creates the installation's files, each new (a file or link planted by that name is refused,
// never followed) and readable by its owner only; make_suite makes the suite database and returns
// the connection string that Quorlan.mdb stores for it.
void CreateFiles(const std::string& root, const std::string& executable,
                 const std::function<std::string()>& make_suite) {
  CopyToNewFile(executable, root + "/" + kServiceExecutable, 0750);
  if (!DirectoryExists(root + "/Debug")) CreateNewFolder(root + "/Debug");
  const std::string suite = make_suite();
  CreateNewFile(root + "/Quorlan.mdb", "", 0600);
  CreateSqliteSettingsConsole(root + "/Quorlan.mdb", true, suite);
  CreateNewFile(root + "/Quorlan.ini", IniText(RandomToken(kWriteCommunityLength)), 0600);
}

// The SQLite suite database of an embedded installation, which begins as an empty file that
// SQLite fills.
std::string CreateSqliteSuite(const std::string& root) {
  CreateNewFile(root + "/" + kSuiteDatabase, "", 0600);
  // Write-ahead logging (kept in the file): readers such as the suite's editor do not block
  // the service's writes, and a kept-open connection commits a sample row in microseconds.
  std::vector<std::string> suite_statements = {"PRAGMA journal_mode=WAL"};
  for (const std::string& sql : SqliteSuiteStatements()) suite_statements.push_back(sql);
  ExecuteOnSqliteFile(root + "/" + kSuiteDatabase, suite_statements);
  // Relative to the installation folder, which a copy or move takes along.
  return std::string("Driver=SQLite3;Database=") + kSuiteDatabase;
}

std::string NewInstallation(const std::string& dir, const std::string& executable,
                            const std::function<std::string(const std::string& root)>& make_suite) {
  const std::string root = InstallationFolder(dir);
  RequireEmptyPlace(root);
  if (root.find(';') != std::string::npos) {
    throw RuntimeError(err::kPathNotFound,
                       "the folder " + root + " holds a ';', which a connection string cannot");
  }
  if (!FileExists(executable)) {
    throw RuntimeError(err::kFileNotFound, "the service executable " + executable + " is missing");
  }
  const bool had_debug = DirectoryExists(root + "/Debug");
  try {
    CreateFiles(root, executable, [&] { return make_suite(root); });
  } catch (...) {
    std::error_code ec;
    for (const std::string& name : InstallationFiles()) {
      if (!fs::is_symlink(fs::symlink_status(root + "/" + name, ec))) {
        fs::remove(root + "/" + name, ec);
      }
    }
    if (!had_debug) fs::remove(root + "/Debug", ec);
    throw;
  }
  return root;
}

}  // namespace

std::string CreateEmbeddedInstallation(const std::string& dir, const std::string& executable) {
  return NewInstallation(dir, executable, CreateSqliteSuite);
}

std::string CreatePostgresInstallation(const std::string& dir, const std::string& executable,
                                       const std::string& database, PostgresSuiteReport* report) {
  if (!IsPostgresString(database)) {
    throw RuntimeError(err::kDatabase,
                       fmt::format("'{}' is not a connection string of PostgreSQL's ODBC driver "
                                   "(Driver=PostgreSQL Unicode;Server=...;Port=...;Database=...;"
                                   "Uid=...)",
                                   MaskPasswords(database)));
  }
  return NewInstallation(dir, executable, [&](const std::string&) {
    *report = PreparePostgresSuite(database);
    return database;
  });
}

}  // namespace quorlan
