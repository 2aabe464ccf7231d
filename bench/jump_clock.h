// The bench program's clock: the real clock's time plus the time it skipped. While requests are
// in flight it is the real clock (sleeps and waits block, answers arrive); when the event loop has
// nothing to do and nothing is outstanding, a wait returns at once and the clock jumps to the end
// of the wait, i.e. to the next timer tick. So the service's timers and its wall-clock grid run as
// they would, every tick of them, without waiting a real minute for the next poll boundary.
#pragma once

#include <functional>

#include "components/platform/platform.h"

namespace quorlan::bench {

class JumpClock final : public Clock {
 public:
  // The wall time starts at start. busy() tells whether requests are outstanding (then time is
  // real); it must be set before the first wait.
  explicit JumpClock(DateTime start);

  DateTime Now() override;
  int64_t MonotonicMs() override;
  // The real monotonic time: snmpd's engine clock runs on it, not on the skipped time, and the
  // SNMPv3 manager's estimate of that clock must too (otherwise each request of a cycle that
  // skipped ten minutes would draw a notInTimeWindow Report and a resend that a real service
  // never sees).
  int64_t WorldMonotonicMs() override;
  void SleepMs(int ms) override;
  int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;

  std::function<bool()> busy;
  // Called at the start of every wait (Poll, SleepMs), when set.
  std::function<void()> before_wait;
  // Called with the real monotonic time in microseconds whenever a jump crosses a whole minute
  // of the wall time (a poll boundary).
  std::function<void(int64_t real_us)> on_boundary;

  // The real monotonic time in microseconds.
  static int64_t RealMicros();

 private:
  void Jump(int ms);

  SystemClock system_;
  int64_t start_wall_ms_;
  int64_t start_mono_ms_;
  int64_t skipped_ms_ = 0;
};

}  // namespace quorlan::bench
