// A database client for tests that wraps a real one: it records every open and statement in
// order, notes the statements executed while a result of the same connection had rows pending, and
// fails on demand (the Nth statement, or every open) either by raising a run-time error or by
// leaving an entry in the error collection without raising.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace quorlan::testing {

class RecordingDatabase : public DatabaseDriver {
 public:
  enum class FailureMode { kRaise, kErrorEntry };

  explicit RecordingDatabase(std::shared_ptr<DatabaseDriver> inner) : inner_(std::move(inner)) {}

  std::unique_ptr<Connection> NewConnection() override;

  // Fails the number-th statement from now (1: the next one), counted over all connections.
  void FailStatement(int number, FailureMode mode) {
    fail_statement_ = statement_count_ + number;
    fail_mode_ = mode;
  }
  // Makes every connection report this DBMS name (to see the statements that another database
  // would get; they still run on the wrapped one).
  void ReportDbmsName(const std::string& name) { dbms_name_ = name; }
  // Runs before each statement is executed (to change the database under a running operation).
  std::function<void(const std::string& sql)> before_statement;
  // Fails every open from now on.
  void FailOpens(FailureMode mode) {
    fail_opens_ = true;
    fail_mode_ = mode;
  }
  // Opens work again.
  void StopFailingOpens() { fail_opens_ = false; }

  // "open", "close", each statement as passed ("SELECT ..."), after each statement its outcome
  // ("= 7000": the first field of the first row; "= 3000 rows changed"), "prepare " and the text
  // of each prepared statement, that text again at each of its executions, and whatever the test
  // adds.
  std::vector<std::string>& log() { return log_; }
  // The statements alone (entries that are not "open", "close", "sleep", "prepare ..." or an
  // outcome).
  std::vector<std::string> Statements() const;
  int statement_count() const { return statement_count_; }
  // The statements executed while a result returned earlier on the same connection was still
  // open with rows unread (neither closed, nor ended with its connection, nor read to its end):
  // a SQL Server connection without multiple active result sets refuses those as busy. A result
  // read to its end no longer holds the connection (FreeTDS has read its final DONE).
  const std::vector<std::string>& StatementsOverOpenResults() const { return over_open_results_; }

 private:
  friend class RecordingConnection;
  std::shared_ptr<DatabaseDriver> inner_;
  std::vector<std::string> log_;
  std::vector<std::string> over_open_results_;
  int statement_count_ = 0;
  int fail_statement_ = 0;
  bool fail_opens_ = false;
  std::string dbms_name_;
  FailureMode fail_mode_ = FailureMode::kRaise;
};

}  // namespace quorlan::testing
