// The service's health file as the console shows it: a report's last row and problem, a node's
// answering, and `alarms`.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "console/internal.h"
#include "service/service.h"

namespace quorlan::console {
namespace {

using Json = nlohmann::json;

constexpr const char* kAlarmsHelp =
    "Usage: quorlan-trendctl alarms [--json]\n"
    "\n"
    "Lists the alarms raised now: each object whose trigger condition holds, with its value and\n"
    "threshold, as the running service wrote them last (once a minute, in\n"
    "quorlan-trend-health.json). --json prints them as a JSON array.\n";

// The entry of list whose key is id, or null.
const Json* Find(const Json& list, const char* key, int id) {
  if (!list.is_array()) return nullptr;
  for (const Json& e : list) {
    if (e.value(key, 0) == id) return &e;
  }
  return nullptr;
}

std::string Text(const Json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace

std::optional<Json> ReadHealth(const std::string& dir) {
  const std::string path = dir + "/" + kHealthFileName;
  if (!FileExists(path)) return std::nullopt;
  std::string text;
  for (const std::string& line : ReadLines(path)) text += line + "\n";
  Json j = Json::parse(text, nullptr, false);
  if (j.is_discarded() || j.value("format", "") != kHealthFileFormat) return std::nullopt;
  // Left by an earlier run: what it says is no longer true.
  if (ServicePid(dir) != j.value("pid", 0)) return std::nullopt;
  return j;
}

std::string ReportHealthText(const std::optional<Json>& health, int report_id) {
  if (!health) return "";
  const Json* h = Find((*health)["reports"], "report", report_id);
  if (h == nullptr) return "no row yet";
  const std::string row = Text(*h, "last_row");
  const std::string problem = Text(*h, "problem");
  // A problem of the same answer as the last row (an object without a value) still shows.
  if (!problem.empty() && (row.empty() || Text(*h, "problem_time") >= row)) {
    return fmt::format("{}{} at {}", row.empty() ? "no row: " : "row " + row + "; ", problem,
                       Text(*h, "problem_time"));
  }
  return row.empty() ? "no row yet" : "row " + row;
}

std::string NodeHealthText(const std::optional<Json>& health, int node_id) {
  if (!health) return "";
  const Json* h = Find((*health)["nodes"], "node", node_id);
  if (h == nullptr) return "not polled yet";
  if (h->value("answers", true)) return "answers since " + Text(*h, "since");
  return (h->value("answered", false) ? "stopped answering at " : "never answered, since ") +
         Text(*h, "since");
}

std::string HealthSummary(const std::optional<Json>& health) {
  if (!health) return fmt::format("none from the running service yet ({})", kHealthFileName);
  int problems = 0;
  for (const Json& r : (*health)["reports"]) {
    const std::string problem_time = Text(r, "problem_time");
    if (!problem_time.empty() && problem_time >= Text(r, "last_row")) ++problems;
  }
  int silent = 0;
  for (const Json& n : (*health)["nodes"]) silent += n.value("answers", true) ? 0 : 1;
  return fmt::format(
      "{} report(s) with a problem, {} node(s) not answering, {} alarm(s) raised "
      "(report list, node list, alarms)",
      problems, silent, (*health)["alarms"].size());
}

int AlarmsCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, {{"--json", false}}, "alarms");
  if (a.help) {
    ctx.io.out << kAlarmsHelp;
    return kExitOk;
  }
  RequirePositionals(a, {}, "alarms");
  Installation inst(ctx.dir, ctx.clock, ctx.loop);
  const std::optional<Json> health = ReadHealth(inst.dir());
  if (!health) {
    throw RuntimeError(err::kComponent,
                       fmt::format("the service of {} is not running or has not written {} yet",
                                   inst.dir(), kHealthFileName));
  }
  const Json& alarms = (*health)["alarms"];
  if (a.Has("--json")) {
    ctx.io.out << alarms.dump(2) << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Json& e : alarms) {
    rows.push_back({std::to_string(e.value("report", 0)), Text(e, "title"),
                    fmt::format("{} ({})", Text(e, "node_name"), e.value("node", 0)),
                    fmt::format("{} {}", e.value("object", 0), Text(e, "name")),
                    fmt::format("{}", e.value("value", 0.0)),
                    Text(e, "condition") + " " + Text(e, "threshold")});
  }
  ctx.io.out << fmt::format("Alarms raised, as of {}:\n", Text(*health, "written"));
  ctx.io.out << FormatTable({"Report", "Title", "Node", "Object", "Value", "Condition"}, rows,
                            {true});
  return kExitOk;
}

}  // namespace quorlan::console
