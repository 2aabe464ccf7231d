// The database client over unixODBC (ANSI API).
//
// Handles: the driver owns one environment handle; a connection holds a Session (the HDBC) that
// its recordsets share, so that closing the connection first closes the statements still open on
// it and a recordset destroyed later does not touch freed handles.
//
// Driver quirks handled here: MDBTools crashes on NULL indicator pointers and cannot read a small
// integer as SQL_C_SBIGINT, so its columns are read as text; SQLite silently wraps integers read
// as 32-bit, so integer columns are read as SQL_C_SBIGINT; a change of no rows comes back as
// SQL_NO_DATA, which is success.
//
// Time limits: every statement gets the query time-out, and the calls that wait for a database
// server (execute, fetch, read, close) are watched by the socket watchdog; FreeTDS's look-up of a
// named instance is done here (SqlBrowser) within the connection time-out.
#include <fmt/format.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>

#include "storage/internal.h"
#include "storage/socket_watchdog.h"
#include "storage/sql_browser.h"
#include "storage/sqlite_pool.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

// True when the statement's first word is WITH (any case).
bool BeginsWithWith(std::string_view text) {
  const size_t i = text.find_first_not_of(" \t\r\n");
  return i != std::string_view::npos && text.size() - i > 4 &&
         EqualsNoCase(text.substr(i, 4), "WITH") &&
         !std::isalnum(static_cast<unsigned char>(text[i + 4])) && text[i + 4] != '_';
}

std::string TrimMessage(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// Every diagnostic record of the handle.
std::vector<DbError> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<DbError> out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length);
    if (!SQL_SUCCEEDED(rc)) break;
    out.push_back({reinterpret_cast<char*>(state), static_cast<int32_t>(native),
                   TrimMessage(reinterpret_cast<char*>(message))});
  }
  return out;
}

// The error entries of a failed call: its records, or one record saying that there was none.
std::vector<DbError> FailureDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<DbError> errors = ReadDiagnostics(type, handle);
  if (errors.empty()) {
    errors.push_back({"HY000", 0, "the driver reported a failure without a diagnostic"});
  }
  return errors;
}

std::string Describe(const std::vector<DbError>& errors) {
  std::string text;
  for (const DbError& e : errors) {
    if (!text.empty()) text += "; ";
    text += e.Description.empty() ? fmt::format("(native error {})", e.NativeError) : e.Description;
  }
  return text;
}

[[noreturn]] void Raise(const std::string& call, const std::vector<DbError>& errors) {
  const std::string state = errors.empty() ? "HY000" : errors.front().SqlState;
  throw DatabaseError(
      fmt::format("ODBC {} {}: {}", state.empty() ? "-" : state, call, Describe(errors)), errors);
}

// A statement as errors quote it: a long one (a prepared insert of many rows) is cut short.
std::string Quoted(const std::string& sql) {
  constexpr size_t kLongest = 120;
  return sql.size() <= kLongest ? sql : sql.substr(0, kLongest) + "...";
}

class Environment {
 public:
  Environment() {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
      throw RuntimeError(err::kDatabase, "ODBC: cannot allocate an environment handle");
    }
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  ~Environment() { SQLFreeHandle(SQL_HANDLE_ENV, env_); }
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  SQLHENV handle() const { return env_; }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
};

class OdbcRecordset;
class OdbcPrepared;

// One open database connection, shared by the connection object and its recordsets.
struct Session {
  std::shared_ptr<Environment> env;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  bool is_sqlite = false;
  bool is_mdbtools = false;
  bool is_postgres = false;
  // A driver call on this connection failed: it is closed for good instead of being kept for the
  // next operation, so that a connection gone bad (a read-only file, a broken handle) is never
  // reused.
  bool failed = false;
  std::string dbms;
  std::set<OdbcRecordset*> recordsets;
  std::set<OdbcPrepared*> prepared;
  // Where a SQLite connection goes back to when closed, and the file it opened.
  std::weak_ptr<SqlitePool> pool;
  std::string pool_key;
  std::string pool_path;
  struct stat file {};
  // The socket of a connection to a database server (-1 for local files) and how long one call on
  // it may wait for the server.
  int socket_fd = -1;
  std::shared_ptr<SocketWatchdog> watchdog;
  std::chrono::milliseconds call_limit{0};
  int query_timeout_seconds = 0;

