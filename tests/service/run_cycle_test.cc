#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "service/service.h"
#include "storage/storage.h"
#include "support/ci.h"
#include "support/event_log.h"
#include "support/fakes.h"
#include "support/process.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::FakeServiceHost;
using testing::ReadEventLog;
using testing::TempDir;

class RunCycleTest : public ::testing::Test {
 protected:
  RunCycleTest() : clock_(DateTime::FromCivil({2026, 12, 7, 14, 30, 0})), loop_(clock_) {
    dir_.MakeDir("Debug");
  }
  // A configuration whose agent port is free; traps go to trap_port.
  void WriteIni(const std::string& extra = "", int trap_port = 0) {
    agent_port_ = testing::FreeUdpPort();
    dir_.Write("Quorlan.ini",
               "ServerPort=" + std::to_string(agent_port_ - 1) + "\n" + "ServerTrapPort=" +
                   std::to_string(trap_port ? trap_port : testing::FreeUdpPort()) + "\n" + extra);
  }
  // An embedded installation (SQLite settings and suite databases), so that the start goes
  // through.
  void SetUpDatabase() {
    CreateEmbeddedInstallation(dir_.path(), testing::BuiltExecutable("quorlan-trend"));
  }
  // Only a settings database, with the given values.
  void SetUpSettings(bool setup_ok, const std::optional<std::string>& conn) {
    CreateSqliteSettingsConsole(dir_.File("Quorlan.mdb"), setup_ok, conn);
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const auto& e : ReadEventLog(dir_.path())) out.push_back(e.type + " " + e.message);
    return out;
  }

  TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  FakeServiceHost host_;
  Module m_{dir_.path(), clock_, loop_, host_};
  int agent_port_ = 0;
};

TEST_F(RunCycleTest, StartWithoutSetUpDatabaseIsRefusedOnceAndForAll) {
  SetUpSettings(false, "Driver=SQLite3;Database=" + dir_.File("suite.db"));
  host_.Deliver(kStateStart);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 Exit Due to SQL Not Setup OK"}));
  EXPECT_EQ(ReadEventLog(dir_.path())[0].source, "frmQuorlanTrend_dartSvc_State");
  // The process stays, idle; the service host is told why.
  EXPECT_EQ(host_.statuses, (std::vector<std::string>{"Idle: the suite database is not set up "
                                                      "(SqlDbSetupOk in Quorlan.mdb)"}));
  EXPECT_EQ(m_.ServiceState, 0);
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_FALSE(m_.timerDebug.Enabled());
  // A later start event in the same process does nothing, whatever changed meanwhile.
  std::remove(dir_.File("Quorlan.mdb").c_str());
  SetUpDatabase();
  host_.Deliver(kStateStart);
  EXPECT_EQ(Messages().size(), 1u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(m_.ServiceState, 0);
}

TEST_F(RunCycleTest, StartWithoutConnectionStringIsRefused) {
  SetUpSettings(true, "");
  host_.Deliver(kStateStart);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 Exit Due to No SQL Connection String"}));
  EXPECT_EQ(host_.statuses, (std::vector<std::string>{"Idle: no suite database connection string "
                                                      "(DbConnStringSql in Quorlan.mdb)"}));
  EXPECT_EQ(m_.ServiceState, 0);
  EXPECT_FALSE(m_.snmpAgent.Active());
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Debug/T-Services.txt")));
}

TEST_F(RunCycleTest, UnreadableSettingsDatabaseEndsTheStartWithAnError) {
  // No Quorlan.mdb at all, then a NULL connection string and an empty table: each is an error of
  // the state handler in its own process.
  host_.Deliver(kStateStart);
  auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "frmQuorlanTrend_dartSvc_State");
  EXPECT_NE(events[0].message.find("Quorlan.mdb"), std::string::npos) << events[0].message;
  EXPECT_EQ(m_.ServiceState, 0);
  ASSERT_EQ(host_.statuses.size(), 1u);
  EXPECT_EQ(host_.statuses[0], "Start failed: " + events[0].message);
}

