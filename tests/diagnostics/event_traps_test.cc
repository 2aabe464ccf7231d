// Application events as SNMPv1 traps, received by a real snmptrapd.
#include <gtest/gtest.h>

#include "components/snmp/snmp.h"
#include "diagnostics/diagnostics.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::SnmptrapdPeer;
using testing::TempDir;

class EventTrapsTest : public ::testing::Test {
 protected:
  EventTrapsTest() : loop_(clock_), agent_(loop_) {
    dir_.MakeDir("Debug");
    agent_.SetLocalPort(testing::FreeUdpPort());
    agent_.Config("TrapPort=" + std::to_string(trapd_.port()));
    rt_.EventTraps = &traps_;
  }
  // The variables of a trap line, one "oid = TYPE: value" each.
  static std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
      out.push_back(line.substr(from, tab - from));
    }
    out.push_back(line.substr(from));
    return out;
  }

  SnmptrapdPeer trapd_;
  TempDir dir_;
  SystemClock clock_;
  EventLoop loop_;
  Runtime rt_{dir_.path(), clock_, loop_};
  SnmpAgent agent_;
  AgentEventTraps traps_{rt_, agent_};
};

TEST_F(EventTrapsTest, EventGoesOutWithItsSixVariables) {
  rt_.Ini.ServerIpAddr = "192.0.2.10";
  agent_.SetActive(true);
  AppEvent(rt_, kModShared, "DelTrendData", "0 rows", kEventInfo);
  const auto traps = trapd_.WaitForTraps(&loop_, 1);
  ASSERT_EQ(traps.size(), 1u) << trapd_.Log();
  const auto f = Fields(traps[0]);
  ASSERT_EQ(f.size(), 13u) << traps[0];
  EXPECT_EQ(f[0], "V1");
  EXPECT_EQ(f[1], "192.0.2.10");
  EXPECT_EQ(f[2], "public");
  EXPECT_EQ(f[3], ".1.3.6.1.4.1.32473.2.1.2");
  EXPECT_EQ(f[4], "6");
  EXPECT_EQ(f[5], ".1");
  EXPECT_EQ(f[7], ".1.3.6.1.4.1.32473.2.1.1.1.0 = STRING: \"192.0.2.10\"");
  EXPECT_EQ(f[8], ".1.3.6.1.4.1.32473.2.1.1.2.0 = STRING: \"Quorlan\"");
  EXPECT_EQ(f[9], ".1.3.6.1.4.1.32473.2.1.1.3.0 = STRING: \"modQuorlanTrend\"");
  EXPECT_EQ(f[10], ".1.3.6.1.4.1.32473.2.1.1.4.0 = STRING: \"DelTrendData\"");
  EXPECT_EQ(f[11], ".1.3.6.1.4.1.32473.2.1.1.5.0 = STRING: \"0 rows\"");
  EXPECT_EQ(f[12], ".1.3.6.1.4.1.32473.2.1.1.6.0 = INTEGER: 3");
}

TEST_F(EventTrapsTest, LongMessagesAreCutTo240CharactersAndTheManagersErrorsNotTrapped) {
  agent_.SetActive(true);
  AppEvent(rt_, kModForm, "snmpMgrV3_Error", "never trapped", kEventError);
  AppEvent(rt_, kModForm, "SNMPMANAGER_BADPACKET", "never trapped either", kEventInfo);
  std::string message(250, 'x');
  message += std::string(50, 'y');
  AppEvent(rt_, kModForm, "snmpMgrV3_Response", message, kEventError);
  const auto traps = trapd_.WaitForTraps(&loop_, 1);
  ASSERT_EQ(traps.size(), 1u) << trapd_.Log();
  EXPECT_NE(traps[0].find("STRING: \"" + std::string(240, 'x') + "\""), std::string::npos)
      << traps[0];
  EXPECT_NE(traps[0].find("\"snmpMgrV3_Response\""), std::string::npos);
  // The log keeps the whole message.
  EXPECT_NE(dir_.Read("Debug/T-AppEvent.txt").find(message), std::string::npos);
}

TEST_F(EventTrapsTest, MissingOrUnusableServerAddressGivesAnEmptyAgentAddress) {
  agent_.SetActive(true);
  AppEvent(rt_, kModForm, "Form_Load", "no address", kEventInfo);
  rt_.Ini.ServerIpAddr = "mgmt-station";
  AppEvent(rt_, kModForm, "Form_Load", "a host name", kEventInfo);
  const auto traps = trapd_.WaitForTraps(&loop_, 2);
  ASSERT_EQ(traps.size(), 2u) << trapd_.Log();
  EXPECT_EQ(Fields(traps[0])[1], "0.0.0.0");
  EXPECT_EQ(Fields(traps[0])[7], ".1.3.6.1.4.1.32473.2.1.1.1.0 = \"\"");  // an empty OCTET STRING
  EXPECT_EQ(Fields(traps[1])[1], "0.0.0.0");
  EXPECT_EQ(Fields(traps[1])[7], ".1.3.6.1.4.1.32473.2.1.1.1.0 = STRING: \"mgmt-station\"");
}

TEST_F(EventTrapsTest, NothingIsSentWhileTheAgentIsClosed) {
  AppEvent(rt_, kModForm, "Form_Load", "Service Installed", kEventInfo);
  agent_.SetActive(true);
  AppEvent(rt_, kModForm, "dartSvc_State", "open", kEventInfo);
  agent_.SetActive(false);
  AppEvent(rt_, kModForm, "dartSvc_State", "closed again", kEventInfo);
  const auto traps = trapd_.WaitForTraps(&loop_, 2, 1500);
  ASSERT_EQ(traps.size(), 1u) << trapd_.Log();
  EXPECT_NE(traps[0].find("\"open\""), std::string::npos);
}

}  // namespace
}  // namespace quorlan
