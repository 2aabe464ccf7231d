#include "jump_clock.h"

#include <time.h>

namespace quorlan::bench {

JumpClock::JumpClock(DateTime start)
    : start_wall_ms_(start.Millis()), start_mono_ms_(system_.MonotonicMs()) {}

int64_t JumpClock::RealMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t JumpClock::MonotonicMs() { return system_.MonotonicMs() + skipped_ms_; }

int64_t JumpClock::WorldMonotonicMs() { return system_.MonotonicMs(); }

DateTime JumpClock::Now() {
  return DateTime::FromMillis(start_wall_ms_ + MonotonicMs() - start_mono_ms_);
}

void JumpClock::Jump(int ms) {
  const int64_t before = Now().Millis() / 60000;
  skipped_ms_ += ms;
  if (Now().Millis() / 60000 != before && on_boundary) on_boundary(RealMicros());
}

void JumpClock::SleepMs(int ms) {
  if (before_wait) before_wait();
  if (busy()) {
    system_.SleepMs(ms);
  } else {
    Jump(ms);
  }
}

int JumpClock::Poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  if (before_wait) before_wait();
  // One call, as the system clock makes: a wait while requests are outstanding is a real wait.
  // Waits without a limit happen only between events of a finished run; bound them anyway.
  if (timeout_ms <= 0 || busy()) return ::poll(fds, count, timeout_ms < 0 ? 100 : timeout_ms);
  const int ready = ::poll(fds, count, 0);
  if (ready != 0) return ready;
  Jump(timeout_ms);
  return 0;
}

}  // namespace quorlan::bench
