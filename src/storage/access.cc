// Field conversions and the access pattern shared by every database operation.
#include <fmt/format.h>

#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

// Runs a conversion of the field's text and names the field in its error.
template <typename F>
auto Convert(const std::string& name, const std::string& text, F convert) {
  try {
    return convert(text);
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(), fmt::format("{} (field {})", e.description(), name));
  }
}

// A suite connection of an operation: each statement first commits the recorder's open batch,
// so that what the operation reads, changes or deletes comes after every row handed before it.
// Its failures to connect and to execute are counted as database errors (Counters.DatabaseErrors)
// before they go on to the caller.
class SuiteConnection final : public Connection {
 public:
  SuiteConnection(StorageState& st, std::unique_ptr<Connection> inner)
      : st_(st), inner_(std::move(inner)) {}

  void Open(const std::string& connection_string, int timeout_seconds) override {
    Counted([&] { inner_->Open(connection_string, timeout_seconds); });
  }
  std::unique_ptr<Recordset> Execute(const std::string& sql) override {
    st_.SampleRecorder.CommitBatch();
    std::unique_ptr<Recordset> rows;
    Counted([&] { rows = inner_->Execute(sql); });
    return rows;
  }
  std::unique_ptr<PreparedStatement> Prepare(const std::string& sql) override {
    st_.SampleRecorder.CommitBatch();
    std::unique_ptr<PreparedStatement> statement;
    Counted([&] { statement = inner_->Prepare(sql); });
    return statement;
  }
  void LimitWaits(std::chrono::milliseconds limit) override { inner_->LimitWaits(limit); }
  int64_t RecordsAffected() const override { return inner_->RecordsAffected(); }
  const std::vector<DbError>& Errors() const override { return inner_->Errors(); }
  std::string DbmsName() const override { return inner_->DbmsName(); }
  int State() const override { return inner_->State(); }
  void Close() override { inner_->Close(); }

 private:
  template <typename F>
  void Counted(F work) {
    try {
      work();
    } catch (const RuntimeError& e) {
      if (e.number() == err::kDatabase) ++st_.Counters.DatabaseErrors;
      throw;
    }
  }

  StorageState& st_;
  std::unique_ptr<Connection> inner_;
};

}  // namespace

const std::string& FieldValue::Require() const {
  if (!value_) {
    throw RuntimeError(err::kInvalidUseOfNull, "Invalid use of Null: field " + name_);
  }
  return *value_;
}

const std::string& FieldValue::AsString() const { return Require(); }

bool FieldValue::AsBool() const {
  return Convert(name_, Require(), [](const std::string& t) { return TextToBool(t); });
}

int16_t FieldValue::AsInt16() const {
  return Convert(name_, Require(), [](const std::string& t) { return TextToInt16(t); });
}

int32_t FieldValue::AsInt32() const {
  return Convert(name_, Require(), [](const std::string& t) { return TextToInt32(t); });
}

double FieldValue::AsDouble() const {
  return Convert(name_, Require(), [](const std::string& t) { return TextToDouble(t); });
}

FieldValue Recordset::Field(std::string_view name) const {
  for (int i = 0; i < FieldCount(); ++i) {
    if (EqualsNoCase(FieldName(i), name)) return FieldAt(i);
  }
  throw RuntimeError(err::kItemNotFound,
                     fmt::format("Item cannot be found: no field named {}", name));
}

std::unique_ptr<Connection> OpenSuiteConnection(StorageState& st) {
  if (st.StopRequested && st.StopRequested()) {
    throw RuntimeError(err::kDatabase, "Not run: the service is stopping");
  }
  if (st.SampleRecorder.DatabaseOut()) {
    throw RuntimeError(err::kDatabase, "Not run: " + st.SampleRecorder.OutageDescription());
  }
  std::string connection_string;
  try {
    connection_string = SuiteConnectionOf(st);
  } catch (const RuntimeError&) {
    ++st.Counters.DatabaseErrors;  // a string that does not translate, a SQLite file gone
    throw;
  }
  auto conn = std::make_unique<SuiteConnection>(st, st.Db->NewConnection());
  conn->Open(connection_string, kDbConnectTimeoutSeconds);
  return conn;
}

const std::string& SuiteConnectionOf(StorageState& st) {
  SuiteConnectionMemo& memo = st.SuiteConnection;
  if (memo.translated.empty() || memo.stored != st.DbConnStringSql) {
    memo.translated.clear();  // a failing translation keeps nothing
    std::string translated = SuiteConnectionString(st.DbConnStringSql, st.AppPath);
    memo.sqlite_path = SqliteDatabasePath(translated);
    memo.stored = st.DbConnStringSql;
    memo.translated = std::move(translated);
  } else {
    RequireSqliteFile(memo.stored, memo.sqlite_path);
  }
  return memo.translated;
}

bool ErrorsReported(StorageState& st, const Connection& conn, const char* module,
                    const std::string& procedure) {
  if (conn.Errors().empty()) return false;
  // No run-time error is pending here, so the current error description is empty.
  AppEvent(st, module, procedure, "", kEventError);
  return true;
}

std::unique_ptr<Recordset> ExecuteQuery(Connection& conn, const std::string& sql) {
  std::unique_ptr<Recordset> rows = conn.Execute(sql);
  if (!rows && conn.Errors().empty()) {
    throw RuntimeError(err::kDatabase, fmt::format("'{}' returned no result set", sql));
  }
  return rows;
}

void WithoutStatementText(const std::string& operation, const std::function<void()>& work) {
  try {
    work();
  } catch (const DatabaseError& e) {
    std::string text;
    for (const DbError& d : e.diagnostics()) {
      text += fmt::format("{}ODBC {} {}", text.empty() ? "" : "; ",
                          d.SqlState.empty() ? "-" : d.SqlState, d.Description);
    }
    throw RuntimeError(err::kDatabase, operation + ": " + text);
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(), operation + ": " + e.description());
  }
}

}  // namespace quorlan
