#include "components/platform/event_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quorlan {
namespace {

TEST(WaitMsTest, StepCountsRoundHalvesToEven) {
  EXPECT_EQ(EventLoop::WaitSteps(5), 0);
  EXPECT_EQ(EventLoop::WaitSteps(15), 2);
  EXPECT_EQ(EventLoop::WaitSteps(25), 2);
  EXPECT_EQ(EventLoop::WaitSteps(35), 4);
  EXPECT_EQ(EventLoop::WaitSteps(500), 50);
  EXPECT_EQ(EventLoop::WaitSteps(7000), 700);
  EXPECT_EQ(EventLoop::WaitSteps(-20), -2);
}

// A clock that counts how the loop sleeps and delivers.
class CountingClock : public Clock {
 public:
  DateTime Now() override { return inner.Now(); }
  int64_t MonotonicMs() override { return inner.MonotonicMs(); }
  void SleepMs(int ms) override {
    ++sleeps;
    slept_ms += ms;
    inner.SleepMs(ms);
  }
  int Poll(struct pollfd* fds, nfds_t n, int timeout) override {
    return inner.Poll(fds, n, timeout);
  }
  ManualClock inner;
  int sleeps = 0;
  int slept_ms = 0;
};

TEST(WaitMsTest, SleepsTenMillisecondStepsAndDeliversAfterEach) {
  CountingClock clock;
  EventLoop loop(clock);
  std::vector<int> seen;
  for (int16_t ms : {5, 15, 25, 500}) {
    clock.sleeps = clock.slept_ms = 0;
    int posted_runs = 0;
    loop.Post([&] { ++posted_runs; });
    loop.WaitMs(ms);
    seen.push_back(clock.sleeps);
    EXPECT_EQ(clock.slept_ms, clock.sleeps * 10);
    // A posted event is delivered after the first step, unless the wait does not wait at all.
    EXPECT_EQ(posted_runs, ms == 5 ? 0 : 1) << ms;
    loop.DeliverPending();
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 2, 2, 50}));
}

// A socket that reads a batch per call is delivered again within the step while it stays
// readable, so a wait under a flood takes in more than one batch per 10 ms; a descriptor that
// never stops being readable still lets the wait end.
TEST(WaitMsTest, AStepDeliversASocketAgainWhileItStaysReadable) {
  CountingClock clock;
  EventLoop loop(clock);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(send(fds[1], "x", 1, MSG_DONTWAIT), 1);
  int received = 0, calls = 0;
  const EventLoop::WatchId reader = loop.WatchReadable(fds[0], [&] {
    char c;
    for (int n = 0; n < 64 && recv(fds[0], &c, 1, MSG_DONTWAIT) == 1; ++n) ++received;
  });
  loop.WaitMs(10);
  EXPECT_EQ(received, 200);
  EXPECT_EQ(clock.sleeps, 1);
  loop.Unwatch(reader);
  ASSERT_EQ(send(fds[1], "x", 1, 0), 1);
  loop.WatchReadable(fds[0], [&] { ++calls; });  // reads nothing: stays readable
  loop.WaitMs(20);
  EXPECT_EQ(calls, 2 * 16) << "16 deliveries in each of the two steps";
  close(fds[0]);
  close(fds[1]);
}

TEST(EventLoopTest, TimerTicksAtItsPeriodAndStopsWhenDisabled) {
  ManualClock clock;
  EventLoop loop(clock);
  int ticks = 0;
  Timer& t = loop.AddTimer("timerPoll", [&] { ++ticks; });
  t.SetInterval(2000);
  loop.RunOnce(0);
  EXPECT_EQ(ticks, 0) << "disabled until enabled";
  t.SetEnabled(true);
  clock.Advance(1999);
  loop.DeliverPending();
  EXPECT_EQ(ticks, 0);
  clock.Advance(1);
  loop.DeliverPending();
  EXPECT_EQ(ticks, 1);
  clock.Advance(2000);
  loop.DeliverPending();
  EXPECT_EQ(ticks, 2);
  t.SetEnabled(false);
  clock.Advance(10000);
  loop.DeliverPending();
  EXPECT_EQ(ticks, 2);
}

