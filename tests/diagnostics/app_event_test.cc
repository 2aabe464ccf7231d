#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "components/platform/platform.h"
#include "diagnostics/diagnostics.h"
#include "support/event_log.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::ReadEventLog;
using testing::TempDir;

class RecordingTraps : public AppEventTrapSender {
 public:
  void SendAppEventTrap(const std::string& module, const std::string& procedure,
                        const std::string& message, int16_t type) override {
    sent.push_back(module + "|" + procedure + "|" + message + "|" + std::to_string(type));
  }
  std::vector<std::string> sent;
};

class AppEventTest : public ::testing::Test {
 protected:
  AppEventTest() : clock_(DateTime::FromCivil({2024, 5, 1, 13, 45, 7, 123})), loop_(clock_) {
    dir_.MakeDir("Debug");
  }
  TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  Runtime rt_{dir_.path(), clock_, loop_};
};

TEST_F(AppEventTest, WritesOneTabSeparatedCrLfLinePerEvent) {
  AppEvent(rt_, kModForm, "dartSvc_State", "Quorlan Trend Reporting Service Stopped", kEventInfo);
  AppEvent(rt_, kModShared, "ReadIni", "", kEventError);
  EXPECT_EQ(dir_.Read("Debug/T-AppEvent.txt"),
            "2024-05-01 13:45:07.123\t3\tfrmQuorlanTrend_dartSvc_State\t"
            "Quorlan Trend Reporting Service Stopped\r\n"
            "2024-05-01 13:45:07.123\t1\tmodQuorlanTrend_ReadIni\t\r\n");
}

TEST_F(AppEventTest, ControlCharactersBecomeBlanksSoThatEachEventIsOneLine) {
  // Driver and peer texts carry line breaks and tabs; a forged line must not appear.
  AppEvent(rt_, kModShared, "Set\tBy", "bad\r\n2024-05-01 13:45:07.123\t3\tforged\tline\x7f",
           kEventError);
  AppEvent(rt_, kModShared, "Next", "after", kEventInfo);
  const std::string first =
      "2024-05-01 13:45:07.123\t1\tmodQuorlanTrend_Set By\tbad  2024-05-01 13:45:07.123 3 forged "
      "line \r\n";
  EXPECT_EQ(dir_.Read("Debug/T-AppEvent.txt"),
            first + "2024-05-01 13:45:07.123\t3\tmodQuorlanTrend_Next\tafter\r\n");
  DebugDirClear_AE(rt_);  // the daily shortening keeps the event whole
  EXPECT_EQ(dir_.Read("Debug/T-AppEvent.txt").substr(0, first.size()), first);
}

