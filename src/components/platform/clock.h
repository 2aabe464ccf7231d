// Local wall time for the whole service, behind one seam.
//
// Every reader of the time takes it from a Clock handed to it, never from the system directly, so
// that tests can stand at 23:59:30, cross midnight or an hour boundary without sleeping.
//
// Date-time values are OLE Automation dates: days since 1899-12-30 00:00:00 local time with the
// time of day as the fraction. DateTime holds them as whole milliseconds since that moment, which
// keeps arithmetic exact; ToOle()/FromOle() give the double form. A default-constructed DateTime
// (an untouched value) reads 1899-12-30 00:00:00.
#pragma once

#include <poll.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorlan {

// A broken-down local date and time. Month 1-12, day 1-31, hour 0-23, millisecond 0-999.
struct CivilTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

class DateTime {
 public:
  constexpr DateTime() = default;

  // REQUIRES: the fields form a valid proleptic Gregorian date and time (see IsValidCivil).
  static DateTime FromCivil(const CivilTime& c);
  static DateTime FromDate(int year, int month, int day) { return FromCivil({year, month, day}); }
  // Rounds to the nearest millisecond.
  static DateTime FromOle(double days);
  static constexpr DateTime FromMillis(int64_t ms) {
    DateTime t;
    t.ms_ = ms;
    return t;
  }

  double ToOle() const;
  CivilTime ToCivil() const;
  int64_t Millis() const { return ms_; }
  // Whole days since 1899-12-30 (floor), i.e. the date part.
  int64_t DayNumber() const;
  int Hour() const { return ToCivil().hour; }

  DateTime PlusMillis(int64_t ms) const { return FromMillis(ms_ + ms); }
  DateTime PlusSeconds(int64_t s) const { return FromMillis(ms_ + s * 1000); }
  DateTime PlusHours(int64_t h) const { return FromMillis(ms_ + h * 3600000); }
  DateTime PlusDays(int64_t d) const { return FromMillis(ms_ + d * 86400000); }

  // "YYYY-MM-DD HH:MM:SS"
  std::string FormatDateTime() const;
  // "YYYY-MM-DD"
  std::string FormatDate() const;
  // "YYYY-MM-DD HH:MM:SS.mmm": the milliseconds belong to the same reading as the seconds.
  std::string FormatTimeStamp() const;

  friend auto operator<=>(const DateTime&, const DateTime&) = default;

 private:
  int64_t ms_ = 0;
};

bool IsValidCivil(const CivilTime& c);
// Parses "YYYY-MM-DD", "YYYY-MM-DD H:M", "YYYY-MM-DD H:M:S" (hours, minutes and seconds of one or
// two digits) into *out. Returns false for any other text or an impossible date or time.
bool ParseDateTime(std::string_view text, DateTime* out);

// The platform clock. One instance is shared by everything in a service; not thread-safe (the
// service runs on one thread).
class Clock {
 public:
  virtual ~Clock() = default;
  // The current local wall time, to the millisecond.
  virtual DateTime Now() = 0;
  // A monotonic millisecond count for timers; never goes back, unrelated to the wall time.
  virtual int64_t MonotonicMs() = 0;
  // The monotonic count by which the clocks of other machines are followed (an SNMP engine's time
  // as estimated between its messages). MonotonicMs for every clock that keeps pace with the
  // world, this program's peers included; a clock that moves the program ahead of the world (one
  // that skips idle time to run minutes of work in seconds) returns the time that really passed.
  virtual int64_t WorldMonotonicMs() { return MonotonicMs(); }
  // Blocks the thread for ms milliseconds of this clock's time.
  virtual void SleepMs(int ms) = 0;
  // poll(2) in this clock's time: waits up to timeout_ms (-1: without limit) for readiness of fds.
  virtual int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) = 0;

  // Steps of the wall clock (set by hand or by NTP, not slewed). A clock that learns of them
  // through a descriptor returns it from WallSetFd (readable after a step; -1 for none), and
  // AckWallSet, called when it is readable, tells whether a step happened and watches for the
  // next. A clock that steps itself calls on_wall_set. The event loop sets both up.
  virtual int WallSetFd() { return -1; }
  virtual bool AckWallSet() { return false; }
  std::function<void()> on_wall_set;
};

// The real clock: local time of the system's time zone, CLOCK_MONOTONIC, nanosleep and poll.
class SystemClock final : public Clock {
 public:
  SystemClock() = default;
  ~SystemClock() override;
  SystemClock(const SystemClock&) = delete;
  SystemClock& operator=(const SystemClock&) = delete;

  DateTime Now() override;
  int64_t MonotonicMs() override;
  void SleepMs(int ms) override;
  int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;
  // A timerfd on CLOCK_REALTIME armed with TFD_TIMER_CANCEL_ON_SET, made at the first call;
  // -1 when the system offers none.
  int WallSetFd() override;
  bool AckWallSet() override;

 private:
  bool ArmWallSet();

  int wall_set_fd_ = -1;
  // The last second read (CLOCK_REALTIME) and its local time, converted once per second.
  time_t second_ = -1;
  DateTime second_start_;
};

// A settable clock for tests. Time moves only when told: Set() jumps the wall time (the monotonic
// count stays), Advance() moves both. SleepMs advances instead of sleeping, and Poll looks at the
// descriptors without blocking and, when none is ready, advances by the time-out; a poll without
// time-out that finds nothing ready throws std::logic_error, since it would never return.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(DateTime start = DateTime::FromDate(2026, 1, 1)) : now_(start) {}
  DateTime Now() override { return now_; }
  int64_t MonotonicMs() override { return mono_; }
  void SleepMs(int ms) override { Advance(ms); }
  int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;

  // A step of the wall clock, reported to on_wall_set.
  void Set(DateTime t) {
    now_ = t;
    if (on_wall_set) on_wall_set();
  }
  void Advance(int64_t ms) {
    now_ = now_.PlusMillis(ms);
    mono_ += ms;
  }

 private:
  DateTime now_;
  int64_t mono_ = 1000000;
};

}  // namespace quorlan
