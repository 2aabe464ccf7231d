// Every command checks its input before it changes anything: a wrong value is one line on
// stderr, exit status 2, and the suite database exactly as it was.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "console_fixture.h"
#include "support/ci.h"

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
    // Good rows around one bad row: nothing of the file may reach the database.
    dir_.Write("reports.csv",
               "title,node,interval,object,name,counter\r\nA,core-1,5,1.3.6.1.2.1.1.3.0,up,no\r\n"
               "B,core-1,15,1.3.6.1.2.1.2.2.1.10.1,in,yes\r\nC,core-1,2,1.3.6.1.2.1.1.3.0,,\r\n"
               "D,core-1,60,1.3.6.1.2.1.1.3.0,,\r\n");
    dir_.Write("nodes.csv", "name,address,version\nn1,10.0.0.8,2c\nn1,10.0.0.9,1\n");
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
      {{"node", "add", "--name", "n", "--address", "h", "--poll-type", "Ping"},
       "poll type 'Ping': give SnmpPoll or SnmpStatus"},
      {{"node", "set", "1", "--version", "2d"}, "version '2d': give 1, 2c or 3"},
      {{"watch", "9"}, "unknown report '9'"},
      {{"report", "import", dir_.File("reports.csv")},
       "line 4: interval 2: the service stores samples every 1, 5, 15 or 60 minutes only"},
      {{"node", "import", dir_.File("nodes.csv")}, "line 3: a node named 'n1' exists already"},
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
      {{"profile", "add", "bo\tb", "--level", "noauth"},
       "the user name holds a control character (at byte 3)"},
      {{"node", "add", "--name",
        "n\xc2\x9b"
        "2J",
        "--address", "h"},
       "name holds a control character (at byte 2)"},
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

// The usual spellings are read as the service stores them.
TEST_F(InputErrorsTest, VersionTwoCAndPollTypesInAnyCaseAreStoredAsTheServiceReadsThem) {
  const testing::ConsoleRun r =
      Run(clock_, loop_, {"node", "set", "spare", "--version", "2c", "--poll-type", "snmpstatus"});
  ASSERT_EQ(r.status, 0) << r.err;
  const testing::ConsoleRun shown = Run(clock_, loop_, {"node", "list", "2"});
  EXPECT_THAT(shown.out, ::testing::ContainsRegex("\nversion +v2c\n"));
  EXPECT_THAT(shown.out, ::testing::ContainsRegex("\npoll type +SnmpStatus\n"));
}

// Text planted in the database or the log reaches the terminal without its escape sequences.
TEST_F(InputErrorsTest, DatabaseAndLogTextIsShownWithoutControlCharacters) {
  Sql("UPDATE ATR_Nodes SET node_name = 'evil' || char(27) || ']0;owned' || char(7) WHERE "
      "node_id = 1");
  dir_.Write("Debug/T-AppEvent.txt", "2026-12-07 10:00:00.000\t3\tm_p\tx\x1b[2Jy\r\n");
  const testing::ConsoleRun list = Run(clock_, loop_, {"node", "list"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr(" evil?]0;owned? "));
  const testing::ConsoleRun status = Run(clock_, loop_, {"status", "-n", "1"});
  EXPECT_THAT(status.out, HasSubstr("m_p  x?[2Jy\n"));
  for (const std::string& text : {list.out, list.err, status.out, status.err}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  }
}

// A statement that fails names what failed and why; its text, which holds the secrets, is never
// shown.
TEST_F(InputErrorsTest, AFailedStatementWithSecretsIsNotPrinted) {
  dir_.Write("pw", "verysecret42\n");
  auto writer = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  writer->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
  writer->Execute("BEGIN IMMEDIATE");  // another writer holds the database
  for (const auto& [args, operation] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"profile", "add", "bob", "--level", "auth", "--auth-password-file", dir_.File("pw")},
            "add the profile of user 'bob' to SecProfiles: ODBC HY000 "},
           {{"profile", "set", "ops", "--level", "auth", "--auth-password-file", dir_.File("pw")},
            "change the profile of user 'ops' in SecProfiles: ODBC HY000 "},
           {{"node", "set", "2", "--community", "verysecret42"},
            "change node 2 in ATR_Nodes: ODBC HY000 "}}) {
    const testing::ConsoleRun r = Run(clock_, loop_, args);
    EXPECT_EQ(r.status, console::kExitFailure) << args[1];
    EXPECT_THAT(r.err, HasSubstr(operation));
    EXPECT_THAT(r.err, HasSubstr("database is locked"));
    EXPECT_EQ(r.err.find("verysecret42"), std::string::npos) << r.err;
  }
}

// Whoever can write Quorlan.mdb chooses the library the console loads; as root, the console
// trusts no file another user can write.
TEST_F(InputErrorsTest, ConnectionStringsThatLoadCodeAndUntrustedFilesAreRefused) {
  auto settings = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  settings->Open("Driver=SQLite3;Database=" + dir_.File("Quorlan.mdb"), kDbConnectTimeoutSeconds);
  settings->Execute(
      "UPDATE Settings_Console SET DbConnStringSql = 'Driver=/srv/x/lib.so;Database=/q.db'");
  settings->Close();
  testing::ConsoleRun r = Run(clock_, loop_, {"node", "list"});
  EXPECT_EQ(r.status, console::kExitFailure);
  EXPECT_THAT(r.err, HasSubstr("Driver=/srv/x/lib.so names a library file"));

  EXPECT_EQ(console::OthersCanWrite(dir_.File("Quorlan.ini"), getuid()), "");
  EXPECT_THAT(console::OthersCanWrite(dir_.File("Quorlan.ini"), getuid() + 1),
              HasSubstr("/Quorlan.ini belongs to "));
  chmod(dir_.File("Quorlan.ini").c_str(), 0602);
  EXPECT_EQ(console::OthersCanWrite(dir_.File("Quorlan.ini"), getuid()),
            "every user can write " + dir_.File("Quorlan.ini"));
  if (geteuid() != 0) SKIP_OR_FAIL_UNDER_CI(std::string("the console's refusal needs root"));
  r = Run(clock_, loop_, {"status"});
  EXPECT_EQ(r.status, console::kExitFailure);
  EXPECT_THAT(r.err, HasSubstr("refusing to work as root on " + dir_.path() +
                               ": every user can "
                               "write " +
                               dir_.File("Quorlan.ini")));
  chmod(dir_.File("Quorlan.ini").c_str(), 0600);
  ASSERT_EQ(chown(dir_.File("Quorlan.mdb").c_str(), 65534, 65534), 0);
  r = Run(clock_, loop_, {"upgrade", dir_.path()});
  EXPECT_EQ(r.status, console::kExitFailure);
  EXPECT_THAT(r.err, HasSubstr("/Quorlan.mdb belongs to "));
}

TEST_F(InputErrorsTest, StatusWarnsOfTheDocumentedWriteCommunity) {
  testing::ConsoleRun r = Run(clock_, loop_, {"status", "-n", "0"});
  EXPECT_EQ(r.err, "") << "init drew a write community of its own";
  dir_.Write("Quorlan.ini", "ServerPort=1625\nSnmpAgentSetComm=wexrol\n");
  r = Run(clock_, loop_, {"status", "-n", "0"});
  EXPECT_THAT(r.err, HasSubstr("Warning: the agent answers on every interface and takes the "
                               "documented default write community 'wexrol'"));
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
