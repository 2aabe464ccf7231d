// The service's debug trace files and manager events over its whole run: start, the two timers
// and stop, on an embedded installation and a settable clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "components/platform/platform.h"
#include "service/service.h"
#include "storage/storage.h"
#include "support/event_log.h"
#include "support/fakes.h"
#include "support/process.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::FakeServiceHost;
using testing::TempDir;

const char* const kPollFiles[] = {kTraceSnmpPoll, kTraceSnmpPollV3, kTraceSnmpResp,
                                  kTraceSnmpRespV3};

class DebugTracesTest : public ::testing::Test {
 protected:
  DebugTracesTest() : clock_(DateTime::FromCivil({2026, 12, 7, 14, 30, 0})), loop_(clock_) {
    dir_.MakeDir("Debug");
    CreateEmbeddedInstallation(dir_.path(), testing::BuiltExecutable("quorlan-trend"));
  }
  void WriteIni(int trap_port = 0) {
    dir_.Write("Quorlan.ini",
               "ServerPort=" + std::to_string(testing::FreeUdpPort() - 1) + "\nServerTrapPort=" +
                   std::to_string(trap_port ? trap_port : testing::FreeUdpPort()) + "\n");
  }
  void Sql(const std::string& sql) {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
    conn->Execute(sql);
    conn->Close();
  }
  // Lets the timers run for ms of the settable clock.
  void RunFor(int64_t ms) {
    const int64_t end = clock_.MonotonicMs() + ms;
    while (clock_.MonotonicMs() < end) loop_.RunOnce(static_cast<int>(end - clock_.MonotonicMs()));
  }
  bool Exists(const char* name) { return FileExists(dir_.File(std::string("Debug/") + name)); }
  std::vector<std::string> Lines(const char* name) {
    return ReadLines(dir_.File(std::string("Debug/") + name));
  }

  TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  FakeServiceHost host_;
  Module m_{dir_.path(), clock_, loop_, host_};
};

TEST_F(DebugTracesTest, DebugModeSwitchedOnAndOffWhileRunning) {
  // Traces of an earlier run go at the start, when debug mode is off, and none are created.
  for (const char* name :
       {kTraceSnmpPoll, kTraceSnmpTrap, kTracePollStatus, kTraceTrendList, kTraceDiscEngineId}) {
    dir_.Write(std::string("Debug/") + name, "old\r\n");
  }
  UdpSocket device;
  device.Open("127.0.0.1", testing::FreeUdpPort());
  Sql("INSERT INTO ATR_Nodes (node_id, node_name, address, UdpPort, TrendReports) VALUES (42, "
      "'core-1', '127.0.0.1', " +
      std::to_string(device.LocalPort()) + ", 1)");
  Sql("INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, PollInterval, ObjId1) "
      "VALUES (17, 'Uplink', 42, 'core-1', 1, '1.3.6.1.2.1.1.3.0')");
  WriteIni();
  host_.Deliver(kStateStart);
  ASSERT_EQ(m_.ServiceState, kServiceRunning);
  for (const char* name :
       {kTraceSnmpPoll, kTraceSnmpTrap, kTracePollStatus, kTraceTrendList, kTraceDiscEngineId}) {
    EXPECT_FALSE(Exists(name)) << name;
  }
  EXPECT_TRUE(Exists("T-Services.txt"));

  Sql("UPDATE Settings SET DebugMode = 1");
  RunFor(30000);
  EXPECT_TRUE(m_.DebugMode);
  EXPECT_EQ(Lines(kTraceSnmpTrap), std::vector<std::string>{DebugTrapHeader()});
  for (const char* name : kPollFiles) {
    EXPECT_EQ(Lines(name), std::vector<std::string>{DebugPollHeader()}) << name;
  }
  // The report is due at 14:31:00; its request is traced.
  RunFor(24000);
  ASSERT_EQ(Lines(kTraceSnmpPoll).size(), 2u);
  EXPECT_NE(Lines(kTraceSnmpPoll)[1].find("\t --> snmpPoll\tSnmpPoll\t60\t17\tUplink\t"),
            std::string::npos);

  Sql("UPDATE Settings SET DebugMode = 0");
  RunFor(30000);
  EXPECT_FALSE(m_.DebugMode);
  const std::vector<std::string> merged = Lines(kTracePollStatus);
  ASSERT_GE(merged.size(), 2u);
  EXPECT_EQ(merged[0], DebugPollHeader());
  EXPECT_NE(merged[1].find(" --> snmpPoll"), std::string::npos);
  for (const char* name : kPollFiles) EXPECT_FALSE(Exists(name)) << name;
  // Nothing is traced any more.
  RunFor(30000);
  for (const char* name : kPollFiles) EXPECT_FALSE(Exists(name)) << name;
  EXPECT_EQ(Lines(kTracePollStatus), merged);
}

