// The console's controls through the built-in agent of a running service on an embedded
// installation: net-snmp's snmpset against the agent, polls of a private snmpd into the SQLite
// suite database, and trend traps to a private snmptrapd.
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "agent/agent.h"
#include "service/service.h"
#include "storage/storage.h"
#include "support/event_log.h"
#include "support/fakes.h"
#include "support/process.h"
#include "support/snmp_peers.h"
#include "support/stepped_clock.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using ::testing::ElementsAre;

DateTime At(int minute) { return DateTime::FromCivil({2026, 12, 7, 10, minute, 0}); }

constexpr const char* kCounterOid = ".1.3.6.1.4.1.32473.2.1.0";

class AgentControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { snmpd_ = std::make_unique<testing::SnmpdPeer>(); }
  static void TearDownTestSuite() { snmpd_.reset(); }

  // A started service whose one report (17, node 42, every minute) polls a counter with the
  // trigger "> 100". The poll timer is off: the test ticks at the times it chooses.
  AgentControlTest() : clock_(At(0)), loop_(clock_) {
    CreateEmbeddedInstallation(dir_.path(), testing::BuiltExecutable("quorlan-trend"));
    agent_port_ = testing::FreeUdpPort();
    dir_.Write("Quorlan.ini", fmt::format("ServerPort={}\nServerTrapPort={}\nPollDelaySnmp=1\n",
                                          agent_port_ - 1, trapd_.port()));
    Sql(fmt::format(
        "INSERT INTO ATR_Nodes (node_id, node_name, address, UdpPort, SnmpVersion, trapcomm, "
        "TrendReports) VALUES (42, 'core-1', '127.0.0.1', {}, 2, 'traps', 1)",
        snmpd_->port()));
    Sql(fmt::format(
        "INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
        "ObjName1, ObjType1, TriggerAlarm1, TriggerExpr1, TriggerValue1, DbChanged) VALUES (17, "
        "'Uplink', 42, 'core-1', 1, '{}', 'In', 3, 1, '>', '100', '0')",
        kCounterOid + 1));
    host_.Deliver(kStateStart);
    m_.timerPoll.SetEnabled(false);
  }

  void Sql(const std::string& sql) {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
    conn->Execute(sql);
    conn->Close();
  }
  // The TrendData1 rows as "ReportId Time Value1".
  std::vector<std::string> Samples() {
    m_.SampleRecorder.CommitBatch();  // as the loop's next idle moment does
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
    std::vector<std::string> out;
    for (auto rs = conn->Execute("SELECT * FROM TrendData1 ORDER BY Time, ReportId"); !rs->Eof();
         rs->MoveNext()) {
      out.push_back(rs->Field(0).AsString() + " " + rs->Field(1).AsString().substr(11) + " " +
                    rs->Field(2).AsString());
    }
    return out;
  }
  // A Set through the agent with the write community.
  void Set(const char* oid, const std::string& value) {
    const auto r =
        testing::RunCommand(&loop_, {"snmpset", "-v1", "-cwexrol", "-On", "-t3", "-r0",
                                     "127.0.0.1:" + std::to_string(agent_port_), oid, "i", value});
    EXPECT_EQ(r.exit_code, 0) << oid << " " << value << ": " << r.output;
  }
  void Counter(int value) { snmpd_->SetValues(fmt::format("{} counter {}\n", kCounterOid, value)); }
  // A poll tick at t, then events until no request is out (up to 5 s of real time).
  void Tick(DateTime t) {
    clock_.Set(t);
    timerPoll_Timer(m_);
    WaitUntil([this] { return m_.Pending == 0; });
  }
  bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(10);
    return done();
  }
  // The trend traps snmptrapd logged (the application events' traps have another enterprise).
  std::vector<std::string> TrendTraps() {
    std::vector<std::string> out;
    for (const std::string& t : trapd_.Traps()) {
      if (t.find("\t.1.3.6.1.4.1.32473.1.19.5\t") != std::string::npos) out.push_back(t);
    }
    return out;
  }

  static inline std::unique_ptr<testing::SnmpdPeer> snmpd_;
  testing::SnmptrapdPeer trapd_;
  testing::TempDir dir_;
  testing::SteppedClock clock_;
  EventLoop loop_;
  testing::FakeServiceHost host_;
  Module m_{dir_.path(), clock_, loop_, host_};
  int agent_port_ = 0;
};