  // Watches the calls made while the guard lives.
  SocketWatchdog::Guard Watch() {
    return watchdog->Watch(call_limit.count() > 0 ? socket_fd : -1, call_limit);
  }
  void Disconnect();
  ~Session() { Disconnect(); }
};

struct Column {
  std::string name;
  SQLSMALLINT type = 0;
};

class OdbcRecordset final : public Recordset {
 public:
  OdbcRecordset(std::shared_ptr<Session> session, SQLHSTMT stmt, std::string sql)
      : session_(std::move(session)), stmt_(stmt), sql_(std::move(sql)) {
    session_->recordsets.insert(this);
  }
  // Describes the columns and fetches the first row. On failure the owner's destruction frees
  // the statement.
  void Start() {
    DescribeColumns();
    Fetch();
  }
  ~OdbcRecordset() override { Close(); }

  bool Eof() const override { return stmt_ == SQL_NULL_HSTMT || eof_; }
  void MoveNext() override {
    if (Eof()) throw RuntimeError(err::kNoCurrentRecord, "MoveNext: no current row");
    Fetch();
  }
  int FieldCount() const override { return static_cast<int>(columns_.size()); }
  std::string FieldName(int index) const override {
    CheckIndex(index);
    return columns_[index].name;
  }
  FieldValue FieldAt(int index) const override {
    CheckIndex(index);
    if (Eof()) {
      throw RuntimeError(err::kNoCurrentRecord,
                         fmt::format("No current record: field {} read after the last row of '{}'",
                                     columns_[index].name, sql_));
    }
    return FieldValue(columns_[index].name, row_[index]);
  }
  int State() const override { return stmt_ == SQL_NULL_HSTMT ? 0 : 1; }
  void Close() override {
    if (stmt_ == SQL_NULL_HSTMT) return;
    const SocketWatchdog::Guard watch = session_->Watch();  // rows still unread are cancelled
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    stmt_ = SQL_NULL_HSTMT;
    session_->recordsets.erase(this);
  }

 private:
  void CheckIndex(int index) const {
    if (index < 0 || index >= FieldCount()) {
      throw RuntimeError(
          err::kItemNotFound,
          fmt::format("Item cannot be found: no field {} in the result of '{}'", index, sql_));
    }
  }
  void DescribeColumns();
  void Fetch();
  std::optional<std::string> ReadInteger(SQLUSMALLINT column);
  std::optional<std::string> ReadText(SQLUSMALLINT column);

  std::shared_ptr<Session> session_;
  SQLHSTMT stmt_;
  std::string sql_;
  std::vector<Column> columns_;
  std::vector<std::optional<std::string>> row_;
  bool eof_ = false;
};

// A prepared statement: its parameters are bound to buffers of its own, again only when a value's
// type or text buffer changes.
class OdbcPrepared final : public PreparedStatement {
 public:
  OdbcPrepared(std::shared_ptr<Session> session, SQLHSTMT stmt, std::string sql)
      : session_(std::move(session)), stmt_(stmt), sql_(std::move(sql)) {
    session_->prepared.insert(this);
    params_.resize(static_cast<size_t>(std::count(sql_.begin(), sql_.end(), '?')));
  }
  ~OdbcPrepared() override { Close(); }

  void SetInt(int index, int64_t value) override {
    Param& p = At(index);
    p.text_value = false;
    p.integer = value;
  }
  void SetText(int index, std::string_view text) override {
    Param& p = At(index);
    p.text_value = true;
    p.text.assign(text);
  }
  void Execute() override;
  void Close() {
    if (stmt_ == SQL_NULL_HSTMT) return;
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    stmt_ = SQL_NULL_HSTMT;
    session_->prepared.erase(this);
  }

