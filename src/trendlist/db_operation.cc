#include "trendlist/db_operation.h"

#include <cstdint>

#include "diagnostics/diagnostics.h"

namespace quorlan::trendlist {

DbOperation::DbOperation(StorageState& st) : conn_(OpenSuiteConnection(st)) { Check(); }

DbOperation::~DbOperation() {
  CloseRows();
  if (conn_->State() == 1) conn_->Close();
}

Recordset& DbOperation::Query(const std::string& sql) {
  CloseRows();
  rows_ = ExecuteQuery(*conn_, sql);
  Check();
  return *rows_;
}

void DbOperation::Execute(const std::string& sql) {
  CloseRows();
  rows_ = conn_->Execute(sql);
  Check();
}

void DbOperation::Check() const {
  if (!conn_->Errors().empty()) throw ConnectionCheckFailed();
}

void DbOperation::CloseRows() {
  if (rows_ && rows_->State() == 1) rows_->Close();
  rows_.reset();
}

NodeSnapshot ReadNodeSnapshot(TrendState& st, DbOperation& db, bool with_names,
                              const char* procedure) {
  NodeSnapshot snapshot;
  snapshot.limit = st.TrendList.Size();
  Recordset& rows = db.Query(NodeSnapshotQuery(snapshot.limit));
  for (; !rows.Eof() && snapshot.rows < snapshot.limit; rows.MoveNext()) {
    ++snapshot.rows;
    try {
      snapshot.nodes.push_back(ReadSnapshotNode(rows, with_names));
    } catch (const RuntimeError& e) {
      if (!IsRowValueError(e)) throw;
      const std::optional<int64_t> id = WholeNumber(rows, "node_id");
      if (id && *id >= INT32_MIN && *id <= INT32_MAX) {
        snapshot.unloadable.insert(static_cast<int32_t>(*id));
      } else {
        snapshot.unloadable_unknown = true;
      }
      AppEvent(st, kModShared, procedure,
               e.description() + "; the node and its reports are left out", kEventError);
    }
  }
  return snapshot;
}

}  // namespace quorlan::trendlist
