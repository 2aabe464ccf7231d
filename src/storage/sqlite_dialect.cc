// The one place that knows SQL dialects: statements are written for SQL Server, the few
// T-SQL-only forms the service uses are rewritten here for SQLite and PostgreSQL, and the literals
// that the databases write differently are made here.
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <regex>

#include "components/platform/platform.h"
#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

std::string TrimStatement(std::string text) {
  while (!text.empty() &&
         (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == ';')) {
    text.pop_back();
  }
  return text;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Replaces every occurrence of the word (any case) outside string literals and quoted names.
std::string ReplaceWord(const std::string& sql, std::string_view word,
                        std::string_view replacement) {
  std::string out;
  char quote = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if ((i == 0 || !IsWordChar(sql[i - 1])) &&
               EqualsNoCase(std::string_view(sql).substr(i, word.size()), word) &&
               (i + word.size() == sql.size() || !IsWordChar(sql[i + word.size()]))) {
      out += replacement;
      i += word.size() - 1;
      continue;
    }
    out += c;
  }
  return out;
}

// True when the statement's first two words are first and second (any case).
bool BeginsWith(std::string_view text, std::string_view first, std::string_view second) {
  size_t i = text.find_first_not_of(" \t\r\n");
  if (i == std::string_view::npos || text.size() - i < first.size() ||
      !EqualsNoCase(text.substr(i, first.size()), first)) {
    return false;
  }
  i += first.size();
  if (i < text.size() && IsWordChar(text[i])) return false;
  i = text.find_first_not_of(" \t\r\n", i);
  return i != std::string_view::npos && EqualsNoCase(text.substr(i, second.size()), second) &&
         (i + second.size() == text.size() || !IsWordChar(text[i + second.size()]));
}

// How a dialect writes "DELETE TOP (n) FROM t WHERE w": {0} the table, {1} " WHERE w" or "", {2} n.
constexpr const char* kSqliteDeleteTop =
    "DELETE FROM {0} WHERE rowid IN (SELECT rowid FROM {0}{1} LIMIT {2})";
// ctid, the row's address, is stable while the statement runs; trend rows are never updated, so
// no row moves under it.
constexpr const char* kPostgresDeleteTop =
    "DELETE FROM {0} WHERE ctid = ANY (ARRAY(SELECT ctid FROM {0}{1} LIMIT {2}))";

// SELECT TOP (n) as LIMIT n and DELETE TOP (n) by the delete_top form. Only statements that begin
// with SELECT TOP or DELETE TOP meet the regular expressions, which cost more than the rest of the
// adaptation together (each sample row's INSERT is spared them).
std::string RewriteTop(const std::string& text, const char* delete_top) {
  static const std::regex kSelectTop(R"(^\s*SELECT\s+TOP\s*(?:\(\s*(\d+)\s*\)|(\d+))\s+)",
                                     std::regex::icase);
  static const std::regex kDeleteTop(
      R"(^\s*DELETE\s+TOP\s*(?:\(\s*(\d+)\s*\)|(\d+))\s+FROM\s+([A-Za-z_][\w.]*|\[[^\]]+\])(?:\s+WHERE\s+([\s\S]*))?$)",
      std::regex::icase);
  std::smatch m;
  if (BeginsWith(text, "SELECT", "TOP") && std::regex_search(text, m, kSelectTop)) {
    const std::string n = m[1].matched ? m[1].str() : m[2].str();
    return "SELECT " + m.suffix().str() + " LIMIT " + n;
  }
  if (BeginsWith(text, "DELETE", "TOP") && std::regex_match(text, m, kDeleteTop)) {
    const std::string n = m[1].matched ? m[1].str() : m[2].str();
    const std::string where = m[4].matched ? " WHERE " + m[4].str() : "";
    return fmt::format(fmt::runtime(delete_top), m[3].str(), where, n);
  }
  return text;
}

// The statement rewritten, or the statement itself when nothing changed but its end.
std::string Adapted(const std::string& sql, const std::string& rewritten) {
  return rewritten == TrimStatement(sql) ? sql : rewritten;
}

}  // namespace

std::string AdaptSqlForSqlite(const std::string& sql) {
  static constexpr const char* kSqliteTables =
      "(SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite%')";
  const std::string text = TrimStatement(ReplaceWord(sql, "sys.tables", kSqliteTables));
  return Adapted(sql, RewriteTop(text, kSqliteDeleteTop));
}

std::string AdaptSqlForPostgres(const std::string& sql) {
  // The tables that the statements' unquoted names reach: those on the search path whose name is
  // its own lower case (a name created quoted with capitals is unreachable without quotes, so it
  // does not stand for the table of that name).
  static constexpr const char* kPostgresTables =
      "(SELECT c.relname AS name FROM pg_catalog.pg_class c WHERE c.relkind IN ('r', 'p') AND "
      "pg_catalog.pg_table_is_visible(c.oid) AND c.relname = lower(c.relname)) AS sys_tables";
  std::string text = TrimStatement(ReplaceWord(sql, "sys.tables", kPostgresTables));
  // SQL Server's datetime (to the millisecond, local time without zone).
  if (BeginsWith(text, "CREATE", "TABLE")) text = ReplaceWord(text, "datetime", "timestamp(3)");
  return Adapted(sql, RewriteTop(text, kPostgresDeleteTop));
}