 private:
  struct Param {
    bool text_value = false;
    int64_t integer = 0;
    std::string text;
    SQLLEN indicator = 0;
    // What the driver holds bound: none yet, the integer, or the text at that address and size.
    enum class Bound { kNone, kInteger, kText } bound = Bound::kNone;
    const char* bound_text = nullptr;
    size_t bound_size = 0;
  };
  Param& At(int index) {
    if (index < 0 || static_cast<size_t>(index) >= params_.size()) {
      throw RuntimeError(err::kItemNotFound, fmt::format("no parameter {} in '{}'", index, sql_));
    }
    return params_[static_cast<size_t>(index)];
  }
  void Bind(SQLUSMALLINT number, Param& p);

  std::shared_ptr<Session> session_;
  SQLHSTMT stmt_;
  std::string sql_;
  std::vector<Param> params_;  // never resized after the constructor: the driver holds addresses
};

void OdbcPrepared::Bind(SQLUSMALLINT number, Param& p) {
  SQLRETURN rc = SQL_SUCCESS;
  if (!p.text_value && p.bound != Param::Bound::kInteger) {
    p.indicator = 0;
    rc = SQLBindParameter(stmt_, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                          &p.integer, 0, &p.indicator);
    p.bound = Param::Bound::kInteger;
  } else if (p.text_value && (p.bound != Param::Bound::kText || p.bound_text != p.text.data() ||
                              p.bound_size != p.text.size())) {
    rc = SQLBindParameter(stmt_, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                          std::max<size_t>(1, p.text.size()), 0, p.text.data(),
                          static_cast<SQLLEN>(p.text.size()), &p.indicator);
    p.bound = Param::Bound::kText;
    p.bound_text = p.text.data();
    p.bound_size = p.text.size();
  }
  if (p.text_value) p.indicator = static_cast<SQLLEN>(p.text.size());
  if (!SQL_SUCCEEDED(rc)) {
    p.bound = Param::Bound::kNone;
    session_->failed = true;
    Raise(fmt::format("bind parameter {} of '{}'", number, Quoted(sql_)),
          FailureDiagnostics(SQL_HANDLE_STMT, stmt_));
  }
}

void OdbcPrepared::Execute() {
  if (stmt_ == SQL_NULL_HSTMT) {
    Raise(fmt::format("execute '{}'", Quoted(sql_)), {{"08003", 0, "the connection is closed"}});
  }
  for (size_t i = 0; i < params_.size(); ++i) Bind(static_cast<SQLUSMALLINT>(i + 1), params_[i]);
  SQLRETURN rc;
  {
    const SocketWatchdog::Guard watch = session_->Watch();
    rc = SQLExecute(stmt_);
  }
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    session_->failed = true;
    Raise(fmt::format("execute '{}'", Quoted(sql_)), FailureDiagnostics(SQL_HANDLE_STMT, stmt_));
  }
}

void Session::Disconnect() {
  // Statements go first: the driver frees them with the connection.
  while (!recordsets.empty()) (*recordsets.begin())->Close();
  while (!prepared.empty()) (*prepared.begin())->Close();
  const std::shared_ptr<SqlitePool> parking = pool.lock();
  if (connected && !failed && parking &&
      parking->Release(pool_key, pool_path, dbc, file.st_dev, file.st_ino)) {
    connected = false;
    dbc = SQL_NULL_HDBC;
    return;
  }
  if (connected) SQLDisconnect(dbc);
  connected = false;
  if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  dbc = SQL_NULL_HDBC;
}

void OdbcRecordset::DescribeColumns() {
  SQLSMALLINT count = 0;
  SQLNumResultCols(stmt_, &count);
  for (SQLUSMALLINT i = 1; i <= count; ++i) {
    SQLCHAR name[256] = {};
    SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    const SQLRETURN rc =
        SQLDescribeCol(stmt_, i, name, sizeof name, &name_length, &type, &size, &digits, &nullable);
    if (!SQL_SUCCEEDED(rc)) {
      session_->failed = true;
      Raise(fmt::format("describe column {} of '{}'", i, sql_),
            FailureDiagnostics(SQL_HANDLE_STMT, stmt_));
    }
    columns_.push_back({reinterpret_cast<char*>(name), type});
  }
}

