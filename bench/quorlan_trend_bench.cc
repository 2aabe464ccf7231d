// quorlan_trend_bench: the service's real Module (its scheduler timerPoll_Timer, senders, response
// handling and recording through the ODBC client) on a clock that jumps over the idle time, so
// that one poll cycle of a 1-minute grid takes as long as the work, not a minute.
//
//   quorlan_trend_bench DIR [--cycles N] [--warmup W] [--no-record] [--handshake] [--split]
//     starts the service in the installation DIR (made by quorlan_trend_bench_setup) and runs
//     W + N poll cycles; a cycle ends when every report's row is recorded. One line per cycle:
//     "cycle C burst_us B rows R". With --handshake it prints "READY" after the warm-up and "DONE"
//     after the last cycle, and waits for a line on standard input after each, so that a harness
//     can read the process's CPU and memory in between. --no-record leaves the sample rows
//     unwritten (see sample_sink.h). A row counts when the recorder has committed it, or written
//     it to its spool (while another writer holds the database locked, say). --split also
//     prints, before DONE, the thread's CPU of the measured cycles in two parts, cut at each wait
//     of the event loop: from a wait to the next, the stretches that ran a poll tick (the
//     wake-up, the walk over the list and the requests the tick sends) and all the others (the
//     answers' wake-ups, their decoding, the rows and their commits):
//     "split_ticks T tick_ns N other_ns O".
// Exit status 0 when every cycle was recorded, 1 otherwise, 2 for wrong usage.
#include <fmt/format.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "components/platform/platform.h"
#include "jump_clock.h"
#include "sample_sink.h"
#include "service/service.h"

