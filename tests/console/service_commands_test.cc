// The console against a running service: the service's Module on this test's event loop with its
// real agent, polling a private snmpd into the embedded installation's SQLite database. The test
// holds the installation's instance lock, as the running service does, and ticks the poll timer
// at the minutes it chooses.
#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "agent/agent.h"
#include "components/platform/platform.h"
#include "console_fixture.h"
#include "service/service.h"
#include "support/ci.h"
#include "support/fakes.h"
#include "support/snmp_peers.h"
#include "support/stepped_clock.h"

namespace quorlan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

DateTime At(int minute) { return DateTime::FromCivil({2026, 12, 7, 10, minute, 0}); }

constexpr const char* kGauge = "1.3.6.1.4.1.32473.2.3.0";
constexpr const char* kCounter = "1.3.6.1.4.1.32473.2.1.0";

class ServiceCommandsTest : public testing::ConsoleFixture {
 protected:
  ServiceCommandsTest() : clock_(At(0)), loop_(clock_) {
    const int agent_port = testing::FreeUdpPort();
    dir_.Write("Quorlan.ini", fmt::format("ServerPort={}\nServerTrapPort={}\nPollDelaySnmp=1\n",
                                          agent_port - 1, testing::FreeUdpPort()));
    Sql("UPDATE Settings SET DebugMode = 1");  // the trend-list dump after every change pass
    Sql(
        fmt::format("INSERT INTO ATR_Nodes (node_id, node_name, address, UdpPort, SnmpVersion, "
                    "TrendReports) VALUES (42, 'core-1', '127.0.0.1', {}, 2, 1)",
                    snmpd_.port()));
    snmpd_.SetValues(fmt::format(".{} gauge 40\n.{} counter 1000\n", kGauge, kCounter));
    EXPECT_TRUE(lock_.Acquire(dir_.path()));
  }

