#include "components/platform/clock.h"

#include <fmt/compile.h>
#include <fmt/format.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace quorlan {
namespace {

constexpr int64_t kMsPerDay = 86400000;
// Days from 1899-12-30 (the OLE epoch) to 1970-01-01.
constexpr int64_t kOleToUnixDays = 25569;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2) return (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 29 : 28;
  return kDays[m - 1];
}

// Reads 1 to max_digits decimal digits at text[*pos]; false when there is none.
bool ReadNumber(std::string_view text, size_t* pos, size_t max_digits, int* out) {
  size_t start = *pos;
  int value = 0;
  while (*pos < text.size() && *pos - start < max_digits && text[*pos] >= '0' &&
         text[*pos] <= '9') {
    value = value * 10 + (text[*pos] - '0');
    ++*pos;
  }
  *out = value;
  return *pos > start;
}

bool Expect(std::string_view text, size_t* pos, char c) {
  if (*pos >= text.size() || text[*pos] != c) return false;
  ++*pos;
  return true;
}

}  // namespace

bool IsValidCivil(const CivilTime& c) {
  return c.year >= 100 && c.year <= 9999 && c.month >= 1 && c.month <= 12 && c.day >= 1 &&
         c.day <= DaysInMonth(c.year, c.month) && c.hour >= 0 && c.hour <= 23 && c.minute >= 0 &&
         c.minute <= 59 && c.second >= 0 && c.second <= 59 && c.millisecond >= 0 &&
         c.millisecond <= 999;
}

DateTime DateTime::FromCivil(const CivilTime& c) {
  const int64_t days = DaysFromCivil(c.year, c.month, c.day) + kOleToUnixDays;
  const int64_t ms = ((c.hour * 60LL + c.minute) * 60 + c.second) * 1000 + c.millisecond;
  return FromMillis(days * kMsPerDay + ms);
}

DateTime DateTime::FromOle(double days) {
  // OLE dates before the epoch count the day part towards the past but the time of day forwards:
  // -1.25 is 1899-12-29 06:00.
  const double whole = std::trunc(days);
  const double fraction = std::fabs(days - whole);
  const int64_t ms = static_cast<int64_t>(std::llround(fraction * kMsPerDay));
  return FromMillis(static_cast<int64_t>(whole) * kMsPerDay + ms);
}

double DateTime::ToOle() const {
  const int64_t day = DayNumber();
  const int64_t time_ms = ms_ - day * kMsPerDay;
  const double fraction = static_cast<double>(time_ms) / kMsPerDay;
  if (day >= 0) return static_cast<double>(day) + fraction;
  // Mirror of FromOle: the day part is negative, the fraction still counts forwards.
  return static_cast<double>(day) - fraction;
}

int64_t DateTime::DayNumber() const { return FloorDiv(ms_, kMsPerDay); }

CivilTime DateTime::ToCivil() const {
  const int64_t day = DayNumber();
  int64_t rest = ms_ - day * kMsPerDay;
  CivilTime c;
  CivilFromDays(day - kOleToUnixDays, &c.year, &c.month, &c.day);
  c.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  c.second = static_cast<int>(rest % 60);
  rest /= 60;
  c.minute = static_cast<int>(rest % 60);
  c.hour = static_cast<int>(rest / 60);
  return c;
}

std::string DateTime::FormatDate() const {
  const CivilTime c = ToCivil();
  return fmt::format("{:04d}-{:02d}-{:02d}", c.year, c.month, c.day);
}

std::string DateTime::FormatDateTime() const {
  const CivilTime c = ToCivil();
  // Compiled formats into a buffer: a CSV export writes a time for each of a million rows.
  char text[32];
  char* end = fmt::format_to(text, FMT_COMPILE("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}"), c.year,
                             c.month, c.day, c.hour, c.minute, c.second);
  return std::string(text, end);
}

std::string DateTime::FormatTimeStamp() const {
  const CivilTime c = ToCivil();
  char text[40];
  char* end = fmt::format_to(text, FMT_COMPILE("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}.{:03d}"),
                             c.year, c.month, c.day, c.hour, c.minute, c.second, c.millisecond);
  return std::string(text, end);
}

bool ParseDateTime(std::string_view text, DateTime* out) {
  CivilTime c;
  size_t pos = 0;
  if (!ReadNumber(text, &pos, 4, &c.year) || pos != 4 || !Expect(text, &pos, '-') ||
      !ReadNumber(text, &pos, 2, &c.month) || !Expect(text, &pos, '-') ||
      !ReadNumber(text, &pos, 2, &c.day)) {
    return false;
  }
  c.hour = c.minute = c.second = 0;
  if (pos < text.size()) {
    if (!Expect(text, &pos, ' ') || !ReadNumber(text, &pos, 2, &c.hour) ||
        !Expect(text, &pos, ':') || !ReadNumber(text, &pos, 2, &c.minute)) {
      return false;
    }
    if (pos < text.size() && (!Expect(text, &pos, ':') || !ReadNumber(text, &pos, 2, &c.second))) {
      return false;
    }
    if (pos != text.size()) return false;
  }
  if (!IsValidCivil(c)) return false;
  *out = DateTime::FromCivil(c);
  return true;
}

DateTime SystemClock::Now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec != second_) {
    // The local time of a second is converted once: localtime_r costs far more than the clock
    // read, and the poll tick reads the time once for every entry of the trend list.
    struct tm local;
    localtime_r(&ts.tv_sec, &local);
    CivilTime c{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour,        local.tm_min,     local.tm_sec};
    if (c.second > 59) c.second = 59;  // a leap second reads as the last second of its minute
    second_ = ts.tv_sec;
    second_start_ = DateTime::FromCivil(c);
  }
  return second_start_.PlusMillis(ts.tv_nsec / 1000000);
}

SystemClock::~SystemClock() {
  if (wall_set_fd_ >= 0) ::close(wall_set_fd_);
}

// The timer's own expiry lies ten years ahead: only the cancellation by a step is wanted.
bool SystemClock::ArmWallSet() {
  struct itimerspec spec {};
  clock_gettime(CLOCK_REALTIME, &spec.it_value);
  spec.it_value.tv_sec += 10 * 365 * 86400;
  return timerfd_settime(wall_set_fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec,
                         nullptr) == 0;
}

int SystemClock::WallSetFd() {
  if (wall_set_fd_ < 0) {
    wall_set_fd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (wall_set_fd_ >= 0 && !ArmWallSet()) {
      ::close(wall_set_fd_);
      wall_set_fd_ = -1;
    }
  }
  return wall_set_fd_;
}

bool SystemClock::AckWallSet() {
  uint64_t expiries = 0;
  if (::read(wall_set_fd_, &expiries, sizeof expiries) >= 0 || errno != ECANCELED) return false;
  // A cancelled timer stays readable until it is armed again.
  ArmWallSet();
  return true;
}

int64_t SystemClock::MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SystemClock::SleepMs(int ms) {
  if (ms <= 0) return;
  struct timespec ts {
    ms / 1000, (ms % 1000) * 1000000L
  };
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int SystemClock::Poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  int n;
  do {
    n = ::poll(fds, count, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n;
}

int ManualClock::Poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  int n = count > 0 ? ::poll(fds, count, 0) : 0;
  if (n == 0 && timeout_ms < 0) {
    // Nothing can ever become ready in a clock that only moves when told: the caller would spin.
    throw std::logic_error("ManualClock::Poll: waiting without limit for nothing");
  }
  if (n == 0 && timeout_ms > 0) Advance(timeout_ms);
  return n;
}

}  // namespace quorlan
