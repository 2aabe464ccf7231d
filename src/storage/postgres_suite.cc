// A suite database on PostgreSQL: its tables checked, the missing ones created and the trend-data
// tables indexed, for quorlan-trendctl init and upgrade.
#include <fmt/format.h>

#include <algorithm>

#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

// A table the suite database needs: the columns read from it and the statements that create it.
struct NeededTable {
  std::string name;
  std::vector<std::string> columns;
  std::vector<std::string> create;
  bool trend_data = false;
};

std::vector<NeededTable> NeededTables() {
  std::vector<NeededTable> out;
  for (const auto& [table, key] : SuiteTableKeys()) {
    out.push_back({table, SuiteTableColumns(table), {PostgresSuiteTable(table)}});
  }
  for (const char* table : kTrendDataTables) {
    out.push_back({table,
                   TrendTableColumns(),
                   {TrendTableStatement(table), TrendIndexStatement(SqlDialect::kPostgres, table)},
                   true});
  }
  // The spool's replay positions, so that the service's role needs no right to create tables.
  out.push_back({"TrendSpool", {"SpoolSegment", "SpoolOffset"}, {kTrendSpoolStatement}});
  return out;
}

// The tables that the statements' names reach (on PostgreSQL the names are lower case).
std::vector<std::string> TablesPresent(Connection& conn) {
  std::vector<std::string> out;
  for (auto rows = ExecuteQuery(conn, "SELECT name from sys.tables"); !rows->Eof();
       rows->MoveNext()) {
    out.push_back(rows->Field(0).AsString());
  }
  return out;
}

bool Present(const std::vector<std::string>& present, const std::string& table) {
  return std::any_of(present.begin(), present.end(),
                     [&table](const std::string& p) { return EqualsNoCase(p, table); });
}

// The columns of needed that the table lacks, joined by ", "; "" when it has them all.
std::string MissingColumns(Connection& conn, const NeededTable& needed) {
  auto rows = ExecuteQuery(conn, "SELECT * FROM " + needed.name + " WHERE 1 = 0");
  std::string missing;
  for (const std::string& column : needed.columns) {
    bool found = false;
    for (int i = 0; i < rows->FieldCount() && !found; ++i) {
      found = EqualsNoCase(rows->FieldName(i), column);
    }
    if (!found) missing += (missing.empty() ? "" : ", ") + column;
  }
  return missing;
}

int64_t Count(Connection& conn, const std::string& query) {
  return std::stoll(ExecuteQuery(conn, query)->Field(0).AsString());
}

// True when the index of a trend-data table exists where the table's name would find it.
bool Indexed(Connection& conn, const std::string& table) {
  // to_regclass reads the name as a statement would: unquoted, so folded to lower case.
  return Count(conn, "SELECT COUNT(to_regclass(" + SqlQuote(TrendIndexName(table)) + "))") > 0;
}

// Creates what is missing, indexes what lacks its index.
PostgresSuiteReport CreateMissing(Connection& conn, const std::vector<NeededTable>& tables,
                                  const std::vector<std::string>& present) {
  PostgresSuiteReport report;
  for (const NeededTable& t : tables) {
    if (!Present(present, t.name)) {
      for (const std::string& sql : t.create) conn.Execute(sql);
      report.changes.push_back(fmt::format("created table {}", t.name));
    } else if (t.trend_data && !Indexed(conn, t.name)) {
      conn.Execute(TrendIndexStatement(SqlDialect::kPostgres, t.name));
      report.changes.push_back(fmt::format("table {} indexed by report and time", t.name));
    } else {
      report.kept.push_back(t.name);
    }
  }
  if (Count(conn, "SELECT COUNT(*) FROM Settings") == 0) {
    conn.Execute(PostgresSettingsRow());
    report.changes.push_back("Settings: added its row (DebugMode 0)");
  }
  return report;
}

}  // namespace

PostgresSuiteReport PreparePostgresSuite(const std::string& database) {
  std::unique_ptr<Connection> conn = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  conn->Open(database, kDbConnectTimeoutSeconds);
  if (DialectOf(*conn) != SqlDialect::kPostgres) {
    throw RuntimeError(err::kDatabase, fmt::format("'{}' reaches {}, not PostgreSQL",
                                                   MaskPasswords(database), conn->DbmsName()));
  }
  const std::vector<NeededTable> tables = NeededTables();
  const std::vector<std::string> present = TablesPresent(*conn);
  std::string faults;
  for (const NeededTable& t : tables) {
    if (!Present(present, t.name)) continue;
    const std::string missing = MissingColumns(*conn, t);
    if (!missing.empty())
      faults += fmt::format("{}table {} lacks {}", faults.empty() ? "" : "; ", t.name, missing);
  }
  if (!faults.empty()) {
    throw RuntimeError(err::kDatabase,
                       "the suite database holds tables that the service cannot "
                       "use (" +
                           faults + "); nothing was changed");
  }
  // One transaction: a failure (say, no right to create tables) leaves the database as it was.
  conn->Execute("BEGIN TRANSACTION");
  try {
    PostgresSuiteReport report = CreateMissing(*conn, tables, present);
    conn->Execute("COMMIT TRANSACTION");
    conn->Close();
    return report;
  } catch (const RuntimeError& e) {
    try {
      conn->Execute("ROLLBACK TRANSACTION");
    } catch (const RuntimeError&) {
    }  // the failure that matters is e
    throw RuntimeError(err::kDatabase,
                       "prepare the suite database: " + e.description() + "; nothing was changed");
  }
}

}  // namespace quorlan
