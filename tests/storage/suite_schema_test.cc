// The schema scripts in sql/ are the text the code creates installations from.
// To regenerate them after changing the schema: QUORLAN_UPDATE_SQL=1 storage_tests
//   --gtest_filter='SuiteSchemaTest.*'
#include <cstdlib>

#include "components/platform/platform.h"
#include "storage/internal.h"
#include "storage_fixture.h"

namespace quorlan {
namespace {

void ExpectFileHolds(const std::string& name, const std::string& text) {
  const std::string path = std::string(QUORLAN_SOURCE_DIR) + "/sql/" + name;
  if (std::getenv("QUORLAN_UPDATE_SQL") != nullptr) WriteNewFile(path, text);
  ASSERT_TRUE(FileExists(path)) << path;
  std::string content;
  for (const std::string& line : ReadLines(path)) content += line + "\n";
  EXPECT_EQ(content, text) << path << " differs from the schema in the code; regenerate it";
}

TEST(SuiteSchemaTest, ScriptsMatchTheCode) {
  ExpectFileHolds("sqlite-suite.sql", SqliteSuiteScript());
  ExpectFileHolds("sqlserver-suite.sql", SqlServerSuiteScript());
  ExpectFileHolds("postgresql-suite.sql", PostgresSuiteScript());
}

using SuiteSchemaSqliteTest = testing::StorageTest;

TEST_F(SuiteSchemaSqliteTest, TheSqliteScriptRunsStatementByStatement) {
  Exec(SqliteSuiteStatements());
  EXPECT_EQ(Count("SELECT COUNT(*) FROM Settings"), 1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                  "'sqlite%'"),
            4);
}

TEST_F(SuiteSchemaSqliteTest, TheIdOfADeletedLastRowIsNeverGivenAgain) {
  Exec(SqliteSuiteStatements());
  Exec({"INSERT INTO ATR_Nodes (node_name) VALUES ('a'), ('b')",
        "INSERT INTO TrendReports (NodeId) VALUES (1), (1)",
        "DELETE FROM ATR_Nodes WHERE node_id = 2", "DELETE FROM TrendReports WHERE ReportId = 2",
        "INSERT INTO ATR_Nodes (node_name) VALUES ('c')",
        "INSERT INTO TrendReports (NodeId) VALUES (3)"});
  EXPECT_EQ(Count("SELECT node_id FROM ATR_Nodes WHERE node_name = 'c'"), 3);
  EXPECT_EQ(Count("SELECT ReportId FROM TrendReports WHERE NodeId = 3"), 3);
}

}  // namespace
}  // namespace quorlan
