// The four trend-data tables: their creation at start and their daily retention pass.
#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

struct Retention {
  const char* table;
  int hours;
  const char* message;
};

constexpr std::array<Retention, 4> kRetention = {{
    {"TrendData1", 168, " Trend Data Older Than 7 Days Deleted From 1 Min Sampling"},
    {"TrendData5", 720, " Trend Data Older Than 30 Days Deleted From 5 Min Sampling"},
    {"TrendData15", 2160, " Trend Data Older Than 3 Months Deleted From 15 Min Sampling"},
    {"TrendData60", 8760, " Trend Data Older Than 1 Year Deleted From 60 Min Sampling"},
}};

// The retention of a table, or a run-time error for a name that is none of the four: deleting
// by a made-up period from a table nobody named would destroy data.
const Retention& RetentionOf(const std::string& table) {
  for (const Retention& r : kRetention) {
    if (EqualsNoCase(r.table, table)) return r;
  }
  throw RuntimeError(err::kDatabase,
                     fmt::format("'{}' is not a trend data table; nothing deleted", table));
}

constexpr int32_t kDeleteChunk = 3000;

}  // namespace

std::string TrendTableStatement(const std::string& table) {
  return "CREATE TABLE " + table + " (" + "ReportId int NOT NULL," + "Time datetime NOT NULL," +
         "Value1 bigint NOT NULL," + "Value2 bigint NOT NULL," + "Value3 bigint NOT NULL," +
         "Value4 bigint NOT NULL," + "Value5 bigint NOT NULL," + "Value6 bigint NOT NULL" + ")";
}

std::vector<std::string> TrendTableColumns() {
  return {"ReportId", "Time", "Value1", "Value2", "Value3", "Value4", "Value5", "Value6"};
}

void VerifiyTrendDataTables(StorageState& st) {
  static const char* kProcedure = "VerifiyTrendDataTables";
  try {
    std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    std::unique_ptr<Recordset> rows = ExecuteQuery(*conn, "SELECT name from sys.tables");
    if (ErrorsReported(st, *conn, kModShared, kProcedure)) return;
    std::array<bool, kTrendDataTables.size()> found = {};
    for (; !rows->Eof(); rows->MoveNext()) {
      const std::string name = rows->Field(0).AsString();
      for (size_t i = 0; i < kTrendDataTables.size(); ++i) {
        if (EqualsNoCase(name, kTrendDataTables[i])) found[i] = true;
      }
    }
    for (size_t i = 0; i < kTrendDataTables.size(); ++i) {
      if (found[i]) continue;
      // A failed creation is reported with the table's name before the description (empty when
      // the failure is only an entry of the error collection); later tables are not attempted.
      std::string description;
      try {
        conn->Execute(TrendTableStatement(kTrendDataTables[i]));
        // The console reads one report's samples in time order; without the index each read
        // scans the whole table.
        const std::string index = TrendIndexStatement(*conn, kTrendDataTables[i]);
        if (conn->Errors().empty() && !index.empty()) conn->Execute(index);
        if (conn->Errors().empty()) continue;
      } catch (const RuntimeError& e) {
        description = e.description();
      }
      AppEvent(st, kModShared, kProcedure, std::string(kTrendDataTables[i]) + " " + description,
               kEventError);
      return;
    }
  } catch (const std::exception& e) {
    AppEvent(st, kModShared, kProcedure, e.what(), kEventError);
  }
}

void DelTrendData(StorageState& st, const std::string& table) {
  static const char* kProcedure = "DelTrendData";
  try {
    const Retention& retention = RetentionOf(table);
    const DateTime cutoff = st.Now().PlusHours(-retention.hours);  // its date counts
    std::unique_ptr<Connection> conn = OpenSuiteConnection(st);
    if (ErrorsReported(st, *conn, kModRetention, kProcedure)) return;
    const std::string where = " WHERE time < " + SqlDate(*conn, cutoff);
    int32_t total = 0;
    int32_t count = 0;
    std::unique_ptr<Recordset> rows;
    do {
      rows = ExecuteQuery(*conn, "SELECT COUNT(ReportId) FROM " + table + where);
      if (ErrorsReported(st, *conn, kModRetention, kProcedure)) return;
      count = rows->Field(0).AsInt32();
      // The count's result is finished before the next statement: SQL Server connections
      // without multiple active result sets refuse a statement while a result is pending.
      rows->Close();
      if (count > 0) {
        conn->Execute(fmt::format("DELETE TOP ({}) FROM {}{}", kDeleteChunk, table, where));
        if (ErrorsReported(st, *conn, kModRetention, kProcedure)) return;
        total += std::min(count, kDeleteChunk);
      }
      st.WaitMs(500);
    } while (count > kDeleteChunk);
    conn->Close();
    AppEvent(st, kModRetention, kProcedure, std::to_string(total) + retention.message, kEventInfo);
  } catch (const std::exception& e) {
    AppEvent(st, kModRetention, kProcedure, e.what(), kEventError);
  }
}

}  // namespace quorlan
