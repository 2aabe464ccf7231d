// Storage: the database client of the service, the settings it reads at start, the trend-data
// tables with their daily retention, and the SNMPv3 security profiles.
//
// Database access
// ---------------
// Every operation opens its own Connection, executes complete SQL text on it, reads the rows of a
// Recordset front to back and closes both at its end. Two connections are kept between their
// operations instead: the recorder's, and the settings read's to a database server (each new one
// would be a login). Statements are written in SQL Server's dialect. The ODBC client adapts the few
// T-SQL-only forms the service uses (SELECT TOP (n), DELETE TOP (n), sys.tables, the datetime
// type of CREATE TABLE) when the driver reports SQLite or PostgreSQL, and SqlText, SqlDate and
// SqlDateTime write the literals that differ; no other code knows about dialects. Every statement
// on a database server has a query time-out (kDbQueryTimeoutSeconds), so a server that stops
// answering costs one failed operation, not a hung service.
//
// Connection strings are taken as stored. ODBC strings (with Driver= or DSN=) are used as they
// stand, apart from two safety additions (see TranslateConnectionString). OLE DB strings of the
// SQL Server providers are translated to FreeTDS, and the Jet string of the local settings
// database to the SQLite3 or MDBTools driver, chosen by the file's header.
//
// Errors
// ------
// A driver failure (connect refused or timed out, a statement rejected, a fetch that fails) is
// raised as RuntimeError(err::kDatabase, description); the description names the call, the
// SQLSTATE, the statement or the connection string (password masked) and the driver's messages:
//   "ODBC HYT00 connect 'Driver=FreeTDS;Server=db1;Port=1433;UID=sa;PWD=***;TDS_Version=7.4':
//    [FreeTDS][SQL Server]Timeout expired; [FreeTDS][SQL Server]Unable to connect to data source"
// The same diagnostics are also left as entries of Errors(). Only diagnostics of error severity
// are entries: informational ones (SQL_SUCCESS_WITH_INFO, such as SQL Server's "changed database
// context") are not. So with the ODBC client the error collection is non-empty only after a call
// that raised; the access pattern still checks it after every open and execute (ErrorsReported),
// which reports an event with an empty message, so that a client that records errors without
// raising keeps the pattern's meaning.
//
// Field conversions raise RuntimeError too: NULL where a value is needed is err::kInvalidUseOfNull
// ("Invalid use of Null: field DebugMode"), a value that does not convert is the conversion's
// error with the field named ("Type mismatch: field SecurityLevel: 'abc' is not a number"), a
// missing field is err::kItemNotFound, a field of no current row err::kNoCurrentRecord.
//
// Recording
// ---------
// Sample rows go through the Recorder (see below), which commits them in batches on a connection
// it keeps, and keeps them in a spool file through outages of the database.
//
// Threads: none of this is thread-safe; the service uses it from its one thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "components/platform/platform.h"
#include "diagnostics/diagnostics.h"

namespace quorlan {

namespace err {
constexpr int kNoCurrentRecord = 3021;  // a field read with no current row (empty result)
constexpr int kItemNotFound = 3265;     // no field of that name or position
}  // namespace err

// The connection time-out of every SQL Server connection, in seconds. It bounds the SQL Server
// Browser look-up of a named instance and the login together.
inline constexpr int kDbConnectTimeoutSeconds = 5;
// The query time-out of every statement on a database server, in seconds: a statement (execution
// or fetch) that gets no answer within it fails with SQLSTATE HYT00. The driver then asks the
// server to cancel it; a server that does not confirm within a few seconds has its connection
// closed, so an operation against a server that stopped answering ends after about 35 seconds.
inline constexpr int kDbQueryTimeoutSeconds = 30;
// The busy (lock) time-out added to SQLite connection strings that set none, in milliseconds.
// A write may wait about twice this and the connect once more, which keeps an operation on a
// locked file within the 5 seconds of a connection time-out.
inline constexpr int kSqliteBusyTimeoutMs = 1500;

// One field of the current row: its name as the driver describes it, and its value as text
// (integers in decimal, flags "1"/"0" or as stored, date-times "YYYY-MM-DD hh:mm:ss[.fff]"), or
// no value for NULL.
class FieldValue {
 public:
  FieldValue(std::string name, std::optional<std::string> value)
      : name_(std::move(name)), value_(std::move(value)) {}

