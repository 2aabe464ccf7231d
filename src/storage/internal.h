// Pieces of the storage layer that its own files share and its tests reach; not for other layers.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/storage.h"

namespace quorlan {

// The statement in SQLite's dialect: "SELECT TOP (n) ..." becomes "SELECT ... LIMIT n",
// "DELETE TOP (n) FROM t [WHERE w]" deletes the first n matching rows by rowid, and the table
// list sys.tables reads sqlite_master. Other statements are returned unchanged.
std::string AdaptSqlForSqlite(const std::string& sql);
// The statement in PostgreSQL's dialect: TOP as for SQLite, DELETE TOP by the rows' ctid, the
// table list sys.tables from pg_class (the tables on the search path whose names are their own
// lower case, which unquoted names reach), and in CREATE TABLE the type datetime as
// timestamp(3). Names stay unquoted: PostgreSQL folds them to lower case alike wherever they are
// written. Other statements are returned unchanged.
std::string AdaptSqlForPostgres(const std::string& sql);

// The dialects that statements and literals are adapted to; SQL Server's is the one they are
// written in.
enum class SqlDialect { kSqlServer, kSqlite, kPostgres };
// The dialect of an open connection, told by the database's name (DbmsName): "SQLite",
// "PostgreSQL", and SQL Server's for any other.
class Connection;
SqlDialect DialectOf(const Connection& conn);

// The index of a trend-data table by report and time, which the console's reads of one report's
// samples use: its name "<table>_ReportId_Time", and the statement that creates it unless it
// exists, in the connection's dialect: on SQLite and PostgreSQL "CREATE INDEX IF NOT EXISTS
// <name> ON <table> (ReportId, Time)"; "" on SQL Server, whose tables their administrators index.
std::string TrendIndexName(const std::string& table);
std::string TrendIndexStatement(const Connection& conn, const std::string& table);
std::string TrendIndexStatement(SqlDialect dialect, const std::string& table);

// The absolute database file of an ODBC string for the SQLite3 driver, or "" for any other
// string (other drivers, relative paths, URI file names).
std::string SqliteDatabasePath(const std::string& odbc);

// A SQLite3 string whose Database is a relative path, with that path taken from base_dir (the
// installation folder, so that a copied or moved installation keeps using its own file); any
// other string unchanged.
std::string WithSqliteBase(const std::string& odbc, const std::string& base_dir);
// The connection string of a suite connection: a SQLite3 string (translated, a relative Database
// taken from base_dir) with the creation of a missing database forbidden; other strings as
// stored. Throws RuntimeError(err::kDatabase) naming the file when a SQLite string names a path
// that does not exist.
std::string SuiteConnectionString(const std::string& stored, const std::string& base_dir);
// Throws SuiteConnectionString's error for stored when path (a SQLite file; "" for none) does not
// exist.
void RequireSqliteFile(const std::string& stored, const std::string& path);
// The suite connection string of st.DbConnStringSql: SuiteConnectionString's result, translated
// once per stored string and kept in st.SuiteConnection; the SQLite file's existence is checked at
// every call.
struct StorageState;
const std::string& SuiteConnectionOf(StorageState& st);
// True when TranslateConnectionString reads files for this string (Jet and ACE strings, whose
// driver is chosen by the file's header) or cannot translate it; the translation of any other
// string depends on the string alone, so it may be kept and used again.
bool TranslationReadsFiles(const std::string& connection_string);
// The ODBC string with key=value in place of every key= it held (keys compared without regard
// to case).
std::string WithOption(const std::string& odbc, const std::string& key, const std::string& value);
// The SQLite3 ODBC string with NoCreat=1 in place of any NoCreat= it held.
std::string WithoutFileCreation(const std::string& odbc);

// A SQL Server named instance: host and instance name.
struct NamedInstance {
  std::string host;
  std::string instance;
};
// The named instance of a FreeTDS ODBC string that gives no port (Server=host\instance without
// Port= and without ",port"), or nullopt: FreeTDS would ask SQL Server Browser itself, without a
// time limit that the service can set.
std::optional<NamedInstance> InstanceWithoutPort(const std::string& odbc);
// The TCP port that an ODBC string of a database server connects to: for FreeTDS its Port=,
// ",port" after the server, or 1433; for PostgreSQL its Port= or 5432 (0 for a Server that names
// the folder of a Unix socket); 0 for a string of another driver.
int ServerPort(const std::string& odbc);
// The FreeTDS string with Server=host (the instance removed) and Port=port.
std::string WithInstancePort(const std::string& odbc, int port);

// The names of the ODBC drivers registered with unixODBC (odbcinst.ini), as SQLDrivers lists
// them; empty when none is.
std::vector<std::string> RegisteredOdbcDrivers();

// The kind of a local database file, told by its first bytes.
enum class LocalDbKind { kMissing, kSqlite, kJet, kUnknown };
LocalDbKind LocalDbKindOf(const std::string& path);

// The schema of the suite's tables as SQLite, SQL Server and PostgreSQL statements, in creation
// order, and the script texts written to sql/sqlite-suite.sql, sql/sqlserver-suite.sql and
// sql/postgresql-suite.sql (which also creates the trend-data tables and their indexes).
const std::vector<std::string>& SqliteSuiteStatements();
std::string SqliteSuiteScript();
std::string SqlServerSuiteScript();
std::string PostgresSuiteScript();
// The CREATE TABLE of one suite table for PostgreSQL ("" for another name), and the statement that
// gives an empty Settings its row.
std::string PostgresSuiteTable(const std::string& table);
std::string PostgresSettingsRow();
// The suite tables and their key columns, in creation order.
std::vector<std::pair<std::string, std::string>> SuiteTableKeys();
// The columns of a suite table (its key first) as the service and the console read them.
std::vector<std::string> SuiteTableColumns(const std::string& table);
// The creation statement of a trend-data table, in SQL Server's dialect, exactly as the service
// executes it.
std::string TrendTableStatement(const std::string& table);
// The columns of every trend-data table, in their order.
std::vector<std::string> TrendTableColumns();
// The table Settings_Console of a SQLite Quorlan.mdb.
std::string SqliteSettingsConsoleTable();

// --- Sample rows in the dialect of a connection (sqlite_dialect.cc) ---

// Inserts sample rows on one open connection, in the transaction open on it: on SQLite and
// PostgreSQL with prepared INSERTs, one per trend-data table and number of rows per statement
// (kSampleRowsPerStatement, 4 or 1, the most that the rows left fill), which bind each row's
// values; on other databases (SQL Server) with
// INSERTs of literal values, up to 1000 rows each (SQL Server's most per VALUES). Rows of one
// table keep their order. REQUIRES: the connection stays open while the writer is used.
class SampleWriter {
 public:
  static constexpr int kSampleRowsPerStatement = 16;
  explicit SampleWriter(Connection& conn);
  // Throws RuntimeError as Connection::Execute; rows before the failing statement stay inserted
  // (in the open transaction).
  void Insert(std::span<const SampleRow> rows);

