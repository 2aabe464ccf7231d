// The SNMPv3 security profiles: the table SecProfiles loaded into the ten slots of
// SecProfileList.
#include <fmt/format.h>

#include "storage/storage.h"

namespace quorlan {
namespace {

bool IsEnabled(const Recordset& row) {
  const FieldValue enabled = row.Field("Enabled");
  return !enabled.IsNull() && enabled.AsBool();  // NULL counts as false
}

}  // namespace

void SysUpdateSecProfiles(StorageState& st) {
  static const char* kProcedure = "SysUpdateSecProfiles";
  for (int slot = 1; slot <= kSecProfileSlots; ++slot) st.SecProfileList[slot].UserName.clear();
  try {
    std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    std::unique_ptr<Recordset> rows = ExecuteQuery(*conn, "SELECT * FROM SecProfiles");
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    int slot = 0;
    for (; !rows->Eof(); rows->MoveNext()) {
      if (!IsEnabled(*rows)) continue;
      if (++slot > kSecProfileSlots) {
        throw RuntimeError(err::kSubscriptOutOfRange,
                           fmt::format("Subscript out of range: more than {} enabled security "
                                       "profiles; the first {} are loaded",
                                       kSecProfileSlots, kSecProfileSlots));
      }
      // The slot is filled only when all six fields converted: a half-filled slot would pair
      // the new user's name with the secrets of the slot's previous user.
      SecProfile p;
      p.UserName = rows->Field("UserName").AsString();
      p.SecurityLevel = rows->Field("SecurityLevel").AsInt16();
      p.AuthPassword = rows->Field("AuthPassword").AsString();
      p.AuthProtocol = rows->Field("AuthProtocol").AsInt16();
      p.PrivPassword = rows->Field("PrivPassword").AsString();
      p.PrivProtocol = rows->Field("PrivProtocol").AsInt16();
      st.SecProfileList[slot] = std::move(p);
    }
  } catch (const std::exception& e) {
    AppEvent(st, kModShared, kProcedure, e.what(), kEventError);
  }
}

int FindSecProfile(const StorageState& st, std::string_view user_name) {
  for (int slot = 1; slot <= kSecProfileSlots; ++slot) {
    if (EqualsNoCase(st.SecProfileList[slot].UserName, user_name)) return slot;
  }
  return 0;
}

}  // namespace quorlan