SqlDialect DialectOf(const Connection& conn) {
  const std::string dbms = conn.DbmsName();
  if (EqualsNoCase(dbms, "SQLite")) return SqlDialect::kSqlite;
  if (EqualsNoCase(dbms, "PostgreSQL")) return SqlDialect::kPostgres;
  return SqlDialect::kSqlServer;
}

namespace {

bool IsSqlite(const Connection& conn) { return DialectOf(conn) == SqlDialect::kSqlite; }

// A PostgreSQL escape string: backslashes are doubled as well as quotes, so the literal means the
// same whether or not the server reads backslashes in plain literals as escapes
// (standard_conforming_strings, which a role or database may turn off).
std::string PostgresText(std::string_view text) {
  std::string out = "E'";
  for (char c : text) {
    out += c;
    if (c == '\'' || c == '\\') out += c;
  }
  return out + "'";
}

}  // namespace

std::string SqlText(const Connection& conn, std::string_view text) {
  switch (DialectOf(conn)) {
    case SqlDialect::kSqlite:
      return SqlQuote(text);
    case SqlDialect::kPostgres:
      return PostgresText(text);
    case SqlDialect::kSqlServer:
      break;
  }
  return "N" + SqlQuote(text);
}

std::string SqlDate(const Connection& conn, const DateTime& date) {
  const CivilTime c = date.ToCivil();
  return DialectOf(conn) != SqlDialect::kSqlServer
             ? fmt::format("'{:04}-{:02}-{:02}'", c.year, c.month, c.day)
             : fmt::format("'{:04}{:02}{:02}'", c.year, c.month, c.day);
}

std::string SqlDateTime(const Connection& conn, const DateTime& time) {
  const CivilTime c = time.ToCivil();
  return fmt::format("'{:04}-{:02}-{:02}{}{:02}:{:02}:{:02}'", c.year, c.month, c.day,
                     DialectOf(conn) != SqlDialect::kSqlServer ? ' ' : 'T', c.hour, c.minute,
                     c.second);
}

std::string TrendIndexName(const std::string& table) { return table + "_ReportId_Time"; }

std::string TrendIndexStatement(const Connection& conn, const std::string& table) {
  return TrendIndexStatement(DialectOf(conn), table);
}

std::string TrendIndexStatement(SqlDialect dialect, const std::string& table) {
  if (dialect == SqlDialect::kSqlServer) return "";
  return fmt::format("CREATE INDEX IF NOT EXISTS {} ON {} (ReportId, Time)", TrendIndexName(table),
                     table);
}

int64_t InsertReturningKey(Connection& conn, const std::string& table, const std::string& key,
                           const std::vector<std::pair<std::string, std::string>>& columns) {
  std::string names;
  std::string values;
  for (const auto& [name, literal] : columns) {
    names += (names.empty() ? "" : ", ") + name;
    values += (values.empty() ? "" : ", ") + literal;
  }
  // SQLite's ODBC driver returns no rows for INSERT ... RETURNING; the connection's own
  // last_insert_rowid() is the key of an INTEGER PRIMARY KEY table.
  if (IsSqlite(conn)) {
    conn.Execute(fmt::format("INSERT INTO {} ({}) VALUES ({})", table, names, values));
  }
  const char* form = "INSERT INTO {0} ({1}) OUTPUT INSERTED.{2} VALUES ({3})";
  if (DialectOf(conn) == SqlDialect::kPostgres)
    form = "INSERT INTO {0} ({1}) VALUES ({3}) RETURNING {2}";
  std::unique_ptr<Recordset> rows =
      IsSqlite(conn) ? conn.Execute("SELECT last_insert_rowid()")
                     : conn.Execute(fmt::format(fmt::runtime(form), table, names, key, values));
  if (rows == nullptr || rows->Eof()) {
    throw RuntimeError(err::kDatabase, "insert into " + table + ": no " + key + " came back");
  }
  const int64_t id = rows->Field(0).AsInt32();
  rows->Close();
  return id;
}

// --- Sample rows ---

std::string TrendDataTable(int32_t poll_interval) {
  if (poll_interval % 60 == 0) return "TrendData" + std::to_string(poll_interval / 60);
  return fmt::format("TrendData{}", poll_interval / 60.0);
}

std::optional<int64_t> StoredWholeNumber(double value) {
  const double r = std::round(value);  // halves away from zero, as FormatWholeNumber
  // Both bounds are exact doubles: -2^63 fits, 2^63 does not.
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return std::nullopt;
  return static_cast<int64_t>(r);
}