void OdbcRecordset::Fetch() {
  const SocketWatchdog::Guard watch = session_->Watch();
  const SQLRETURN rc = SQLFetch(stmt_);
  if (rc == SQL_NO_DATA) {
    eof_ = true;
    row_.clear();
    return;
  }
  if (!SQL_SUCCEEDED(rc)) {
    session_->failed = true;
    Raise(fmt::format("fetch '{}'", sql_), FailureDiagnostics(SQL_HANDLE_STMT, stmt_));
  }
  // Columns are read left to right, once each: MDBTools returns nothing on a second read.
  row_.clear();
  for (size_t i = 0; i < columns_.size(); ++i) {
    const auto column = static_cast<SQLUSMALLINT>(i + 1);
    const SQLSMALLINT type = columns_[i].type;
    const bool integer =
        type == SQL_INTEGER || type == SQL_SMALLINT || type == SQL_TINYINT || type == SQL_BIGINT;
    row_.push_back(integer && !session_->is_mdbtools ? ReadInteger(column) : ReadText(column));
  }
}

std::optional<std::string> OdbcRecordset::ReadInteger(SQLUSMALLINT column) {
  SQLBIGINT value = 0;
  SQLLEN indicator = 0;
  const SQLRETURN rc = SQLGetData(stmt_, column, SQL_C_SBIGINT, &value, 0, &indicator);
  if (!SQL_SUCCEEDED(rc)) {
    session_->failed = true;
    Raise(fmt::format("read field {} of '{}'", columns_[column - 1].name, sql_),
          FailureDiagnostics(SQL_HANDLE_STMT, stmt_));
  }
  if (indicator == SQL_NULL_DATA) return std::nullopt;
  return std::to_string(value);
}

std::optional<std::string> OdbcRecordset::ReadText(SQLUSMALLINT column) {
  std::string text;
  char buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(stmt_, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) {
      session_->failed = true;
      Raise(fmt::format("read field {} of '{}'", columns_[column - 1].name, sql_),
            FailureDiagnostics(SQL_HANDLE_STMT, stmt_));
    }
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    const bool more =
        rc == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer));
    const size_t piece =
        more ? sizeof buffer - 1 : std::min(static_cast<size_t>(indicator), sizeof buffer - 1);
    text.append(buffer, strnlen(buffer, piece));
    if (!more) break;
  }
  return text;
}

// What the connections of one driver share: the parked SQLite connections, the watchdog, the
// browser's answers and the time limits.
// What Open makes of a connection string before connecting.
struct OpenPlan {
  std::string input;  // the connection string as given
  std::string odbc;   // its translation
  std::optional<NamedInstance> instance;
  std::string path;  // the SQLite file of a pooled connection, or ""
};

struct DriverShared {
  std::shared_ptr<SqlitePool> pool;  // null: no pooling
  std::shared_ptr<SocketWatchdog> watchdog;
  SqlBrowser browser;
  int query_timeout_seconds;
  std::chrono::milliseconds call_limit;
  // The plan of the last connection string whose translation depends on the string alone: every
  // operation opens its own connection, mostly with the same string, and is spared the parsing.
  OpenPlan last_plan;
};

class OdbcConnection final : public Connection {
 public:
  OdbcConnection(std::shared_ptr<Environment> env, std::shared_ptr<DriverShared> shared)
      : env_(std::move(env)), shared_(std::move(shared)) {}
  ~OdbcConnection() override { Close(); }

  void Open(const std::string& connection_string, int timeout_seconds) override;
  std::unique_ptr<Recordset> Execute(const std::string& sql) override;
  std::unique_ptr<PreparedStatement> Prepare(const std::string& sql) override;
  void LimitWaits(std::chrono::milliseconds limit) override;
  int64_t RecordsAffected() const override { return records_affected_; }
  const std::vector<DbError>& Errors() const override { return errors_; }
  std::string DbmsName() const override { return session_ ? session_->dbms : ""; }
  int State() const override { return session_ && session_->connected ? 1 : 0; }
  void Close() override {
    if (session_) session_->Disconnect();
    session_.reset();
  }

 private:
  [[noreturn]] void Fail(const std::string& call, std::vector<DbError> errors) {
    if (session_) session_->failed = true;
    errors_ = std::move(errors);
    Raise(call, errors_);
  }

