// The full build of the trend list and the addition of new reports.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <set>

#include "diagnostics/diagnostics.h"
#include "trendlist/db_operation.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace trendlist {
namespace {

// What a loading pass did with the rows it read.
struct Loaded {
  int16_t last = 0;                   // the number of the last entry written
  std::vector<int64_t> read;          // the ReportId of every row read
  std::vector<std::string> left_out;  // loadable reports that did not fit the table
  std::vector<std::string> unplaced;  // reports of trend-enabled nodes beyond the node limit
};

// A report whose node is not in a full snapshot, kept until its node is looked up.
struct Unresolved {
  std::string report_id;
  int64_t node_id;
};

std::string IdText(const Row& row) {
  const FieldValue id = row.Field("ReportId");
  return id.IsNull() ? "NULL" : id.AsString();
}

// Loads one row into the next entry (through a copy, so that a row that fails leaves no trace).
void LoadRow(TrendState& st, const Row& row, const NodeSnapshot& nodes, double& conv, Loaded& out,
             std::vector<Unresolved>& unresolved) {
  const std::optional<double> node_id = FieldNumber(row, "NodeId");
  const SnapshotNode* node = node_id ? FindNode(nodes, *node_id) : nullptr;
  if (node == nullptr) {
    // Reports of nodes that are not trend-enabled are left out without a word; a node beyond a
    // full snapshot may be trend-enabled all the same, which is looked up after the rows.
    const std::optional<int64_t> id = WholeNumber(row, "NodeId");
    if (nodes.Full() && id && nodes.unloadable.count(static_cast<int32_t>(*id)) == 0) {
      unresolved.push_back({IdText(row), *id});
    }
    return;
  }
  if (out.last >= st.TrendList.Size()) {
    out.left_out.push_back(IdText(row));
    return;
  }
  TrendListEntry e = st.TrendList[out.last + 1];
  LoadEntry(st, st.TrendList, e, row, *node, conv);
  st.TrendList[++out.last] = std::move(e);
  CalcPollNextTime(st, out.last);
}

// The reports among unresolved whose node is trend-enabled after all.
std::vector<std::string> OfTrendEnabledNodes(DbOperation& db,
                                             const std::vector<Unresolved>& unresolved) {
  std::vector<int64_t> node_ids;
  for (const Unresolved& u : unresolved) node_ids.push_back(u.node_id);
  Recordset& rows = db.Query("SELECT node_id FROM ATR_Nodes WHERE TrendReports = '1' AND " +
                             IdCondition("node_id", node_ids));
  std::set<int64_t> enabled;
  for (; !rows.Eof(); rows.MoveNext()) {
    if (const std::optional<int64_t> id = WholeNumber(rows, "node_id")) enabled.insert(*id);
  }
  std::vector<std::string> out;
  for (const Unresolved& u : unresolved) {
    if (enabled.count(u.node_id) != 0) out.push_back(u.report_id);
  }
  return out;
}

// Loads the loadable rows of a result into entries first+1, first+2, ... up to the end of the
// table. A row that cannot be loaded is left out with one error event of the procedure.
Loaded LoadRows(TrendState& st, DbOperation& db, Recordset& rows, const NodeSnapshot& nodes,
                int16_t first, const char* procedure) {
  Loaded out;
  out.last = first;
  std::vector<Unresolved> unresolved;
  double conv = 0;  // the run's conversion variable: a failed conversion keeps the last value
  for (; !rows.Eof(); rows.MoveNext()) {
    const Row& row = rows;
    if (const std::optional<int64_t> id = WholeNumber(row, "ReportId")) out.read.push_back(*id);
    try {
      LoadRow(st, row, nodes, conv, out, unresolved);
    } catch (const RuntimeError& e) {
      if (!IsRowValueError(e)) throw;
      AppEvent(st, kModShared, procedure,
               fmt::format("{}: {}; the report is left out", ReportName(row), e.description()),
               kEventError);
    }
  }
  if (!unresolved.empty()) out.unplaced = OfTrendEnabledNodes(db, unresolved);
  return out;
}

// One error event naming reports that were left out: the first twenty of them, so that the line
// and its trap stay short however many there are. tail ends the message.
void ReportLeftOut(TrendState& st, const char* procedure, const std::string& head,
                   const char* which, const std::vector<std::string>& ids,
                   const std::string& tail) {
  if (ids.empty()) return;
  constexpr size_t kNamed = 20;
  const std::vector<std::string> named(ids.begin(), ids.begin() + std::min(ids.size(), kNamed));
  const std::string more =
      ids.size() > kNamed ? fmt::format(" and {} more", ids.size() - kNamed) : "";
  AppEvent(st, kModShared, procedure,
           fmt::format("{}, {} {}left out (ReportId {}{}){}", head, ids.size(), which,
                       fmt::join(named, ", "), more, tail),
           kEventError);
}

// The limit of both events is the size of the trend list. When Quorlan.ini has set that size,
// the events name the setting to raise; at the built-in size they read as they always have.
void ReportLoaded(TrendState& st, const char* procedure, const Loaded& loaded) {
  const int16_t size = st.TrendList.Size();
  const std::string tail =
      size == kDefaultMaxTrendReports ? "" : "; raise MaxTrendReports in Quorlan.ini";
  ReportLeftOut(st, procedure, fmt::format("Trend list full: {} reports loaded", size), "",
                loaded.left_out, tail);
  ReportLeftOut(st, procedure, fmt::format("Node limit: {} trend-enabled nodes loaded", size),
                "reports of further nodes ", loaded.unplaced, tail);
}

}  // namespace
}  // namespace trendlist

using namespace trendlist;

bool TrendListCreate(TrendState& st) {
  static const char* kProcedure = "TrendListCreate";
  ++st.TrendListBuilds;
  try {
    Loaded loaded;
    {
      DbOperation db(st);
      const NodeSnapshot nodes = ReadNodeSnapshot(st, db, false, kProcedure);
      db.Execute("DELETE FROM TrendReports WHERE DbChanged = '3'");
      db.Execute("UPDATE TrendReports SET DbChanged='0'");
      loaded = LoadRows(st, db, db.Query("SELECT * FROM TrendReports"), nodes, 0, kProcedure);
    }  // closes the result set and the connection
    st.TrendListCount = loaded.last;
    ReportLoaded(st, kProcedure, loaded);
    return true;
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, kProcedure, ex.what(), kEventError);
    return false;
  }
}

void TrendListTrendAdd(TrendState& st) {
  static const char* kProcedure = "TrendListTrendAdd";
  try {
    DbOperation db(st);
    const NodeSnapshot nodes = ReadNodeSnapshot(st, db, false, kProcedure);
    Recordset& rows = db.Query("SELECT * FROM TrendReports WHERE DbChanged = '1'");
    const Loaded loaded = LoadRows(st, db, rows, nodes, st.TrendListCount, kProcedure);
    // Only the rows read are settled, and the new entries count only once they are: if the
    // update fails, the next pass loads the same rows into the same entries again.
    if (!loaded.read.empty()) {
      db.Execute("UPDATE TrendReports SET DbChanged = '0' WHERE DbChanged = '1' AND " +
                 IdCondition("ReportId", loaded.read));
    }
    st.TrendListCount = loaded.last;
    ReportLoaded(st, kProcedure, loaded);
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, kProcedure, ex.what(), kEventError);
  }
}

}  // namespace quorlan