  const std::string& Name() const { return name_; }
  bool IsNull() const { return !value_.has_value(); }

  // The conversions raise RuntimeError naming the field: err::kInvalidUseOfNull for NULL, the
  // conversion's own error (type mismatch, overflow) for a value that does not convert.
  const std::string& AsString() const;
  bool AsBool() const;  // "True"/"False" in any case, or a number (non-zero is true)
  int16_t AsInt16() const;
  int32_t AsInt32() const;
  double AsDouble() const;

 private:
  const std::string& Require() const;
  std::string name_;
  std::optional<std::string> value_;
};

// The rows a statement returned, read front to back. The first row is current after Execute.
// A Recordset may outlive its Connection's Close (it is then closed: Eof() is true).
class Recordset {
 public:
  virtual ~Recordset() = default;

  // True when there is no current row: the result was empty or MoveNext went past the last row.
  virtual bool Eof() const = 0;
  // Fetches the next row. Throws RuntimeError(err::kDatabase) when the driver fails.
  // REQUIRES: !Eof().
  virtual void MoveNext() = 0;
  virtual int FieldCount() const = 0;
  // The name of the column at position index (0-based) as the driver describes it.
  virtual std::string FieldName(int index) const = 0;
  // The field at position index (0-based) of the current row. Throws err::kNoCurrentRecord at
  // Eof, err::kItemNotFound for a position out of range.
  virtual FieldValue FieldAt(int index) const = 0;
  // 1 while open, 0 after Close.
  virtual int State() const = 0;
  virtual void Close() = 0;

  // The field whose column name equals name without regard to case (the first such column).
  // Throws err::kItemNotFound when none does, err::kNoCurrentRecord at Eof.
  FieldValue Field(std::string_view name) const;
  FieldValue Field(int index) const { return FieldAt(index); }
};

// A diagnostic of error severity reported by the driver.
struct DbError {
  std::string SqlState;  // five characters; may be empty (MDBTools)
  int32_t NativeError = 0;
  std::string Description;
};

// A failure the database driver reported: its description names the call, the statement or
// the connection string (password masked) and the driver's messages, which diagnostics() holds
// on their own.
class DatabaseError : public RuntimeError {
 public:
  DatabaseError(const std::string& description, std::vector<DbError> diagnostics)
      : RuntimeError(err::kDatabase, description), diagnostics_(std::move(diagnostics)) {}
  const std::vector<DbError>& diagnostics() const { return diagnostics_; }

 private:
  std::vector<DbError> diagnostics_;
};

// A statement prepared once on its connection and executed many times, with the values set before
// each execution; its parameters are the markers "?" of its text, numbered from 0. A value stays
// until it is set again. REQUIRES: used only while its connection is open; closing the connection
// frees the statement (its Execute then fails).
class PreparedStatement {
 public:
  virtual ~PreparedStatement() = default;
  virtual void SetInt(int index, int64_t value) = 0;
  virtual void SetText(int index, std::string_view text) = 0;
  // Executes with the values set. Throws RuntimeError(err::kDatabase) when the driver rejects it,
  // as Connection::Execute.
  virtual void Execute() = 0;
};

class Connection {
 public:
  virtual ~Connection() = default;

