// The console against a running service: the service's Module on this test's event loop with its
// real agent, polling a private snmpd into the embedded installation's SQLite database. The test
// holds the installation's instance lock, as the running service does, and ticks the poll timer
// at the minutes it chooses.
#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>

#include "agent/agent.h"
#include "components/platform/platform.h"
#include "console_fixture.h"
#include "service/service.h"
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

TEST_F(ServiceCommandsTest, AServiceThatDoesNotAnswerIsReportedAndTheChangeStays) {
  // The lock is held but no agent answers (the service is not started).
  auto r = Console({"report", "add", "--title", "Uplink", "--node", "42", "--interval", "5",
                    "--object", kGauge});
  EXPECT_EQ(r.status, console::kExitNotTold);
  EXPECT_THAT(r.err, HasSubstr("the change is in the database, but the running service was not "
                               "told: GET request"));
  EXPECT_EQ(Rows("TrendReports").size(), 1u);
  EXPECT_EQ(Console({"status"}).status, console::kExitFailure);
}

}  // namespace
}  // namespace quorlan
