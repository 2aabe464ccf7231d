// Inside the trend list: one database operation of a builder, following the service's access
// pattern. The operation opens its own connection (DbConnStringSql, 5 s connect time-out), checks
// the connection's error collection after the open and after every statement, and closes what is
// open when it ends, normally or not.
//
// A failed check throws ConnectionCheckFailed; the procedures catch it at their end together with
// every run-time error, report it under their own name and leave the table's count untouched.
#pragma once

#include <memory>
#include <string>

#include "storage/storage.h"
#include "trendlist/loading.h"

namespace quorlan::trendlist {

// The error collection held entries although no call raised. As for every such check of the
// service, no run-time error is pending, so the description is empty.
class ConnectionCheckFailed : public RuntimeError {
 public:
  ConnectionCheckFailed() : RuntimeError(err::kDatabase, "") {}
};

class DbOperation {
 public:
  // Opens the connection and checks it. Throws ConnectionCheckFailed or RuntimeError.
  explicit DbOperation(StorageState& st);
  // Closes the result set and the connection, each only if open.
  ~DbOperation();
  DbOperation(const DbOperation&) = delete;
  DbOperation& operator=(const DbOperation&) = delete;

  // Executes a statement that yields rows and checks the connection. The rows stay readable
  // until the next statement of the operation, which closes them first.
  Recordset& Query(const std::string& sql);
  // Executes a statement without rows and checks the connection.
  void Execute(const std::string& sql);
  // The open connection, for literals in its dialect (SqlText).
  const Connection& connection() const { return *conn_; }

 private:
  void Check() const;
  void CloseRows();

  std::unique_ptr<Connection> conn_;
  std::unique_ptr<Recordset> rows_;
};

// Executes the node query and reads it into a snapshot (at most TrendList.Size() nodes, in the
// order returned). with_names also reads node_name. A node row that cannot be loaded is left out
// with one error event of the procedure that names it.
NodeSnapshot ReadNodeSnapshot(TrendState& st, DbOperation& db, bool with_names,
                              const char* procedure);

}  // namespace quorlan::trendlist
