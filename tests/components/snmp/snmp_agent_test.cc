#include "components/snmp/snmp_agent.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "components/platform/platform.h"
#include "support/snmp_peers.h"

namespace quorlan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

snmp::Oid ParseOid(const std::string& text) {
  snmp::Oid oid;
  if (!ber::ParseOid(text, &oid)) ADD_FAILURE() << text;
  return oid;
}

constexpr const char* kWritable = "1.3.6.1.4.1.32473.1.19.1.1.1.0";

// A small MIB served through the agent's request events, with SNMPv1-only admission by
// community as the service's own agent does it.
class TestMib {
 public:
  explicit TestMib(SnmpAgent& agent) {
    Add("1.3.6.1.2.1.1.1.0", 4, "Quorlan test agent");
    Add("1.3.6.1.2.1.1.2.0", 6, "1.3.6.1.4.1.32473.1.19");
    Add("1.3.6.1.2.1.1.3.0", 67, "9000");
    Add("1.3.6.1.2.1.1.5.0", 4, "Quorlan");
    Add(kWritable, 2, "0");
    agent.OnGetRequest = [this](SnmpAgentRequest& r) { Get(r); };
    agent.OnGetNextRequest = [this](SnmpAgentRequest& r) { GetNext(r); };
    agent.OnSetRequest = [this](SnmpAgentRequest& r) { Set(r); };
  }

  int changed() const { return TextToInt32(objects_.at(ParseOid(kWritable)).value); }
  std::vector<int> versions_seen;

 private:
  void Add(const std::string& oid, int type, const std::string& value) {
    objects_[ParseOid(oid)] = SnmpObject{oid, type, value};
  }

  bool Admit(SnmpAgentRequest& r, const char* community) {
    versions_seen.push_back(r.version);
    if (r.version != 1 || r.community != community) return false;
    r.respond = true;
    return true;
  }

  void Fail(SnmpAgentRequest& r, int i, int status) {
    r.error_index = static_cast<int16_t>(i);
    r.error_status = static_cast<int16_t>(status);
  }

  void Get(SnmpAgentRequest& r) {
    if (!Admit(r, "public")) return;
    for (int i = 0; i < r.ObjCount(); ++i) {
      auto it = objects_.find(ParseOid(r.Obj(i).oid));
      if (it == objects_.end()) {
        Fail(r, i, snmp::status::kNoSuchName);
      } else {
        r.Obj(i) = it->second;
      }
    }
  }

  void GetNext(SnmpAgentRequest& r) {
    if (!Admit(r, "public")) return;
    for (int i = 0; i < r.ObjCount(); ++i) {
      auto it = objects_.upper_bound(ParseOid(r.Obj(i).oid));
      if (it == objects_.end()) {
        Fail(r, i, snmp::status::kNoSuchName);
      } else {
        r.Obj(i) = it->second;
      }
    }
  }

  void Set(SnmpAgentRequest& r) {
    if (!Admit(r, "private")) return;
    for (int i = 0; i < r.ObjCount(); ++i) {
      SnmpObject& o = r.Obj(i);
      auto it = objects_.find(ParseOid(o.oid));
      if (it == objects_.end()) {
        Fail(r, i, snmp::status::kNoSuchName);
      } else if (o.oid != kWritable) {
        Fail(r, i, snmp::status::kReadOnly);
      } else if (o.type != 2 || TextToInt32(o.value) < 0 || TextToInt32(o.value) > 3) {
        Fail(r, i, snmp::status::kBadValue);
      } else {
        it->second.value = o.value;
      }
    }
  }

  std::map<snmp::Oid, SnmpObject> objects_;
};

class SnmpAgentPeerTest : public ::testing::Test {
 protected:
  SnmpAgentPeerTest() : loop_(clock_), agent_(loop_), mib_(agent_) {
    agent_.SetLocalPort(testing::FreeUdpPort());
    agent_.SetLocalHost("");
    agent_.SetActive(true);
    target_ = "127.0.0.1:" + std::to_string(agent_.LocalPort());
  }

  // Runs a client against the agent; timeout in seconds, short where no answer is expected.
  testing::CommandResult Run(const std::string& tool, const std::string& community,
                             std::vector<std::string> args, const std::string& version = "1",
                             const std::string& timeout = "3") {
    std::vector<std::string> argv = {tool, "-v",    version, "-c", community, "-On",
                                     "-t", timeout, "-r",    "0",  target_};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::RunCommand(&loop_, argv);
  }