  // Opens the connection. connection_string is translated as TranslateConnectionString says;
  // timeout_seconds is the login time-out (0: the driver's default). Throws RuntimeError
  // (err::kDatabase) when the string cannot be translated or the driver fails.
  // REQUIRES: State() == 0.
  virtual void Open(const std::string& connection_string, int timeout_seconds) = 0;
  // Executes one complete statement. Returns its rows when it yields a result set, else nullptr
  // (RecordsAffected then tells how many rows it changed; a change of no rows is not a failure).
  // Throws RuntimeError(err::kDatabase) when the driver rejects it. REQUIRES: State() == 1.
  virtual std::unique_ptr<Recordset> Execute(const std::string& sql) = 0;
  // Prepares a statement without rows (an INSERT) for repeated execution. Throws
  // RuntimeError(err::kDatabase) when the driver rejects it. REQUIRES: State() == 1.
  virtual std::unique_ptr<PreparedStatement> Prepare(const std::string& sql) = 0;
  // Bounds every later wait of this connection for a database server, its login included: a call
  // that waits longer has the connection's socket shut down and fails (SQLSTATE 08S01 or HYT00),
  // and the connection is dead. Local files are not concerned (SQLite's lock wait is the Timeout=
  // of its connection string). Call before Open to bound the login.
  virtual void LimitWaits(std::chrono::milliseconds limit) = 0;
  // Rows changed by the last Execute that returned no rows (0 after a query).
  virtual int64_t RecordsAffected() const = 0;
  // The error entries of the last Open or Execute (empty after a success).
  virtual const std::vector<DbError>& Errors() const = 0;
  // The database product as the driver names it ("SQLite", "Microsoft SQL Server", "PostgreSQL",
  // "MDBTOOLS").
  virtual std::string DbmsName() const = 0;
  // 1 while open, 0 otherwise.
  virtual int State() const = 0;
  // Closes the connection and every Recordset still open on it. Closing a closed one does
  // nothing.
  virtual void Close() = 0;
};

// Makes connections. The state object holds one; tests wrap it to observe or fail statements.
class DatabaseDriver {
 public:
  virtual ~DatabaseDriver() = default;
  virtual std::unique_ptr<Connection> NewConnection() = 0;
};

struct OdbcOptions {
  // How long a closed SQLite connection is kept open for the next operation with the same
  // connection string; 0 closes it at once. The physical connection costs more than most
  // statements; a kept connection is used again only while the file at its path is still the
  // file it opened (one deleted or replaced is noticed). Other databases are never kept.
  int sqlite_idle_seconds = 60;
  // The statement time-out on database servers (see kDbQueryTimeoutSeconds).
  int query_timeout_seconds = kDbQueryTimeoutSeconds;
  // The UDP port of SQL Server Browser, asked for the TCP port of a named instance given
  // without one ("Server=db1\SQLEXPRESS"). The answer is kept for the next connections until a
  // connection through it fails.
  int sql_browser_port = 1434;
};

// The ODBC client (unixODBC, ANSI API).
std::shared_ptr<DatabaseDriver> NewOdbcDriver(const OdbcOptions& options = {});

// The ODBC connection string that Open uses for a stored connection string:
// - ODBC strings (Driver= or DSN=) as they stand, except that a SQLite3 string without Timeout=
//   gets Timeout=kSqliteBusyTimeoutMs and without StepAPI= gets StepAPI=1 (rows are then read
//   from the database one at a time instead of the whole result first; in this mode the driver
//   does not run a statement that begins with WITH and returns no rows, so an insert is written
//   INSERT INTO t WITH ... SELECT ...), a FreeTDS string without TDS_Version= gets
//   TDS_Version=7.4 (FreeTDS's automatic version probe can ignore the login time-out and hang),
//   and an ApplicationIntent other than ReadOnly/ReadWrite is refused (FreeTDS crashes on it).
// - Refused, so that whoever can write a stored string cannot make its user load a library or
//   write a file of their choice: a Driver= that names a library file or a driver that is not
//   registered with unixODBC, FILEDSN=, SAVEFILE=, and SQLite's LoadExt= and Tracefile=. The
//   error names the pair: "Driver=/srv/x/lib.so names a library file; give the name of a driver
//   registered with unixODBC (odbcinst -q -d): FreeTDS, SQLite3, ...".
// - Refused for psqlODBC (Driver=PostgreSQL Unicode or ANSI) and for DSN strings: pqopt= and
//   ConnSettings= (libpq options and SQL of the string's author), CommLog= and Debug= other than 0
//   (logs in /tmp that hold the password), IgnoreTimeout= other than 0, and Protocol= other than
//   7.4 (an error in a transaction would undo more than its statement); for psqlODBC also a Server
//   with ',' (libpq reads a list of hosts) and an SSLmode that is not one of libpq's six (libpq
//   would connect without TLS).
// - OLE DB strings of SQL Server (Provider=SQLOLEDB, SQLNCLI*, MSOLEDBSQL*; or no Provider with
//   Data Source/Server): Driver=FreeTDS with Server (host or host\instance), Port (from
//   "host,port"), Database, UID/PWD or Trusted_Connection=Yes, ClientCharset=UTF-8,
//   TDS_Version=7.4, and the equivalents of the application name, workstation, language, packet
//   size, encryption and MARS.
// - OLE DB strings of Jet/ACE (the local settings database): the file named by Data Source
//   (backslashes read as folder separators) through Driver=SQLite3 when it is a SQLite file and
//   Driver=MDBTools when it is an Access file, told apart by the header; the file must exist.
// Throws RuntimeError(err::kDatabase) naming what cannot be translated (an unknown provider or
// key, named pipes, a value FreeTDS cannot carry).
std::string TranslateConnectionString(const std::string& connection_string);

// The connection string with the values of every key that names a password (Password, PWD, Jet
// OLEDB:Database Password, ...) replaced by "***", for error messages and logs; the parts without
// '=' that follow such a value (the rest of a password that holds an unquoted ';') go with it.
std::string MaskPasswords(const std::string& connection_string);

// The text as an SQL string literal: enclosed in single quotes, inner quotes doubled.
std::string SqlQuote(std::string_view text);

// --- Literals in the dialect of a connection ---
// Statements are written in SQL Server's dialect; values that SQL Server, SQLite and PostgreSQL
// write differently are made by these functions from the open connection (its DbmsName), and only
// here. REQUIRES: conn is open.

// A text literal: N'...' on SQL Server, so that text outside the server's code page (non-Latin
// node names) arrives unchanged; '...' on SQLite; E'...' on PostgreSQL, with backslashes doubled
// too, so that it reads the same whatever the server's standard_conforming_strings. Inner quotes
// doubled.
std::string SqlText(const Connection& conn, std::string_view text);
// A date literal for comparisons with datetime columns: 'YYYYMMDD' on SQL Server, which reads it
// alike under every login language; ISO 'YYYY-MM-DD' on SQLite, which compares dates as text,
// and on PostgreSQL.
std::string SqlDate(const Connection& conn, const DateTime& date);
// A date-time literal, to the second: 'YYYY-MM-DDTHH:MM:SS' on SQL Server (language-neutral);
// 'YYYY-MM-DD HH:MM:SS' on SQLite and PostgreSQL. Sample rows (TrendData*.Time) are written with
// it, so that they compare with SqlDate's cut-offs in every database.
std::string SqlDateTime(const Connection& conn, const DateTime& time);
// Inserts one row into table and returns the value that the database gave its key column (an
// IDENTITY or AUTOINCREMENT column): INSERT ... OUTPUT INSERTED.key on SQL Server, INSERT ...
// RETURNING key on PostgreSQL; on SQLite the
// insert, then last_insert_rowid() of the same connection (key must be the INTEGER PRIMARY KEY).
// columns are (name, SQL literal) pairs, the literals made with SqlText, SqlQuote or as numbers.
// Throws RuntimeError(err::kDatabase) when the insert fails or returns no key.
int64_t InsertReturningKey(Connection& conn, const std::string& table, const std::string& key,
                           const std::vector<std::pair<std::string, std::string>>& columns);

// --- Recording sample rows ---

// One row of a trend-data table.
struct SampleRow {
  int32_t ReportId = 0;
  int32_t PollInterval = 0;  // seconds; the row goes to TrendDataTable(PollInterval)
  DateTime Time;             // local time at which the answer was handled; stored to the second
  std::array<double, 6> Values{};  // Value1 to Value6, stored rounded with the pattern "0"
};

// The trend-data table of a poll interval in seconds: "TrendData" followed by the minutes as a
// decimal number without trailing zeros ("TrendData5" for 300). An interval the grid does not
// serve names a table that does not exist ("TrendData2.5" for 150), which the database refuses.
std::string TrendDataTable(int32_t poll_interval);

// A batch commits at this many rows, or at the first row handed this long after its first row.
inline constexpr int kBatchRows = 1000;
inline constexpr int kBatchMs = 100;
// While the database is out, it is tried this often.
inline constexpr int kSpoolProbeSeconds = 15;
// The most rows one replayed batch holds.
inline constexpr int kReplayRows = 1000;
// The longest the recorder's connection waits for a database server (statements and login), and
// the lock wait of its SQLite connection (a write may wait about twice as long).
inline constexpr int kRecorderWaitMs = 1000;
inline constexpr int kRecorderLockWaitMs = 200;
// A row that the database refuses this many times is set aside in Spool/rejects.txt.
inline constexpr int kRowTries = 3;
// The event log's procedure of the recorder.
inline constexpr const char* kRecorderProcedure = "TrendSampleRecord";

// What the spool holds.
struct SpoolStatus {
  int64_t rows = 0;                // rows not yet recorded in the database
  std::optional<DateTime> oldest;  // the time stamp of the oldest of them
  uint64_t bytes = 0;              // the size of the spool's files
  // False when the replay position could not be read from the database: rows then counts from
  // the start of the spool's first file, and may include rows recorded already.
  bool position_known = true;
};

// Rows the recorder has dealt with since the state was made.
struct RecorderCounts {
  int64_t recorded = 0;  // committed in the database directly
  int64_t spooled = 0;   // written to the spool
  int64_t replayed = 0;  // committed in the database from the spool
  int64_t rejected = 0;  // set aside in Spool/rejects.txt
  int64_t dropped = 0;   // lost: dropped from a full spool, or the spool could not be written
  // Failures of the database: batches and probes that found it out, batches it refused.
  int64_t errors = 0;
};

struct StorageState;

// The recorder of sample rows.
//
// Batches: rows handed to Record are committed in batches, each one transaction on a connection
// the recorder keeps open (on SQLite with a prepared INSERT per trend-data table, elsewhere with
// multi-row INSERTs of literal values). A batch commits when the event loop has nothing ready
// (an idle task) and no more rows are expected (StorageState::RowsExpected), at its kBatchRows-th
// row, or kBatchMs after its first row, whichever comes first; CommitBatch commits it at once, and
// every other statement on the suite database (OpenSuiteConnection) calls it first. While answers
// are outstanding, the rows of a burst of answers thus share one transaction instead of one each
// for every lull between two answers. A row counts as recorded when its batch
// commits; a crash of the process loses the open batch, at most kBatchMs of rows.
//
// Outages: a batch that fails because the database is out (locked by another writer beyond the
// lock wait, its file gone, the connection refused, a server that does not answer within
// kRecorderWaitMs) goes to the spool (storage/spool_format.md), with one error event that names
// the database's reason. While the spool holds rows, new rows are appended behind them (one
// fdatasync per batch) and the database is not tried for them: while it is out (DatabaseOut),
// only a probe every kSpoolProbeSeconds touches it and OpenSuiteConnection refuses every other
// operation at once, so no operation holds the loop longer than one short wait. The probe is the
// replay of the spool's first batch; once one succeeds, the rest is replayed in order, one batch
// of at most kReplayRows at each idle moment, each committed in one transaction with the replay
// position (table TrendSpool, a row per spool segment): a crash during a replay loses and
// doubles nothing. When the spool
// is empty, recording is direct again, with one information event that counts the rows replayed
// and gives the outage's length. Rows keep their own time stamps. A spool that an earlier run
// left is replayed after Start.
//
// Refused rows: when the database answers but refuses a batch (a value out of range, a table
// that does not exist), its rows are inserted one at a time, and a row refused kRowTries times
// is set aside in Spool/rejects.txt (written and synced before its batch commits), with one
// error event per batch that counts them and gives the reason.
//
// Never throws towards its callers; failures are events (module "modQuorlanTrend", procedure
// kRecorderProcedure). Runs on the event loop's thread; its idle tasks and its probe timer never
// yield.
class Recorder {
 public:
  // REQUIRES: st outlives the recorder. Nothing is opened or read until rows come or Start.
  explicit Recorder(StorageState& st);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Takes one row into the open batch.
  void Record(const SampleRow& row);
  // Commits the open batch now: to the database, or to the spool while it holds rows.
  void CommitBatch();
  // Called by the service after each answer it handled: once RowsExpected turns false, a batch
  // that waited for more rows commits at the next idle moment.
  void AnswerHandled();
  // At the service's start, once the trend-data tables exist: reads the spool an earlier run
  // left (reporting torn or damaged parts) and replays it from the next idle moment.
  void Start();
  // At the stop: commits the open batch and closes the kept connection.
  void Stop();
  // True while the database is out: from a batch or probe that failed so until a probe succeeds.
  bool DatabaseOut() const;
  // Why and since when the database is out, for the errors of the operations refused meanwhile.
  std::string OutageDescription() const;
  SpoolStatus Status() const;
  const RecorderCounts& Counts() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// The spool of the installation of st as its files and the database's replay position show it
// (for the console, beside a running service). Throws RuntimeError when the files cannot be read.
SpoolStatus ReadSpoolStatus(StorageState& st);

// One slot of the SNMPv3 security profile table.
struct SecProfile {
  std::string UserName;  // empty: the slot is free
  int16_t SecurityLevel = 0;
  std::string AuthPassword;
  int16_t AuthProtocol = 0;
  std::string PrivPassword;
  int16_t PrivProtocol = 0;
};
inline constexpr int kSecProfileSlots = 10;

// A suite connection string as translated for Open, and the stored string it was made from.
struct SuiteConnectionMemo {
  std::string stored;
  std::string translated;   // empty: nothing kept yet
  std::string sqlite_path;  // the SQLite file it opens, or "" for other databases
};

// The module-wide values of the storage layer.
struct StorageState : Runtime {
  // REQUIRES: clock and loop outlive the state. The database client is the ODBC client.
  StorageState(std::string app_path, Clock& clock, EventLoop& loop)
      : Runtime(std::move(app_path), clock, loop), Db(NewOdbcDriver()) {}

