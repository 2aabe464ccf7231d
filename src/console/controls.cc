// status, pause, resume and reset-node: the running service through its agent.
#include <fmt/format.h>

#include <deque>
#include <nlohmann/json.hpp>
#include <numeric>
#include <ostream>

#include "agent/agent.h"
#include "components/platform/platform.h"
#include "console/internal.h"
#include "service/service.h"

namespace quorlan::console {
namespace {

constexpr const char* kOidSysUpTime = "1.3.6.1.2.1.1.3.0";

constexpr const char* kStatusHelp =
    "Usage: quorlan-trendctl [-d DIR] status [-n N] [--json]\n"
    "\n"
    "Whether the installation's service runs (its instance lock), its uptime, service state\n"
    "and pending change code read through its agent, the sample rows its spool holds while the\n"
    "suite database is out (rows, the oldest's time, size), and the last N (default 10) events\n"
    "of Debug/T-AppEvent.txt. Then the figures that the service writes each minute to\n"
    "quorlan-trend-status.json: the last minute's and the last hour's sample rows recorded,\n"
    "polls sent late and given up, requests, answers and database errors, and its CPU time\n"
    "and memory. With --json: the running service's pid and those figures as one JSON object\n"
    "(\"figures\" null before the service's first minute), for scripts. Exit status 0 when the\n"
    "service runs and answers, 3 when it does not run, 1 when it runs but its agent does not\n"
    "answer (with --json: when its figures cannot be read).\n";
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

// The figures the service wrote last, nullopt when it has not written any yet.
std::optional<MonitorFigures> ReadFigures(const std::string& dir, std::string* text) {
  const std::string path = dir + "/" + kStatusFileName;
  if (!FileExists(path)) return std::nullopt;
  text->clear();
  for (const std::string& line : ReadLines(path)) *text += line + "\n";
  return ParseStatusFile(*text);
}

// Why the figures do not tell about the service running now, "" when they do.
std::string Stale(const MonitorFigures& f, std::optional<int> pid, DateTime now) {
  if (pid != f.Pid) return fmt::format("left by an earlier run (pid {})", f.Pid);
  const int64_t age = (now.Millis() - f.Written.Millis()) / 1000;
  if (age > 3 * kMonitorPeriodMs / 1000) return fmt::format("not renewed for {} s", age);
  return "";
}

std::string CountsLine(const MonitorCounts& c) {
  const int64_t requests = std::accumulate(c.RequestsSent.begin(), c.RequestsSent.end(), 0L);
  const int64_t bad = std::accumulate(c.BadPackets.begin(), c.BadPackets.end(), 0L);
  return fmt::format(
      "{} rows, {} late, {} given up; {} requests ({} resent), {} answers, {} traps, {} bad "
      "packets, {} database errors; longest tick {} ms",
      c.RowsRecorded, c.PollsLate, c.PollsGivenUp, requests, c.Resends, c.Answers,
      c.TrendTraps + c.EventTraps, bad, c.DatabaseErrors, c.LongestTickMs);
}

void AddFigureRows(std::vector<std::vector<std::string>>& rows, const MonitorFigures& f,
                   const std::string& stale) {
  rows.push_back({"Figures", fmt::format("written {} by pid {}{}", f.Written.FormatDateTime(),
                                         f.Pid, stale.empty() ? "" : " (" + stale + ")")});
  rows.push_back({"Reports", fmt::format("{}{}", f.Reports, f.Paused ? " (polling paused)" : "")});
  rows.push_back(
      {"Last minute", fmt::format("{} s: {}", f.MinuteSeconds, CountsLine(f.LastMinute))});
  rows.push_back({"Last hour", fmt::format("{} min: {}", f.HourMinutes, CountsLine(f.LastHour))});
  rows.push_back({"Process", fmt::format("{:.2f} s CPU, {:.1f} MiB resident", f.CpuSeconds,
                                         static_cast<double>(f.RssBytes) / (1 << 20))});
}

int StatusJson(Context& ctx) {
  Installation inst(ctx.dir, ctx.clock, ctx.loop);
  const std::optional<int> pid = ServicePid(inst.dir());
  nlohmann::ordered_json j;
  j["installation"] = inst.dir();
  j["running"] = pid ? nlohmann::ordered_json(*pid != 0) : nlohmann::ordered_json();
  j["pid"] = pid && *pid != 0 ? nlohmann::ordered_json(*pid) : nlohmann::ordered_json();
  std::string text;
  const std::optional<MonitorFigures> f = ReadFigures(inst.dir(), &text);
  j["stale"] = f ? nlohmann::ordered_json(Stale(*f, pid, inst.Now())) : nlohmann::ordered_json();
  j["figures"] = f ? nlohmann::ordered_json::parse(text) : nlohmann::ordered_json();
  const std::optional<nlohmann::json> health = pid != 0 ? ReadHealth(inst.dir()) : std::nullopt;
  j["health"] = health ? nlohmann::ordered_json::parse(health->dump()) : nlohmann::ordered_json();
  ctx.io.out << j.dump(2) << "\n";
  return pid == 0 ? kExitNotTold : kExitOk;
}

// Fails unless the service of the installation runs.
void RequireRunning(Installation& inst) {
  if (ServicePid(inst.dir()) == 0) {
    throw RuntimeError(err::kComponent, "the service of " + inst.dir() + " is not running");
  }
}

}  // namespace

int StatusCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, {{"--lines", true, "-n"}, {"--json", false}}, "status");
  if (a.help) {
    ctx.io.out << kStatusHelp;
    return kExitOk;
  }
  RequirePositionals(a, {}, "status");
  if (a.Has("--json")) return StatusJson(ctx);
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
  if (pid != 0) rows.push_back({"Health", HealthSummary(ReadHealth(inst.dir()))});
  try {
    std::string text;
    const std::optional<MonitorFigures> f = ReadFigures(inst.dir(), &text);
    if (f) {
      AddFigureRows(rows, *f, Stale(*f, pid, inst.Now()));
    } else {
      rows.push_back(
          {"Figures", fmt::format("none yet ({} is written once a minute)", kStatusFileName)});
    }
  } catch (const std::exception& e) {
    rows.push_back({"Figures", e.what()});
  }
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