  // A statement handle on the open connection with the query time-out; fails naming call.
  SQLHSTMT NewStatement(const std::string& call);
  // The translation of connection_string; fails (Fail) when it cannot be translated.
  OpenPlan PlanFor(const std::string& connection_string);
  void Connect(Session& session, const std::string& odbc, int timeout_seconds);
  // The string with the port of a named instance in place of the instance, asked from SQL Server
  // Browser within the connection time-out; timeout_seconds becomes what is left of it.
  std::string ResolveInstance(const std::string& odbc, int* timeout_seconds);

  std::shared_ptr<Environment> env_;
  std::shared_ptr<DriverShared> shared_;
  std::shared_ptr<Session> session_;
  std::vector<DbError> errors_;
  int64_t records_affected_ = 0;
  std::chrono::milliseconds wait_limit_{0};  // LimitWaits; 0: the driver's own time limits
};

OpenPlan OdbcConnection::PlanFor(const std::string& connection_string) {
  const OpenPlan& last = shared_->last_plan;
  if (!last.input.empty() && last.input == connection_string) return last;
  OpenPlan plan{connection_string};
  try {
    plan.odbc = TranslateConnectionString(connection_string);
  } catch (const RuntimeError& e) {
    Fail(fmt::format("connect '{}'", MaskPasswords(connection_string)),
         {{"HY000", 0, e.description()}});
  }
  plan.instance = InstanceWithoutPort(plan.odbc);
  plan.path = shared_->pool ? SqliteDatabasePath(plan.odbc) : "";
  if (!TranslationReadsFiles(connection_string)) shared_->last_plan = plan;
  return plan;
}

void OdbcConnection::Open(const std::string& connection_string, int timeout_seconds) {
  errors_.clear();
  Close();
  const OpenPlan plan = PlanFor(connection_string);
  const std::optional<NamedInstance>& instance = plan.instance;
  std::string odbc = plan.odbc;
  if (instance) odbc = ResolveInstance(odbc, &timeout_seconds);
  auto session = std::make_shared<Session>();
  session->env = env_;
  session->watchdog = shared_->watchdog;
  session->call_limit = shared_->call_limit;
  session->query_timeout_seconds = shared_->query_timeout_seconds;
  if (wait_limit_.count() > 0) {
    session->call_limit = wait_limit_;
    timeout_seconds = static_cast<int>((wait_limit_.count() + 999) / 1000);
  }
  const std::string& path = plan.path;
  bool file_known = false;
  if (!path.empty()) {
    session->dbc = shared_->pool->Acquire(odbc, path, &session->file);
    file_known = session->dbc != SQL_NULL_HDBC;
  }
  if (session->dbc == SQL_NULL_HDBC) {
    try {
      Connect(*session, odbc, timeout_seconds);
    } catch (const RuntimeError&) {
      if (instance) shared_->browser.Forget(instance->host, instance->instance);
      throw;
    }
  }
  session->connected = true;
  if (!path.empty() && (file_known || stat(path.c_str(), &session->file) == 0)) {
    session->pool = shared_->pool;
    session->pool_key = odbc;
    session->pool_path = path;
  }
  SQLCHAR dbms[128] = {};
  SQLSMALLINT dbms_length = 0;
  if (SQL_SUCCEEDED(SQLGetInfo(session->dbc, SQL_DBMS_NAME, dbms, sizeof dbms, &dbms_length))) {
    session->dbms = reinterpret_cast<char*>(dbms);
  }
  session->is_sqlite = EqualsNoCase(session->dbms, "SQLite");
  session->is_mdbtools = EqualsNoCase(session->dbms, "MDBTOOLS");
  session->is_postgres = EqualsNoCase(session->dbms, "PostgreSQL");
  session_ = std::move(session);
}

