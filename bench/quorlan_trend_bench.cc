// quorlan_trend_bench: the service's real Module (its scheduler timerPoll_Timer, senders, response
// handling and recording through the ODBC client) on a clock that jumps over the idle time, so
// that one poll cycle of a 1-minute grid takes as long as the work, not a minute.
//
//   quorlan_trend_bench setup DIR --agent HOST:PORT --service-port P --trap-port T
//                             [--reports N] [--interval MIN] [--objects OID,...] [--v3]
//                             [--service EXE]
//     makes an embedded installation in DIR as an operator would (quorlan-trendctl's commands):
//     one node on the agent (SNMPv2c community public, or SNMPv3 user benchv3, SHA and AES-128),
//     N reports (every minute, or MIN) of six system-group objects (or the OIDs given), and a
//     Quorlan.ini without pacing (PollDelaySnmp 0, MaxPendSnmp 300), the agent on port P + 1, traps
//     to port T.
//   quorlan_trend_bench run DIR [--cycles N] [--warmup W] [--no-record] [--handshake]
//     starts the service in DIR and runs W + N poll cycles; a cycle ends when every report's row
//     is recorded. One line per cycle: "cycle C burst_us B rows R". With --handshake it prints
//     "READY" after the warm-up and "DONE" after the last cycle, and waits for a line on standard
//     input after each, so that a harness can read the process's CPU and memory in between.
//     --no-record leaves the sample rows unwritten (see sample_sink.h).
// Exit status 0 when every cycle was recorded, 1 otherwise, 2 for wrong usage.
#include <fmt/format.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "components/files.h"
#include "console/console.h"
#include "jump_clock.h"
#include "sample_sink.h"
#include "service/service.h"

namespace quorlan::bench {
namespace {

constexpr const char* kObjects[6] = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.4.0",
                                     "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.6.0", "1.3.6.1.2.1.1.7.0"};
constexpr const char* kV3User = "benchv3";
constexpr const char* kV3Password = "benchpass123";  // authentication and privacy

struct Options {
  std::vector<std::string> positionals;
  std::map<std::string, std::string> values;
  bool Has(const std::string& k) const { return values.count(k) != 0; }
  std::string Get(const std::string& k, const std::string& fallback) const {
    auto it = values.find(k);
    return it == values.end() ? fallback : it->second;
  }
  int Int(const std::string& k, int fallback) const {
    return std::stoi(Get(k, std::to_string(fallback)));
  }
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (!a.starts_with("--")) {
      o.positionals.push_back(a);
    } else if (a == "--v3" || a == "--no-record" || a == "--handshake") {
      o.values[a] = "1";
    } else if (i + 1 < argc) {
      o.values[a] = argv[++i];
    } else {
      throw std::invalid_argument("option " + a + " needs a value");
    }
  }
  if (o.positionals.size() != 1) throw std::invalid_argument("give one installation folder");
  return o;
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) out.push_back(item);
  return out;
}

// One quorlan-trendctl command on the installation; throws when it fails.
void Trendctl(const std::string& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"-d", dir});
  SystemClock clock;
  EventLoop loop(clock);
  std::ostringstream out, err;
  console::ConsoleIo io{out, err, nullptr, nullptr, [] { return false; }};
  if (console::RunTrendctl(args, clock, loop, io) != console::kExitOk) {
    throw std::runtime_error("quorlan-trendctl " + args[2] + ": " + err.str());
  }
}

void AddNode(const std::string& dir, const Options& o) {
  const std::string agent = o.Get("--agent", "127.0.0.1:28161");
  const size_t colon = agent.rfind(':');
  std::vector<std::string> args = {"node",      "add",
                                   "--name",    "bench",
                                   "--address", agent.substr(0, colon),
                                   "--port",    agent.substr(colon + 1),
                                   "--timeout", "2",
                                   "--retries", "1"};
  if (o.Has("--v3")) {
    const std::string file = dir + "/bench-password";
    WriteNewFile(file, std::string(kV3Password) + "\n");
    Trendctl(dir, {"profile", "add", kV3User, "--level", "priv", "--auth", "sha", "--priv", "aes",
                   "--auth-password-file", file, "--priv-password-file", file});
    args.insert(args.end(), {"--version", "3", "--user", kV3User});
  } else {
    args.insert(args.end(), {"--version", "2", "--community", "public"});
  }
  Trendctl(dir, args);
}