TEST_F(AgentControlTest, ChangeCodeNodeResetAndServiceStateDriveThePolling) {
  ASSERT_EQ(m_.ServiceState, kServiceRunning) << testing::ReadEventLog(dir_.path()).back().message;
  ASSERT_EQ(m_.TrendListCount, 1);
  Counter(1000);
  Tick(At(1));
  EXPECT_THAT(Samples(), ElementsAre("17 10:01:00 0")) << snmpd_->Log();

  // A report added in the database and signalled through the agent joins the list at the next
  // tick, and is polled from the next minute on.
  Sql("INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
      "DbChanged) VALUES (18, 'Second', 42, 'core-1', 1, '1.3.6.1.4.1.32473.2.1.0', '1')");
  Set(kOidSysTrendChanged, "1");
  EXPECT_EQ(m_.Mib_sysTrendChanged, 1);
  EXPECT_EQ(m_.TrendListCount, 1);
  Counter(1500);
  Tick(At(2));
  EXPECT_EQ(m_.Mib_sysTrendChanged, 0);
  EXPECT_EQ(m_.TrendListCount, 2);
  EXPECT_EQ(m_.TrendList[2].ReportId, 18);
  EXPECT_THAT(Samples(), ElementsAre("17 10:01:00 0", "17 10:02:00 500"));
  ASSERT_TRUE(WaitUntil([this] { return TrendTraps().size() == 1; })) << trapd_.Log();
  EXPECT_NE(TrendTraps()[0].find("\t6\t.2\t"), std::string::npos) << TrendTraps()[0];
  EXPECT_NE(TrendTraps()[0].find("5.4.0 = INTEGER: 500\t"), std::string::npos);

  // The node reset: the next counter sample stores 0 and the alarm is Normal again, without a
  // clearing trap.
  Set(kOidNodeReset, "42");
  EXPECT_FALSE(m_.TrendList[1].PollTriggerStatus[1]);
  Counter(1700);
  Tick(At(3));
  EXPECT_THAT(Samples(),
              ElementsAre("17 10:01:00 0", "17 10:02:00 500", "17 10:03:00 0", "18 10:03:00 1700"));
  EXPECT_FALSE(m_.TrendList[1].PollTriggerStatus[1]);

  // Stopped through the agent while a request is out: its answer is still stored, but no trap
  // goes out and no further poll is made.
  Counter(2000);
  snmpd_->Pause();
  clock_.Set(At(4));
  timerPoll_Timer(m_);
  Set(kOidServiceState, "2");
  snmpd_->Resume();
  ASSERT_TRUE(WaitUntil([this] { return m_.Pending == 0; }));
  EXPECT_TRUE(m_.TrendList[1].PollTriggerStatus[1]);
  const size_t rows = Samples().size();
  EXPECT_EQ(Samples()[rows - 2], "17 10:04:00 300");
  Tick(At(5));
  EXPECT_EQ(Samples().size(), rows);
  EXPECT_FALSE(m_.TrendList[1].PollPending);

  // Running again: the list is built anew (values and alarm states reset) and polled again.
  Set(kOidServiceState, "1");
  ASSERT_EQ(m_.TrendListCount, 2);
  EXPECT_FALSE(m_.TrendList[1].PollTriggerStatus[1]);
  Tick(At(6));
  const std::vector<std::string> last = Samples();
  EXPECT_THAT(std::vector<std::string>(last.end() - 2, last.end()),
              ElementsAre("17 10:06:00 0", "18 10:06:00 2000"));
  EXPECT_EQ(TrendTraps().size(), 1u) << trapd_.Log();
}

// One datagram asks for 3,000 restarts: a rebuild of the full list for each would hold the
// service (and its agent) for half a minute.
TEST_F(AgentControlTest, ADatagramOfThreeThousandRestartsIsAnsweredAndTheAgentAnswersRightAfter) {
  for (int id = 100; id < 399; ++id) {
    Sql(
        fmt::format("INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, "
                    "PollInterval, ObjId1, DbChanged) VALUES ({}, 'R', 42, 'core-1', 1, '{}', '0')",
                    id, kCounterOid + 1));
  }
  snmp::CommunityMessage set;
  set.community = "wexrol";
  set.pdu.type = snmp::PduType::kSetRequest;
  snmp::VarBind state{{}, snmp::Value::Integer(1)};
  ASSERT_TRUE(ber::ParseOid(kOidServiceState, &state.oid));
  set.pdu.varbinds.assign(3000, state);
  const std::string datagram = snmp::EncodeMessage(set);
  ASSERT_LE(datagram.size(), 65507u);
  UdpSocket client;
  client.Open("127.0.0.1", 0);
  const auto start = std::chrono::steady_clock::now();
  client.SendTo("127.0.0.1", agent_port_, datagram);
  UdpSocket::Datagram answer;
  bool answered = false;
  ASSERT_TRUE(WaitUntil([&] { return answered || (answered = client.Receive(&answer)); }));
  snmp::CommunityMessage reply;
  ASSERT_TRUE(snmp::DecodeMessage(answer.data, &reply).ok());
  EXPECT_EQ(reply.pdu.error_status, 0);
  EXPECT_EQ(reply.pdu.varbinds.size(), 3000u);
  const auto r =
      testing::RunCommand(&loop_, {"snmpget", "-v1", "-cpublic", "-On", "-t2", "-r0",
                                   "127.0.0.1:" + std::to_string(agent_port_), kOidServiceState});
  EXPECT_EQ(r.output, "." + std::string(kOidServiceState) + " = INTEGER: 1\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(m_.TrendListCount, 300);
}

}  // namespace
}  // namespace quorlan
