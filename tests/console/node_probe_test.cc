// node test, node walk and report --check against a private snmpd: the node's own settings, in
// SNMPv1, SNMPv2c and SNMPv3 with authentication and privacy.
#include <gmock/gmock.h>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "console_fixture.h"
#include "support/snmp_peers.h"

namespace quorlan {
namespace {

using ::testing::HasSubstr;

constexpr const char* kGauge = "1.3.6.1.4.1.32473.2.1.0";
constexpr const char* kText = "1.3.6.1.4.1.32473.2.2.0";
constexpr const char* kMissing = "1.3.6.1.4.1.32473.9.1.0";

class NodeProbeTest : public testing::ConsoleFixture {
 protected:
  NodeProbeTest()
      : loop_(clock_), snmpd_(fmt::format(".{} gauge 40\n.{} string up\n", kGauge, kText), true) {
    Sql("INSERT INTO SecProfiles (UserName, SecurityLevel, AuthPassword, AuthProtocol, "
        "PrivPassword, PrivProtocol) VALUES ('shaaes', 2, 'authpass123', 2, 'privpass123', 2)");
    const std::string port = std::to_string(snmpd_.port());
    for (const std::vector<std::string>& add :
         {std::vector<std::string>{"--name", "lab", "--version", "2c"},
          {"--name", "lab1", "--version", "1"},
          {"--name", "lab3", "--version", "3", "--user", "shaaes"},
          {"--name", "silent", "--timeout", "1", "--port",
           std::to_string(testing::FreeUdpPort())}}) {
      std::vector<std::string> args = {"node", "add", "--address", "127.0.0.1", "--port", port};
      args.insert(args.end(), add.begin(), add.end());
      EXPECT_EQ(Run(clock_, loop_, args).status, 0);
    }
  }

  SystemClock clock_;
  EventLoop loop_;
  testing::SnmpdPeer snmpd_;
};

TEST_F(NodeProbeTest, TestPrintsEachValueAndTypeOrWhyThereIsNone) {
  testing::ConsoleRun r = Run(clock_, loop_, {"node", "test", "lab", kGauge, kMissing});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out,
              HasSubstr(fmt::format("{}  Gauge32  40\n{}  noSuchObject\n", kGauge, kMissing)));
  r = Run(clock_, loop_, {"node", "test", "lab1", kGauge, kMissing});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr(fmt::format("The device answered noSuchName for {}\n", kMissing)));
  r = Run(clock_, loop_, {"node", "test", "lab3"});  // no reports: sysDescr and sysUpTime
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("v3, time-out 5 s):\n1.3.6.1.2.1.1.1.0  OCTET STRING  "));
  EXPECT_THAT(r.out, HasSubstr("\n1.3.6.1.2.1.1.3.0  TimeTicks  "));
  r = Run(clock_, loop_, {"node", "test", "silent"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("'silent' at 127.0.0.1:"));
  EXPECT_THAT(r.err, HasSubstr("no answer within 1 s"));
}

TEST_F(NodeProbeTest, WalkListsTheSubtreeAndStopsAtItsEndInEveryVersion) {
  for (const char* node : {"lab", "lab1", "lab3"}) {
    testing::ConsoleRun r = Run(clock_, loop_, {"node", "walk", node, "1.3.6.1.4.1.32473.2"});
    EXPECT_EQ(r.status, 0) << node << r.err;
    EXPECT_EQ(r.out, fmt::format("{}  Gauge32  40\n{}  OCTET STRING  up\n2 object(s) below "
                                 "1.3.6.1.4.1.32473.2\n",
                                 kGauge, kText))
        << node;
    r = Run(clock_, loop_, {"node", "walk", node, "2.1"});  // past the agent's last object
    EXPECT_EQ(r.status, 0) << node << r.err;
    EXPECT_EQ(r.out, "0 object(s) below 2.1\n") << node;
  }
}

TEST_F(NodeProbeTest, CheckRefusesAReportWhoseObjectTheDeviceLacks) {
  const std::vector<std::string> add = {"report",     "add", "--title",  "T",    "--node", "lab",
                                        "--interval", "5",   "--object", kGauge, "--check"};
  std::vector<std::string> bad = add;
  bad.insert(bad.end(), {"--object", kMissing});
  testing::ConsoleRun r = Run(clock_, loop_, bad);
  EXPECT_EQ(r.status, console::kExitUsage);
  EXPECT_THAT(
      r.err, HasSubstr(fmt::format("--check: object 2 ({}): lab answered noSuchObject", kMissing)));
  EXPECT_TRUE(Rows("TrendReports").empty());
  ASSERT_EQ(Run(clock_, loop_, add).status, 0);
  const std::vector<std::string> before = Rows("TrendReports");
  r = Run(clock_, loop_, {"report", "set", "1", "--slot", "1", "--oid", kMissing, "--check"});
  EXPECT_EQ(r.status, console::kExitUsage);
  EXPECT_THAT(r.err, HasSubstr("lab answered noSuchObject"));
  EXPECT_EQ(Rows("TrendReports"), before);
  // Without objects named, test asks for the objects of the node's reports.
  r = Run(clock_, loop_, {"node", "test", "lab"});
  EXPECT_THAT(r.out, ::testing::EndsWith(fmt::format(":\n{}  Gauge32  40\n", kGauge)));
}

}  // namespace
}  // namespace quorlan