void OdbcConnection::Connect(Session& session, const std::string& odbc, int timeout_seconds) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_->handle(), &session.dbc))) {
    Fail("allocate connection", FailureDiagnostics(SQL_HANDLE_ENV, env_->handle()));
  }
  if (timeout_seconds > 0) {
    SQLSetConnectAttr(session.dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(timeout_seconds)), 0);
  }
  SQLCHAR out[1024] = {};
  SQLSMALLINT out_length = 0;
  std::vector<SQLCHAR> in(odbc.begin(), odbc.end());
  in.push_back(0);
  const std::vector<OpenSocket> before = ConnectedStreamSockets();
  const int port = ServerPort(odbc);
  SQLRETURN rc;
  {
    // A login that a server leaves unanswered ends at the wait limit, below the driver's whole
    // seconds of login time-out.
    const SocketWatchdog::Guard watch =
        wait_limit_.count() > 0 && port > 0
            ? shared_->watchdog->WatchConnect(before, port, wait_limit_)
            : shared_->watchdog->Watch(-1, wait_limit_);
    rc = SQLDriverConnect(session.dbc, nullptr, in.data(), SQL_NTS, out, sizeof out, &out_length,
                          SQL_DRIVER_NOPROMPT);
  }
  if (!SQL_SUCCEEDED(rc)) {
    Fail(fmt::format("connect '{}'", MaskPasswords(odbc)),
         FailureDiagnostics(SQL_HANDLE_DBC, session.dbc));
  }
  // The driver's socket to a database server; local files open none.
  session.socket_fd = NewSocket(before, ConnectedStreamSockets(), port);
}

void OdbcConnection::LimitWaits(std::chrono::milliseconds limit) {
  wait_limit_ = limit;
  if (session_ && limit.count() > 0) session_->call_limit = limit;
}

SQLHSTMT OdbcConnection::NewStatement(const std::string& call) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, session_->dbc, &stmt))) {
    Fail(call, FailureDiagnostics(SQL_HANDLE_DBC, session_->dbc));
  }
  if (session_->query_timeout_seconds > 0) {
    SQLSetStmtAttr(
        stmt, SQL_ATTR_QUERY_TIMEOUT,
        reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(session_->query_timeout_seconds)), 0);
  }
  return stmt;
}

std::unique_ptr<PreparedStatement> OdbcConnection::Prepare(const std::string& sql) {
  errors_.clear();
  if (State() != 1) {
    Fail(fmt::format("prepare '{}'", Quoted(sql)), {{"08003", 0, "the connection is not open"}});
  }
  SQLHSTMT stmt = NewStatement(fmt::format("prepare '{}'", Quoted(sql)));
  std::vector<SQLCHAR> in(sql.begin(), sql.end());
  in.push_back(0);
  SQLRETURN rc;
  {
    const SocketWatchdog::Guard watch = session_->Watch();
    rc = SQLPrepare(stmt, in.data(), SQL_NTS);
  }
  if (!SQL_SUCCEEDED(rc)) {
    std::vector<DbError> errors = FailureDiagnostics(SQL_HANDLE_STMT, stmt);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    Fail(fmt::format("prepare '{}'", Quoted(sql)), std::move(errors));
  }
  return std::make_unique<OdbcPrepared>(session_, stmt, sql);
}

std::string OdbcConnection::ResolveInstance(const std::string& odbc, int* timeout_seconds) {
  using Clock = std::chrono::steady_clock;
  const NamedInstance target = *InstanceWithoutPort(odbc);
  const int budget = *timeout_seconds > 0 ? *timeout_seconds : kDbConnectTimeoutSeconds;
  const Clock::time_point start = Clock::now();
  int port = 0;
  try {
    port =
        shared_->browser.Port(target.host, target.instance, start + std::chrono::seconds(budget));
  } catch (const RuntimeError& e) {
    Fail(fmt::format("connect '{}'", MaskPasswords(odbc)), {{"08001", 0, e.description()}});
  }
  const auto spent = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
  *timeout_seconds = std::max<int>(1, budget - static_cast<int>(spent.count()));
  return WithInstancePort(odbc, port);
}

