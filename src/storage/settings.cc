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

void SettingsGeneralRead(StorageState& st) {
  static const char* kProcedure = "SettingsGeneralRead";
  try {
    std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    std::unique_ptr<Recordset> rows = ExecuteQuery(*conn, "SELECT * FROM Settings");
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    st.DebugMode = rows->Field("DebugMode").AsBool();
  } catch (const std::exception& e) {
    AppEvent(st, kModShared, kProcedure, e.what(), kEventError);
  }
}

}  // namespace quorlan
