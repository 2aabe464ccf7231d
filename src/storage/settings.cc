// The settings the service reads from its two databases: the console settings of Quorlan.mdb and
// the general settings of the suite database.
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
// its connection string; none (exists false) for a server database.
std::array<FileStamp, 2> SuiteFileStamps(const StorageState& st) {
  const SuiteConnectionMemo& memo = st.SuiteConnection;
  if (memo.translated.empty() || memo.stored != st.DbConnStringSql || memo.sqlite_path.empty()) {
    return {};
  }
  return {StampOf(memo.sqlite_path), StampOf(memo.sqlite_path + "-wal")};
}

}  // namespace

void SettingsGeneralRead(StorageState& st) {
  static const char* kProcedure = "SettingsGeneralRead";
  try {
    // A SQLite database whose file and log are as the last read found them holds the same
    // settings: the 30-second watcher then reads nothing. The stamps are taken before the read,
    // so a change during it shows next time.
    const std::array<FileStamp, 2> stamps = SuiteFileStamps(st);
    if (stamps[0].exists && stamps == st.SettingsReadStamps) return;
    st.SettingsReadStamps = {};
    std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    std::unique_ptr<Recordset> rows = ExecuteQuery(*conn, "SELECT * FROM Settings");
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    st.DebugMode = rows->Field("DebugMode").AsBool();
    if (StampSettled(stamps[0]) && StampSettled(stamps[1])) st.SettingsReadStamps = stamps;
  } catch (const std::exception& e) {
    AppEvent(st, kModShared, kProcedure, e.what(), kEventError);
  }
}

}  // namespace quorlan
