// The edit and delete passes over the reports flagged '2' and '3'.
#include <fmt/format.h>

#include "diagnostics/diagnostics.h"
#include "trendlist/db_operation.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace trendlist {
namespace {

// Applies one edited row to its entry, through a copy: a row that fails leaves the entry as it
// was.
void EditRow(TrendState& st, const Row& row, const NodeSnapshot& nodes, double& conv) {
  const int16_t i = FindEntryByReportId(st, FieldNumber(row, "ReportId"));
  if (i == 0) return;  // not loaded: the flag is cleared without effect
  TrendListEntry e = st.TrendList[i];
  const std::optional<double> node_id = FieldNumber(row, "NodeId");
  for (const SnapshotNode& node : nodes.nodes) {
    if (node_id && static_cast<double>(node.NodeId) == *node_id)
      EditNodeFields(st.TrendList, e, row, node);
  }
  EditReportFields(st, st.TrendList, e, row, conv);
  st.TrendList[i] = std::move(e);
}

// Reports a row that a pass could not apply (IsRowValueError).
void ReportRowError(TrendState& st, const char* procedure, const Row& row, const RuntimeError& e,
                    const char* what) {
  AppEvent(st, kModShared, procedure,
           fmt::format("{}: {}; {}", ReportName(row), e.description(), what), kEventError);
}

}  // namespace
}  // namespace trendlist

using namespace trendlist;

// Both passes settle only the rows they read: a row flagged after the SELECT keeps its flag for
// the next pass.
void TrendListTrendEdit(TrendState& st) {
  static const char* kProcedure = "TrendListTrendEdit";
  try {
    DbOperation db(st);
    const NodeSnapshot nodes = ReadNodeSnapshot(st, db, false, kProcedure);
    Recordset& rows = db.Query("SELECT * FROM TrendReports WHERE DbChanged = '2'");
    std::vector<int64_t> read;
    double conv = 0;  // the run's conversion variable
    for (; !rows.Eof(); rows.MoveNext()) {
      if (const std::optional<int64_t> id = WholeNumber(rows, "ReportId")) read.push_back(*id);
      try {
        EditRow(st, rows, nodes, conv);
      } catch (const RuntimeError& e) {
        if (!IsRowValueError(e)) throw;
        ReportRowError(st, kProcedure, rows, e, "the edit is left out");
      }
    }
    if (!read.empty()) {
      db.Execute("UPDATE TrendReports SET DbChanged = '0' WHERE DbChanged = '2' AND " +
                 IdCondition("ReportId", read));
    }
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, kProcedure, ex.what(), kEventError);
  }
}

void TrendListTrendDel(TrendState& st) {
  static const char* kProcedure = "TrendListTrendDel";
  try {
    DbOperation db(st);
    Recordset& rows = db.Query("SELECT * FROM TrendReports WHERE DbChanged = '3'");
    std::vector<int64_t> read;
    for (; !rows.Eof(); rows.MoveNext()) {
      if (const std::optional<int64_t> id = WholeNumber(rows, "ReportId")) read.push_back(*id);
      try {
        const int16_t i = FindEntryByReportId(st, FieldNumber(rows, "ReportId"));
        if (i != 0) st.TrendList[i].PollType = st.TrendList.Intern(kPollTypeDeleted);
      } catch (const RuntimeError& e) {
        if (!IsRowValueError(e)) throw;
        ReportRowError(st, kProcedure, rows, e, "the deletion is left out");
      }
    }
    if (!read.empty()) {
      db.Execute("DELETE FROM TrendReports WHERE DbChanged = '3' AND " +
                 IdCondition("ReportId", read));
    }
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, kProcedure, ex.what(), kEventError);
  }
}

}  // namespace quorlan
