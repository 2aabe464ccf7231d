// The service killed (SIGKILL) while it replays its spool, then started again: every spooled row
// is in the suite database once, none lost and none twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "storage/storage.h"
#include "support/event_log.h"
#include "support/process.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

constexpr int kRows = 300000;  // some seconds of replay

pid_t StartService(const std::string& root) {
  pid_t pid = 0;
  const std::string exe = root + "/quorlan-trend";
  char* argv[] = {const_cast<char*>("quorlan-trend"), nullptr};
  char* envp[] = {nullptr};
  EXPECT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp), 0);
  return pid;
}

class SpoolCrashTest : public ::testing::Test {
 protected:
  SpoolCrashTest() : root_(dir_.File("opt")) {
    const auto r = testing::RunCommand(
        dir_.path(), "'" + testing::BuiltExecutable("quorlan-trendctl") + "' init '" + root_ + "'");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::ofstream(root_ + "/Quorlan.ini") << "ServerPort=" << testing::FreeUdpPort() - 1
                                          << "\nServerTrapPort=" << testing::FreeUdpPort() << "\n";
    suite_ = "Driver=SQLite3;Database=" + root_ + "/" + kSuiteDatabase;
  }

  // The spool an outage leaves: rows recorded while the suite database is away (its file moved
  // aside), one per report and minute.
  void SpoolRows() {
    const std::string db = root_ + "/" + kSuiteDatabase;
    std::filesystem::rename(db, db + ".away");
    ManualClock clock;
    EventLoop loop(clock);
    StorageState st(root_, clock, loop);
    st.DbConnStringSql = suite_;
    const DateTime start = DateTime::FromCivil({2026, 12, 7, 10, 0, 0});
    for (int i = 0; i < kRows; ++i) {
      SampleRow row;
      row.ReportId = i % 300 + 1;
      row.PollInterval = 60;
      row.Time = start.PlusSeconds(60 * (i / 300));
      row.Values = {static_cast<double>(i), 0, 0, 0, 0, 0};
      st.SampleRecorder.Record(row);
    }
    st.SampleRecorder.Stop();
    EXPECT_EQ(st.SampleRecorder.Counts().spooled, kRows);
    std::filesystem::rename(db + ".away", db);
    std::filesystem::remove(root_ + "/Debug/T-AppEvent.txt");
  }

  // A number from the suite database; -1 while the query fails (no table yet).
  int64_t Number(const std::string& sql) {
    try {
      auto conn = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
      conn->Open(suite_, kDbConnectTimeoutSeconds);
      auto rows = ExecuteQuery(*conn, sql);
      return rows->Eof() ? -1 : std::stoll(rows->Field(0).AsString());
    } catch (const RuntimeError&) {
      return -1;
    }
  }

  testing::TempDir dir_;
  std::string root_;
  std::string suite_;
};

TEST_F(SpoolCrashTest, AKillDuringTheReplayNeitherLosesNorDoublesARow) {
  SpoolRows();
  pid_t pid = StartService(root_);
  // The start pauses 7 s, then the replay begins: the first batch creates TrendSpool.
  int64_t replayed = -1;
  for (int i = 0; i < 6000 && replayed <= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    replayed = Number("SELECT SpoolOffset FROM TrendSpool");
  }
  ASSERT_GT(replayed, 0) << "the replay did not begin";
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  const int64_t before = Number("SELECT COUNT(*) FROM TrendData1");
  ASSERT_GT(before, 0);
  ASSERT_LT(before, kRows) << "the kill came after the replay";

  pid = StartService(root_);
  int64_t rows = before;
  for (int i = 0; i < 1200 && rows < kRows; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rows = Number("SELECT COUNT(*) FROM TrendData1");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a doubled batch would follow
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM TrendData1"), kRows);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM (SELECT DISTINCT ReportId, Time FROM TrendData1)"), kRows);
  EXPECT_EQ(Number("SELECT SUM(Value1) FROM TrendData1"), int64_t{kRows} * (kRows - 1) / 2);
  bool reported = false;
  for (const auto& e : testing::ReadEventLog(root_)) {
    reported = reported || e.message.find(
                               "sample row(s) that an earlier run left in the spool "
                               "were recorded") != std::string::npos;
  }
  EXPECT_TRUE(reported);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/Spool/0000000000000001.spool"));
}

}  // namespace
}  // namespace quorlan