// A timer sleeps through its ticks on its own grid; a wake or a step of the wall clock ends the
// sleep at the next tick of that grid; another timer can be put on its grid.
TEST(EventLoopTest, TimerSleepsThroughTicksAndWakes) {
  ManualClock clock;
  EventLoop loop(clock);
  std::vector<int64_t> at;
  const int64_t start = clock.MonotonicMs();
  Timer* poll = nullptr;
  poll = &loop.AddTimer("timerPoll", [&] {
    at.push_back(clock.MonotonicMs() - start);
    if (at.size() == 1) poll->SleepUntil(clock.MonotonicMs() + 7000);  // from the handler
  });
  poll->SetInterval(2000);
  poll->SetEnabled(true);
  const auto run_to = [&](int64_t ms) {
    while (clock.MonotonicMs() - start < ms)
      loop.RunOnce(static_cast<int>(ms - (clock.MonotonicMs() - start)));
  };
  run_to(12000);
  EXPECT_EQ(at, (std::vector<int64_t>{2000, 10000, 12000})) << "2 s grid, 7 s asleep";
  poll->SleepUntil(clock.MonotonicMs() + 60000);
  clock.Advance(3000);
  poll->Wake();
  run_to(20000);
  EXPECT_EQ(at, (std::vector<int64_t>{2000, 10000, 12000, 16000, 18000, 20000}));
  loop.OnWallClockSet([&] { poll->Wake(); });
  poll->SleepUntil(clock.MonotonicMs() + 60000);
  clock.Advance(500);
  clock.Set(clock.Now().PlusHours(-1));
  run_to(24000);
  EXPECT_EQ(at, (std::vector<int64_t>{2000, 10000, 12000, 16000, 18000, 20000, 22000, 24000}));

  Timer& debug = loop.AddTimer("timerDebug", [] {});
  debug.SetInterval(30000);
  debug.SetEnabled(true);
  clock.Advance(700);
  debug.AlignWith(*poll);  // the poll timer's next tick is at 26000
  EXPECT_EQ(loop.RunOnce(-1), 2) << "both in one wake-up";
  EXPECT_EQ(clock.MonotonicMs() - start, 26000);
  // Aligned while asleep, a timer sleeps on, on the new grid.
  debug.SleepUntil(clock.MonotonicMs() + 100000);  // 126000: the grid's tick at 146000
  clock.Advance(1000);
  debug.AlignWith(*poll);  // the grid of 28000: its first tick after 126000 is 148000
  poll->SetEnabled(false);
  loop.RunOnce(-1);
  EXPECT_EQ(clock.MonotonicMs() - start, 148000);
}

TEST(EventLoopTest, RunOnceWaitsForTheNextTimer) {
  ManualClock clock;
  EventLoop loop(clock);
  int ticks = 0;
  Timer& t = loop.AddTimer("t", [&] { ++ticks; });
  t.SetInterval(30000);
  t.SetEnabled(true);
  const int64_t start = clock.MonotonicMs();
  while (ticks == 0) loop.RunOnce(-1);
  EXPECT_EQ(clock.MonotonicMs() - start, 30000);
}

TEST(EventLoopTest, TimerIsNotReenteredWhileItsHandlerWaitsAndOthersStillRun) {
  ManualClock clock;
  EventLoop loop(clock);
  int poll_ticks = 0, debug_ticks = 0, depth = 0, max_depth = 0;
  Timer& poll = loop.AddTimer("timerPoll", [&] {
    ++poll_ticks;
    max_depth = std::max(max_depth, ++depth);
    if (poll_ticks == 1) loop.WaitMs(10000);  // a long tick: five periods fall due meanwhile
    --depth;
  });
  Timer& debug = loop.AddTimer("timerDebug", [&] { ++debug_ticks; });
  poll.SetInterval(2000);
  debug.SetInterval(3000);
  poll.SetEnabled(true);
  debug.SetEnabled(true);
  clock.Advance(2000);
  loop.DeliverPending();
  EXPECT_EQ(poll_ticks, 1);
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(debug_ticks, 4) << "the other timer kept ticking inside the wait";
  // The ticks missed during the handler were dropped: the next comes at the next boundary.
  loop.DeliverPending();
  EXPECT_EQ(poll_ticks, 1);
  clock.Advance(2000);
  loop.DeliverPending();
  EXPECT_EQ(poll_ticks, 2);
}

