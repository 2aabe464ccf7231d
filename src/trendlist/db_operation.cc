#include "trendlist/db_operation.h"

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

NodeSnapshot ReadNodeSnapshot(DbOperation& db, bool with_names) {
  NodeSnapshot nodes;
  Recordset& rows = db.Query(NodeSnapshotQuery());
  for (; !rows.Eof() && nodes.size() < kNodeSnapshotLimit; rows.MoveNext()) {
    nodes.push_back(ReadSnapshotNode(rows, with_names));
  }
  return nodes;
}

}  // namespace quorlan::trendlist
