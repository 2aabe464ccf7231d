#include "components/platform/event_loop.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quorlan {

void Timer::SetInterval(int ms) {
  interval_ms_ = ms;
  Restart();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Restart();
}

void Timer::Restart() {
  next_due_ms_ = loop_->clock().MonotonicMs() + interval_ms_;
  sleep_until_ms_ = 0;
}

void Timer::ApplySleep(int64_t mono_ms) {
  if (interval_ms_ < 1 || mono_ms <= next_due_ms_) return;
  const int64_t periods = (mono_ms - next_due_ms_ + interval_ms_ - 1) / interval_ms_;
  next_due_ms_ += periods * interval_ms_;
}

void Timer::SleepUntil(int64_t mono_ms) {
  if (running_) {
    sleep_until_ms_ = std::max(sleep_until_ms_, mono_ms);
  } else {
    ApplySleep(mono_ms);
  }
}

void Timer::Wake() {
  sleep_until_ms_ = 0;
  if (interval_ms_ < 1) return;
  const int64_t now = loop_->clock().MonotonicMs();
  if (next_due_ms_ - now <= interval_ms_) return;
  next_due_ms_ -= (next_due_ms_ - now - 1) / interval_ms_ * interval_ms_;
}

void Timer::AlignWith(const Timer& other) {
  if (!enabled_ || !other.enabled_ || interval_ms_ < 1 || other.interval_ms_ < 1) return;
  const int64_t now = loop_->clock().MonotonicMs();
  // A sleeping timer (next tick more than a period away) sleeps on, on the new grid.
  const int64_t asleep_until = next_due_ms_ - now > interval_ms_ ? next_due_ms_ : 0;
  int64_t next = other.next_due_ms_;
  if (next > now) {
    next -= (next - now - 1) / interval_ms_ * interval_ms_;
  } else {
    next += ((now - next) / interval_ms_ + 1) * interval_ms_;
  }
  next_due_ms_ = next;
  if (asleep_until != 0) ApplySleep(asleep_until);
}

EventLoop::EventLoop(Clock& clock) : clock_(clock) {}
EventLoop::~EventLoop() {
  if (wall_set_watched_) clock_.on_wall_set = nullptr;
}

EventLoop::WatchId EventLoop::OnWallClockSet(std::function<void()> on_set) {
  if (!wall_set_watched_) {
    wall_set_watched_ = true;
    clock_.on_wall_set = [this] { WallClockWasSet(); };
    const int fd = clock_.WallSetFd();
    if (fd >= 0) {
      WatchReadable(fd, [this] {
        if (clock_.AckWallSet()) WallClockWasSet();
      });
    }
  }
  const WatchId id = next_watch_id_++;
  on_wall_set_.emplace_back(id, std::move(on_set));
  return id;
}

void EventLoop::RemoveWallClockSet(WatchId id) {
  std::erase_if(on_wall_set_, [id](const auto& entry) { return entry.first == id; });
}

void EventLoop::WallClockWasSet() {
  // A copy: a callback may remove itself.
  const auto callbacks = on_wall_set_;
  for (const auto& [id, on_set] : callbacks) on_set();
}

Timer& EventLoop::AddTimer(std::string name, std::function<void()> on_tick) {
  timers_.push_back(std::unique_ptr<Timer>(new Timer(this, std::move(name), std::move(on_tick))));
  return *timers_.back();
}

EventLoop::WatchId EventLoop::WatchReadable(int fd, std::function<void()> on_readable) {
  const WatchId id = next_watch_id_++;
  watches_.push_back(std::make_shared<Watch>(Watch{id, fd, std::move(on_readable)}));
  return id;
}

void EventLoop::Unwatch(WatchId id) {
  std::erase_if(watches_, [id](const std::shared_ptr<Watch>& w) { return w->id == id; });
}

void EventLoop::Post(std::function<void()> event) { posted_.push_back(std::move(event)); }

void EventLoop::PostIdle(std::function<void()> task) { idle_.push_back(std::move(task)); }

void EventLoop::RunIdle() {
  // Only the tasks posted before this moment; a task may post the next slice of its work.
  std::vector<std::function<void()>> tasks;
  tasks.swap(idle_);
  for (std::function<void()>& task : tasks) task();
}

int EventLoop::PollDescriptors(int timeout_ms) {
  pollfds_.clear();
  for (const auto& w : watches_) pollfds_.push_back(pollfd{w->fd, POLLIN, 0});
  const int ready = clock_.Poll(pollfds_.data(), pollfds_.size(), timeout_ms);
  if (ready <= 0) return 0;
  // The ready watches, taken before any callback runs: callbacks may add or remove watches, and
  // may re-enter delivery (which reuses pollfds_). Nothing changes the watches during the wait.
  std::vector<std::shared_ptr<Watch>> ready_watches;
  ready_watches.reserve(static_cast<size_t>(ready));
  for (size_t i = 0; i < pollfds_.size(); ++i) {
    if (pollfds_[i].revents != 0) ready_watches.push_back(watches_[i]);
  }
  int delivered = 0;
  for (const auto& watch : ready_watches) {
    const bool still_watched =
        std::any_of(watches_.begin(), watches_.end(),
                    [&](const std::shared_ptr<Watch>& w) { return w == watch; });
    if (!still_watched) continue;
    watch->callback();  // the shared_ptr keeps the callback alive if it unwatches itself
    ++delivered;
  }
  return delivered;
}