// Existing installations keep their Access settings database.
class JetSettingsTest : public RunCycleTest {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(kJetFixtures)) {
      SKIP_OR_FAIL_UNDER_CI("Jet fixtures not found at " + std::string(kJetFixtures));
    }
  }
  void UseJetFixture(const std::string& name) {
    std::filesystem::copy_file(std::string(kJetFixtures) + "/" + name, dir_.File("Quorlan.mdb"));
    std::filesystem::permissions(dir_.File("Quorlan.mdb"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
  }
  static constexpr const char* kJetFixtures = QUORLAN_SOURCE_DIR "/tests/fixtures/jet";
};

TEST_F(JetSettingsTest, NotSetUpIsRefused) {
  UseJetFixture("Quorlan-notsetup.mdb");
  host_.Deliver(kStateStart);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 Exit Due to SQL Not Setup OK"}));
  EXPECT_FALSE(m_.snmpAgent.Active());
}

TEST_F(JetSettingsTest, EmptyOrNullSettingsEndTheStartWithAnErrorOfTheStateHandler) {
  for (const char* fixture : {"Quorlan-empty.mdb", "Quorlan-nullconn.mdb"}) {
    TempDir dir;
    dir.MakeDir("Debug");
    std::filesystem::copy_file(std::string(kJetFixtures) + "/" + fixture, dir.File("Quorlan.mdb"));
    FakeServiceHost host;
    Module m(dir.path(), clock_, loop_, host);
    host.Deliver(kStateStart);
    const auto events = ReadEventLog(dir.path());
    ASSERT_EQ(events.size(), 1u) << fixture;
    EXPECT_EQ(events[0].type, "1");
    EXPECT_EQ(events[0].source, "frmQuorlanTrend_dartSvc_State");
    EXPECT_FALSE(events[0].message.empty());
    EXPECT_EQ(m.ServiceState, 0);
    EXPECT_FALSE(m.snmpAgent.Active());
  }
}

TEST_F(JetSettingsTest, SetUpFileGivesTheStoredConnectionString) {
  UseJetFixture("Quorlan.mdb");
  // The fixture names a SQL Server that does not exist here; the read alone is checked.
  SettingsConsoleRead(m_);
  EXPECT_TRUE(m_.SqlDbSetupOk);
  EXPECT_EQ(m_.DbConnStringSql,
            "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;User ID=sa;Initial "
            "Catalog=Quorlan;Data Source=DBHOST\\SQLEXPRESS");
}

TEST_F(RunCycleTest, NullConnectionStringEndsTheStartWithAnError) {
  SetUpSettings(true, std::nullopt);
  host_.Deliver(kStateStart);
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "frmQuorlanTrend_dartSvc_State");
  EXPECT_NE(events[0].message.find("Invalid use of Null"), std::string::npos) << events[0].message;
}

TEST_F(RunCycleTest, StartRunsTheSequenceAndEnablesTheTimers) {
  SetUpDatabase();
  WriteIni("TimerInterval=1500\n");
  const DateTime before = clock_.Now();
  host_.Deliver(kStateStart);
  // 7 seconds of start pause, then two pauses of 500 ms while the agent opens.
  EXPECT_EQ(m_.ServiceStartTime, before.PlusMillis(8000)) << ::testing::PrintToString(Messages());
  EXPECT_EQ(m_.ServiceState, 1);
  EXPECT_EQ(m_.LastMessId, 1000000);
  EXPECT_EQ(m_.LastHour, 14);
  EXPECT_EQ(m_.timerPoll.Interval(), 3000);
  EXPECT_TRUE(m_.timerPoll.Enabled());
  EXPECT_TRUE(m_.timerDebug.Enabled());
  EXPECT_EQ(m_.timerDebug.Interval(), 30000);
  EXPECT_EQ(
      Messages(),
      (std::vector<std::string>{"3 Quorlan Trend Reporting Service Started. Version: 10.00"}));
  // The journal has it too, at LOG_INFO; the console's agent file names this process and port.
  EXPECT_EQ(host_.journal, (std::vector<std::string>{"6 frmQuorlanTrend_dartSvc_State Quorlan "
                                                     "Trend Reporting Service Started. Version: "
                                                     "10.00"}));
  EXPECT_EQ(dir_.Read(kAgentFileName), fmt::format("pid={}\nport={}\n", getpid(), agent_port_));
}

