// The service executable on the real clock, moved by libfaketime (Debian package faketime) to the
// moment a test needs: across the end of daylight-saving time, and into a paced tick that a
// SIGTERM interrupts.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <array>
#include <chrono>
#include <cstdlib>
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
using Seconds = std::chrono::seconds;

bool WaitUntil(const std::function<bool()>& done, Seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return done();
}

class ServiceClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FileExists(kFaketime)) SKIP_OR_FAIL_UNDER_CI(std::string("no libfaketime: ") + kFaketime);
    root_ = CreateEmbeddedInstallation(dir_.File("opt"), testing::BuiltExecutable("quorlan-trend"));
  }
  void TearDown() override {
    if (service_) service_->Stop();
  }
  std::unique_ptr<Connection> Suite() {
    auto conn = NewOdbcDriver()->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + root_ + "/" + kSuiteDatabase, kDbConnectTimeoutSeconds);
    return conn;
  }
  // The Time of the first TrendData1 row; "" while there is none (or no table yet).
  std::string FirstSampleTime() {
    try {
      const auto conn = Suite();
      auto rows = conn->Execute("SELECT Time FROM TrendData1 ORDER BY rowid");
      return rows->Eof() ? "" : rows->Field(0).AsString();
    } catch (const RuntimeError&) {
      return "";
    }
  }
  // A node on 127.0.0.1:port with `reports` one-minute reports of oid; the service's own ports.
  void Install(int port, int reports, const std::string& ini, const char* oid = kOid) {
    std::ofstream(root_ + "/Quorlan.ini") << "ServerPort=" << testing::FreeUdpPort() - 1
                                          << "\nServerTrapPort=" << testing::FreeUdpPort() << "\n"
                                          << ini;
    Suite()->Execute(fmt::format(
        "INSERT INTO ATR_Nodes (node_id, node_name, address, UdpPort, SnmpVersion, TrendReports) "
        "VALUES (42, 'core-1', '127.0.0.1', {}, 2, 1)",
        port));
    Suite()->Execute(fmt::format(
        "INSERT INTO TrendReports (ReportId, ReportTitle, NodeId, NodeName, PollInterval, ObjId1, "
        "DbChanged) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {}) "
        "SELECT i, 'Report ' || i, 42, 'core-1', 1, '{}', '0' FROM n",
        reports, oid));
  }
  // The sample rows of TrendData1 in its first minute, how many reports they are of, and the rows
  // of later minutes.
  std::array<int, 3> FirstMinuteRows() {
    try {
      const auto conn = Suite();
      auto rows = conn->Execute(
          "SELECT count(*), count(DISTINCT ReportId), (SELECT count(*) FROM TrendData1 WHERE "
          "substr(Time, 1, 16) > m) FROM TrendData1, (SELECT substr(min(Time), 1, 16) AS m FROM "
          "TrendData1) WHERE substr(Time, 1, 16) = m");
      return {rows->Field(0).AsInt32(), rows->Field(1).AsInt32(), rows->Field(2).AsInt32()};
    } catch (const RuntimeError&) {
      return {0, 0, 0};  // no table yet
    }
  }
  // Starts the service in time zone tz with its wall clock at the UTC instant utc. A sanitizer
  // build accepts the preloaded library before its own runtime.
  void Start(const std::string& tz, struct tm utc) {
    const int64_t offset = static_cast<int64_t>(timegm(&utc)) - time(nullptr);
    const char* asan = std::getenv("ASAN_OPTIONS");
    service_ = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{root_ + "/quorlan-trend"},
        std::vector<std::string>{"TZ=" + tz, std::string("LD_PRELOAD=") + kFaketime,
                                 fmt::format("FAKETIME={:+d}", offset), "DONT_FAKE_MONOTONIC=1",
                                 fmt::format("ASAN_OPTIONS={}{}verify_asan_link_order=0",
                                             asan ? asan : "", asan && *asan ? ":" : "")},
        dir_.File("service.out"));
  }

  testing::TempDir dir_;
  std::string root_;
  std::unique_ptr<testing::ChildProcess> service_;
};

