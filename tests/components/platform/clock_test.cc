#include "components/platform/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>

namespace quorlan {
namespace {

TEST(DateTimeTest, UntouchedValueIsTheOleEpoch) {
  DateTime t;
  EXPECT_EQ(t.FormatDateTime(), "1899-12-30 00:00:00");
  EXPECT_EQ(t.ToOle(), 0.0);
}

TEST(DateTimeTest, OleDaysMatchTheCalendar) {
  // 2026-12-07 09:05:00 is day 46363 plus 9h05.
  const DateTime t = DateTime::FromCivil({2026, 12, 7, 9, 5, 0});
  EXPECT_DOUBLE_EQ(t.ToOle(), 46363.0 + (9 * 60 + 5) / 1440.0);
  EXPECT_EQ(DateTime::FromOle(t.ToOle()), t);
  EXPECT_EQ(DateTime::FromOle(1.0).FormatDateTime(), "1899-12-31 00:00:00");
  EXPECT_EQ(DateTime::FromOle(-1.25).FormatDateTime(), "1899-12-29 06:00:00");
  EXPECT_DOUBLE_EQ(DateTime::FromOle(-1.25).ToOle(), -1.25);
  EXPECT_EQ(DateTime::FromDate(2024, 2, 29).FormatDate(), "2024-02-29");
}

TEST(DateTimeTest, TimeStampHasMillisecondsOfTheSameReading) {
  const DateTime t = DateTime::FromCivil({2026, 12, 31, 23, 59, 59, 999});
  EXPECT_EQ(t.FormatTimeStamp(), "2026-12-31 23:59:59.999");
  EXPECT_EQ(t.PlusMillis(1).FormatTimeStamp(), "2027-01-01 00:00:00.000");
}

TEST(DateTimeTest, ParsesTheFormsTheServiceWrites) {
  DateTime t;
  ASSERT_TRUE(ParseDateTime("2026-12-07 9:5:00", &t));
  EXPECT_EQ(t.FormatDateTime(), "2026-12-07 09:05:00");
  ASSERT_TRUE(ParseDateTime("2026-05-03", &t));
  EXPECT_EQ(t.FormatDateTime(), "2026-05-03 00:00:00");
  for (const char* bad :
       {"2026-02-30", "2026-13-01", "26-01-01", "2026-01-01 24:00", "garbage", "2026-01-01x", ""}) {
    EXPECT_FALSE(ParseDateTime(bad, &t)) << bad;
  }
}

TEST(ManualClockTest, SetJumpsWallTimeAndAdvanceMovesBoth) {
  ManualClock clock(DateTime::FromCivil({2026, 5, 10, 23, 59, 30}));
  const int64_t mono = clock.MonotonicMs();
  clock.Advance(45000);
  EXPECT_EQ(clock.Now().FormatDateTime(), "2026-05-11 00:00:15");
  EXPECT_EQ(clock.MonotonicMs(), mono + 45000);
  clock.Set(DateTime::FromDate(2020, 1, 1));
  EXPECT_EQ(clock.MonotonicMs(), mono + 45000);
}

TEST(SystemClockTest, ReadsLocalTime) {
  SystemClock clock;
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  const DateTime expected =
      DateTime::FromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min, std::min(local.tm_sec, 59)});
  const DateTime a = clock.Now();
  EXPECT_LE(a, clock.Now());
  EXPECT_LE(std::llabs(a.Millis() - expected.Millis()), 2000) << a.FormatTimeStamp();
}

// The local time of each second is converted once: readings across a change of second (and
// within one) stay between the local times of the real clock read just before and just after.
TEST(SystemClockTest, EveryReadingIsTheLocalTimeOfItsMoment) {
  auto local_ms = [] {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    localtime_r(&ts.tv_sec, &local);
    return DateTime::FromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
                                static_cast<int>(ts.tv_nsec / 1000000)});
  };
  SystemClock clock;
  // Wait until shortly before the next second, then read across it.
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct timespec rest {
    0, std::max(0L, 980000000L - ts.tv_nsec)
  };
  nanosleep(&rest, nullptr);
  const DateTime start = clock.Now();
  int seconds_seen = 0;
  // Until a change of second has been read (at most 1.1 s, should the sleep overshoot it).
  for (DateTime last = start; seconds_seen == 0 && clock.Now().Millis() - start.Millis() < 1100;) {
    const DateTime before = local_ms();
    const DateTime now = clock.Now();
    const DateTime after = local_ms();
    ASSERT_LE(before, now);
    ASSERT_LE(now, after);
    if (now.Millis() / 1000 != last.Millis() / 1000) ++seconds_seen;
    last = now;
  }
  EXPECT_GE(seconds_seen, 1) << "the readings crossed a second";
}

}  // namespace
}  // namespace quorlan
