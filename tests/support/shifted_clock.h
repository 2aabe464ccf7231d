// The system's clock with a wall time of the test's choosing: time passes as it really does (polls
// and sleeps block for real, so answers of real peers arrive within a component's wait), but the
// wall time starts at a chosen moment and can be set, e.g. past a request's time-out.
#pragma once

#include "components/platform/platform.h"

namespace quorlan::testing {

class ShiftedClock final : public Clock {
 public:
  explicit ShiftedClock(DateTime start) { Set(start); }
  DateTime Now() override { return DateTime::FromMillis(MonotonicMs() + offset_ms_); }
  int64_t MonotonicMs() override { return system_.MonotonicMs() + skipped_ms_; }
  // The peers' time does not skip.
  int64_t WorldMonotonicMs() override { return system_.MonotonicMs(); }
  void SleepMs(int ms) override { system_.SleepMs(ms); }
  int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override {
    return system_.Poll(fds, count, timeout_ms);
  }
  // Moves the wall time; the monotonic count (timers) is not affected.
  void Set(DateTime t) { offset_ms_ = t.Millis() - MonotonicMs(); }
  // Skips ms of time: wall time and monotonic count (timers fall due) move on together.
  void Skip(int64_t ms) { skipped_ms_ += ms; }

 private:
  SystemClock system_;
  int64_t offset_ms_ = 0;
  int64_t skipped_ms_ = 0;
};

}  // namespace quorlan::testing