SampleWriter::SampleWriter(Connection& conn)
    : conn_(conn), prepared_rows_(DialectOf(conn) != SqlDialect::kSqlServer) {}

void SampleWriter::Insert(std::span<const SampleRow> rows) {
  // Grouped by table, each group in the order of the rows.
  std::map<int32_t, std::vector<const SampleRow*>> tables;
  for (const SampleRow& row : rows) tables[row.PollInterval].push_back(&row);
  for (const auto& [interval, group] : tables) {
    if (prepared_rows_) {
      InsertPrepared(interval, group);
    } else {
      InsertLiterals(interval, group);
    }
  }
}

PreparedStatement& SampleWriter::Statement(int32_t interval, int rows) {
  std::unique_ptr<PreparedStatement>& statement = prepared_[{interval, rows}];
  if (!statement) {
    std::string sql = "INSERT INTO " + TrendDataTable(interval) + " VALUES ";
    for (int i = 0; i < rows; ++i) sql += i == 0 ? "(?,?,?,?,?,?,?,?)" : ",(?,?,?,?,?,?,?,?)";
    statement = conn_.Prepare(sql);
  }
  return *statement;
}

void SampleWriter::InsertPrepared(int32_t interval, std::span<const SampleRow* const> rows) {
  // SQLite's driver compiles a prepared statement again at every execution, and each execution
  // on PostgreSQL is a round trip to the server, so rows go a statement of several at a time
  // where there are enough of them: 16, then 4, then 1.
  while (!rows.empty()) {
    int n = kSampleRowsPerStatement;
    while (static_cast<size_t>(n) > rows.size()) n /= 4;
    PreparedStatement& statement = Statement(interval, n);
    for (int i = 0; i < n; ++i) {
      const SampleRow& row = *rows[static_cast<size_t>(i)];
      const int first = 8 * i;
      statement.SetInt(first, row.ReportId);
      statement.SetText(first + 1, row.Time.FormatDateTime());
      for (int k = 0; k < 6; ++k) {
        const double v = row.Values[static_cast<size_t>(k)];
        if (const std::optional<int64_t> whole = StoredWholeNumber(v)) {
          statement.SetInt(first + 2 + k, *whole);
        } else {
          statement.SetText(first + 2 + k, FormatWholeNumber(v));
        }
      }
    }
    statement.Execute();
    rows = rows.subspan(static_cast<size_t>(n));
  }
}

void SampleWriter::InsertLiterals(int32_t interval, std::span<const SampleRow* const> rows) {
  constexpr size_t kMostRows = 1000;  // SQL Server's limit of rows in one VALUES
  while (!rows.empty()) {
    const size_t n = std::min(kMostRows, rows.size());
    std::string sql = "INSERT INTO " + TrendDataTable(interval) + " VALUES ";
    for (size_t i = 0; i < n; ++i) {
      const SampleRow& row = *rows[i];
      sql +=
          fmt::format("{}('{}',{}", i == 0 ? "" : ",", row.ReportId, SqlDateTime(conn_, row.Time));
      for (double v : row.Values) sql += ",'" + FormatWholeNumber(v) + "'";
      sql += ")";
    }
    conn_.Execute(sql);
    rows = rows.subspan(n);
  }
}

bool DatabaseUnavailable(const RuntimeError& failure, const std::string& dbms) {
  const auto* driver = dynamic_cast<const DatabaseError*>(&failure);
  if (driver == nullptr) return false;
  const bool sqlite = EqualsNoCase(dbms, "SQLite");
  const bool postgres = EqualsNoCase(dbms, "PostgreSQL");
  for (const DbError& e : driver->diagnostics()) {
    const std::string& state = e.SqlState;
    // Connection failures, time-outs, a cancelled statement, a deadlock's victim.
    if (state.starts_with("08") || state == "HYT00" || state == "HYT01" || state == "HY008" ||
        state == "40001") {
      return true;
    }
    if (sqlite) {
      // SQLite's result codes (the extended ones carry the primary code in their low byte):
      // BUSY, LOCKED, NOMEM, READONLY, IOERR, CORRUPT, FULL, CANTOPEN, PROTOCOL, NOTADB.
      static constexpr int kOut[] = {5, 6, 7, 8, 10, 11, 13, 14, 15, 26};
      const int code = e.NativeError & 0xff;
      if (std::find(std::begin(kOut), std::end(kOut), code) != std::end(kOut)) return true;
    } else if (postgres) {
      // The server shutting down, restarting or not yet accepting connections (57P01-57P03), a
      // statement cancelled by its time-out (57014), out of resources such as disk or memory
      // (53), a deadlock's victim (40P01), a failed read or write of the server's files (58).
      if (state.starts_with("57") || state.starts_with("53") || state.starts_with("58") ||
          state == "40P01") {
        return true;
      }
    } else if (e.NativeError >= 20000 && e.NativeError < 21000) {
      return true;  // FreeTDS's own errors: the network, the login, the connection
    }
  }
  return false;
}

}  // namespace quorlan
