#include <gtest/gtest.h>

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

TEST_F(AppEventTest, ShorteningWithoutLogDoesNothing) {
  DebugDirClear_AE(rt_);
  EXPECT_FALSE(FileExists(dir_.File("Debug/T-AppEvent.txt")));
}

}  // namespace
}  // namespace quorlan