  SystemClock clock_;
  EventLoop loop_;
  SnmpAgent agent_;
  TestMib mib_;
  std::string target_;
};

TEST_F(SnmpAgentPeerTest, SnmpgetReceivesTheHandlersAnswer) {
  const auto r = Run("snmpget", "public",
                     {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.2.0", "1.3.6.1.2.1.1.3.0", kWritable});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output,
            ".1.3.6.1.2.1.1.1.0 = STRING: \"Quorlan test agent\"\n"
            ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.32473.1.19\n"
            ".1.3.6.1.2.1.1.3.0 = Timeticks: (9000) 0:01:30.00\n"
            ".1.3.6.1.4.1.32473.1.19.1.1.1.0 = INTEGER: 0\n");
}

TEST_F(SnmpAgentPeerTest, SnmpgetNamesTheFailedObjectFromTheErrorIndex) {
  // -Cf shows the agent's raw reply instead of retrying without the failed object.
  const auto r = Run("snmpget", "public",
                     {"-Cf", "1.3.6.1.2.1.1.1.0", "1.3.6.1.9.9.9.0", "1.3.6.1.2.1.1.5.0"});
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Reason: (noSuchName)"));
  EXPECT_THAT(r.output, HasSubstr("Failed object: .1.3.6.1.9.9.9.0"));
}

TEST_F(SnmpAgentPeerTest, SnmpgetnextAndSnmpwalkFollowTheHandlersOrder) {
  const auto next = Run("snmpgetnext", "public", {"1.3.6.1.2.1.1.1.0"});
  EXPECT_EQ(next.exit_code, 0) << next.output;
  EXPECT_EQ(next.output, ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.32473.1.19\n");
  const auto walk = Run("snmpwalk", "public", {"1.3.6.1"});
  EXPECT_EQ(walk.exit_code, 0) << walk.output;
  EXPECT_EQ(walk.output,
            ".1.3.6.1.2.1.1.1.0 = STRING: \"Quorlan test agent\"\n"
            ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.32473.1.19\n"
            ".1.3.6.1.2.1.1.3.0 = Timeticks: (9000) 0:01:30.00\n"
            ".1.3.6.1.2.1.1.5.0 = STRING: \"Quorlan\"\n"
            ".1.3.6.1.4.1.32473.1.19.1.1.1.0 = INTEGER: 0\n"
            "End of MIB\n");
}

TEST_F(SnmpAgentPeerTest, SnmpsetChangesTheValueOrGetsTheHandlersErrorStatus) {
  auto ok = Run("snmpset", "private", {kWritable, "i", "2"});
  EXPECT_EQ(ok.exit_code, 0) << ok.output;
  EXPECT_EQ(ok.output, ".1.3.6.1.4.1.32473.1.19.1.1.1.0 = INTEGER: 2\n");
  EXPECT_EQ(mib_.changed(), 2);

  auto bad = Run("snmpset", "private", {kWritable, "i", "7"});
  EXPECT_EQ(bad.exit_code, 2) << bad.output;
  EXPECT_THAT(bad.output, HasSubstr("Reason: (badValue)"));
  EXPECT_EQ(mib_.changed(), 2);

  auto second = Run("snmpset", "private", {kWritable, "i", "3", "1.3.6.1.2.1.1.5.0", "s", "x"});
  EXPECT_EQ(second.exit_code, 2) << second.output;
  EXPECT_THAT(second.output, HasSubstr("Reason: (readOnly)"));
  EXPECT_THAT(second.output, HasSubstr("Failed object: .1.3.6.1.2.1.1.5.0"));
}

TEST_F(SnmpAgentPeerTest, NoAnswerToAWrongCommunityOrAnSnmpV2cRequest) {
  const auto wrong = Run("snmpget", "wrong", {"1.3.6.1.2.1.1.1.0"}, "1", "0.5");
  EXPECT_EQ(wrong.exit_code, 1);
  EXPECT_THAT(wrong.output, HasSubstr("Timeout"));
  const auto v2c = Run("snmpget", "public", {"1.3.6.1.2.1.1.1.0"}, "2c", "0.5");
  EXPECT_EQ(v2c.exit_code, 1);
  EXPECT_THAT(v2c.output, HasSubstr("Timeout"));
  const auto set_read = Run("snmpset", "public", {kWritable, "i", "1"}, "1", "0.5");
  EXPECT_EQ(set_read.exit_code, 1);
  EXPECT_EQ(mib_.changed(), 0);
  // The handler saw the SNMPv2c request with version code 2 and left it unanswered.
  EXPECT_THAT(mib_.versions_seen, ElementsAre(1, 2, 1));
}

TEST(SnmpAgentTrapTest, AnSnmpV1TrapReachesSnmptrapd) {
  testing::SnmptrapdPeer trapd;
  SystemClock clock;
  EventLoop loop(clock);
  SnmpAgent agent(loop);
  agent.SetLocalPort(testing::FreeUdpPort());
  agent.SetActive(true);
  agent.Config("TrapPort=" + std::to_string(trapd.port()));
  agent.ResetTrapObjects();
  agent.SetTrapFormat(1);
  agent.Config("TrapAgentAddress=192.0.2.10");
  agent.Config("TrapEnterprise=1.3.6.1.4.1.32473.1.19.5");
  agent.Config("TrapCommunity=anything-goes");
  agent.SetObjCount(4);
  const std::vector<std::array<std::string, 3>> objects = {
      {"1.3.6.1.4.1.32473.1.19.1.1.4.0", "2", "42"},
      {"1.3.6.1.4.1.32473.1.19.1.5.2.0", "4", "threshold exceeded"},
      {"1.3.6.1.4.1.32473.1.19.1.5.3.0", "6", "1.3.6.1.4.1.32473.1"},
      {"1.3.6.1.4.1.32473.1.19.1.5.4.0", "67", "12345"}};
  for (int i = 0; i < 4; ++i) {
    agent.SetObjId(i, objects[i][0]);
    agent.SetObjType(i, std::stoi(objects[i][1]));
    agent.SetObjValue(i, objects[i][2]);
  }
  agent.SendTrap("127.0.0.1", "6.2");
  const auto traps = trapd.WaitForTraps(&loop, 1);
  ASSERT_EQ(traps.size(), 1u) << trapd.Log();
  std::vector<std::string> f;
  std::string field;
  for (std::istringstream in(traps[0]); std::getline(in, field, '\t');) f.push_back(field);
  ASSERT_EQ(f.size(), 11u) << traps[0];
  EXPECT_EQ(f[0], "V1");
  EXPECT_EQ(f[1], "192.0.2.10");
  EXPECT_EQ(f[2], "anything-goes");
  EXPECT_EQ(f[3], ".1.3.6.1.4.1.32473.1.19.5");
  EXPECT_EQ(f[4], "6");
  EXPECT_EQ(f[5], ".2");
  EXPECT_LT(std::stoul(f[6]), 6000u) << "the agent's own uptime, not the host's";
  EXPECT_EQ(f[7], ".1.3.6.1.4.1.32473.1.19.1.1.4.0 = INTEGER: 42");
  EXPECT_EQ(f[8], ".1.3.6.1.4.1.32473.1.19.1.5.2.0 = STRING: \"threshold exceeded\"");
  EXPECT_EQ(f[9], ".1.3.6.1.4.1.32473.1.19.1.5.3.0 = OID: .1.3.6.1.4.1.32473.1");
  EXPECT_EQ(f[10], ".1.3.6.1.4.1.32473.1.19.1.5.4.0 = Timeticks: (12345) 0:02:03.45");
}

// Trap details checked on the wire with a plain socket as the receiver and a settable clock.
class SnmpAgentUnitTest : public ::testing::Test {
 protected:
  SnmpAgentUnitTest() : loop_(clock_), agent_(loop_) {
    receiver_.Open("127.0.0.1", 0);
    agent_.SetLocalPort(0);
    agent_.SetLocalHost("");
    agent_.SetActive(true);
    agent_.Config("TrapPort=" + std::to_string(receiver_.LocalPort()));
  }

  snmp::CommunityMessage ReceiveTrap() {
    UdpSocket::Datagram dg;
    for (int i = 0; i < 100 && !receiver_.Receive(&dg); ++i) usleep(5000);
    snmp::CommunityMessage m;
    const snmp::DecodeStatus st = snmp::DecodeMessage(dg.data, &m);
    EXPECT_TRUE(st.ok()) << st.text;
    return m;
  }

  std::string ErrorOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const RuntimeError& e) {
      return e.description();
    }
    return "no error";
  }

  ManualClock clock_;
  EventLoop loop_;
  SnmpAgent agent_;
  UdpSocket receiver_;
};