TEST_F(AppEventTest, TimeStampAtMidnightKeepsThreeDigits) {
  clock_.Set(DateTime::FromCivil({2026, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(FormatTimeStamp(rt_), "2026-01-01 00:00:00.000");
  clock_.Set(DateTime::FromCivil({2026, 1, 1, 0, 0, 0, 7}));
  EXPECT_EQ(FormatTimeStamp(rt_), "2026-01-01 00:00:00.007");
}

TEST_F(AppEventTest, HandsTheEventToTheTrapSideAfterLogging) {
  RecordingTraps traps;
  rt_.EventTraps = &traps;
  AppEvent(rt_, kModShared, "DelTrendData", "0 rows", kEventInfo);
  ASSERT_EQ(traps.sent.size(), 1u);
  EXPECT_EQ(traps.sent[0], "modQuorlanTrend|DelTrendData|0 rows|3");
}

TEST(AppEventNoFolderTest, WithoutDebugFolderTheEventIsDroppedSilently) {
  TempDir dir;
  ManualClock clock;
  EventLoop loop(clock);
  Runtime rt(dir.path(), clock, loop);
  RecordingTraps traps;
  rt.EventTraps = &traps;
  AppEvent(rt, kModForm, "Form_Load", "Service Installed", kEventInfo);
  EXPECT_FALSE(DirectoryExists(dir.File("Debug"))) << "the folder is never created";
  EXPECT_TRUE(traps.sent.empty()) << "no log line, no trap";
}

TEST_F(AppEventTest, ShorteningKeepsTheLast59DaysAndDropsUndatedLines) {
  clock_.Set(DateTime::FromCivil({2026, 3, 2, 0, 0, 5}));
  dir_.Write("Debug/T-AppEvent.txt",
             "2026-01-01 10:00:00.000\t3\tm_p\t60 days old\r\n"
             "2026-01-02 00:00:00.000\t3\tm_p\t59 days old\r\n"
             "garbage line without a date\r\n"
             "2026-02-30 10:00:00.000\t3\tm_p\tnot a date\r\n"
             "2026-03-02\r\n"
             "2026-03-02 00:00:01.000\t3\tm_p\ttoday\r\n");
  DebugDirClear_AE(rt_);
  EXPECT_EQ(dir_.Read("Debug/T-AppEvent.txt"),
            "2026-01-02 00:00:00.000\t3\tm_p\t59 days old\r\n"
            "2026-03-02 00:00:01.000\t3\tm_p\ttoday\r\n");
  EXPECT_FALSE(FileExists(dir_.File("Debug/T-AppEvent.bak")));
}

TEST_F(AppEventTest, ShorteningReplacesAnOldBackupAndKeepsEventsLoggedDuringItsPause) {
  clock_.Set(DateTime::FromCivil({2026, 3, 2, 0, 0, 5}));
  dir_.Write("Debug/T-AppEvent.bak", "2026-03-01 00:00:00.000\t3\tm_p\tleft from a failed run\r\n");
  dir_.Write("Debug/T-AppEvent.txt", "2026-03-01 12:00:00.000\t3\tm_p\tlive\r\n");
  loop_.Post([&] { AppEvent(rt_, kModForm, "snmpManager_Response", "during the pause", 1); });
  DebugDirClear_AE(rt_);
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].message, "live");
  EXPECT_EQ(events[1].message, "during the pause");
  EXPECT_FALSE(FileExists(dir_.File("Debug/T-AppEvent.bak")));
}

// The peak resident memory of this process in KiB (VmHWM).
long PeakKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(AppEventTest, ShorteningStreamsTheLogInBoundedMemory) {
  clock_.Set(DateTime::FromCivil({2026, 3, 2, 0, 0, 5}));
  const std::string recent = "2026-03-01 10:00:00.000\t3\tm_p\t" + std::string(70, 'r') + "\r\n";
  const std::string old = "2025-03-01 10:00:00.000\t3\tm_p\t" + std::string(70, 'o') + "\r\n";
  const std::string long_line = "2026-03-01 11:00:00.000\t1\tm_p\t" + std::string(200000, 'L');
  {
    std::ofstream log(dir_.File("Debug/T-AppEvent.txt"), std::ios::binary);
    for (int i = 0; i < 200000; ++i) log << recent << old;  // 40 MB
    log << long_line << "\n"
        << "2025-01-01 10:00:00.000\t3\tm_p\tlast, old";
  }
  // The shortening runs in a child, whose exit status is the MiB its peak memory grew by.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const long before = PeakKib();
    DebugDirClear_AE(rt_);
    _exit(static_cast<int>(std::min<long>((PeakKib() - before) / 1024, 255)));
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_LT(WEXITSTATUS(status), 8) << "MiB held while shortening a 40 MB log";
  const std::string kept = dir_.Read("Debug/T-AppEvent.txt");
  EXPECT_EQ(kept.size(), 200000 * recent.size() + long_line.size() + 2);
  EXPECT_EQ(kept.substr(0, recent.size()), recent);
  EXPECT_EQ(kept.substr(kept.size() - long_line.size() - 2), long_line + "\r\n");
  EXPECT_FALSE(FileExists(dir_.File("Debug/T-AppEvent.bak")));
}

TEST_F(AppEventTest, ShorteningWithoutLogDoesNothing) {
  DebugDirClear_AE(rt_);
  EXPECT_FALSE(FileExists(dir_.File("Debug/T-AppEvent.txt")));
}

}  // namespace
}  // namespace quorlan
