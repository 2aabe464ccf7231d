// The hourly node synchronisation.
#include <fmt/format.h>

#include <map>

#include "diagnostics/diagnostics.h"
#include "trendlist/db_operation.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace trendlist {
namespace {

// Finds an entry's node. The node query stops at 300 nodes, so when the snapshot is full a node
// missing from it may still be trend-enabled: it is then looked up by its id (once per run) and
// counts as gone only when that query finds nothing.
class NodeLookup {
 public:
  NodeLookup(DbOperation& db, const NodeSnapshot& nodes) : db_(db), nodes_(nodes) {}

  const SnapshotNode* Find(int32_t node_id) {
    if (const SnapshotNode* n = FindNode(nodes_, node_id)) return n;
    if (nodes_.size() < kNodeSnapshotLimit) return nullptr;  // the snapshot is complete
    auto [it, inserted] = beyond_.try_emplace(node_id);
    if (inserted) it->second = QueryNode(node_id);
    return it->second ? &*it->second : nullptr;
  }

 private:
  std::optional<SnapshotNode> QueryNode(int32_t node_id) {
    Recordset& rows = db_.Query(fmt::format(
        "SELECT TOP (1) * FROM ATR_Nodes WHERE TrendReports = '1' AND node_id = '{}'", node_id));
    if (rows.Eof()) return std::nullopt;
    return ReadSnapshotNode(rows, true);
  }

  DbOperation& db_;
  const NodeSnapshot& nodes_;
  std::map<int32_t, std::optional<SnapshotNode>> beyond_;
};

}  // namespace
}  // namespace trendlist

using namespace trendlist;

void TrendListDevSync(TrendState& st) {
  try {
    DbOperation db(st);
    const NodeSnapshot nodes = ReadNodeSnapshot(db, true);
    NodeLookup lookup(db, nodes);
    const int16_t count = st.TrendListCount;
    for (int16_t i = 1; i <= count; ++i) {
      TrendListEntry& e = st.TrendList[i];
      const SnapshotNode* node = lookup.Find(e.NodeId);
      if (node == nullptr) {
        e.PollType = kPollTypeDeleted;
        db.Execute(fmt::format("DELETE FROM TrendReports WHERE ReportId = '{}'", e.ReportId));
        continue;
      }
      SyncNodeFields(e, *node);
      // The entry keeps its own NodeName, so the update repeats every hour until a build or an
      // edit reloads the name from the report row.
      if (!EqualsNoCase(e.NodeName, node->NodeName)) {
        db.Execute(fmt::format("UPDATE TrendReports SET NodeName = {} WHERE ReportId = '{}'",
                               SqlQuote(node->NodeName), e.ReportId));
      }
    }
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "TrendListDevSync", ex.what(), kEventError);
  }
}

}  // namespace quorlan
