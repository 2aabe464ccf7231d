// The full build of the trend list and the addition of new reports.
#include <fmt/format.h>

#include <algorithm>

#include "diagnostics/diagnostics.h"
#include "trendlist/db_operation.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace trendlist {
namespace {

// Loads the loadable rows of a result into entries first+1, first+2, ... up to the end of the
// table. Rows whose node is not in the snapshot are skipped. Returns the number of the last
// entry written; the ReportIds of loadable rows that no longer fit go to left_out.
int16_t LoadRows(TrendState& st, Recordset& rows, const NodeSnapshot& nodes, int16_t first,
                 std::vector<std::string>& left_out) {
  float conv = 0;  // the run's conversion variable: a failed conversion keeps the last value
  int16_t n = first;
  for (; !rows.Eof(); rows.MoveNext()) {
    const Row& row = rows;
    const SnapshotNode* node = FindNodeOfRow(nodes, row);
    if (node == nullptr) continue;
    if (n >= kTrendListSize) {
      const FieldValue id = row.Field("ReportId");
      left_out.push_back(id.IsNull() ? "NULL" : id.AsString());
      continue;
    }
    ++n;
    LoadEntry(st, st.TrendList[n], row, *node, conv);
    CalcPollNextTime(st, n);
  }
  return n;
}

// One error event naming the reports that did not fit the table: the first twenty of them, so
// that the line and its trap stay short however many there are.
void ReportLeftOut(TrendState& st, const char* procedure, const std::vector<std::string>& ids) {
  if (ids.empty()) return;
  constexpr size_t kNamed = 20;
  const std::vector<std::string> named(ids.begin(), ids.begin() + std::min(ids.size(), kNamed));
  const std::string more =
      ids.size() > kNamed ? fmt::format(" and {} more", ids.size() - kNamed) : "";
  AppEvent(st, kModShared, procedure,
           fmt::format("Trend list full: {} reports loaded, {} left out (ReportId {}{})",
                       kTrendListSize, ids.size(), fmt::join(named, ", "), more),
           kEventError);
}

}  // namespace
}  // namespace trendlist

using namespace trendlist;

void TrendListCreate(TrendState& st) {
  try {
    std::vector<std::string> left_out;
    int16_t n = 0;
    {
      DbOperation db(st);
      const NodeSnapshot nodes = ReadNodeSnapshot(db, false);
      db.Execute("DELETE FROM TrendReports WHERE DbChanged = '3'");
      db.Execute("UPDATE TrendReports SET DbChanged='0'");
      n = LoadRows(st, db.Query("SELECT * FROM TrendReports"), nodes, 0, left_out);
    }  // closes the result set and the connection
    st.TrendListCount = n;
    ReportLeftOut(st, "TrendListCreate", left_out);
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "TrendListCreate", ex.what(), kEventError);
  }
}

void TrendListTrendAdd(TrendState& st) {
  try {
    std::vector<std::string> left_out;
    DbOperation db(st);
    const NodeSnapshot nodes = ReadNodeSnapshot(db, false);
    Recordset& rows = db.Query("SELECT * FROM TrendReports WHERE DbChanged = '1'");
    st.TrendListCount = LoadRows(st, rows, nodes, st.TrendListCount, left_out);
    ReportLeftOut(st, "TrendListTrendAdd", left_out);
    db.Execute("UPDATE TrendReports SET DbChanged = '0' WHERE DbChanged = '1'");
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "TrendListTrendAdd", ex.what(), kEventError);
  }
}

}  // namespace quorlan