TEST_F(SnmpAgentUnitTest, ReadsBackItsBoundAddressAndPort) {
  EXPECT_EQ(agent_.LocalHost(), "0.0.0.0");
  EXPECT_GT(agent_.LocalPort(), 0);
  agent_.SetActive(false);
  EXPECT_EQ(agent_.LocalHost(), "");
}

TEST_F(SnmpAgentUnitTest, TheTrapCarriesTheSettingsAndTheAgentsUptime) {
  clock_.Advance(90'004);  // 90 s after activation
  agent_.SetObjCount(1);
  agent_.SetObjId(0, "1.3.6.1.4.1.32473.2.1.1.6.0");
  agent_.SetObjType(0, 2);
  agent_.SetObjValue(0, "3");
  agent_.SendTrap("127.0.0.1", "6.1");
  const snmp::CommunityMessage m = ReceiveTrap();
  EXPECT_EQ(m.version, snmp::version::kV1);
  EXPECT_EQ(m.community, "public");
  EXPECT_EQ(m.pdu.type, snmp::PduType::kTrapV1);
  EXPECT_EQ(ber::FormatOid(m.pdu.enterprise), "1.3.6.1.4.1.32473.1.19");
  EXPECT_THAT(m.pdu.agent_address, ElementsAre(0, 0, 0, 0)) << "empty agent address";
  EXPECT_EQ(m.pdu.generic_trap, 6);
  EXPECT_EQ(m.pdu.specific_trap, 1);
  EXPECT_EQ(m.pdu.time_stamp, 9000u);
  ASSERT_EQ(m.pdu.varbinds.size(), 1u);
  EXPECT_EQ(m.pdu.varbinds[0].value, snmp::Value::Integer(3));
}

TEST_F(SnmpAgentUnitTest, SettingsAreReadBackAndBadOnesRefused) {
  EXPECT_EQ(agent_.Config("TrapPort"), std::to_string(receiver_.LocalPort()));
  agent_.Config("trapcommunity=secret");
  EXPECT_EQ(agent_.Config("TrapCommunity"), "secret");
  EXPECT_EQ(ErrorOf([&] { agent_.Config("TrapPorts=5"); }),
            "configuration setting 'TrapPorts=5': unknown setting");
  EXPECT_EQ(ErrorOf([&] { agent_.Config("TrapPort=70000"); }),
            "TrapPort 70000: out of range 0..65535");
  // Port 0 is accepted (the agent must still listen) and refuses each trap instead.
  agent_.Config("TrapPort=0");
  agent_.ResetTrapObjects();
  EXPECT_THAT(ErrorOf([&] { agent_.SendTrap("127.0.0.1", "6.1"); }), HasSubstr("trap port is 0"));
  agent_.Config("TrapPort=" + std::to_string(receiver_.LocalPort()));
  EXPECT_THAT(ErrorOf([&] { agent_.Config("TrapAgentAddress=host.example"); }),
              HasSubstr("not a dotted IPv4 address"));
  EXPECT_THAT(ErrorOf([&] { agent_.Config("TrapEnterprise=1.3.x"); }), HasSubstr("not an OID"));
  EXPECT_THAT(ErrorOf([&] { agent_.SetTrapFormat(2); }), HasSubstr("only 1"));
  EXPECT_THAT(ErrorOf([&] { agent_.SetObjType(0, 2); }), HasSubstr("out of range"));
}

TEST_F(SnmpAgentUnitTest, ATrapWithAValueThatDoesNotConvertIsRefusedAndNotSent) {
  agent_.SetObjCount(2);
  agent_.SetObjId(0, "1.3.6.1.4.1.32473.1.19.1.1.4.0");
  agent_.SetObjType(0, 4);
  agent_.SetObjValue(0, "text");
  agent_.SetObjId(1, "1.3.6.1.4.1.32473.1.19.1.5.4.0");
  agent_.SetObjType(1, 2);
  agent_.SetObjValue(1, "4294967296");
  EXPECT_EQ(ErrorOf([&] { agent_.SendTrap("127.0.0.1", "6.2"); }),
            "send trap: object 1 (1.3.6.1.4.1.32473.1.19.1.5.4.0): Overflow: 4294967296 does not "
            "fit a 32-bit integer");
  EXPECT_THAT(ErrorOf([&] { agent_.SendTrap("127.0.0.1", "enterprise"); }),
              HasSubstr("trap id 'enterprise'"));
  UdpSocket::Datagram dg;
  EXPECT_FALSE(receiver_.Receive(&dg));
  agent_.SetActive(false);
  agent_.SetObjValue(1, "5");
  EXPECT_EQ(ErrorOf([&] { agent_.SendTrap("127.0.0.1", "6.2"); }),
            "send trap to 127.0.0.1: agent not active");
}

TEST_F(SnmpAgentUnitTest, OurManagerReadsEveryTypeFromOurAgent) {
  agent_.OnGetRequest = [](SnmpAgentRequest& r) {
    const std::vector<std::pair<int, std::string>> values = {
        {2, "-5"},          {4, "bytes\x01"}, {6, "1.3.6.1.4.1.32473"},
        {0x40, "10.0.0.1"}, {0x41, "7"},      {0x42, "8"},
        {0x43, "9"},        {0x44, "op"},     {0x46, "18446744073709551615"},
        {0x81, ""}};
    for (int i = 0; i < r.ObjCount(); ++i) {
      r.Obj(i).type = values[i].first;
      r.Obj(i).value = values[i].second;
    }
    r.respond = true;
  };
  SnmpManager manager(loop_);
  manager.SetActive(true);
  std::vector<std::optional<std::string>> got;
  manager.OnResponse = [&](const SnmpResponse& r) {
    for (int i = 0; i < r.ObjCount(); ++i) got.push_back(r.ObjValue(i));
  };
  manager.SetRemoteHost("127.0.0.1");
  manager.SetRemotePort(agent_.LocalPort());
  manager.SetSnmpVersion(2);
  manager.SetObjCount(10);
  for (int i = 0; i < 10; ++i) manager.SetObjId(i, "1.3.6.1.4.1.32473.3." + std::to_string(i));
  manager.SetRequestId(-1);
  manager.SendGetRequest();
  for (int i = 0; i < 20 && got.empty(); ++i) loop_.RunOnce(5);
  EXPECT_EQ(got, (std::vector<std::optional<std::string>>{"-5", "bytes\x01", "1.3.6.1.4.1.32473",
                                                          "10.0.0.1", "7", "8", "9", "op",
                                                          "18446744073709551615", std::nullopt}));
}

TEST_F(SnmpAgentUnitTest, AnObjectLeftUnencodableIsAnsweredWithGenErrAtItsIndex) {
  // A value that does not convert, and a type an SNMPv1 answer cannot carry.
  const std::vector<std::pair<SnmpObject, std::string>> cases = {
      {{"1.3.6.1.2.1.1.2.0", 2, "not a number"}, "response object 1 (1.3.6.1.2.1.1.2.0)"},
      {{"1.3.6.1.2.1.1.2.0", 0x46, "5"}, "Counter64 in an SNMPv1 answer"},
      {{"1.3.6.1.2.1.1.2.0", 0x81, ""}, "noSuchInstance in an SNMPv1 answer"}};
  for (const auto& [object, error] : cases) {
    SCOPED_TRACE(error);
    std::vector<std::string> errors;
    agent_.OnError = [&](int, const std::string& d) { errors.push_back(d); };
    agent_.OnGetRequest = [&object](SnmpAgentRequest& r) {
      r.Obj(1) = object;
      r.respond = true;
    };
    SnmpManager manager(loop_);
    manager.SetActive(true);
    std::vector<SnmpResponse> got;
    manager.OnResponse = [&](const SnmpResponse& r) { got.push_back(r); };
    manager.SetRemoteHost("127.0.0.1");
    manager.SetRemotePort(agent_.LocalPort());
    manager.SetSnmpVersion(1);
    manager.SetObjCount(2);
    manager.SetObjId(0, "1.3.6.1.2.1.1.1.0");
    manager.SetObjId(1, "1.3.6.1.2.1.1.2.0");
    manager.SendGetRequest();
    for (int i = 0; i < 20 && got.empty(); ++i) loop_.RunOnce(5);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].error_status, snmp::status::kGenErr);
    EXPECT_EQ(got[0].error_index, 2);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], HasSubstr(error));
  }
}

}  // namespace
}  // namespace quorlan
