// The service's one event thread: a small poll(2) reactor that delivers timer ticks, socket
// readiness and posted events (service-host state changes), and the pause WaitMs that keeps
// delivering them.
//
// Delivery is re-entrant by design: a handler may call WaitMs, and the events that fall due during
// that pause run inside it, to completion, before the pause goes on. Nesting is allowed to any
// depth. Everything runs on the thread that calls Run/RunOnce/WaitMs; nothing here is thread-safe.
//
// Idle tasks: work that waits until the loop has nothing ready (commit what the handlers of one
// turn produced, then go on with background work one slice at a time), posted with PostIdle.
//
// Timers: a timer's handler is never re-entered by its own timer. A tick that falls due while the
// handler still runs (inside a WaitMs of its own) is dropped, not queued; when the handler returns,
// the timer goes on at the next multiple of its period counted from when it was enabled, so a slow
// handler makes the timer skip ticks and never makes it fire twice in a row.
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/platform/clock.h"

namespace quorlan {

class EventLoop;

// A periodic timer owned by an EventLoop. Disabled until enabled; the first tick comes one period
// after it is enabled.
class Timer {
 public:
  // Sets the period in milliseconds. A period below 1 ms stops ticking, as does disabling.
  // Changing the period of an enabled timer restarts its count from now.
  void SetInterval(int ms);
  int Interval() const { return interval_ms_; }
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }
  const std::string& Name() const { return name_; }
  // True while the tick handler runs.
  bool Running() const { return running_; }
  // Lets the timer sleep through its ticks before mono_ms (monotonic): the next tick is the
  // first of its grid at or after mono_ms, never sooner than it would have come. Called by the
  // tick handler, it counts from the tick that follows the handler's return.
  void SleepUntil(int64_t mono_ms);
  // Ends a sleep: the next tick is the first of the grid after now.
  void Wake();
  // Moves this timer's grid onto other's next tick, its period unchanged (the next tick within
  // one period from now, or, for a timer sleeping, the first of the new grid at or after the end
  // of its sleep), so that both fall due in one wake-up of the loop. Does nothing while either is
  // disabled.
  void AlignWith(const Timer& other);

 private:
  friend class EventLoop;
  Timer(EventLoop* loop, std::string name, std::function<void()> on_tick)
      : loop_(loop), name_(std::move(name)), on_tick_(std::move(on_tick)) {}
  void Restart();

  EventLoop* loop_;
  std::string name_;
  std::function<void()> on_tick_;
  int interval_ms_ = 0;
  bool enabled_ = false;
  bool running_ = false;
  int64_t next_due_ms_ = 0;     // monotonic
  int64_t sleep_until_ms_ = 0;  // asked for by the running handler; applied after it returns
  void ApplySleep(int64_t mono_ms);
};

class EventLoop {
 public:
  // REQUIRES: clock outlives the loop.
  explicit EventLoop(Clock& clock);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  Clock& clock() { return clock_; }

  // Creates a timer owned by the loop (it lives as long as the loop).
  Timer& AddTimer(std::string name, std::function<void()> on_tick);

  // Calls on_readable whenever fd is readable and events are delivered. The callback should read
  // until the descriptor would block. It may be re-entered if it calls WaitMs itself. The loop
  // does not own fd. Returns an id for Unwatch; unwatching inside a callback is allowed.
  using WatchId = uint64_t;
  WatchId WatchReadable(int fd, std::function<void()> on_readable);
  void Unwatch(WatchId id);

  // Calls on_set after each step of the wall clock (set by an administrator or stepped by NTP;
  // not slewing), as the clock reports it: work timed on the monotonic clock towards a wall-clock
  // moment can then look again. Returns an id for RemoveWallClockSet.
  WatchId OnWallClockSet(std::function<void()> on_set);
  void RemoveWallClockSet(WatchId id);

  // Queues an event for the next delivery.
  void Post(std::function<void()> event);

  // Runs task once, the next time the loop has nothing ready: RunOnce first delivers what is
  // ready without waiting and, when that was nothing, runs the idle tasks before it waits (and
  // does not wait when they posted more); a step of WaitMs runs them after its delivery, before
  // its next sleep. Tasks run in the order posted; a task posted by an idle task waits for the
  // next idle moment. An idle task must not call WaitMs.
  void PostIdle(std::function<void()> task);
  bool HasIdleTasks() const { return !idle_.empty(); }

  // Delivers everything pending now, without waiting: ready descriptors, due timers, posted
  // events. Returns the number of handlers run.
  int DeliverPending();

  // Waits up to max_wait_ms (less when a timer falls due sooner) for something to deliver, then
  // delivers everything pending. Returns the number of handlers run.
  int RunOnce(int max_wait_ms);

  // Coalesces wake-ups under dense traffic: while the last wait ended within ms milliseconds on a
  // readable descriptor (answers to a burst of requests arrive tens of microseconds apart) and
  // more is expected (expected() is true; no function: always), RunOnce delivers what is ready
  // without waiting and, when nothing is, sleeps ms (never past the next timer or its own limit)
  // before it waits, so that what arrives meanwhile is read in one wake-up instead of one each.
  // Each delivery is then up to ms late. Sparse traffic, whose waits last longer, and a peer
  // that waits for each answer before it asks again (nothing more expected) are delivered as
  // they come. 0, the default, turns it off. WaitMs is not affected: its steps already sleep.
  void SetCoalesceMs(int ms, std::function<bool()> expected = nullptr) {
    coalesce_ms_ = ms > 0 ? ms : 0;
    more_expected_ = std::move(expected);
  }

  // Runs until Quit is called.
  void Run();
  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }

  // Pauses about ms milliseconds while delivering events: ms / 10 rounded to the nearest whole
  // number (halves to even) steps of a 10 ms sleep, each followed by delivery of everything
  // pending. Below one step it returns at once: WaitMs(5) does not wait, WaitMs(15) and
  // WaitMs(25) take two steps, WaitMs(500) fifty.
  void WaitMs(int16_t ms);
  // The number of kWaitStepMs steps WaitMs(ms) takes.
  static int WaitSteps(int16_t ms);
  // A step of WaitMs. A timer that falls due during a pause runs after the sleep of its step: up
  // to one step late, or two when it fell due during the previous step's delivery (whose draining
  // of busy descriptors takes up to a step), more only when a handler or idle task runs long.
  static constexpr int kWaitStepMs = 10;

 private:
  friend class Timer;
  struct Watch {
    WatchId id;
    int fd;
    std::function<void()> callback;
  };

  int PollDescriptors(int timeout_ms);
  int RunDueTimers();
  int RunPosted();
  void RunIdle();
  int MillisToNextTimer();
  int Nap(int wait_ms);
  void WallClockWasSet();

  Clock& clock_;
  std::vector<std::unique_ptr<Timer>> timers_;
  std::vector<std::shared_ptr<Watch>> watches_;
  // The descriptors of the last wait, kept so that a wait that finds nothing ready allocates
  // nothing.
  std::vector<pollfd> pollfds_;
  std::deque<std::function<void()>> posted_;
  std::vector<std::function<void()>> idle_;
  std::vector<std::pair<WatchId, std::function<void()>>> on_wall_set_;
  bool wall_set_watched_ = false;
  WatchId next_watch_id_ = 1;
  bool quit_ = false;
  int coalesce_ms_ = 0;
  std::function<bool()> more_expected_;
  bool dense_ = false;  // the last wait ended within coalesce_ms_ on a readable descriptor
};

}  // namespace quorlan