int EventLoop::RunDueTimers() {
  int delivered = 0;
  // Index loop: a handler may add timers (the vector may grow, Timer objects never move).
  for (size_t i = 0; i < timers_.size(); ++i) {
    Timer& t = *timers_[i];
    if (!t.enabled_ || t.running_ || t.interval_ms_ < 1) continue;
    const int64_t now = clock_.MonotonicMs();
    if (now < t.next_due_ms_) continue;
    {
      struct Running {
        Timer& timer;
        ~Running() { timer.running_ = false; }
      } running{t};
      t.running_ = true;
      t.on_tick_();
    }
    ++delivered;
    // Ticks that fell due while the handler ran are dropped: go on at the next period boundary
    // after now. A handler that disabled or re-timed its own timer has already reset next_due_ms_.
    const int64_t after = clock_.MonotonicMs();
    if (t.next_due_ms_ <= after && t.interval_ms_ >= 1) {
      const int64_t missed = (after - t.next_due_ms_) / t.interval_ms_ + 1;
      t.next_due_ms_ += missed * t.interval_ms_;
    }
    t.ApplySleep(std::exchange(t.sleep_until_ms_, 0));
  }
  return delivered;
}

int EventLoop::RunPosted() {
  int delivered = 0;
  // Only the events queued before this delivery; events posted by handlers wait for the next one.
  size_t count = posted_.size();
  while (count-- > 0 && !posted_.empty()) {
    std::function<void()> event = std::move(posted_.front());
    posted_.pop_front();
    event();
    ++delivered;
  }
  return delivered;
}

int EventLoop::DeliverPending() {
  int delivered = PollDescriptors(0);
  delivered += RunDueTimers();
  delivered += RunPosted();
  return delivered;
}

int EventLoop::MillisToNextTimer() {
  int64_t best = -1;
  const int64_t now = clock_.MonotonicMs();
  for (const auto& t : timers_) {
    if (!t->enabled_ || t->running_ || t->interval_ms_ < 1) continue;
    const int64_t wait = std::max<int64_t>(0, t->next_due_ms_ - now);
    if (best < 0 || wait < best) best = wait;
  }
  return static_cast<int>(best);
}

int EventLoop::RunOnce(int max_wait_ms) {
  if (!idle_.empty()) {
    // Idle tasks wait for a moment when nothing is ready: deliver what is, and only when that
    // was nothing run them before waiting.
    const int ready = DeliverPending();
    if (ready > 0) return ready;
    RunIdle();
    // An idle task that posted its next slice does not wait: the next turn checks first.
    if (!idle_.empty()) return 0;
  }
  int wait = posted_.empty() ? max_wait_ms : 0;
  const int to_timer = MillisToNextTimer();
  if (to_timer >= 0 && (wait < 0 || to_timer < wait)) wait = to_timer;
  int delivered = 0;
  if (dense_ && wait != 0 && (!more_expected_ || more_expected_())) {
    delivered = PollDescriptors(0);
    if (delivered == 0) wait = Nap(wait);
  }
  if (delivered == 0) {
    const int64_t before = clock_.MonotonicMs();
    delivered = PollDescriptors(wait);
    // Only a wait that could have blocked tells how dense the traffic is.
    if (wait != 0) {
      dense_ = coalesce_ms_ > 0 && delivered > 0 && clock_.MonotonicMs() - before < coalesce_ms_;
    }
  }
  delivered += RunDueTimers();
  delivered += RunPosted();
  return delivered;
}

// Sleeps coalesce_ms_, or less when wait_ms (negative: no limit) ends sooner; returns what is
// left of wait_ms.
int EventLoop::Nap(int wait_ms) {
  const int nap = wait_ms < 0 ? coalesce_ms_ : std::min(wait_ms, coalesce_ms_);
  clock_.SleepMs(nap);
  return wait_ms < 0 ? wait_ms : wait_ms - nap;
}

void EventLoop::Run() {
  while (!quit_) RunOnce(-1);
}

int EventLoop::WaitSteps(int16_t ms) {
  // ms / 10 rounded to the nearest whole number, halves to the even neighbour.
  return static_cast<int>(std::nearbyint(static_cast<double>(ms) / 10.0));
}

// A descriptor still readable after its delivery in a step of WaitMs (a socket reads a batch per
// call) is delivered again, up to kDrainRoundsPerStep times and for at most kDrainMsPerStep more
// per step: a flood cannot then hold a socket to one batch per 10 ms while the kernel drops what
// else arrives, real answers among it.
namespace {
constexpr int kDrainRoundsPerStep = 16;
constexpr int kDrainMsPerStep = EventLoop::kWaitStepMs;  // so a timer is at most two steps late
}  // namespace

void EventLoop::WaitMs(int16_t ms) {
  const int steps = WaitSteps(ms);
  for (int i = 0; i < steps; ++i) {
    clock_.SleepMs(kWaitStepMs);
    DeliverPending();
    const int64_t until = clock_.MonotonicMs() + kDrainMsPerStep;
    for (int round = 1; round < kDrainRoundsPerStep && clock_.MonotonicMs() < until; ++round) {
      if (PollDescriptors(0) == 0) break;
    }
    if (!idle_.empty()) RunIdle();
  }
}

}  // namespace quorlan
