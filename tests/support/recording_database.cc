#include "support/recording_database.h"

#include <algorithm>
#include <set>

namespace quorlan::testing {

// The results a connection has handed out that are still alive; shared with them so that a
// result destroyed after its connection does not touch a freed connection.
using LiveResults = std::set<const Recordset*>;

// A result that stays registered with its connection while it lives.
class RecordingRecordset : public Recordset {
 public:
  RecordingRecordset(std::shared_ptr<LiveResults> live, std::unique_ptr<Recordset> inner)
      : live_(std::move(live)), inner_(std::move(inner)) {
    live_->insert(inner_.get());
  }
  ~RecordingRecordset() override { live_->erase(inner_.get()); }

  bool Eof() const override { return inner_->Eof(); }
  void MoveNext() override { inner_->MoveNext(); }
  int FieldCount() const override { return inner_->FieldCount(); }
  std::string FieldName(int index) const override { return inner_->FieldName(index); }
  FieldValue FieldAt(int index) const override { return inner_->FieldAt(index); }
  int State() const override { return inner_->State(); }
  void Close() override { inner_->Close(); }

 private:
  std::shared_ptr<LiveResults> live_;
  std::unique_ptr<Recordset> inner_;
};

class RecordingConnection;

// A prepared statement whose executions are logged and counted as statements.
class RecordingPrepared : public PreparedStatement {
 public:
  RecordingPrepared(RecordingConnection* conn, std::string sql,
                    std::unique_ptr<PreparedStatement> inner)
      : conn_(conn), sql_(std::move(sql)), inner_(std::move(inner)) {}
  void SetInt(int index, int64_t value) override { inner_->SetInt(index, value); }
  void SetText(int index, std::string_view text) override { inner_->SetText(index, text); }
  void Execute() override;

 private:
  RecordingConnection* conn_;
  std::string sql_;
  std::unique_ptr<PreparedStatement> inner_;
};

class RecordingConnection : public Connection {
 public:
  RecordingConnection(RecordingDatabase* db, std::unique_ptr<Connection> inner)
      : db_(db), inner_(std::move(inner)) {}

  void Open(const std::string& connection_string, int timeout_seconds) override {
    db_->log_.push_back("open");
    errors_.clear();
    if (db_->fail_opens_) Fail("open");
    inner_->Open(connection_string, timeout_seconds);
    opened_ = true;
  }
  std::unique_ptr<Recordset> Execute(const std::string& sql) override {
    if (!Before(sql)) return nullptr;
    std::unique_ptr<Recordset> rows = inner_->Execute(sql);
    if (!rows) {
      db_->log_.push_back("= " + std::to_string(inner_->RecordsAffected()) + " rows changed");
    } else if (!rows->Eof() && rows->FieldCount() > 0) {
      const FieldValue first = rows->FieldAt(0);
      db_->log_.push_back("= " + (first.IsNull() ? std::string("NULL") : first.AsString()));
    }
    if (!rows) return rows;
    return std::make_unique<RecordingRecordset>(live_, std::move(rows));
  }
  std::unique_ptr<PreparedStatement> Prepare(const std::string& sql) override {
    db_->log_.push_back("prepare " + sql);
    return std::make_unique<RecordingPrepared>(this, sql, inner_->Prepare(sql));
  }
  void LimitWaits(std::chrono::milliseconds limit) override { inner_->LimitWaits(limit); }
  int64_t RecordsAffected() const override { return inner_->RecordsAffected(); }
  // Logs and counts a statement and fails it when its number is due; false when it failed without
  // raising.
  bool Before(const std::string& sql) {
    db_->log_.push_back(sql);
    errors_.clear();
    if (std::any_of(live_->begin(), live_->end(),
                    [](const Recordset* rs) { return rs->State() == 1 && !rs->Eof(); })) {
      db_->over_open_results_.push_back(sql);
    }
    if (db_->before_statement) db_->before_statement(sql);
    if (++db_->statement_count_ == db_->fail_statement_) {
      Fail("statement");
      return false;
    }
    return true;
  }
  const std::vector<DbError>& Errors() const override {
    return errors_.empty() ? inner_->Errors() : errors_;
  }
  std::string DbmsName() const override {
    return db_->dbms_name_.empty() ? inner_->DbmsName() : db_->dbms_name_;
  }
  int State() const override { return inner_->State(); }
  void Close() override {
    if (opened_) db_->log_.push_back("close");
    opened_ = false;
    inner_->Close();
  }
  ~RecordingConnection() override { Close(); }

 private:
  void Fail(const std::string& what) {
    errors_ = {{"HY000", 0, "injected failure of the " + what}};
    if (db_->fail_mode_ == RecordingDatabase::FailureMode::kRaise) {
      throw RuntimeError(err::kDatabase, "ODBC HY000 " + what + ": injected failure");
    }
  }

  RecordingDatabase* db_;
  std::unique_ptr<Connection> inner_;
  std::vector<DbError> errors_;
  bool opened_ = false;
  std::shared_ptr<LiveResults> live_ = std::make_shared<LiveResults>();
};

void RecordingPrepared::Execute() {
  if (conn_->Before(sql_)) inner_->Execute();
}

std::unique_ptr<Connection> RecordingDatabase::NewConnection() {
  return std::make_unique<RecordingConnection>(this, inner_->NewConnection());
}

std::vector<std::string> RecordingDatabase::Statements() const {
  std::vector<std::string> out;
  for (const std::string& entry : log_) {
    if (entry != "open" && entry != "close" && entry != "sleep" && entry.rfind("= ", 0) != 0 &&
        entry.rfind("prepare ", 0) != 0) {
      out.push_back(entry);
    }
  }
  return out;
}

}  // namespace quorlan::testing
