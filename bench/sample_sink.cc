#include "sample_sink.h"

#include <string_view>

namespace quorlan::bench {
namespace {

bool IsTransaction(std::string_view sql) {
  return sql == "BEGIN TRANSACTION" || sql == "COMMIT TRANSACTION" || sql == "ROLLBACK TRANSACTION";
}

class NoStatement final : public PreparedStatement {
 public:
  void SetInt(int, int64_t) override {}
  void SetText(int, std::string_view) override {}
  void Execute() override {}
};

class SinkConnection final : public Connection {
 public:
  explicit SinkConnection(std::unique_ptr<Connection> real) : real_(std::move(real)) {}

  void Open(const std::string& connection_string, int timeout_seconds) override {
    conn_string_ = connection_string;
    timeout_ = timeout_seconds;
    open_ = true;
  }
  std::unique_ptr<Recordset> Execute(const std::string& sql) override {
    if (IsTransaction(sql) && real_->State() == 0) return nullptr;
    if (real_->State() == 0) real_->Open(conn_string_, timeout_);
    return real_->Execute(sql);
  }
  std::unique_ptr<PreparedStatement> Prepare(const std::string&) override {
    return std::make_unique<NoStatement>();
  }
  void LimitWaits(std::chrono::milliseconds limit) override { real_->LimitWaits(limit); }
  int64_t RecordsAffected() const override { return real_->State() ? real_->RecordsAffected() : 0; }
  const std::vector<DbError>& Errors() const override { return real_->Errors(); }
  // Only SQLite suites are benched; the dialect is known before the file is opened.
  std::string DbmsName() const override { return real_->State() ? real_->DbmsName() : "SQLite"; }
  int State() const override { return open_ ? 1 : 0; }
  void Close() override {
    open_ = false;
    real_->Close();
  }

 private:
  std::unique_ptr<Connection> real_;
  std::string conn_string_;
  int timeout_ = 0;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<Connection> SampleSinkDriver::NewConnection() {
  return std::make_unique<SinkConnection>(real_->NewConnection());
}

}  // namespace quorlan::bench
