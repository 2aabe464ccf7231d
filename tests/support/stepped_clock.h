// A wall clock of the test's choosing whose pauses take no real time, while waits for sockets
// block for real: a service's start and stop pauses and its WaitMs steps pass at once, and the
// answers of real peers (snmpd, net-snmp's clients) arrive while the test waits for them. Wall and
// monotonic time move by the pauses and by the time-outs of waits that found nothing ready.
#pragma once

#include <poll.h>

#include "components/platform/platform.h"

namespace quorlan::testing {

class SteppedClock final : public Clock {
 public:
  explicit SteppedClock(DateTime start) : now_(start) {}
  DateTime Now() override { return now_; }
  int64_t MonotonicMs() override { return mono_; }
  void SleepMs(int ms) override { Advance(ms); }
  int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override {
    const int n = ::poll(fds, count, timeout_ms);
    if (n == 0 && timeout_ms > 0) Advance(timeout_ms);
    return n;
  }
  // Moves the wall time; the monotonic count (timers) is not affected.
  void Set(DateTime t) { now_ = t; }
  void Advance(int64_t ms) {
    now_ = now_.PlusMillis(ms);
    mono_ += ms;
  }

 private:
  DateTime now_;
  int64_t mono_ = 1000000;
};

}  // namespace quorlan::testing
