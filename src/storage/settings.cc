// The settings the service reads from its two databases: the console settings of Quorlan.mdb and
// the general settings of the suite database.
#include <chrono>
#include <filesystem>
#include <system_error>

#include "storage/storage.h"

namespace quorlan {

void SettingsConsoleRead(StorageState& st) {
  st.DbConnStringJet = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + st.AppPath +
                       "\\Quorlan.mdb;Persist Security Info=False";
  std::unique_ptr<Connection> conn = st.Db->NewConnection();
  conn->Open(st.DbConnStringJet, 0);  // the provider's default time-out
  std::unique_ptr<Recordset> rows;
  if (conn->Errors().empty()) rows = ExecuteQuery(*conn, "SELECT * FROM Settings_Console");
  if (!conn->Errors().empty()) {
    throw RuntimeError(err::kDatabase, "Quorlan.mdb: " + conn->Errors().front().Description);
  }
  const bool setup_ok = rows->Field("SqlDbSetupOk").AsBool();
  st.DbConnStringSql = rows->Field("DbConnStringSql").AsString();
  st.SqlDbSetupOk = setup_ok;
}

namespace {

// The stamps of the SQLite suite database's file and write-ahead log, once a read translated
// its connection string; none (exists false) for a server database. A path through a symbolic
// link is resolved first: SQLite keeps the log beside the file the link leads to.
std::array<FileStamp, 2> SuiteFileStamps(const StorageState& st) {
  const SuiteConnectionMemo& memo = st.SuiteConnection;
  if (memo.translated.empty() || memo.stored != st.DbConnStringSql || memo.sqlite_path.empty()) {
    return {};
  }
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(memo.sqlite_path, error);
  const std::string path = error ? memo.sqlite_path : real.string();
  return {StampOf(path), StampOf(path + "-wal")};
}

constexpr const char* kReadSettings = "SELECT * FROM Settings";

// The read on the connection kept from an earlier one. False, with the connection dropped, when
// there is none to use (none kept, the stored string changed, the database is out, the service is
// stopping) or the read failed on it (a server restarted since, say): the caller then reads on a
// new connection, which reports what fails.
bool ReadOnKeptConnection(StorageState& st) {
  if (!st.SettingsConnection) return false;
  const bool usable = st.SettingsConnectionString == st.DbConnStringSql &&
                      !st.SampleRecorder.DatabaseOut() && !(st.StopRequested && st.StopRequested());
  try {
    if (usable) {
      Connection& conn = *st.SettingsConnection;
      std::unique_ptr<Recordset> rows = ExecuteQuery(conn, kReadSettings);
      if (conn.Errors().empty()) {
        st.DebugMode = rows->Field("DebugMode").AsBool();
        return true;
      }
    }
  } catch (const std::exception&) {
    // Read again on a new connection below.
  }
  st.SettingsConnection.reset();
  return false;
}

}  // namespace

void SettingsGeneralRead(StorageState& st) {
  static const char* kProcedure = "SettingsGeneralRead";
  // A stopping service reads nothing: a tick of the debug-mode watcher during the stop would only
  // be refused the connection and log that as an error.
  if (st.StopRequested && st.StopRequested()) return;
  try {
    // A SQLite database whose file and log are as the last read found them holds the same
    // settings: the 30-second watcher then reads nothing. The stamps are taken before the read,
    // so a change during it shows next time.
    const std::array<FileStamp, 2> stamps = SuiteFileStamps(st);
    if (stamps[0].exists && stamps == st.SettingsReadStamps) return;
    st.SettingsReadStamps = {};
    if (ReadOnKeptConnection(st)) return;
    // A stop asked for while the read on the kept connection waited: a new connection would only
    // be refused, and the refusal logged as an error.
    if (st.StopRequested && st.StopRequested()) return;
    std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    std::unique_ptr<Recordset> rows = ExecuteQuery(*conn, kReadSettings);
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    st.DebugMode = rows->Field("DebugMode").AsBool();
    rows.reset();
    if (StampSettled(stamps[0]) && StampSettled(stamps[1])) st.SettingsReadStamps = stamps;
    // A server database's connection is kept for the next read: each new one is a login. A SQLite
    // file's connections are kept by the database client already, checked against the file. A
    // server that stops answering holds a read on the kept connection no longer than it would
    // hold the login of a new one (not the query time-out): the read is made again on a new
    // connection, whose login waits as long again.
    if (st.SuiteConnection.sqlite_path.empty()) {
      conn->LimitWaits(std::chrono::seconds(kDbConnectTimeoutSeconds));
      st.SettingsConnection = std::move(conn);
      st.SettingsConnectionString = st.DbConnStringSql;
    }
  } catch (const std::exception& e) {
    AppEvent(st, kModShared, kProcedure, e.what(), kEventError);
  }
}

}  // namespace quorlan
