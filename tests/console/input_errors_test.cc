// Every command checks its input before it changes anything: a wrong value is one line on
// stderr, exit status 2, and the suite database exactly as it was.
#include <gmock/gmock.h>

#include "components/platform/platform.h"
#include "console_fixture.h"

namespace quorlan {
namespace {

using ::testing::HasSubstr;

struct BadInput {
  std::vector<std::string> args;
  std::string message;
};

class InputErrorsTest : public testing::ConsoleFixture {
 protected:
  InputErrorsTest() : loop_(clock_) {
    Sql("INSERT INTO ATR_Nodes (node_name, address, TrendReports) VALUES ('core-1', '10.0.0.1', "
        "1)");
    Sql("INSERT INTO ATR_Nodes (node_name, address, TrendReports) VALUES ('spare', '10.0.0.2', 0)");
    Sql("INSERT INTO TrendReports (ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
        "DbChanged) VALUES ('Uplink', 1, 'core-1', 5, '1.3.6.1.2.1.1.3.0', '0')");
    Sql("INSERT INTO SecProfiles (UserName, SecurityLevel) VALUES ('ops', 0)");
    dir_.Write("pw-short", "short\n");
  }
  std::vector<std::string> Database() {
    std::vector<std::string> all;
    for (const char* t : {"ATR_Nodes", "TrendReports", "SecProfiles", "Settings"}) {
      for (const std::string& row : Rows(t)) all.push_back(std::string(t) + ": " + row);
    }
    return all;
  }

  SystemClock clock_;
  EventLoop loop_;
};

TEST_F(InputErrorsTest, EachWrongInputIsOneLineWithStatusTwoAndChangesNothing) {
  const std::string seven = "--object=1.3.6.1.2.1.1.3.0";
  const std::vector<BadInput> cases = {
      {{"report", "add", "--title", "T", "--node", "nosuch", "--interval", "5", seven},
       "unknown node 'nosuch'"},
      {{"report", "add", "--title", "T", "--node", "spare", "--interval", "5", seven},
       "node 2 does not take part in trend reporting"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "2", seven},
       "interval 2: the service stores samples every 1, 5, 15 or 60 minutes only"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "five", seven},
       "interval 'five' is not a whole number"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "5", "--object", "1.3.x"},
       "object 1: '1.3.x' is not an OID"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "5", seven, seven, seven,
        seven, seven, seven, seven},
       "a report has at most six objects"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "5", seven, "--trigger",
        "=>5"},
       "unknown operator '=>'"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "5", seven, "--trigger",
        ">5X"},
       "threshold '5X' is not a number"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "5", seven, "--eval",
        "$value*"},
       "expression '$value*'"},
      {{"report", "add", "--title", "T", "--node", "1", "--interval", "5", "--name", "x"},
       "--name must follow the --object it belongs to"},
      {{"report", "add", "--node", "1", "--interval", "5", seven}, "the report needs a --title"},
      {{"report", "set", "9", "--title", "x"}, "unknown report '9'"},
      {{"report", "set", "1", "--slot", "2", "--name", "x"}, "object 2 is out of range 1..1"},
      {{"report", "set", "1", "--drop", "1"}, "the report needs at least one --object"},
      {{"report", "remove", "1", "--force"}, "report remove: unknown option --force"},
      {{"report", "add", "--colour", "red"}, "unknown option --colour"},
      {{"node", "add", "--name", "core-1", "--address", "10.0.0.9"},
       "a node named 'core-1' exists already"},
      {{"node", "add", "--name", "n", "--address", "10.0.0.9", "--port", "70000"},
       "port 70000 is out of range 1..65535"},
      {{"node", "add", "--name", "n", "--address", "a b"}, "neither an IPv4 address nor a host"},
      {{"node", "add", "--name", "n", "--address", "h", "--version", "3", "--user", "bob"},
       "SNMPv3 needs --user naming an enabled security profile"},
      {{"node", "set", "1", "--trend", "no"}, "the service deletes the reports of a node"},
      {{"node", "remove", "1"}, "node 1 has reports (1)"},
      {{"profile", "add", "bob", "--level", "auth", "--auth-password", "secret12"},
       "passwords are never taken from the command line"},
      {{"profile", "add", "bob", "--level", "auth"}, "no terminal to ask"},
      {{"profile", "add", "bob", "--level", "auth", "--auth-password-file",
        dir_.File("no-such-file")},
       "authentication password: "},
      {{"profile", "add", "bob", "--level", "auth", "--auth-password-file", dir_.File("pw-short")},
       "authentication password must have 8 to 100 characters"},
      {{"profile", "add", "OPS", "--level", "noauth"}, "a profile for user 'OPS' exists already"},
      {{"profile", "add", "bob", "--level", "secret"}, "level 'secret': give one of"},
      {{"profile", "remove", "nobody"}, "unknown profile 'nobody'"},
      {{"show", "1", "--since", "yesterday"}, "--since 'yesterday' is not a time"},
      {{"show", "1", "--since", "2026-12-08", "--until", "2026-12-07"},
       "--since is later than --until"},
      {{"export", "1"}, "export: give the format: --csv"},
      {{"plot", "1", "-o", "x.gif"}, "the file name must end in .png or .svg"},
      {{"reset-node", "77"}, "unknown node '77'"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
  };
  const std::vector<std::string> before = Database();
  ASSERT_EQ(before.size(), 5u);
  for (const BadInput& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    const testing::ConsoleRun r = Run(clock_, loop_, c.args);
    EXPECT_EQ(r.status, console::kExitUsage) << line << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.message)) << line;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line << r.err;
    EXPECT_EQ(Database(), before) << line;
  }
}

TEST_F(InputErrorsTest, EveryCommandHasHelp) {
  for (const char* command : {"init", "upgrade", "node", "report", "profile", "status", "pause",
                              "resume", "reset-node", "show", "export", "plot", "watch"}) {
    const testing::ConsoleRun r = Run(clock_, loop_, {command, "--help"});
    EXPECT_EQ(r.status, 0) << command << r.err;
    EXPECT_THAT(r.out, HasSubstr(std::string("Usage: quorlan-trendctl"))) << command;
  }
}

}  // namespace
}  // namespace quorlan
