#include "sample_sink.h"

#include <string_view>

namespace quorlan::bench {
namespace {

bool IsSampleInsert(std::string_view sql) { return sql.starts_with("INSERT INTO TrendData"); }

class SinkConnection final : public Connection {
 public:
  SinkConnection(std::unique_ptr<Connection> real, bool record, SampleCount& count)
      : real_(std::move(real)), record_(record), count_(count) {}

  void Open(const std::string& connection_string, int timeout_seconds) override {
    conn_string_ = connection_string;
    timeout_ = timeout_seconds;
    open_ = true;
    if (record_) OpenReal();
  }
  std::unique_ptr<Recordset> Execute(const std::string& sql) override {
    if (!IsSampleInsert(sql)) {
      OpenReal();
      return real_->Execute(sql);
    }
    std::unique_ptr<Recordset> rows = record_ ? real_->Execute(sql) : nullptr;
    ++count_.rows;
    if (count_.on_row) count_.on_row();
    return rows;
  }
  int64_t RecordsAffected() const override { return real_->State() ? real_->RecordsAffected() : 1; }
  const std::vector<DbError>& Errors() const override { return real_->Errors(); }
  // Only SQLite suites are benched; the dialect is known before the file is opened.
  std::string DbmsName() const override { return real_->State() ? real_->DbmsName() : "SQLite"; }
  int State() const override { return open_ ? 1 : 0; }
  void Close() override {
    open_ = false;
    real_->Close();
  }

 private:
  void OpenReal() {
    if (real_->State() == 0) real_->Open(conn_string_, timeout_);
  }

  std::unique_ptr<Connection> real_;
  bool record_;
  SampleCount& count_;
  std::string conn_string_;
  int timeout_ = 0;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<Connection> SampleSinkDriver::NewConnection() {
  return std::make_unique<SinkConnection>(real_->NewConnection(), record_, count_);
}

}  // namespace quorlan::bench