std::unique_ptr<Recordset> OdbcConnection::Execute(const std::string& sql) {
  errors_.clear();
  records_affected_ = 0;
  if (State() != 1) {
    Fail(fmt::format("execute '{}'", sql), {{"08003", 0, "the connection is not open"}});
  }
  const std::string text = session_->is_sqlite     ? AdaptSqlForSqlite(sql)
                           : session_->is_postgres ? AdaptSqlForPostgres(sql)
                                                   : sql;
  if (session_->is_sqlite && BeginsWithWith(text)) {
    // The SQLite driver reading rows one at a time (StepAPI=1) skips such a statement and reports
    // success with no rows: refuse it rather than let it pass for done.
    Fail(fmt::format("execute '{}'", sql),
         {{"42000", 0,
           "the SQLite driver skips a statement that begins with WITH; write INSERT INTO t WITH "
           "... SELECT ... or SELECT ... FROM (WITH ...)"}});
  }
  SQLHSTMT stmt = NewStatement(fmt::format("execute '{}'", sql));
  std::vector<SQLCHAR> in(text.begin(), text.end());
  in.push_back(0);
  SQLRETURN rc;
  {
    const SocketWatchdog::Guard watch = session_->Watch();
    rc = SQLExecDirect(stmt, in.data(), SQL_NTS);
  }
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    std::vector<DbError> errors = FailureDiagnostics(SQL_HANDLE_STMT, stmt);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    Fail(fmt::format("execute '{}'", text), std::move(errors));
  }
  SQLSMALLINT columns = 0;
  if (rc != SQL_NO_DATA) SQLNumResultCols(stmt, &columns);
  if (columns > 0) {
    auto recordset = std::make_unique<OdbcRecordset>(session_, stmt, text);
    try {
      recordset->Start();
    } catch (const DatabaseError& e) {
      errors_ = e.diagnostics();
      throw;
    }
    return recordset;
  }
  SQLLEN rows = 0;
  if (rc != SQL_NO_DATA && SQL_SUCCEEDED(SQLRowCount(stmt, &rows))) records_affected_ = rows;
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return nullptr;
}

// The wait for the confirmation of a cancelled statement, after the query time-out.
constexpr std::chrono::seconds kCancelWait{5};

class OdbcDriver final : public DatabaseDriver {
 public:
  explicit OdbcDriver(const OdbcOptions& options)
      : shared_(std::make_shared<DriverShared>(DriverShared{
            options.sqlite_idle_seconds > 0
                ? std::make_shared<SqlitePool>(options.sqlite_idle_seconds, 4)
                : nullptr,
            std::make_shared<SocketWatchdog>(), SqlBrowser(options.sql_browser_port),
            options.query_timeout_seconds, CallLimit(options.query_timeout_seconds)})) {}
  std::unique_ptr<Connection> NewConnection() override {
    if (!env_) env_ = std::make_shared<Environment>();
    return std::make_unique<OdbcConnection>(env_, shared_);
  }

 private:
  // How long one call may wait for a server: the query time-out and the wait for the cancel's
  // confirmation (shorter for short time-outs); 0, no limit, without a query time-out.
  static std::chrono::milliseconds CallLimit(int query_timeout_seconds) {
    if (query_timeout_seconds <= 0) return std::chrono::milliseconds(0);
    const std::chrono::seconds timeout(query_timeout_seconds);
    return timeout + std::min<std::chrono::milliseconds>(kCancelWait, timeout / 2);
  }

  // Declared first, freed last: parked connections are disconnected before the environment.
  std::shared_ptr<Environment> env_;
  std::shared_ptr<DriverShared> shared_;
};

}  // namespace

std::vector<std::string> RegisteredOdbcDrivers() {
  const Environment env;
  std::vector<std::string> names;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    SQLCHAR name[256] = {};
    SQLCHAR attributes[1024] = {};
    SQLSMALLINT name_length = 0, attributes_length = 0;
    const SQLRETURN rc = SQLDrivers(env.handle(), direction, name, sizeof name, &name_length,
                                    attributes, sizeof attributes, &attributes_length);
    if (!SQL_SUCCEEDED(rc)) break;
    names.emplace_back(reinterpret_cast<char*>(name));
    direction = SQL_FETCH_NEXT;
  }
  return names;
}

std::shared_ptr<DatabaseDriver> NewOdbcDriver(const OdbcOptions& options) {
  return std::make_shared<OdbcDriver>(options);
}

}  // namespace quorlan
