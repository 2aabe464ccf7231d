// The schema of the suite tables the service reads, as one list of column definitions from which
// the SQLite statements (the embedded default), the SQL Server script and the PostgreSQL
// statements are made. The files sql/sqlite-suite.sql, sql/sqlserver-suite.sql and
// sql/postgresql-suite.sql hold the same text; a test keeps them equal.
#include <fmt/format.h>

#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

struct Table {
  std::string name;
  std::string key;                   // the identity column
  std::vector<std::string> columns;  // "name type NOT NULL DEFAULT ..." in both dialects
};

std::vector<std::string> NumberedColumns(const std::string& stem, const std::string& definition) {
  std::vector<std::string> out;
  for (int k = 1; k <= 6; ++k) out.push_back(fmt::format("{}{} {}", stem, k, definition));
  return out;
}

std::vector<Table> SuiteTables() {
  std::vector<Table> tables;
  tables.push_back({"Settings", "Id", {"DebugMode bit NOT NULL DEFAULT 0"}});
  tables.push_back(
      {"ATR_Nodes",
       "node_id",
       {"node_name nvarchar(100) NOT NULL DEFAULT ''", "address varchar(50) NOT NULL DEFAULT ''",
        "UdpPort int NOT NULL DEFAULT 161", "image bit NOT NULL DEFAULT 0",
        "SnmpVersion smallint NOT NULL DEFAULT 1", "PollTimeOut smallint NOT NULL DEFAULT 5",
        "PollRetries smallint NOT NULL DEFAULT 2",
        "PollType varchar(20) NOT NULL DEFAULT 'SnmpPoll'",
        "readcomm varchar(50) NOT NULL DEFAULT 'public'",
        "trapcomm varchar(50) NOT NULL DEFAULT 'public'",
        "StreetAddress nvarchar(100) NOT NULL DEFAULT ''", "TrendReports bit NOT NULL DEFAULT 0"}});
  Table reports{
      "TrendReports",
      "ReportId",
      {"ReportTitle nvarchar(100) NOT NULL DEFAULT ''", "NodeId int NOT NULL",
       "NodeName nvarchar(100) NOT NULL DEFAULT ''", "PollInterval int NOT NULL DEFAULT 5"}};
  for (const auto& group : {NumberedColumns("ObjId", "varchar(255) NOT NULL DEFAULT ''"),
                            NumberedColumns("ObjName", "nvarchar(100) NOT NULL DEFAULT ''"),
                            NumberedColumns("ObjType", "smallint NOT NULL DEFAULT 0"),
                            NumberedColumns("ObjEval", "nvarchar(255) NOT NULL DEFAULT ''"),
                            NumberedColumns("TriggerAlarm", "bit NOT NULL DEFAULT 0"),
                            NumberedColumns("TriggerExpr", "varchar(10) NOT NULL DEFAULT ''"),
                            NumberedColumns("TriggerValue", "varchar(50) NOT NULL DEFAULT ''")}) {
    reports.columns.insert(reports.columns.end(), group.begin(), group.end());
  }
  reports.columns.push_back("DbChanged char(1) NOT NULL DEFAULT '1'");
  tables.push_back(reports);
  tables.push_back({"SecProfiles",
                    "Id",
                    {"Enabled bit NULL DEFAULT 1", "UserName nvarchar(50) NOT NULL",
                     "SecurityLevel smallint NOT NULL DEFAULT 0",
                     "AuthPassword nvarchar(100) NOT NULL DEFAULT ''",
                     "AuthProtocol smallint NOT NULL DEFAULT 0",
                     "PrivPassword nvarchar(100) NOT NULL DEFAULT ''",
                     "PrivProtocol smallint NOT NULL DEFAULT 0"}});
  return tables;
}

std::string Create(const Table& t, const std::string& key_definition, const std::string& indent) {
  std::string text = "CREATE TABLE " + t.name + " (\n" + indent + t.key + " " + key_definition;
  for (const std::string& column : t.columns) text += ",\n" + indent + column;
  return text + "\n)";
}

constexpr const char* kSettingsRow = "INSERT INTO Settings (Id, DebugMode) VALUES (1, 0)";
// Without an explicit id, which would leave the identity's sequence behind.
constexpr const char* kPostgresSettingsRow = "INSERT INTO Settings (DebugMode) VALUES (0)";

