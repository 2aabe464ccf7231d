// quorlan_trend_bench_setup: the installation that bench/quorlan_trend_bench runs, made as an
// operator would make it, with quorlan-trendctl's commands.
//
//   quorlan_trend_bench_setup DIR --agent HOST:PORT --service-port P --trap-port T
//                             [--reports N] [--interval MIN] [--objects OID,...] [--v3]
//                             [--max-pend N] [--max-reports N] [--service EXE]
//     an embedded installation in DIR: one node on the agent (SNMPv2c community public, or
//     SNMPv3 user benchv3, SHA and AES-128), N reports (every minute, or every MIN minutes) of six
//     system-group objects (or the OIDs given), and a Quorlan.ini without pacing
//     (PollDelaySnmp 0, MaxPendSnmp 300 or N, MaxTrendReports only when given), the service's
//     agent on port P + 1, traps to port T.
// Exit status 0 when done, 1 when it failed, 2 for wrong usage. A separate program from the
// bench itself, so that the bench's memory holds only what the service links.
#include <fmt/format.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_options.h"
#include "components/platform/platform.h"
#include "console/console.h"
#include "storage/storage.h"

namespace quorlan::bench {
namespace {

constexpr const char* kObjects[6] = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.4.0",
                                     "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.6.0", "1.3.6.1.2.1.1.7.0"};
constexpr const char* kV3User = "benchv3";
constexpr const char* kV3Password = "benchpass123";  // authentication and privacy

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
  // --database: the suite database on the PostgreSQL server that connection string names.
  PostgresSuiteReport report;
  const std::string dir =
      o.Has("--database")
          ? CreatePostgresInstallation(o.positionals[0], service, o.Get("--database", ""), &report)
          : CreateEmbeddedInstallation(o.positionals[0], service);
  std::string ini = fmt::format(
      "ServerPort={}\nServerTrapPort={}\nPollDelaySnmp=0\nMaxPendSnmp={}\n",
      o.Get("--service-port", "28100"), o.Get("--trap-port", "28199"), o.Int("--max-pend", 300));
  if (o.Has("--max-reports")) ini += fmt::format("MaxTrendReports={}\n", o.Int("--max-reports", 0));
  WriteNewFile(dir + "/Quorlan.ini", ini);
  AddNode(dir, o);
  std::vector<std::string> objects(std::begin(kObjects), std::end(kObjects));
  if (o.Has("--objects")) objects = Split(o.Get("--objects", ""));
  AddReports(dir, o.Int("--reports", 300), o.Get("--interval", "1"), objects);
  std::cout << "installation " << dir << "\n";
  return 0;
}

}  // namespace
}  // namespace quorlan::bench

int main(int argc, char** argv) {
  using namespace quorlan::bench;
  try {
    return Setup(Parse(argc, argv, 1));
  } catch (const std::invalid_argument& e) {
    std::cerr << "quorlan_trend_bench_setup: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quorlan_trend_bench_setup: " << e.what() << "\n";
    return 1;
  }
}
