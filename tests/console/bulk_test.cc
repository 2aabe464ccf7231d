// Bulk work for scripts: node and report import of CSV files, report export, and --json.
#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "console/internal.h"
#include "console_fixture.h"
#include "support/process.h"

namespace quorlan {
namespace {

class BulkTest : public testing::ConsoleFixture {
 protected:
  BulkTest() : loop_(clock_) {}
  nlohmann::json Json(const std::vector<std::string>& args) {
    const testing::ConsoleRun r = Run(clock_, loop_, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return nlohmann::json::parse(r.out);
  }

  SystemClock clock_;
  EventLoop loop_;
};

// Nodes (from a spreadsheet, with a byte order mark), then their reports, from files; the export of
// the reports imports as the same reports.
TEST_F(BulkTest, ImportedFilesAddEveryRowAndTheExportReadsBack) {
  dir_.Write("nodes.csv",
             "\xEF\xBB\xBFname,address,port,version,poll-type\r\ncore-1,10.0.0.1,,2c,\r\n"
             "\"edge, north\",edge-n.example,1161,1,SnmpStatus\r\n");
  testing::ConsoleRun r = Run(clock_, loop_, {"node", "import", dir_.File("nodes.csv")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Added 2 node(s), ids 1 to 2\n");
  const nlohmann::json nodes = Json({"node", "list", "--json"});
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[1]["name"], "edge, north");
  EXPECT_EQ(nodes[1]["port"], 1161);
  EXPECT_EQ(nodes[1]["version"], "v1");
  EXPECT_EQ(nodes[1]["poll_type"], "SnmpStatus");
  EXPECT_EQ(nodes[0]["port"], 161);

  dir_.Write("reports.csv",
             "title,node,interval,object,name,counter,eval,trigger,object,name\n"
             "Uplink,core-1,5,1.3.6.1.2.1.2.2.1.10.1,In,yes,$value*8/$time,>1.5K,"
             "1.3.6.1.2.1.2.2.1.16.1,Out\n"
             "\"Uptime, edge\",2,60,1.3.6.1.2.1.1.3.0,,,,,,\n");
  r = Run(clock_, loop_, {"report", "import", dir_.File("reports.csv")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, ::testing::StartsWith("Added 2 report(s), ids 1 to 2\n"));
  const nlohmann::json reports = Json({"report", "list", "--json"});
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0]["objects"][0]["kind"], "counter");
  EXPECT_EQ(reports[0]["objects"][0]["trigger"]["threshold"], "1.5K");
  EXPECT_EQ(reports[0]["objects"][1]["name"], "Out");
  EXPECT_EQ(reports[1]["title"], "Uptime, edge");
  EXPECT_EQ(reports[1]["node"], "edge, north");

  const testing::ConsoleRun exported = Run(clock_, loop_, {"report", "export"});
  ASSERT_EQ(exported.status, 0) << exported.err;
  dir_.Write("again.csv", exported.out);
  ASSERT_EQ(Run(clock_, loop_, {"report", "import", dir_.File("again.csv")}).status, 0);
  nlohmann::json twice = Json({"report", "list", "--json"});
  ASSERT_EQ(twice.size(), 4u);
  for (size_t i = 0; i < 2; ++i) {
    twice[i + 2]["id"] = reports[i]["id"];
    EXPECT_EQ(twice[i + 2], reports[i]) << i;
  }

  // The installed bash completion offers the actions and the installation's node ids.
  const std::string bin = testing::BuiltExecutable("quorlan-trendctl");
  const testing::ProcessResult completion = testing::RunCommand(
      dir_.path(),
      fmt::format(
          "PATH='{}':\"$PATH\" bash -c 'source {}/packaging/quorlan-trendctl.bash-completion; "
          "t() {{ COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _quorlan_trendctl; echo "
          "\"${{COMPREPLY[*]}}\"; }}; t quorlan-trendctl node \"\"; t quorlan-trendctl -d {} "
          "node test \"\"'",
          bin.substr(0, bin.rfind('/')), QUORLAN_SOURCE_DIR, dir_.path()));
  EXPECT_EQ(completion.out, "list add set remove import test walk --help\n1 2\n") << completion.err;
}

}  // namespace
}  // namespace quorlan