TEST_F(DebugTracesTest, AStopInDebugModeMergesThePollTraces) {
  Sql("UPDATE Settings SET DebugMode = 1");
  WriteIni();
  host_.Deliver(kStateStart);
  ASSERT_TRUE(m_.DebugMode);
  for (const char* name : kPollFiles) EXPECT_TRUE(Exists(name)) << name;
  EXPECT_TRUE(Exists(kTraceTrendList));
  host_.Deliver(kStateStop);
  EXPECT_EQ(Lines(kTracePollStatus), std::vector<std::string>{DebugPollHeader()});
  for (const char* name : kPollFiles) EXPECT_FALSE(Exists(name)) << name;
  EXPECT_TRUE(Exists(kTraceSnmpTrap));
}

TEST_F(DebugTracesTest, BadPacketsAreLoggedAndNeverTrapped) {
  testing::SnmptrapdPeer trapd;
  WriteIni(trapd.port());
  host_.Deliver(kStateStart);
  ASSERT_TRUE(m_.snmpAgent.Active());
  UdpSocket sender;
  sender.Open("127.0.0.1", 0);
  sender.SendTo("127.0.0.1", m_.snmpManager.LocalPort(), "garbage");
  sender.SendTo("127.0.0.1", m_.snmpMgrV3.LocalPort(), std::string("\x30\x03\x02\x01\x03", 5));
  sender.SendTo("127.0.0.1", m_.snmpAgent.LocalPort(), "garbage");
  std::vector<testing::LoggedEvent> bad;
  for (int i = 0; i < 500 && bad.size() < 3; ++i) {
    loop_.DeliverPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    bad.clear();
    for (const auto& e : testing::ReadEventLog(dir_.path())) {
      if (e.source.ends_with("_BadPacket")) bad.push_back(e);
    }
  }
  ASSERT_EQ(bad.size(), 3u);
  std::sort(bad.begin(), bad.end(),
            [](const auto& a, const auto& b) { return a.source < b.source; });
  EXPECT_EQ(bad[0].source, "frmQuorlanTrend_snmpAgent_BadPacket");
  EXPECT_NE(bad[0].message.find("(from 127.0.0.1:"), std::string::npos) << bad[0].message;
  EXPECT_EQ(bad[1].source, "frmQuorlanTrend_snmpManager_BadPacket");
  EXPECT_EQ(bad[1].type, "3");
  EXPECT_TRUE(bad[1].message.starts_with("ErrorCode: ")) << bad[1].message;
  EXPECT_NE(bad[1].message.find(", "), std::string::npos);
  EXPECT_EQ(bad[2].source, "frmQuorlanTrend_snmpMgrV3_BadPacket");
  AppEvent(m_, kModForm, "Form_Load", "marker", kEventInfo);
  const auto traps = trapd.WaitForTraps(&loop_, 2);
  ASSERT_EQ(traps.size(), 2u) << trapd.Log();
  EXPECT_NE(traps[0].find("Service Started"), std::string::npos) << traps[0];
  EXPECT_NE(traps[1].find("STRING: \"marker\""), std::string::npos) << traps[1];
}

}  // namespace
}  // namespace quorlan