void AddReports(const std::string& dir, int reports, const std::string& interval,
                const std::vector<std::string>& objects) {
  for (int r = 1; r <= reports; ++r) {
    std::vector<std::string> args = {"report", "add",   "--title",    fmt::format("bench {}", r),
                                     "--node", "bench", "--interval", interval};
    for (size_t k = 0; k < objects.size(); ++k) {
      args.insert(args.end(), {"--object", objects[k], "--name", fmt::format("object {}", k + 1)});
    }
    Trendctl(dir, args);
  }
}

int Setup(const Options& o) {
  const std::string exe = ExecutablePath();
  const std::string service =
      o.Get("--service", exe.substr(0, exe.rfind('/')) + "/../" + kServiceExecutable);
  const std::string dir = CreateEmbeddedInstallation(o.positionals[0], service);
  WriteNewFile(dir + "/Quorlan.ini",
               fmt::format("ServerPort={}\nServerTrapPort={}\nPollDelaySnmp=0\nMaxPendSnmp=300\n",
                           o.Get("--service-port", "28100"), o.Get("--trap-port", "28199")));
  AddNode(dir, o);
  std::vector<std::string> objects(std::begin(kObjects), std::end(kObjects));
  if (o.Has("--objects")) objects = Split(o.Get("--objects", ""));
  AddReports(dir, o.Int("--reports", 300), o.Get("--interval", "1"), objects);
  std::cout << "installation " << dir << "\n";
  return 0;
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
    clock_.busy = [this] { return m_.Pending > 0 || m_.PendingV3 > 0; };
    clock_.on_boundary = [this](int64_t us) { burst_start_us_ = us; };
    count_.on_row = [this] { last_row_us_ = JumpClock::RealMicros(); };
    m_.Db = std::make_shared<SampleSinkDriver>(m_.Db, record, count_);
  }
  // Starts the service; false when it did not reach the running state.
  bool Start() {
    host_.Deliver(kStateStart);
    return m_.ServiceState == kServiceRunning && m_.TrendListCount > 0;
  }
  // Runs until rows more sample rows are recorded, within a limit of the service's time: 3
  // minutes, and 4 s per row more, since SNMPv3 requests go one per poll tick (2 s).
  bool Cycle(int rows, int64_t* burst_us) {
    const int64_t target = count_.rows + rows;
    const DateTime limit = clock_.Now().PlusSeconds(180 + 4 * rows);
    while (count_.rows < target && clock_.Now() < limit) {
      try {
        loop_.RunOnce(-1);
      } catch (const std::exception& e) {
        AppEvent(m_, kModForm, "EventLoop", e.what(), kEventError);
      }
    }
    *burst_us = last_row_us_ - burst_start_us_;
    return count_.rows >= target;
  }
  int Reports() const { return m_.TrendListCount; }
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
    void Deliver(int s) {
      state_ = s;
      if (OnState) OnState();
    }

   private:
    int state_ = -1;
  };

  JumpClock clock_;
  EventLoop loop_;
  Host host_;
  Module m_;
  SampleCount count_;
  int64_t burst_start_us_ = 0;
  int64_t last_row_us_ = 0;
};

int Run(const Options& o) {
  Bench bench(o.positionals[0], !o.Has("--no-record"));
  if (!bench.Start()) {
    std::cerr << "the service did not start with reports; see Debug/T-AppEvent.txt\n";
    return 1;
  }
  const int warmup = o.Int("--warmup", 1), cycles = o.Int("--cycles", 20);
  const bool handshake = o.Has("--handshake");
  bool all = true;
  for (int c = 1 - warmup; c <= cycles; ++c) {
    if (c == 1 && handshake) Handshake("READY");
    int64_t burst_us = 0;
    const bool ok = bench.Cycle(bench.Reports(), &burst_us);
    std::cout << fmt::format("cycle {} burst_us {} rows {}", c, burst_us, ok ? bench.Reports() : 0)
              << std::endl;
    all = all && ok;
  }
  if (handshake) Handshake("DONE");
  bench.Stop();
  return all ? 0 : 1;
}

}  // namespace
}  // namespace quorlan::bench

int main(int argc, char** argv) {
  using namespace quorlan::bench;
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command != "setup" && command != "run") throw std::invalid_argument("give setup or run");
    const Options o = Parse(argc, argv);
    return command == "setup" ? Setup(o) : Run(o);
  } catch (const std::invalid_argument& e) {
    std::cerr << "quorlan_trend_bench: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quorlan_trend_bench: " << e.what() << "\n";
    return 1;
  }
}
