// The service executable on the real clock, moved by libfaketime (Debian package faketime) to the
// moment a test needs: across the end of daylight-saving time, and into a paced tick that a
// SIGTERM interrupts.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "components/platform/platform.h"
#include "storage/storage.h"
#include "support/ci.h"
#include "support/event_log.h"
#include "support/process.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

constexpr const char* kFaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
constexpr const char* kOid = "1.3.6.1.4.1.32473.2.1.0";

using Clock = std::chrono::steady_clock;

class ServiceClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FileExists(kFaketime)) {
      SKIP_OR_FAIL_UNDER_CI(std::string("libfaketime is missing: ") + kFaketime);
    }
    root_ = CreateEmbeddedInstallation(dir_.File("opt"), testing::BuiltExecutable("quorlan-trend"));
  }
  void TearDown() override {
    if (service_) service_->Stop();
  }

  void Sql(const std::string& sql) {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + root_ + "/" + kSuiteDatabase, kDbConnectTimeoutSeconds);
    conn->Execute(sql);
    conn->Close();
  }
  // The Time column of the TrendData1 rows, in the order they were written; none before the
  // service has created the table.
  std::vector<std::string> SampleTimes() {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + root_ + "/" + kSuiteDatabase, kDbConnectTimeoutSeconds);
    std::vector<std::string> out;
    try {
      for (auto rs = conn->Execute("SELECT Time FROM TrendData1 ORDER BY rowid"); !rs->Eof();
           rs->MoveNext()) {
        out.push_back(rs->Field(0).AsString());
      }
    } catch (const RuntimeError&) {
      // not created yet
    }
    return out;
  }
  // A node on 127.0.0.1:port with `reports` one-minute reports of kOid, and the service's ports.
  void Install(int port, int reports, const std::string& ini) {
    std::ofstream(root_ + "/Quorlan.ini") << "ServerPort=" << testing::FreeUdpPort() - 1
                                          << "\nServerTrapPort=" << testing::FreeUdpPort() << "\n"
                                          << ini;
    Sql(fmt::format(
        "INSERT INTO ATR_Nodes (node_id, node_name, address, UdpPort, SnmpVersion, TrendReports) "
        "VALUES (42, 'core-1', '127.0.0.1', {}, 2, 1)",
        port));
    Sql(fmt::format(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {}) "
        "INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
        "DbChanged) SELECT i, 'Report ' || i, 42, 'core-1', 1, '{}', '0' FROM n",
        reports, kOid));
  }
  // Starts the service in the time zone tz with its clock at the UTC instant utc (the monotonic
  // clock stays real).
  void Start(const std::string& tz, const struct tm& utc) {
    struct tm t = utc;
    const int64_t offset = static_cast<int64_t>(timegm(&t)) - time(nullptr);
    service_ = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{root_ + "/quorlan-trend"},
        std::vector<std::string>{"TZ=" + tz, std::string("LD_PRELOAD=") + kFaketime,
                                 fmt::format("FAKETIME={:+d}", offset), "DONT_FAKE_MONOTONIC=1"},
        dir_.File("service.out"));
  }
  static bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return done();
  }

  testing::TempDir dir_;
  std::string root_;
  std::unique_ptr<testing::ChildProcess> service_;
};

// 2026-10-25 03:00 CEST becomes 02:00 CET. The service starts at 02:59:50 CEST; its one-minute
// report, next due at 03:00 by the clock it read, records its first row at 02:01 CET instead of
// an hour later.
TEST_F(ServiceClockTest, AOneMinuteReportRecordsWithinTwoMinutesOfTheEndOfDaylightSavingTime) {
  testing::SnmpdPeer snmpd(fmt::format(".{} gauge 42\n", kOid));
  Install(snmpd.port(), 1, "");
  Start("Europe/Berlin",
        {.tm_sec = 50, .tm_min = 59, .tm_hour = 0, .tm_mday = 25, .tm_mon = 9, .tm_year = 126});
  const bool recorded =
      WaitUntil([this] { return !SampleTimes().empty(); }, std::chrono::seconds(150));
  ASSERT_TRUE(recorded) << testing::ReadEventLog(root_).size() << " events; " << snmpd.Log();
  // The change comes 10 s after the start; the first minute of the grid after it is 02:01:00,
  // polled by the first tick from then on (ticks are 2 s apart).
  EXPECT_GE(SampleTimes()[0], "2026-10-25 02:01:00");
  EXPECT_LE(SampleTimes()[0], "2026-10-25 02:02:00");
  service_->Signal(SIGTERM);
  ASSERT_TRUE(WaitUntil([this] { return service_->Exited(); }, std::chrono::seconds(10)));
  EXPECT_EQ(service_->exit_code(), 0);
}

// A tick that sends to 300 silent due entries paces them 400 ms apart (the start-up period): two
// minutes of sends. A SIGTERM in its middle ends the process within seconds.
TEST_F(ServiceClockTest, ASigtermInAPacedTickOfThreeHundredEntriesEndsTheProcessWithinTenSeconds) {
  UdpSocket device;
  device.Open("127.0.0.1", testing::FreeUdpPort());
  Install(device.LocalPort(), 300, "MaxPendSnmp=300\n");
  Start("UTC",
        {.tm_sec = 50, .tm_min = 0, .tm_hour = 10, .tm_mday = 7, .tm_mon = 11, .tm_year = 126});
  int received = 0;
  const auto requests = [&device, &received] {
    UdpSocket::Datagram dg;
    while (device.Receive(&dg)) ++received;
    return received;
  };
  ASSERT_TRUE(WaitUntil([&] { return requests() >= 5; }, std::chrono::seconds(40)))
      << received << " requests";
  const auto asked = Clock::now();
  service_->Signal(SIGTERM);
  WaitUntil([this] { return service_->Exited(); }, std::chrono::seconds(30));
  const double seconds = std::chrono::duration<double>(Clock::now() - asked).count();
  ASSERT_TRUE(service_->Exited()) << "still running " << seconds << " s after SIGTERM";
  EXPECT_LT(seconds, 10);
  EXPECT_EQ(service_->exit_code(), 0);
  EXPECT_LT(requests(), 30) << "the tick ended at the stop";
  const auto events = testing::ReadEventLog(root_);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().message, "Quorlan Trend Reporting Service Stopped");
}

}  // namespace
}  // namespace quorlan