  std::string DbConnStringJet;  // set by the settings-console read; empty until the first start
  bool SqlDbSetupOk = false;
  std::string DbConnStringSql;  // the suite database's connection string as stored
  // Slots 1 to 10; index 0 is unused so that slot numbers read as written.
  std::array<SecProfile, kSecProfileSlots + 1> SecProfileList;
  // The database client every operation uses. Never null.
  std::shared_ptr<DatabaseDriver> Db;
  // True once the service has been asked to stop (set by the service; empty: never). Suite
  // connections are then refused at once, so that a stop waits for at most the operation in
  // progress, not for every operation that would follow it.
  std::function<bool()> StopRequested;
  // True while requests are outstanding whose answers hand rows to the recorder (set by the
  // service; empty: never): an open batch then waits for them, at most kBatchMs.
  std::function<bool()> RowsExpected;
  // The translation of DbConnStringSql that every suite connection opens with (made once per
  // stored string, not at every operation).
  SuiteConnectionMemo SuiteConnection;
  // A SQLite suite database's file and write-ahead log as the last settings read found them
  // (exists false: read again).
  std::array<FileStamp, 2> SettingsReadStamps{};
  // The settings read's connection to a server suite database, kept between the reads of the
  // debug-mode watcher, and the stored string it opened with (closed at the service's stop).
  std::unique_ptr<Connection> SettingsConnection;
  std::string SettingsConnectionString;
  // Where sample rows go.
  Recorder SampleRecorder{*this};
};

// --- The access pattern, for every operation on the suite database ---

// A new connection opened with DbConnStringSql and the 5-second connection time-out. Each
// statement executed on it first commits the recorder's open batch (Recorder::CommitBatch). Its
// failures to connect and to execute (and a connection string that cannot be used) are counted in
// Counters.DatabaseErrors before they are thrown.
// Throws as Connection::Open; also, without opening anything, when the service is stopping, while
// the recorder finds the database out (Recorder::DatabaseOut), and
// when DbConnStringSql names a SQLite file that does not exist: a suite database is never
// created here (only `quorlan-trendctl init` creates one), so that samples are not written into a
// stray empty file while the real one is unavailable (say, its volume is not mounted yet).
std::unique_ptr<Connection> OpenSuiteConnection(StorageState& st);

// The connection check after opening or executing: when the connection's error collection holds
// an entry, raises the application event of type 1 for the procedure, with the empty message of
// "no run-time error pending", and returns true (the caller then abandons the operation).
bool ErrorsReported(StorageState& st, const Connection& conn, const char* module,
                    const std::string& procedure);

// Runs work, whose statements carry secrets (SNMPv3 passwords, communities). A failure is
// rethrown as RuntimeError(err::kDatabase, "<operation>: ODBC <SQLSTATE> <the driver's
// messages>"), or for a failure outside the driver "<operation>: <its description>": the text
// of a statement never reaches an error message, and so never a terminal or a log.
void WithoutStatementText(const std::string& operation, const std::function<void()>& work);

// Executes a statement that must yield rows. Returns nullptr only when the connection recorded
// error entries without raising (check ErrorsReported next). Throws RuntimeError(err::kDatabase)
// when the statement yields no rows, as Connection::Execute otherwise.
std::unique_ptr<Recordset> ExecuteQuery(Connection& conn, const std::string& sql);

// --- Procedures ---

// The settings-console read of the start sequence: sets DbConnStringJet to
// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + AppPath + "\Quorlan.mdb;Persist Security
// Info=False", opens it, and sets SqlDbSetupOk (as Boolean) and DbConnStringSql (as string) from
// the first row of Settings_Console. Throws RuntimeError on any failure (file missing or not a
// database, no Settings_Console, an empty table, a NULL or bad value); DbConnStringJet is set
// even then. Reports nothing itself: the start sequence reports under "dartSvc_State".
void SettingsConsoleRead(StorageState& st);

// Sets DebugMode from the first row of Settings. Reports its own errors (procedure
// "SettingsGeneralRead", module "modQuorlanTrend", type 1), leaving DebugMode unchanged. A SQLite
// file unchanged since the last read is not read again; a server database is read on the
// connection the last read kept (SettingsConnection), and on a new one when that read fails.
void SettingsGeneralRead(StorageState& st);

// Creates any of TrendData1, TrendData5, TrendData15, TrendData60 that is missing (names compared
// without regard to case), in that order, stopping at the first that fails; on SQLite and
// PostgreSQL each with its index by report and time (ReportId, Time). Reports its own
// errors (procedure "VerifiyTrendDataTables", module "modQuorlanTrend", type 1); nothing on
// success.
void VerifiyTrendDataTables(StorageState& st);

// The trend-data tables, in the order of their creation and of the daily retention calls.
inline constexpr std::array<const char*, 4> kTrendDataTables = {"TrendData1", "TrendData5",
                                                                "TrendData15", "TrendData60"};

// The daily retention pass over one trend-data table ("TrendData1", "TrendData5", "TrendData15"
// or "TrendData60", any case): deletes rows older than the table's period in chunks of 3000 with
// WaitMs(500) after every pass (events are delivered meanwhile), then raises the total as an event
// of type 3. Errors, an unknown table name included, are reported as type 1; module
// "frmVeltTrendSrv", procedure "DelTrendData".
//
// CALL POINT (poll scheduler, daily work): at the first poll tick whose hour of day is below
// LastHour, after DebugDirClear_AE and DebugDirClear, call
//   for (const char* table : kTrendDataTables) DelTrendData(st, table);
// Each call pauses 500 ms per pass through WaitMs, so other events run in between.
void DelTrendData(StorageState& st, const std::string& table);

// What the recording of sample rows stands at, for the self-monitoring: the rows the suite
// database took since the state was made (a row counts once, when the batch that holds it commits,
// directly or from the spool), the rows in the spool, not yet recorded, and the failures of the
// suite database (the recorder's and those of the other operations, Counters.DatabaseErrors).
struct RecordingFigures {
  int64_t RowsRecorded = 0;
  int64_t SpoolRows = 0;
  int64_t DatabaseErrors = 0;
};
RecordingFigures RecordingFiguresOf(StorageState& st);

// Reloads SecProfileList from SecProfiles: clears the ten names, then fills slots 1 upwards with
// the enabled rows. Reports its own errors (procedure "SysUpdateSecProfiles", module
// "modQuorlanTrend", type 1); an eleventh enabled row is such an error, and so is a field that
// does not convert, which ends the load with the row's slot left free (never half filled).
void SysUpdateSecProfiles(StorageState& st);

// The first slot (1 to 10) whose UserName equals user_name without regard to case, or 0.
// An empty user_name matches the first free slot.
int FindSecProfile(const StorageState& st, std::string_view user_name);

// --- Embedded installations ---

inline constexpr const char* kServiceExecutable = "quorlan-trend";
inline constexpr const char* kSuiteDatabase = "Quorlan-suite.db";

// The files whose presence marks an installation: the service executable, Quorlan.mdb, the suite
// database and Quorlan.ini.
std::vector<std::string> InstallationFiles();

// Creates a ready embedded installation in dir (created 0750 when missing): a copy of the service
// executable (0750), the folder Debug (0750), the SQLite suite database kSuiteDatabase
// (write-ahead log) with the suite tables and one Settings row (DebugMode false), Quorlan.mdb
// (SQLite) whose Settings_Console row has SqlDbSetupOk true and DbConnStringSql
// "Driver=SQLite3;Database=<dir>/Quorlan-suite.db", and a commented Quorlan.ini with every key at
// its default except SnmpAgentSetComm, a write community drawn at random. The databases and
// Quorlan.ini (communities, SNMPv3 passwords, the connection string) are 0600; every file is
// created new, so a symbolic link planted by its name is refused, never followed. Returns the
// folder's absolute path. Throws RuntimeError, changing nothing, when any installation file (or
// a link by its name) exists already; on a later failure removes what it created and throws.
std::string CreateEmbeddedInstallation(const std::string& dir, const std::string& executable);

// Brings the SQLite suite database at path, made by an earlier version, forward: each suite
// table whose key is a plain INTEGER PRIMARY KEY (SQLite then gives the id of a deleted highest
// row again) is rebuilt with AUTOINCREMENT, in one transaction per table that keeps every row,
// index and trigger. Returns the names of the tables rebuilt (none when all are current). Throws
// RuntimeError naming the table when a step fails; the table is then left as it was.
std::vector<std::string> UpgradeSqliteSuite(const std::string& path);

// Indexes the trend-data tables of the SQLite suite database at path that exist by report and
// time where the index is missing (the service creates it with the tables). Returns the tables
// indexed. Throws RuntimeError naming what failed.
std::vector<std::string> IndexSqliteTrendTables(const std::string& path);

// Brings the installation in dir forward: takes from every other local user the access that
// installations of earlier versions gave (the folder, Debug and its files lose group write and
// all access of others; Quorlan.mdb, Quorlan.ini and a SQLite suite database inside the folder
// with its journal files become readable by their owner only; symbolic links are left alone),
// then reads
// DbConnStringSql from its Quorlan.mdb and, when that names a SQLite suite database, upgrades it
// (UpgradeSqliteSuite, IndexSqliteTrendTables), when it names a PostgreSQL database, brings that
// forward (PreparePostgresSuite). Returns one line per thing done, or one that
// says the installation is up to date, for the operator. Throws RuntimeError when Quorlan.mdb
// cannot be read or a step fails. REQUIRES: the service of the installation is not running.
std::vector<std::string> UpgradeInstallation(const std::string& dir);

// True when the connection string is an ODBC string of psqlODBC (Driver=PostgreSQL Unicode or
// PostgreSQL ANSI).
bool IsPostgresString(const std::string& connection_string);

// What PreparePostgresSuite did: a line per change for the operator ("created table ATR_Nodes",
// "table TrendData1 indexed by report and time"), and the tables kept as they were.
struct PostgresSuiteReport {
  std::vector<std::string> changes;
  std::vector<std::string> kept;
};

// Makes the PostgreSQL database that database names (an ODBC string of psqlODBC with whatever
// password it needs) a suite database, or brings one forward: checks that every suite and
// trend-data table present has the columns that the service and the console read, then, in one
// transaction, creates the missing tables (the trend-data tables with their index, Settings with
// its row), indexes the trend-data tables that lack their index and gives an empty Settings its
// row. Tables present keep their rows and definitions; names are unquoted, so folded to lower
// case. Throws RuntimeError, the database unchanged, when it cannot be reached, is not PostgreSQL,
// holds a table without a column read from it, or a statement is refused (say, the role may not
// create tables).
PostgresSuiteReport PreparePostgresSuite(const std::string& database);

// True when the connection string holds a password (a key with "pwd" or "password" in its name,
// any case).
bool HoldsPassword(const std::string& connection_string);
// The psqlODBC string with Pwd=password in place of any Pwd= it held (in braces when the password
// holds ';' or blanks at its ends). Throws RuntimeError when the password holds '}', which a
// value cannot carry.
std::string WithPostgresPassword(const std::string& database, const std::string& password);

// Creates a ready installation in dir as CreateEmbeddedInstallation does, but whose suite database
// is the PostgreSQL database that database names: PreparePostgresSuite (whose report is left in
// *report), then the files without a SQLite suite database, Quorlan.mdb's DbConnStringSql being
// database as given (0600: it may hold a password). Throws RuntimeError as both do; the files
// created are removed again, the tables created stay.
std::string CreatePostgresInstallation(const std::string& dir, const std::string& executable,
                                       const std::string& database, PostgresSuiteReport* report);

// Creates the SQLite settings database at path with table Settings_Console and one row (Id 1,
// ConsoleName "MainConsole"); no conn_string stores NULL. Throws RuntimeError.
void CreateSqliteSettingsConsole(const std::string& path, bool setup_ok,
                                 const std::optional<std::string>& conn_string);

}  // namespace quorlan
