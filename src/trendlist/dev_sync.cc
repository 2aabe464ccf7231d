// The hourly node synchronisation.
#include <fmt/format.h>

#include <map>
#include <set>

#include "diagnostics/diagnostics.h"
#include "trendlist/db_operation.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace trendlist {
namespace {

// Finds an entry's node. The node query stops at 300 nodes, so when the snapshot is full a node
// missing from it may still be trend-enabled: it is then looked up by its id (once per run) and
// counts as gone only when that query finds nothing. A node whose row cannot be loaded is
// unknown: its entries are left as they are.
class NodeLookup {
 public:
  NodeLookup(TrendState& st, DbOperation& db, const NodeSnapshot& nodes)
      : st_(st), db_(db), nodes_(nodes) {}

  // The node, or null when it is gone or unknown (see Unknown).
  const SnapshotNode* Find(int32_t node_id) {
    if (const SnapshotNode* n = FindNode(nodes_, node_id)) return n;
    if (!nodes_.Full() || Unknown(node_id)) return nullptr;
    auto [it, inserted] = beyond_.try_emplace(node_id);
    if (inserted) it->second = QueryNode(node_id);
    return it->second ? &*it->second : nullptr;
  }
  // True when it cannot be told whether the node is still trend-enabled.
  bool Unknown(int32_t node_id) const {
    return nodes_.unloadable_unknown || nodes_.unloadable.count(node_id) != 0 ||
           unloadable_.count(node_id) != 0;
  }

 private:
  std::optional<SnapshotNode> QueryNode(int32_t node_id) {
    Recordset& rows = db_.Query(fmt::format(
        "SELECT TOP (1) * FROM ATR_Nodes WHERE TrendReports = '1' AND node_id = '{}'", node_id));
    if (rows.Eof()) return std::nullopt;
    try {
      return ReadSnapshotNode(rows, true);
    } catch (const RuntimeError& e) {
      if (!IsRowValueError(e)) throw;
      unloadable_.insert(node_id);
      AppEvent(st_, kModShared, "TrendListDevSync",
               e.description() + "; the node and its reports are left as they are", kEventError);
      return std::nullopt;
    }
  }

  TrendState& st_;
  DbOperation& db_;
  const NodeSnapshot& nodes_;
  std::map<int32_t, std::optional<SnapshotNode>> beyond_;
  std::set<int32_t> unloadable_;
};

}  // namespace
}  // namespace trendlist

using namespace trendlist;

void TrendListDevSync(TrendState& st) {
  static const char* kProcedure = "TrendListDevSync";
  try {
    DbOperation db(st);
    const NodeSnapshot nodes = ReadNodeSnapshot(st, db, true, kProcedure);
    NodeLookup lookup(st, db, nodes);
    const int16_t count = st.TrendListCount;
    for (int16_t i = 1; i <= count; ++i) {
      TrendListEntry& e = st.TrendList[i];
      // An entry already "Deleted" has no row of its own any more: its report id may belong to
      // another report by now, so no statement is written for it.
      const bool deleted = EqualsNoCase(e.PollType, kPollTypeDeleted);
      const SnapshotNode* node = lookup.Find(e.NodeId);
      if (node == nullptr) {
        if (lookup.Unknown(e.NodeId)) continue;
        e.PollType = st.TrendList.Intern(kPollTypeDeleted);
        if (!deleted) {
          db.Execute(fmt::format("DELETE FROM TrendReports WHERE ReportId = '{}'", e.ReportId));
        }
        continue;
      }
      SyncNodeFields(st.TrendList, e, *node);
      // The entry keeps its own NodeName, so the update repeats every hour until a build or an
      // edit reloads the name from the report row.
      if (!deleted && !EqualsNoCase(e.NodeName, node->NodeName)) {
        db.Execute(fmt::format("UPDATE TrendReports SET NodeName = {} WHERE ReportId = '{}'",
                               SqlText(db.connection(), node->NodeName), e.ReportId));
      }
    }
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, kProcedure, ex.what(), kEventError);
  }
}

}  // namespace quorlan