 private:
  PreparedStatement& Statement(int32_t interval, int rows);
  void InsertPrepared(int32_t interval, std::span<const SampleRow* const> rows);
  void InsertLiterals(int32_t interval, std::span<const SampleRow* const> rows);

  Connection& conn_;
  bool prepared_rows_;
  std::map<std::pair<int32_t, int>, std::unique_ptr<PreparedStatement>> prepared_;
};

// A stored value as the trend-data tables hold it: the pattern "0" (halves away from zero), as a
// number when it fits a bigint; nullopt otherwise (the text FormatWholeNumber writes is stored).
std::optional<int64_t> StoredWholeNumber(double value);

// The table of the spool's replay positions (a row per segment being replayed), which the
// recorder creates when it is missing, and its columns.
inline constexpr const char* kTrendSpoolStatement =
    "CREATE TABLE TrendSpool (SpoolSegment bigint NOT NULL, SpoolOffset bigint NOT NULL)";

// True when a failed call on a connection to the database named dbms (its DbmsName; empty when
// unknown) says that the database is out (locked beyond the lock wait, a file that cannot be
// read or written, a server that cannot be reached or does not answer in time, a deadlock) rather
// than refusing the statement for itself (a missing table, a value out of range). Only a
// DatabaseError carries the driver's diagnostics; any other error is a refusal.
bool DatabaseUnavailable(const RuntimeError& failure, const std::string& dbms);

}  // namespace quorlan