// An idle service wakes once a minute: its poll timer sleeps until the hour, and the debug-mode
// watcher sleeps while the suite database's folder reports no change of its file. A change of the
// file, or a link to it pointed at another file, wakes the watcher at its next tick; a step of the
// wall clock wakes the poll timer at its next tick.
TEST_F(RunCycleTest, AnIdleServiceWakesOnceAMinuteAndAChangeOrAClockStepWakesItsTimers) {
  SetUpDatabase();
  WriteIni();
  // The database lies in another folder behind symbolic links, a folder's and the file's own:
  // current/suite.db, where current -> volume and volume/suite.db -> data.db.
  std::filesystem::create_directory(dir_.File("volume"));
  std::filesystem::rename(dir_.File(kSuiteDatabase), dir_.File("volume/data.db"));
  std::filesystem::create_symlink("data.db", dir_.File("volume/suite.db"));
  std::filesystem::create_symlink(dir_.File("volume"), dir_.File("current"));
  const std::string suite = "Driver=SQLite3;Database=" + dir_.File("current/suite.db");
  auto conn = NewOdbcDriver()->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + dir_.File("Quorlan.mdb"), kDbConnectTimeoutSeconds);
  conn->Execute("UPDATE Settings_Console SET DbConnStringSql = '" + suite + "'");
  conn->Close();
  // Waits until the debug-mode watcher sleeps again (the files settled, two of its ticks), changes
  // what the path leads to with change(), and returns the time of the change.
  const auto after_sleep = [&](const std::function<void()>& change) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const int64_t monitor_runs = m_.Monitor.Writes;
    while (m_.Monitor.Writes < monitor_runs + 2) loop_.RunOnce(-1);
    change();
    return clock_.Now();
  };
  // A link pointed elsewhere as `ln -sfn` does it: a new link renamed over the old one.
  const auto repoint = [&](const std::string& target, const std::string& link) {
    std::filesystem::create_symlink(target, dir_.File(link + ".new"));
    std::filesystem::rename(dir_.File(link + ".new"), dir_.File(link));
  };
  host_.Deliver(kStateStart);
  ASSERT_EQ(m_.ServiceState, kServiceRunning) << ::testing::PrintToString(Messages());
  ASSERT_EQ(clock_.Now(), DateTime::FromCivil({2026, 12, 7, 14, 30, 8}));
  // The start's writes settle (a second by the file system's clock).
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const int64_t ticks = m_.PollTicks;
  int wakes = 0;
  while (m_.Monitor.Writes < 10) {
    const DateTime before = clock_.Now();
    if (loop_.RunOnce(-1) > 0 && clock_.Now() != before) ++wakes;
  }
  // 14:30:10 the first poll tick, 14:30:30 the debug watcher (which starts watching) with the
  // monitor, 14:31:00 the watcher (which then sleeps), from 14:31:30 to 14:39:30 the monitor.
  EXPECT_EQ(clock_.Now(), DateTime::FromCivil({2026, 12, 7, 14, 39, 30}));
  EXPECT_EQ(m_.PollTicks, ticks + 1);
  EXPECT_EQ(wakes, 3 + 9);
  // The same figures each minute: one status line, not ten.
  EXPECT_EQ(host_.statuses,
            (std::vector<std::string>{"0 reports; last minute: 0 rows, 0 late, 0 given up; "
                                      "spool empty"}));

  // Debug mode switched on in the database is read at the watcher's next tick.
  conn->Open(suite, kDbConnectTimeoutSeconds);
  conn->Execute("VACUUM INTO '" + dir_.File("volume/suite-2.db") + "'");  // debug mode off
  conn->Execute("UPDATE Settings SET DebugMode = 1");
  conn->Close();
  const DateTime changed = clock_.Now();
  while (!m_.DebugMode && clock_.Now() < changed.PlusSeconds(60)) loop_.RunOnce(-1);
  EXPECT_TRUE(m_.DebugMode);
  EXPECT_EQ(clock_.Now(), changed.PlusSeconds(30));

  // Either link pointed at another database while the watcher sleeps: read at its next tick.
  DateTime repointed = after_sleep([&] { repoint("suite-2.db", "volume/suite.db"); });
  while (m_.DebugMode && clock_.Now() < repointed.PlusSeconds(120)) loop_.RunOnce(-1);
  EXPECT_FALSE(m_.DebugMode) << "the file's link";
  EXPECT_LE(clock_.Now(), repointed.PlusSeconds(30));
  std::filesystem::create_directory(dir_.File("volume-b"));
  conn->Open("Driver=SQLite3;Database=" + dir_.File("volume/data.db"), kDbConnectTimeoutSeconds);
  conn->Execute("VACUUM INTO '" + dir_.File("volume-b/suite.db") + "'");  // debug mode on
  conn->Close();
  repointed = after_sleep([&] { repoint(dir_.File("volume-b"), "current"); });
  while (!m_.DebugMode && clock_.Now() < repointed.PlusSeconds(120)) loop_.RunOnce(-1);
  EXPECT_TRUE(m_.DebugMode) << "the folder's link";
  EXPECT_LE(clock_.Now(), repointed.PlusSeconds(30));

  const DateTime stepped = clock_.Now().PlusHours(-2);
  clock_.Set(stepped);
  while (m_.PollTicks == ticks + 1) loop_.RunOnce(-1);
  EXPECT_EQ(m_.TickStarted, stepped.PlusSeconds(2)) << "the next tick of the poll timer's grid";
}

