// Pieces of the storage layer that its own files share and its tests reach; not for other layers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorlan {

// The statement in SQLite's dialect: "SELECT TOP (n) ..." becomes "SELECT ... LIMIT n",
// "DELETE TOP (n) FROM t [WHERE w]" deletes the first n matching rows by rowid, and the table
// list sys.tables reads sqlite_master. Other statements are returned unchanged.
std::string AdaptSqlForSqlite(const std::string& sql);

// The absolute database file of an ODBC string for the SQLite3 driver, or "" for any other
// string (other drivers, relative paths, URI file names).
std::string SqliteDatabasePath(const std::string& odbc);

// The kind of a local database file, told by its first bytes.
enum class LocalDbKind { kMissing, kSqlite, kJet, kUnknown };
LocalDbKind LocalDbKindOf(const std::string& path);

// The schema of the suite's tables as SQLite and SQL Server statements, in creation order, and
// the script texts written to sql/sqlite-suite.sql and sql/sqlserver-suite.sql.
const std::vector<std::string>& SqliteSuiteStatements();
std::string SqliteSuiteScript();
std::string SqlServerSuiteScript();
// The table Settings_Console of a SQLite Quorlan.mdb.
std::string SqliteSettingsConsoleTable();

}  // namespace quorlan