namespace quorlan::bench {
namespace {

// The calling thread's CPU time in nanoseconds.
int64_t ThreadCpuNanos() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// What one ThreadCpuNanos reading costs, to take out of each interval measured with two.
int64_t ReadingCostNanos() {
  constexpr int kReadings = 2000;
  const int64_t start = ThreadCpuNanos();
  for (int i = 1; i < kReadings; ++i) ThreadCpuNanos();
  return (ThreadCpuNanos() - start) / kReadings;
}

void Handshake(const char* word) {
  std::cout << word << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

class Bench {
 public:
  Bench(const std::string& dir, bool record)
      : clock_(DateTime::FromCivil({2026, 12, 7, 10, 0, 0})),
        loop_(clock_),
        host_(loop_),
        m_(dir, clock_, loop_, host_) {
    CoalesceAnswers(m_, loop_);  // as the service's main does
    clock_.busy = [this] { return m_.Pending > 0 || m_.PendingV3 > 0; };
    clock_.on_boundary = [this](int64_t us) { burst_start_us_ = us; };
    if (!record) m_.Db = std::make_shared<SampleSinkDriver>(m_.Db);
  }
  // Starts the service; false when it did not reach the running state.
  bool Start() {
    host_.Deliver(kStateStart);
    return m_.ServiceState == kServiceRunning && m_.TrendListCount > 0;
  }
  // Runs until rows more sample rows are recorded, within a limit of the service's time: 3
  // minutes, and 4 s per row more, since SNMPv3 requests go one per poll tick (2 s).
  bool Cycle(int rows, int64_t* burst_us) {
    const int64_t target = Rows() + rows;
    const DateTime limit = clock_.Now().PlusSeconds(180 + 4 * rows);
    while (Rows() < target && clock_.Now() < limit) {
      const int64_t before = Rows();
      try {
        loop_.RunOnce(-1);
      } catch (const std::exception& e) {
        AppEvent(m_, kModForm, "EventLoop", e.what(), kEventError);
      }
      if (Rows() != before) last_row_us_ = JumpClock::RealMicros();
    }
    *burst_us = last_row_us_ - burst_start_us_;
    return Rows() >= target;
  }
  // Starts adding up the CPU of the passes apart (see --split).
  void StartSplit() {
    reading_ns_ = ReadingCostNanos();
    stretch_start_ns_ = ThreadCpuNanos();
    stretch_tick_ = m_.TickStarted;
    clock_.before_wait = [this] { EndStretch(); };
  }
  std::string SplitLine() const {
    return fmt::format("split_ticks {} tick_ns {} other_ns {}", split_ticks_, split_tick_ns_,
                       split_other_ns_);
  }
  int Reports() const { return m_.TrendListCount; }
  // Rows committed in the database or written to the spool.
  int64_t Rows() const {
    const RecorderCounts& c = m_.SampleRecorder.Counts();
    return c.recorded + c.spooled;
  }
  void Stop() { host_.Deliver(kStateStop); }

 private:
  // Delivers the service host's state events as systemd's host does, without signals.
  class Host final : public ServiceHost {
   public:
    explicit Host(EventLoop&) {}
    void Install(const std::string&, int) override {}
    void Uninstall(const std::string&) override {}
    void Run() override {}
    int State() const override { return state_; }
    bool StopRequested() const override { return false; }
    void SetStatus(const std::string& text) override { std::cerr << "status: " << text << "\n"; }
    void FailStart(const std::string& why) override { std::cerr << "failed: " << why << "\n"; }
    void Journal(int16_t, const std::string&, const std::string&) override {}
    void Deliver(int s) {
      state_ = s;
      if (OnState) OnState();
    }

   private:
    int state_ = -1;
  };

  // Ends the stretch since the last wait: a tick's when a poll tick began in it or still runs (a
  // tick that pauses waits too).
  void EndStretch() {
    const int64_t now = ThreadCpuNanos();
    const int64_t ns = now - stretch_start_ns_ - reading_ns_;
    if (m_.TickStarted != stretch_tick_ || m_.Counters.TickStartMs >= 0) {
      split_ticks_ += m_.TickStarted != stretch_tick_ ? 1 : 0;
      split_tick_ns_ += ns;
    } else {
      split_other_ns_ += ns;
    }
    stretch_start_ns_ = now;
    stretch_tick_ = m_.TickStarted;
  }

  JumpClock clock_;
  EventLoop loop_;
  Host host_;
  Module m_;
  int64_t burst_start_us_ = 0;
  int64_t last_row_us_ = 0;
  int64_t reading_ns_ = 0;
  int64_t stretch_start_ns_ = 0;
  DateTime stretch_tick_;
  int64_t split_ticks_ = 0, split_tick_ns_ = 0, split_other_ns_ = 0;
};

int Run(const Options& o) {
  ReturnLargeBlocksWhenFreed();  // as the service's main does
  Bench bench(o.positionals[0], !o.Has("--no-record"));
  if (!bench.Start()) {
    std::cerr << "the service did not start with reports; see Debug/T-AppEvent.txt\n";
    return 1;
  }
  const int warmup = o.Int("--warmup", 1), cycles = o.Int("--cycles", 20);
  const bool handshake = o.Has("--handshake");
  bool all = true;
  for (int c = 1 - warmup; c <= cycles; ++c) {
    if (c == 1) {
      // The start wrote the suite database. On a real clock its files are long settled by the
      // next settings read, which then reads nothing from an unchanged file; here minutes pass in
      // milliseconds, so let a second pass (the file system's clock) before measuring.
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));
      if (handshake) Handshake("READY");
      if (o.Has("--split")) bench.StartSplit();
    }
    int64_t burst_us = 0;
    const bool ok = bench.Cycle(bench.Reports(), &burst_us);
    std::cout << fmt::format("cycle {} burst_us {} rows {}", c, burst_us, ok ? bench.Reports() : 0)
              << std::endl;
    all = all && ok;
  }
  if (o.Has("--split")) std::cout << bench.SplitLine() << std::endl;
  if (handshake) Handshake("DONE");
  bench.Stop();
  return all ? 0 : 1;
}

}  // namespace
}  // namespace quorlan::bench

int main(int argc, char** argv) {
  using namespace quorlan::bench;
  try {
    return Run(Parse(argc, argv, 1));
  } catch (const std::invalid_argument& e) {
    std::cerr << "quorlan_trend_bench: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quorlan_trend_bench: " << e.what() << "\n";
    return 1;
  }
}