TEST_F(RunCycleTest, StartBuildsTheTrendListAndDumpsItInDebugMode) {
  SetUpDatabase();
  WriteIni();
  auto conn = NewOdbcDriver()->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
  for (const char* sql :
       {"UPDATE Settings SET DebugMode = 1",
        "INSERT INTO ATR_Nodes (node_id, node_name, address, TrendReports) "
        "VALUES (42, 'core-1', '192.0.2.1', 1)",
        "INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
        "DbChanged) VALUES (17, 'Uplink', 42, 'core-1', 5, '1.3.6.1.2.1.2.2.1.10.1', '1')"}) {
    conn->Execute(sql);
  }
  conn->Close();
  host_.Deliver(kStateStart);
  EXPECT_EQ(m_.ServiceState, 1) << ::testing::PrintToString(Messages());
  EXPECT_TRUE(m_.DebugMode);
  ASSERT_EQ(m_.TrendListCount, 1);
  EXPECT_EQ(m_.TrendList[1].ReportId, 17);
  EXPECT_EQ(m_.TrendList[1].PollInterval, 300);
  const std::string dump = dir_.Read("Debug/T-TrendList.txt");
  EXPECT_NE(dump.find("Mib_sysTrendChanged=0\r\nReportId\tReportTitle\t"), std::string::npos);
  EXPECT_NE(dump.find("\r\n17\tUplink\t42\tcore-1\t192.0.2.1\t"), std::string::npos) << dump;
}

TEST_F(RunCycleTest, TimerIntervalAbove16383OverflowsAndLeavesThePollTimerOff) {
  SetUpDatabase();
  WriteIni("TimerInterval=16384\n");
  host_.Deliver(kStateStart);
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_EQ(m_.ServiceState, 0);
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "frmQuorlanTrend_dartSvc_State");
  EXPECT_EQ(events[0].message, "Overflow: 2 * 16384 does not fit a 16-bit integer");
}

TEST_F(RunCycleTest, StopDisablesPollingButNotTheDebugTimer) {
  SetUpDatabase();
  WriteIni();
  host_.Deliver(kStateStart);
  const DateTime before = clock_.Now();
  host_.Deliver(kStateStop);
  EXPECT_EQ(m_.ServiceState, 2);
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_TRUE(m_.timerDebug.Enabled());
  EXPECT_EQ(clock_.Now(), before.PlusMillis(2000)) << "four pauses of 500 ms";
  EXPECT_EQ(Messages().back(), "3 Quorlan Trend Reporting Service Stopped");
  EXPECT_FALSE(m_.snmpAgent.Active());
  EXPECT_FALSE(m_.snmpManager.Active());
  EXPECT_FALSE(m_.snmpMgrV3.Active());
}

TEST_F(RunCycleTest, StartWritesTheServicesFileAgentFirst) {
  SetUpDatabase();
  WriteIni();
  host_.Deliver(kStateStart);
  ASSERT_TRUE(m_.snmpAgent.Active());
  // The agent's block is stamped between its two pauses, the managers' after them.
  const std::string ts = "2026-12-07 14:30:08.000";
  EXPECT_EQ(dir_.Read("Debug/T-Services.txt"),
            std::string("############ SNMP Agent Started ###########\r\n2026-12-07 14:30:07.500") +
                "\r\nSNMP Agent Started\r\nIP=0.0.0.0\r\nPort=" + std::to_string(agent_port_) +
                "\r\n\r\n"
                "########## SNMP Manager Started ##########\r\n" +
                ts + "\r\nSNMP Manager Started\r\nIP=0.0.0.0\r\nPort=" +
                std::to_string(m_.snmpManager.LocalPort()) +
                "\r\n\r\n"
                "########## SNMP MgrV3 Started ##########\r\n" +
                ts + "\r\nSNMP MgrV3 Started\r\nIP=0.0.0.0\r\nPort=" +
                std::to_string(m_.snmpMgrV3.LocalPort()) + "\r\n\r\n");
  EXPECT_TRUE(testing::UdpPortBound(agent_port_));
}