  void Start() {
    host_.Deliver(kStateStart);
    m_.timerPoll.SetEnabled(false);
    ASSERT_EQ(m_.ServiceState, kServiceRunning);
  }
  testing::ConsoleRun Console(const std::vector<std::string>& args) {
    return Run(clock_, loop_, args);
  }
  // A poll tick at t, then events until no request is out.
  void Tick(DateTime t) {
    clock_.Set(t);
    timerPoll_Timer(m_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_.Pending != 0 && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(10);
    m_.SampleRecorder.CommitBatch();  // as the loop's next idle moment does
  }
  // The samples of report 1 as `show` prints them: the lines after its header.
  std::vector<std::string> Shown() {
    const testing::ConsoleRun r = Console({"show", "1", "--since", "2026-12-07"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines.size() < 3 ? lines : std::vector<std::string>(lines.begin() + 1, lines.end() - 1);
  }
  // The entries of the last trend-list dump as "id title PollType objects".
  std::vector<std::string> LastDump() {
    std::vector<std::string> entries;
    for (const std::string& line : ReadLines(dir_.File("Debug/T-TrendList.txt"))) {
      if (line.rfind("ReportId\t", 0) == 0) {
        entries.clear();
      } else if (!line.empty() && line.find("Mib_sysTrendChanged") == std::string::npos) {
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
        entries.push_back(f[0] + " " + f[1] + " " + f[12] + " " + f[74]);
      }
    }
    return entries;
  }

  testing::SnmpdPeer snmpd_;
  testing::SteppedClock clock_;
  EventLoop loop_;
  testing::FakeServiceHost host_;
  Module m_{dir_.path(), clock_, loop_, host_};
  InstanceLock lock_;  // held as the running service holds it
};

TEST_F(ServiceCommandsTest, ReportAddSetAndRemoveReachThePollingFromTheNextTick) {
  Start();
  ASSERT_EQ(m_.TrendListCount, 0);

  auto r = Console({"report", "add", "--title", "Uplink", "--node", "core-1", "--interval", "1",
                    "--object", kGauge, "--name", "Load"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("applies the change at its next poll tick"));
  EXPECT_EQ(m_.Mib_sysTrendChanged, 1);
  Tick(At(1));  // the addition pass
  EXPECT_THAT(LastDump(), ElementsAre("1 Uplink SnmpPoll 1"));
  Tick(At(2));
  EXPECT_THAT(Shown(), ElementsAre("Time                 Load", "2026-12-07 10:02:00    40"));

  // An edit (title, trigger) is applied by the edit pass; the report keeps being polled.
  r = Console({"report", "set", "1", "--title", "Uplink A", "--slot", "1", "--trigger", ">30"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(m_.Mib_sysTrendChanged, 2);
  Tick(At(3));
  EXPECT_THAT(LastDump(), ElementsAre("1 Uplink A SnmpStatus 1"));

  // A second object is read only by a full build: the console restarts polling with it.
  r = Console({"report", "set", "1", "--object", kCounter, "--name", "Octets", "--counter"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Polling restarted with a rebuilt trend list"));
  ASSERT_EQ(m_.TrendListCount, 1);
  EXPECT_EQ(m_.TrendList[1].PollNumObjects, 2);
  snmpd_.SetValues(fmt::format(".{} gauge 45\n.{} counter 1000\n", kGauge, kCounter));
  Tick(At(4));
  snmpd_.SetValues(fmt::format(".{} gauge 50\n.{} counter 1600\n", kGauge, kCounter));
  Tick(At(5));
  EXPECT_THAT(Shown(),
              ElementsAre("Time                 Load  Octets", "2026-12-07 10:02:00    40       0",
                          "2026-12-07 10:03:00    40       0", "2026-12-07 10:04:00    45       0",
                          "2026-12-07 10:05:00    50     600"));

  // Removed: the deletion pass ends its polling and deletes the row.
  r = Console({"report", "remove", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  Tick(At(6));
  EXPECT_THAT(LastDump(), ElementsAre("1 Uplink A Deleted 2"));
  Tick(At(7));
  EXPECT_TRUE(Rows("TrendReports").empty());
  EXPECT_EQ(Rows("TrendData1").size(), 4u);
}

TEST_F(ServiceCommandsTest, PauseStopsPollingAndResumeResumesIt) {
  Sql(
      fmt::format("INSERT INTO TrendReports (ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
                  "ObjName1, DbChanged) VALUES ('Uplink', 42, 'core-1', 1, '{}', 'Load', '0')",
                  kGauge));
  Start();
  Tick(At(1));
  auto r = Console({"status"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr(fmt::format("running (pid {})", getpid())));
  EXPECT_THAT(r.out, HasSubstr("Polling       running"));
  EXPECT_THAT(r.out, HasSubstr("Spool         empty"));

  r = Console({"pause"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(Console({"status"}).out, HasSubstr("Polling       paused"));
  Tick(At(2));
  r = Console({"resume"});
  ASSERT_EQ(r.status, 0) << r.err;
  Tick(At(3));
  EXPECT_THAT(Shown(), ElementsAre("Time                 Load", "2026-12-07 10:01:00    40",
                                   "2026-12-07 10:03:00    40"));

  // A change while paused waits for the resume, which reads everything anew.
  r = Console({"report", "set", "1", "--title", "Uplink B"});
  EXPECT_EQ(Console({"pause"}).status, 0);
  r = Console({"report", "set", "1", "--title", "Uplink C"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("paused; it applies the change when it resumes"));

  // The suite database gone: the row of the next answer waits in the spool, which the status
  // shows (the replay position unknown without the database).
  EXPECT_EQ(Console({"resume"}).status, 0);
  std::filesystem::rename(dir_.File(kSuiteDatabase), dir_.File("away.db"));
  Tick(At(4));
  r = Console({"status"});
  EXPECT_THAT(r.out, HasSubstr("Spool         at most 1 row(s) held, oldest 2026-12-07 10:04:00, "
                               "0.0 MiB"));
}

// One object the device does not have: the report still records, its column 0, and the console
// names the problem; a raised trigger is listed by `alarms`; a node that stops answering shows.
TEST_F(ServiceCommandsTest, ReportAndNodeHealthAndAlarmsReachTheConsole) {
  Sql(
      fmt::format("INSERT INTO TrendReports (ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
                  "ObjName1, ObjId2, ObjName2, TriggerAlarm1, TriggerExpr1, TriggerValue1, "
                  "DbChanged) VALUES ('Uplink', 42, 'core-1', 1, '{}', 'Load', "
                  "'1.3.6.1.4.1.32473.9.1.0', 'Gone', 1, '>', '30', '0')",
                  kGauge));
  Start();
  Tick(At(1));
  EXPECT_THAT(Shown(),
              ElementsAre("Time                 Load  Gone", "2026-12-07 10:01:00    40     0"));
  timerMonitor_Timer(m_);
  auto r = Console({"report", "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("row 2026-12-07 10:01:00; object 2 (1.3.6.1.4.1.32473.9.1.0): the "
                               "device answered noSuchObject; 0 stored at 2026-12-07 10:01:00"));
  EXPECT_THAT(Console({"node", "list"}).out, HasSubstr("answers since 2026-12-07 10:01:00"));
  r = Console({"alarms"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("1 Load  40     > 30"));
  EXPECT_THAT(Console({"status"}).out,
              HasSubstr("1 report(s) with a problem, 0 node(s) not answering, 1 alarm(s) raised"));

  // The device goes away: after the time-out and the resend the poll is given up, one event
  // names the node, and `node list` shows it.
  snmpd_.Pause();
  for (int s = 0; s <= 55; s += 5) {
    clock_.Set(At(2).PlusSeconds(s));
    timerPoll_Timer(m_);
  }
  ASSERT_EQ(m_.Counters.PollsGivenUp, 1);
  timerMonitor_Timer(m_);
  EXPECT_THAT(Console({"node", "list"}).out, HasSubstr("stopped answering at 2026-12-07 10:02"));
  EXPECT_THAT(Console({"report", "list"}).out, HasSubstr("no answer from 127.0.0.1:"));
  const std::vector<std::string> events = ReadLines(dir_.File("Debug/T-AppEvent.txt"));
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) {
                            return e.find("Node 42 (core-1, 127.0.0.1) stopped answering") !=
                                   std::string::npos;
                          }),
            1);
}

// Another installation whose Quorlan.ini names this service's agent port: its console refuses to
// pause, and this service keeps polling.
TEST_F(ServiceCommandsTest, AConsoleNeverControlsAnotherInstallationsService) {
  Start();
  testing::TempDir other;
  CreateEmbeddedInstallation(other.path(), testing::BuiltExecutable("quorlan-trend"));
  std::filesystem::copy_file(dir_.File("Quorlan.ini"), other.File("Quorlan.ini"),
                             std::filesystem::copy_options::overwrite_existing);
  InstanceLock other_lock;  // held as a service of the other installation would hold it
  ASSERT_TRUE(other_lock.Acquire(other.path()));
  std::ostringstream out, err;
  console::ConsoleIo io{out, err};
  io.ReadStdin = [] { return std::string(); };
  const int status = console::RunTrendctl({"-d", other.path(), "pause"}, clock_, loop_, io);
  EXPECT_EQ(status, console::kExitFailure);
  EXPECT_THAT(err.str(), HasSubstr("has not opened its agent (quorlan-trend-agent is missing)"));
  EXPECT_EQ(m_.ServiceState, kServiceRunning);
  // Its own console still controls it.
  EXPECT_EQ(Console({"pause"}).status, 0);
  EXPECT_EQ(m_.ServiceState, kServiceStopped);
}

TEST_F(ServiceCommandsTest, AServiceThatDoesNotAnswerIsReportedAndTheChangeStays) {
  // The lock is held but no agent answers (the service is not started).
  auto r = Console({"report", "add", "--title", "Uplink", "--node", "42", "--interval", "5",
                    "--object", kGauge});
  EXPECT_EQ(r.status, console::kExitNotTold);
  EXPECT_THAT(r.err, HasSubstr("the change is in the database, but the running service was not "
                               "told: the service of"));
  EXPECT_EQ(Rows("TrendReports").size(), 1u);
  EXPECT_EQ(Console({"status"}).status, console::kExitFailure);
}

// The samples of the metrics file as Debian's parser of the Prometheus text format reads them,
// after its checks of names, HELP and TYPE lines (tests/support/check_prometheus_text.py).
std::vector<std::string> ParsedMetrics(const std::string& path, std::string* failure) {
  const testing::ProcessResult r = testing::RunCommand(
      ".", fmt::format("/usr/bin/python3 {}/tests/support/check_prometheus_text.py {}",
                       QUORLAN_SOURCE_DIR, path));
  *failure = r.status == 0 ? "" : fmt::format("exit {}: {}", r.status, r.err);
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(ServiceCommandsTest, EachMinuteTheFiguresCountTheRowsForSystemdPrometheusAndTheConsole) {
  constexpr int kReports = 3;
  for (int i = 1; i <= kReports; ++i) {
    Sql(
        fmt::format("INSERT INTO TrendReports (ReportTitle, NodeId, NodeName, PollInterval, "
                    "ObjId1, ObjName1, DbChanged) VALUES ('Link {}', 42, 'core-1', 1, '{}', "
                    "'Load', '0')",
                    i, kGauge));
  }
  AppendToFile(dir_.File("Quorlan.ini"), "MetricsFile=quorlan-trend.prom\n");
  Start();
  m_.timerMonitor.SetEnabled(false);  // the test runs the minutes itself
  // A minute: its poll tick late_ms after the minute, then the self-monitoring at second 30.
  const auto minute = [this](int n, int late_ms) {
    clock_.Advance(At(n).Millis() + late_ms - clock_.Now().Millis());
    timerPoll_Timer(m_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_.Pending != 0 && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(10);
    clock_.Advance(At(n).PlusSeconds(30).Millis() - clock_.Now().Millis());
    timerMonitor_Timer(m_);
  };
  std::string failure;
  for (int n = 1; n <= 2; ++n) {
    minute(n, 0);
    EXPECT_EQ(host_.statuses.back(),
              "3 reports; last minute: 3 rows, 0 late, 0 given up; "
              "spool empty");
    const std::vector<std::string> samples =
        ParsedMetrics(dir_.File("quorlan-trend.prom"), &failure);
    if (failure.find("not installed") != std::string::npos) SKIP_OR_FAIL_UNDER_CI(failure);
    ASSERT_EQ(failure, "");
    EXPECT_THAT(
        samples,
        ::testing::IsSupersetOf(std::vector<std::string>{
            "quorlan_trend_reports 3", "quorlan_trend_polls_given_up_total 0",
            "quorlan_trend_polls_late_total 0",
            fmt::format("quorlan_trend_rows_recorded_total {}", kReports * n),
            "quorlan_trend_spool_rows 0",
            fmt::format("quorlan_trend_requests_sent_total{{version=\"2\"}} {}", kReports * n),
            "quorlan_trend_requests_sent_total{version=\"1\"} 0",
            "quorlan_trend_requests_sent_total{version=\"3\"} 0"}));
  }
  // Ticks come every 2 s: a tick 2.5 s after the minute (the one before it held up) sends the
  // minute's polls late.
  minute(3, 2500);
  EXPECT_EQ(host_.statuses.back(),
            "3 reports; last minute: 3 rows, 3 late, 0 given up; "
            "spool empty");

  auto r = Console({"status"});
  EXPECT_THAT(r.out, HasSubstr("Last minute   60 s: 3 rows, 3 late, 0 given up; 3 requests (0 "
                               "resent), 3 answers"));
  EXPECT_THAT(r.out, HasSubstr("Last hour     3 min: 9 rows, 3 late, 0 given up"));
  EXPECT_THAT(r.out, HasSubstr(fmt::format("by pid {}\n", getpid()))) << "current: no remark";
  r = Console({"status", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["running"], true);
  EXPECT_EQ(j["stale"], "");
  EXPECT_EQ(j["figures"]["last_minute"]["rows_recorded"], 3);
  EXPECT_EQ(j["figures"]["last_hour"]["rows_recorded"], 9);
  EXPECT_EQ(j["figures"]["since_start"]["requests_sent"]["2"], 9);

  // The suite database gone: the minute's rows wait in the spool, and the failure is counted.
  std::filesystem::rename(dir_.File(kSuiteDatabase), dir_.File("away.db"));
  minute(4, 0);
  EXPECT_THAT(host_.statuses.back(),
              ::testing::MatchesRegex("3 reports; last minute: 0 rows, 0 late, 0 given up; "
                                      "spool 3 rows; [1-9][0-9]* database errors"));
  EXPECT_THAT(ParsedMetrics(dir_.File("quorlan-trend.prom"), &failure),
              ::testing::Contains("quorlan_trend_spool_rows 3"));
  EXPECT_EQ(m_.timerMonitor.Interval(), 60000);
  // A run that came 3 s off (the wall clock was set) sets the next one back on second 30.
  clock_.Advance(At(5).PlusSeconds(33).Millis() - clock_.Now().Millis());
  timerMonitor_Timer(m_);
  EXPECT_EQ(m_.timerMonitor.Interval(), 57000);
}

}  // namespace
}  // namespace quorlan