TEST(EventLoopTest, DeliversReadableSocketsAndNestedWaits) {
  ManualClock clock;
  EventLoop loop(clock);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds), 0);
  std::vector<char> got;
  int depth = 0, max_depth = 0;
  auto id = loop.WatchReadable(fds[0], [&] {
    max_depth = std::max(max_depth, ++depth);
    char c;
    while (recv(fds[0], &c, 1, 0) == 1) {
      got.push_back(c);
      if (c == 'a') {
        ASSERT_EQ(send(fds[1], "b", 1, 0), 1);
        loop.WaitMs(20);  // the handler pauses; the next datagram is delivered inside
      }
    }
    --depth;
  });
  ASSERT_EQ(send(fds[1], "a", 1, 0), 1);
  loop.DeliverPending();
  EXPECT_EQ(got, (std::vector<char>{'a', 'b'}));
  EXPECT_EQ(max_depth, 2);
  loop.Unwatch(id);
  ASSERT_EQ(send(fds[1], "c", 1, 0), 1);
  loop.DeliverPending();
  EXPECT_EQ(got.size(), 2u);
  close(fds[0]);
  close(fds[1]);
}

// Under dense traffic (a wait that ended at once on a datagram) the loop reads what is ready
// without sleeping and, when nothing is, naps the coalescing interval within its wait's limit;
// a wait that timed out ends it, and a loop without coalescing, or with nothing more expected,
// never naps.
TEST(EventLoopTest, CoalescesWakeUpsOnlyUnderDenseTraffic) {
  CountingClock clock;
  EventLoop loop(clock);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds), 0);
  int got = 0;
  loop.WatchReadable(fds[0], [&] {
    char c;
    while (recv(fds[0], &c, 1, 0) == 1) ++got;
  });
  auto arrive = [&] { ASSERT_EQ(send(fds[1], "x", 1, 0), 1); };
  arrive();
  loop.RunOnce(1000);
  loop.RunOnce(5);
  EXPECT_EQ(clock.sleeps, 0) << "off by default";

  loop.SetCoalesceMs(1);
  arrive();
  loop.RunOnce(1000);  // ended at once on a datagram: dense
  arrive();
  loop.RunOnce(1000);
  EXPECT_EQ(got, 3);
  EXPECT_EQ(clock.sleeps, 0) << "what is ready is read without a nap";
  loop.RunOnce(0);
  EXPECT_EQ(clock.sleeps, 0) << "a turn that must not wait does not nap";
  const int64_t start = clock.MonotonicMs();
  loop.RunOnce(1000);
  EXPECT_EQ(clock.slept_ms, 1);
  EXPECT_EQ(clock.MonotonicMs() - start, 1000) << "the nap is part of the wait's limit";
  loop.RunOnce(1000);
  EXPECT_EQ(clock.sleeps, 1) << "the wait timed out: traffic is no longer dense";
  bool expected = false;
  loop.SetCoalesceMs(1, [&] { return expected; });
  arrive();
  loop.RunOnce(1000);
  loop.RunOnce(1000);
  EXPECT_EQ(clock.sleeps, 1) << "dense, but nothing more expected";
  expected = true;
  arrive();
  loop.RunOnce(1000);
  loop.RunOnce(1000);
  EXPECT_EQ(clock.sleeps, 2);
  close(fds[0]);
  close(fds[1]);
}

// Idle tasks run once nothing is ready: not while a socket still has datagrams, once in a wait's
// step, and a task posted by an idle task waits for the next idle moment.
TEST(EventLoopTest, IdleTasksRunWhenNothingIsReady) {
  ManualClock clock;
  EventLoop loop(clock);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds), 0);
  std::vector<std::string> seen;
  loop.WatchReadable(fds[0], [&] {
    char c;
    if (recv(fds[0], &c, 1, 0) == 1) seen.push_back(std::string(1, c));  // one per delivery
  });
  ASSERT_EQ(send(fds[1], "a", 1, 0), 1);
  ASSERT_EQ(send(fds[1], "b", 1, 0), 1);
  loop.PostIdle([&] {
    seen.push_back("idle");
    loop.PostIdle([&] { seen.push_back("next"); });
  });
  loop.RunOnce(1000);
  loop.RunOnce(1000);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"})) << "the socket was still readable";
  const int64_t before = clock.MonotonicMs();
  loop.RunOnce(1000);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "idle"}));
  EXPECT_TRUE(loop.HasIdleTasks());
  EXPECT_EQ(clock.MonotonicMs(), before) << "no wait while an idle task waits to run";
  loop.PostIdle([&] { seen.push_back("in a wait"); });
  loop.WaitMs(20);  // two steps: the first runs both tasks
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "idle", "next", "in a wait"}));
  EXPECT_FALSE(loop.HasIdleTasks());
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace quorlan
