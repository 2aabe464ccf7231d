// The health file: each report's last row and last problem, each node's answering, and the
// alarms raised now, for the console.
#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <set>

#include "service/service.h"

namespace quorlan {
namespace {

using Json = nlohmann::ordered_json;

Json Time(DateTime t) { return t == DateTime() ? Json() : Json(t.FormatDateTime()); }

Json Reports(const HealthBook& book) {
  Json out = Json::array();
  for (const auto& [id, h] : book.Reports()) {
    out.push_back({{"report", id},
                   {"last_row", Time(h.LastRow)},
                   {"problem", h.Problem.empty() ? Json() : Json(h.Problem)},
                   {"problem_time", Time(h.ProblemTime)}});
  }
  return out;
}

Json Nodes(const HealthBook& book) {
  Json out = Json::array();
  for (const auto& [id, h] : book.Nodes()) {
    out.push_back({{"node", id},
                   {"name", h.Name},
                   {"address", h.Address},
                   {"answers", !h.Silent},
                   {"answered", h.Answered},
                   {"since", Time(h.Since)}});
  }
  return out;
}

Json Alarms(const Module& m) {
  Json out = Json::array();
  for (int16_t c = 1; c <= m.TrendListCount; ++c) {
    const TrendListEntry& e = m.TrendList[c];
    for (int k = 1; k <= kTrendObjects; ++k) {
      if (!e.PollTriggerStatus[k]) continue;
      out.push_back({{"report", e.ReportId},
                     {"title", e.ReportTitle},
                     {"node", e.NodeId},
                     {"node_name", e.NodeName},
                     {"object", k},
                     {"name", e.PollObjName[k]},
                     {"value", e.PollSavedValue[k]},
                     {"condition", e.PollTriggerExpr[k]},
                     {"threshold", e.PollTriggerValueText[k]}});
    }
  }
  return out;
}

}  // namespace

std::string HealthFileText(const Module& m, int pid, DateTime written) {
  Json j;
  j["format"] = kHealthFileFormat;
  j["version"] = kHealthFileVersion;
  j["pid"] = pid;
  j["written"] = written.FormatDateTime();
  j["reports"] = Reports(m.Health);
  j["nodes"] = Nodes(m.Health);
  j["alarms"] = Alarms(m);
  // Invalid UTF-8 in a name read from the database is replaced rather than refused.
  return j.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// Forgets the reports and nodes no longer in the trend list. The book can hold more than the list
// only when some left it; the walk runs then, not every minute.
void RetainListed(Module& m) {
  const auto listed = static_cast<size_t>(m.TrendListCount);
  if (m.Health.Reports().size() <= listed && m.Health.Nodes().size() <= listed) return;
  std::set<int32_t> reports;
  std::set<int32_t> nodes;
  for (int16_t c = 1; c <= m.TrendListCount; ++c) {
    reports.insert(m.TrendList[c].ReportId);
    nodes.insert(m.TrendList[c].NodeId);
  }
  m.Health.Retain([&](int32_t id) { return reports.contains(id); },
                  [&](int32_t id) { return nodes.contains(id); });
}

void HealthFileWrite(Module& m) {
  RetainListed(m);
  if (!m.Health.TakeChanged()) return;
  const std::string path = m.AppPath + "/" + kHealthFileName;
  try {
    ReplaceFile(path, HealthFileText(m, ProcessId(), m.Now()), kFileMode);
  } catch (const std::exception& e) {
    m.Health.MarkChanged();  // tried again next minute
    m.Repeats.Log(m, kOncePerHour, "monitor " + path, kModForm, "timerMonitor",
                  fmt::format("Health not written to {}: {}", path, e.what()), kEventError,
                  "failures to write " + path);
  }
}

}  // namespace quorlan