TEST_F(RunCycleTest, AgentPortInUseFailsTheStart) {
  SetUpDatabase();
  WriteIni();
  SnmpAgent squatter(loop_);
  squatter.SetLocalPort(agent_port_);
  squatter.SetActive(true);
  host_.Deliver(kStateStart);
  // One error event, no "Started"; the host is told which port, and nothing stays open.
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(events[0].source, "modQuorlanTrend_ServiceOpen_snmpAgent");
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].message.rfind("[20000] bind udp", 0), 0u) << events[0].message;
  EXPECT_EQ(host_.failed_start, "Failed: the agent cannot bind UDP port " +
                                    std::to_string(agent_port_) +
                                    ": another process holds it (ServerPort + 1 in Quorlan.ini)");
  EXPECT_NE(m_.ServiceState, 1);
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_FALSE(m_.snmpManager.Active());
  EXPECT_FALSE(m_.snmpMgrV3.Active());
  // Every event also went to the journal with its priority (LOG_ERR 3).
  ASSERT_EQ(host_.journal.size(), 1u);
  EXPECT_EQ(host_.journal[0].rfind("3 modQuorlanTrend_ServiceOpen_snmpAgent [20000] bind udp", 0),
            0u)
      << host_.journal[0];
}

// The application events of the run go out as traps while the agent is open.
TEST(RunCycleTrapTest, StartedAndStoppedEventsAreTrapped) {
  testing::SnmptrapdPeer trapd;
  TempDir dir;
  dir.MakeDir("Debug");
  ManualClock clock;
  EventLoop loop(clock);
  FakeServiceHost host;
  Module m(dir.path(), clock, loop, host);
  CreateEmbeddedInstallation(dir.path(), testing::BuiltExecutable("quorlan-trend"));
  dir.Write("Quorlan.ini", "ServerPort=" + std::to_string(testing::FreeUdpPort() - 1) +
                               "\nServerTrapPort=" + std::to_string(trapd.port()) +
                               "\nServerIpAddr=127.0.0.1\nTimerInterval=30000\n");
  // The timer period overflows, so the start ends with an error event after the agent opened.
  AppEvent(m, kModForm, "Form_Load", "before the agent opens: no trap", kEventInfo);
  host.Deliver(kStateStart);
  host.Deliver(kStateStop);
  AppEvent(m, kModForm, "Form_Load", "after the agent closed: no trap", kEventInfo);
  const auto traps = trapd.WaitForTraps(&loop, 2);
  ASSERT_EQ(traps.size(), 2u) << trapd.Log();
  EXPECT_NE(traps[0].find("V1\t127.0.0.1\tpublic\t.1.3.6.1.4.1.32473.2.1.2\t6\t.1\t"),
            std::string::npos)
      << traps[0];
  EXPECT_NE(traps[0].find("STRING: \"Overflow: 2 * 30000 does not fit a 16-bit integer\""),
            std::string::npos)
      << traps[0];
  EXPECT_NE(traps[0].find(".1.3.6.1.4.1.32473.2.1.1.6.0 = INTEGER: 1"), std::string::npos);
  EXPECT_NE(traps[1].find("STRING: \"Quorlan Trend Reporting Service Stopped\""), std::string::npos)
      << traps[1];
  EXPECT_NE(traps[1].find(".1.3.6.1.4.1.32473.2.1.1.4.0 = STRING: \"dartSvc_State\""),
            std::string::npos);
}

TEST_F(RunCycleTest, PauseAndResumeOnlyReportAndOtherStatesAreIgnored) {
  host_.Deliver(kStatePause);
  host_.Deliver(kStateResume);
  host_.Deliver(4);
  host_.Deliver(-1);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"3 Pause Not Implemented", "3 Resume Not Implemented"}));
  EXPECT_EQ(m_.ServiceState, 0);
}

TEST_F(RunCycleTest, AStopAskedForDuringTheStartEndsItBeforeItsNextStep) {
  SetUpDatabase();
  WriteIni();
  loop_.Post([this] { host_.stop_requested = true; });  // arrives during the start's pause
  host_.Deliver(kStateStart);
  EXPECT_EQ(m_.ServiceState, 0);
  EXPECT_FALSE(m_.snmpAgent.Active());
  EXPECT_FALSE(m_.timerPoll.Enabled());
  EXPECT_TRUE(Messages().empty()) << ::testing::PrintToString(Messages());
  // Nor does any other operation wait on the database while the stop is pending.
  TrendListCreate(m_);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 Not run: the service is stopping"}));
  host_.Deliver(kStateStop);
  EXPECT_EQ(Messages().back(), "3 Quorlan Trend Reporting Service Stopped");
}

TEST_F(RunCycleTest, EventsDuringTheStartPauseAreDelivered) {
  SetUpDatabase();
  WriteIni();
  int delivered = 0;
  loop_.Post([&] { ++delivered; });
  host_.Deliver(kStateStart);
  EXPECT_EQ(delivered, 1);
}

}  // namespace
}  // namespace quorlan