// A column definition with PostgreSQL's types: its bit is a bit string, so flags are smallint
// (which takes 1, '1' and 0 as written and reads back "1"/"0"); varchar holds any text of a UTF8
// database.
std::string PostgresColumn(const std::string& definition) {
  const size_t type = definition.find(' ') + 1;
  if (definition.compare(type, 4, "bit ") == 0) {
    return definition.substr(0, type) + "smallint" + definition.substr(type + 3);
  }
  if (definition.compare(type, 9, "nvarchar(") == 0)
    return definition.substr(0, type) + definition.substr(type + 1);
  return definition;
}

}  // namespace

const std::vector<std::string>& SqliteSuiteStatements() {
  static const std::vector<std::string> statements = [] {
    std::vector<std::string> out;
    // AUTOINCREMENT: an id is never given again, as with SQL Server's IDENTITY, so that a
    // report id that the running service still holds for a deleted report never names a new one.
    for (const Table& t : SuiteTables()) {
      out.push_back(Create(t, "INTEGER PRIMARY KEY AUTOINCREMENT", "  "));
    }
    out.push_back(kSettingsRow);
    return out;
  }();
  return statements;
}

std::string SqliteSuiteScript() {
  std::string text =
      "-- Suite tables read by quorlan-trend, for the embedded SQLite database.\n"
      "-- quorlan-trendctl init creates them; the service creates TrendData1/5/15/60 itself.\n\n";
  for (const std::string& statement : SqliteSuiteStatements()) text += statement + ";\n\n";
  return text;
}

std::string SqlServerSuiteScript() {
  std::string text =
      "-- Suite tables read by quorlan-trend, for SQL Server (run with sqlcmd in the suite's\n"
      "-- database). The service creates TrendData1/5/15/60 itself at start.\n\n";
  for (const Table& t : SuiteTables()) {
    text += Create(t, "int IDENTITY(1,1) NOT NULL PRIMARY KEY", "    ") + "\nGO\n\n";
  }
  text += "SET IDENTITY_INSERT Settings ON\nGO\n";
  text += std::string(kSettingsRow) + "\nGO\n";
  text += "SET IDENTITY_INSERT Settings OFF\nGO\n";
  return text;
}

std::string PostgresSuiteTable(const std::string& table) {
  for (Table t : SuiteTables()) {
    if (!EqualsNoCase(t.name, table)) continue;
    for (std::string& column : t.columns) column = PostgresColumn(column);
    // An identity column needs no grant on a sequence for the roles that insert.
    return Create(t, "int GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY", "  ");
  }
  return "";
}

std::string PostgresSettingsRow() { return kPostgresSettingsRow; }

std::string PostgresSuiteScript() {
  std::string text =
      "-- Suite tables of quorlan-trend for PostgreSQL, with the trend-data tables and their\n"
      "-- indexes, so that the service's role needs no right to create tables. Run it as the\n"
      "-- tables' owner: psql -d quorlan -v ON_ERROR_STOP=1 -1 -f postgresql-suite.sql\n"
      "-- (quorlan-trendctl init --database ... creates whichever of them is missing).\n\n";
  for (const auto& [table, key] : SuiteTableKeys()) text += PostgresSuiteTable(table) + ";\n\n";
  text += std::string(kPostgresSettingsRow) + ";\n\n";
  for (const char* table : kTrendDataTables) {
    text += AdaptSqlForPostgres(TrendTableStatement(table)) + ";\n";
    text += TrendIndexStatement(SqlDialect::kPostgres, table) + ";\n\n";
  }
  return text + kTrendSpoolStatement + ";\n";
}

std::vector<std::pair<std::string, std::string>> SuiteTableKeys() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const Table& t : SuiteTables()) out.emplace_back(t.name, t.key);
  return out;
}

std::vector<std::string> SuiteTableColumns(const std::string& table) {
  for (const Table& t : SuiteTables()) {
    if (!EqualsNoCase(t.name, table)) continue;
    std::vector<std::string> out = {t.key};
    for (const std::string& column : t.columns) out.push_back(column.substr(0, column.find(' ')));
    return out;
  }
  return {};
}

std::string SqliteSettingsConsoleTable() {
  return "CREATE TABLE Settings_Console (\n"
         "  Id INTEGER PRIMARY KEY,\n"
         "  ConsoleName varchar(50) NOT NULL DEFAULT '',\n"
         "  SqlDbSetupOk bit NOT NULL DEFAULT 0,\n"
         "  DbConnStringSql varchar(1000) NULL\n"
         ")";
}

}  // namespace quorlan
