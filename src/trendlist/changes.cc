// The edit and delete passes over the reports flagged '2' and '3'.
#include "diagnostics/diagnostics.h"
#include "trendlist/db_operation.h"
#include "trendlist/trendlist.h"

namespace quorlan {

using namespace trendlist;

void TrendListTrendEdit(TrendState& st) {
  try {
    DbOperation db(st);
    const NodeSnapshot nodes = ReadNodeSnapshot(db, false);
    Recordset& rows = db.Query("SELECT * FROM TrendReports WHERE DbChanged = '2'");
    float conv = 0;  // the run's conversion variable
    for (; !rows.Eof(); rows.MoveNext()) {
      const Row& row = rows;
      const int16_t i = FindEntryByReportId(st, FieldNumber(row, "ReportId"));
      if (i == 0) continue;  // not loaded: the flag is cleared below without effect
      TrendListEntry& e = st.TrendList[i];
      const std::optional<double> node_id = FieldNumber(row, "NodeId");
      for (const SnapshotNode& node : nodes) {
        if (node_id && static_cast<double>(node.NodeId) == *node_id) {
          EditNodeFields(e, row, node);
        }
      }
      EditReportFields(st, e, row, conv);
    }
    db.Execute("UPDATE TrendReports SET DbChanged = '0' WHERE DbChanged = '2'");
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "TrendListTrendEdit", ex.what(), kEventError);
  }
}

void TrendListTrendDel(TrendState& st) {
  try {
    DbOperation db(st);
    Recordset& rows = db.Query("SELECT * FROM TrendReports WHERE DbChanged = '3'");
    for (; !rows.Eof(); rows.MoveNext()) {
      const int16_t i = FindEntryByReportId(st, FieldNumber(rows, "ReportId"));
      if (i != 0) st.TrendList[i].PollType = kPollTypeDeleted;
    }
    db.Execute("DELETE FROM TrendReports WHERE DbChanged = '3'");
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "TrendListTrendDel", ex.what(), kEventError);
  }
}

}  // namespace quorlan
