#include "support/recording_database.h"

namespace quorlan::testing {

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
    db_->log_.push_back(sql);
    errors_.clear();
    if (++db_->statement_count_ == db_->fail_statement_) {
      Fail("statement");
      return nullptr;
    }
    std::unique_ptr<Recordset> rows = inner_->Execute(sql);
    if (!rows) {
      db_->log_.push_back("= " + std::to_string(inner_->RecordsAffected()) + " rows changed");
    } else if (!rows->Eof() && rows->FieldCount() > 0) {
      const FieldValue first = rows->FieldAt(0);
      db_->log_.push_back("= " + (first.IsNull() ? std::string("NULL") : first.AsString()));
    }
    return rows;
  }
  int64_t RecordsAffected() const override { return inner_->RecordsAffected(); }
  const std::vector<DbError>& Errors() const override {
    return errors_.empty() ? inner_->Errors() : errors_;
  }
  std::string DbmsName() const override { return inner_->DbmsName(); }
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
};

std::unique_ptr<Connection> RecordingDatabase::NewConnection() {
  return std::make_unique<RecordingConnection>(this, inner_->NewConnection());
}

std::vector<std::string> RecordingDatabase::Statements() const {
  std::vector<std::string> out;
  for (const std::string& entry : log_) {
    if (entry != "open" && entry != "close" && entry != "sleep" && entry.rfind("= ", 0) != 0) {
      out.push_back(entry);
    }
  }
  return out;
}

}  // namespace quorlan::testing
