// The settings the service reads from its two databases: the console settings of Quorlan.mdb and
// the general settings of the suite database.
#include "storage/internal.h"
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

constexpr const char* kGeneralRead = "SettingsGeneralRead";

// DebugMode from the first row of Settings on conn; false when the connection recorded errors
// (reported then).
bool ReadDebugMode(StorageState& st, Connection& conn) {
  std::unique_ptr<Recordset> rows = ExecuteQuery(conn, "SELECT * FROM Settings");
  if (ErrorsReported(st, conn, kModShared, kGeneralRead)) return false;
  st.DebugMode = rows->Field("DebugMode").AsBool();
  return true;
}

// The read on the connection kept from the last one, while the stored string is the one it was
// opened with. True when it is done (errors reported included); false when there is no kept
// connection or it failed, which drops it: a server that restarted has closed it.
bool ReadOnKept(StorageState& st) {
  KeptSettingsConnection& kept = st.SettingsConnection;
  if (!kept.conn) return false;
  RequireSuiteAvailable(st);
  try {
    if (SuiteConnectionOf(st) == kept.opened_with && ReadDebugMode(st, *kept.conn)) return true;
  } catch (const std::exception&) {
    // dropped below; a new connection is tried
  }
  kept.conn.reset();
  return false;
}

}  // namespace

void SettingsGeneralRead(StorageState& st) {
  try {
    if (ReadOnKept(st)) return;
    std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
    if (ErrorsReported(st, *conn, kModShared, kGeneralRead)) return;
    if (!ReadDebugMode(st, *conn)) return;
    // A database server's connection is kept for the next read, every 30 s from the debug-mode
    // watcher, instead of a new login each time; a SQLite file's is parked by the driver anyway,
    // which also notices a file replaced meanwhile.
    if (st.SuiteConnection.sqlite_path.empty()) {
      st.SettingsConnection = {std::move(conn), st.SuiteConnection.translated};
    }
  } catch (const std::exception& e) {
    AppEvent(st, kModShared, kGeneralRead, e.what(), kEventError);
  }
}

}  // namespace quorlan