// 2026-10-25 03:00 CEST becomes 02:00 CET. Started at 02:59:50 CEST, the service plans its
// one-minute report for 03:00 by the clock it read; it records the report from 02:01 CET on
// instead of an hour later.
TEST_F(ServiceClockTest, AOneMinuteReportRecordsWithinTwoMinutesOfTheEndOfDaylightSavingTime) {
  testing::SnmpdPeer snmpd(fmt::format(".{} gauge 42\n", kOid));
  Install(snmpd.port(), 1, "");
  Start("Europe/Berlin", {.tm_sec = 50, .tm_min = 59, .tm_mday = 25, .tm_mon = 9, .tm_year = 126});
  ASSERT_TRUE(WaitUntil([this] { return !FirstSampleTime().empty(); }, Seconds(240)))
      << snmpd.Log();
  // Polled by the first tick (2 s apart) of the minute 02:01, the first of the grid after 02:00.
  RecordProperty("first_row", FirstSampleTime());
  EXPECT_GE(FirstSampleTime(), "2026-10-25 02:01:00");
  EXPECT_LE(FirstSampleTime(), "2026-10-25 02:02:00");
}

// MaxTrendReports=2000: 2,000 one-minute reports of snmpd's sysUpTime, 200 requests in flight
// and no pause, so that each 2-second tick sends 200; all of them are recorded in the first
// minute polled. The start (its pauses alone take 9 s) ends well before that minute: a list
// built across a minute's start would plan its last entries for the minute after.
TEST_F(ServiceClockTest, TwoThousandReportsAreRecordedInOneMinute) {
  testing::SnmpdPeer snmpd;
  Install(snmpd.port(), 2000, "MaxTrendReports=2000\nMaxPendSnmp=200\nPollDelaySnmp=0\n",
          "1.3.6.1.2.1.1.3.0");
  Start("UTC", {.tm_sec = 20, .tm_hour = 10, .tm_mday = 7, .tm_mon = 11, .tm_year = 126});
  std::array<int, 3> rows{};
  const bool done = WaitUntil(
      [&] {
        rows = FirstMinuteRows();
        return rows[0] >= 2000 || rows[2] > 0;
      },
      Seconds(150));
  std::string errors;  // the error events
  for (const auto& e : testing::ReadEventLog(root_)) {
    if (e.type == "1") errors += e.source + ": " + e.message + "\n";
  }
  ASSERT_TRUE(done) << rows[0] << " rows, the first at " << FirstSampleTime() << "\n" << errors;
  RecordProperty("first_minute", FirstSampleTime());
  EXPECT_EQ(rows, (std::array<int, 3>{2000, 2000, 0})) << "rows, reports, rows of later minutes";
  EXPECT_EQ(errors, "");
}

// 300 due entries of a silent device, paced 400 ms apart in the start-up period: a tick of two
// minutes. A SIGTERM in its middle ends the process within seconds.
TEST_F(ServiceClockTest, ASigtermInAPacedTickOfThreeHundredEntriesEndsTheProcessWithinTenSeconds) {
  UdpSocket device;
  device.Open("127.0.0.1", testing::FreeUdpPort());
  Install(device.LocalPort(), 300, "MaxPendSnmp=300\n");
  Start("UTC", {.tm_sec = 50, .tm_hour = 10, .tm_mday = 7, .tm_mon = 11, .tm_year = 126});
  int requests = 0;
  const auto received = [&] {
    for (UdpSocket::Datagram dg; device.Receive(&dg);) ++requests;
    return requests;
  };
  ASSERT_TRUE(WaitUntil([&] { return received() >= 5; }, Seconds(40))) << requests;
  const auto asked = std::chrono::steady_clock::now();
  service_->Signal(SIGTERM);
  WaitUntil([this] { return service_->Exited(); }, Seconds(30));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  ASSERT_TRUE(service_->Exited()) << "still running " << seconds << " s after SIGTERM";
  RecordProperty("seconds_to_exit", fmt::format("{:.1f}", seconds));
  EXPECT_LT(seconds, 10);
  EXPECT_EQ(service_->exit_code(), 0);
  EXPECT_LT(received(), 30) << "the tick ended at the stop";
  const auto events = testing::ReadEventLog(root_);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().message, "Quorlan Trend Reporting Service Stopped");
}

}  // namespace
}  // namespace quorlan
