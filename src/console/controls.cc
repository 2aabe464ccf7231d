// status, pause, resume and reset-node: the running service through its agent.
#include <fmt/format.h>

#include <deque>
#include <ostream>

#include "agent/agent.h"
#include "components/platform/platform.h"
#include "console/internal.h"

namespace quorlan::console {
namespace {

constexpr const char* kOidSysUpTime = "1.3.6.1.2.1.1.3.0";

constexpr const char* kStatusHelp =
    "Usage: quorlan-trendctl [-d DIR] status [-n N]\n"
    "\n"
    "Whether the installation's service runs (its instance lock), its uptime, service state\n"
    "and pending change code read through its agent, the sample rows its spool holds while the\n"
    "suite database is out (rows, the oldest's time, size), and the last N (default 10) events\n"
    "of Debug/T-AppEvent.txt. Exit status 0 when the service runs and answers, 3 when it does\n"
    "not run, 1 when it runs but its agent does not answer.\n";
constexpr const char* kControlHelp =
    "Usage: quorlan-trendctl [-d DIR] pause\n"
    "       quorlan-trendctl [-d DIR] resume\n"
    "       quorlan-trendctl [-d DIR] reset-node ID\n"
    "\n"
    "Through the running service's agent (write community SnmpAgentSetComm of Quorlan.ini):\n"
    "  pause        stops polling and trend traps (ServiceState 2); the service keeps running\n"
    "               and answering its agent\n"
    "  resume       restarts polling with the trend list built anew from the database\n"
    "               (ServiceState 1): every report's samples and alarms start afresh\n"
    "  reset-node   the node's reports restart their counters (the next counter sample stores\n"
    "               0) and their triggers return to Normal without a clearing trap\n";

std::string Uptime(const std::string& ticks) {
  const int64_t s = std::stoll(ticks) / 100;
  return fmt::format("{} d {:02}:{:02}:{:02}", s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
}

std::string StateName(const std::string& v) {
  return v == "1" ? "running" : v == "2" ? "paused" : "state " + v;
}

std::string ChangeName(const std::string& v) {
  static const char* kNames[] = {"none", "reports added", "reports edited", "reports deleted"};
  const int code = v.size() == 1 && v[0] >= '0' && v[0] <= '3' ? v[0] - '0' : -1;
  return code < 0 ? v : fmt::format("{} ({})", v, kNames[code]);
}

// The last n lines of the event log, tabs shown as two blanks.
std::vector<std::string> LastEvents(const std::string& dir, size_t n) {
  std::deque<std::string> lines;
  const std::string path = dir + "/Debug/T-AppEvent.txt";
  if (!FileExists(path)) return {};
  LineReader reader(path);
  std::string line;
  while (reader.Next(&line)) {
    std::string shown;
    for (char c : line) shown += c == '\t' ? std::string("  ") : std::string(1, c);
    lines.push_back(Printable(shown));
    if (lines.size() > n) lines.pop_front();
  }
  return {lines.begin(), lines.end()};
}

// The spool's line: "empty", or its rows, the oldest's time and its size.
std::string SpoolLine(Installation& inst) {
  try {
    const SpoolStatus spool = inst.Spool();
    if (spool.rows == 0) return "empty";
    return fmt::format("{}{} row(s) held, oldest {}, {:.1f} MiB",
                       spool.position_known ? "" : "at most ", spool.rows,
                       spool.oldest ? spool.oldest->FormatDateTime() : "unknown",
                       static_cast<double>(spool.bytes) / (1 << 20));
  } catch (const std::exception& e) {
    return std::string("cannot be read: ") + e.what();
  }
}

// The agent listens on every local address: a write community left at its documented default
// lets any host that reaches the port stop polling.
void WarnOfDefaultWriteCommunity(const IniSettings& ini, std::ostream& err) {
  const IniSettings defaults;
  if (ini.SnmpAgentSetComm == defaults.SnmpAgentSetComm) {
    err << fmt::format(
        "Warning: the agent answers on every interface and takes the documented default write "
        "community '{}': whoever reaches UDP port {} can stop polling. Set SnmpAgentSetComm in "
        "Quorlan.ini (and filter the port).\n",
        defaults.SnmpAgentSetComm, ini.AgentPort);
  }
}

// Fails unless the service of the installation runs.
void RequireRunning(Installation& inst) {
  if (ServicePid(inst.dir()) == 0) {
    throw RuntimeError(err::kComponent, "the service of " + inst.dir() + " is not running");
  }
}

}  // namespace

int StatusCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, {{"--lines", true, "-n"}}, "status");
  if (a.help) {
    ctx.io.out << kStatusHelp;
    return kExitOk;
  }
  RequirePositionals(a, {}, "status");
  const size_t n =
      static_cast<size_t>(ParseWhole(a.Value("--lines").value_or("10"), 0, 10000, "-n"));
  Installation inst(ctx.dir, ctx.clock, ctx.loop);
  const std::optional<int> pid = ServicePid(inst.dir());
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"Service", pid == 0 ? "not running"
                             : pid    ? fmt::format("running (pid {})", *pid)
                                      : "unknown (/proc/locks cannot be read)"});
  int status = pid == 0 ? kExitNotTold : kExitOk;
  if (pid != 0) {
    AgentClient agent(inst);
    try {
      const auto v = agent.Get({kOidSysUpTime, kOidServiceState, kOidSysTrendChanged});
      rows.push_back({"Agent", agent.Address() + " answers"});
      rows.push_back({"Uptime", Uptime(v[0])});
      rows.push_back({"Polling", StateName(v[1])});
      rows.push_back({"Change code", ChangeName(v[2])});
    } catch (const std::exception& e) {
      rows.push_back({"Agent", e.what()});
      status = kExitFailure;
    }
  }
  rows.push_back({"Spool", SpoolLine(inst)});
  ctx.io.out << FormatTable({"Installation", inst.dir()}, rows);
  WarnOfDefaultWriteCommunity(inst.ini(), ctx.io.err);
  const std::vector<std::string> events = LastEvents(inst.dir(), n);
  if (n > 0) {
    ctx.io.out << fmt::format("Last {} event(s) of Debug/T-AppEvent.txt:\n", events.size());
    for (const std::string& e : events) ctx.io.out << "  " << e << "\n";
  }
  return status;
}

int ControlCommand(Context& ctx, const std::string& name, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, {}, name);
  if (a.help) {
    ctx.io.out << kControlHelp;
    return kExitOk;
  }
  RequirePositionals(
      a, name == "reset-node" ? std::vector<std::string>{"ID"} : std::vector<std::string>{}, name);
  Installation inst(ctx.dir, ctx.clock, ctx.loop);
  if (name == "reset-node") {
    auto conn = inst.Open();
    const Node n = FindNode(ReadNodes(*conn), a.positionals[0]);
    RequireRunning(inst);
    AgentClient(inst).Set(kOidNodeReset, n.id);
    ctx.io.out << fmt::format("Node {} '{}': its reports' counters and alarms start afresh\n", n.id,
                              n.name);
    return kExitOk;
  }
  RequireRunning(inst);
  AgentClient(inst).Set(kOidServiceState, name == "pause" ? 2 : 1);
  ctx.io.out << (name == "pause"
                     ? "Polling paused; quorlan-trendctl resume restarts it.\n"
                     : "Polling resumed with the trend list built anew from the database.\n");
  return kExitOk;
}

}  // namespace quorlan::console
