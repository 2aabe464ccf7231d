// The health file: each report's last row and last problem, each node's answering, and the
// alarms raised now, for the console.
#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

#include "service/service.h"

namespace quorlan {
namespace {

using Json = nlohmann::ordered_json;

// The file is written straight into one text rather than built as a JSON document first: with
// thousands of reports the document's nodes cost more than the text itself, every minute.

// s as a JSON string. Printable ASCII without quotes or backslashes is copied as it is; anything
// else goes through the JSON library, which escapes it and replaces invalid UTF-8.
void AppendString(std::string& out, std::string_view s) {
  const bool plain = std::all_of(
      s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; });
  if (!plain) {
    out += Json(std::string(s)).dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  out += '"';
  out += s;
  out += '"';
}

void AppendTime(std::string& out, DateTime t) {
  if (t == DateTime()) {
    out += "null";
  } else {
    AppendString(out, t.FormatDateTime());
  }
}

void AppendOptionalString(std::string& out, const std::string& s) {
  if (s.empty()) {
    out += "null";
  } else {
    AppendString(out, s);
  }
}

template <typename... Args>
void Append(std::string& out, fmt::format_string<Args...> f, Args&&... args) {
  fmt::format_to(std::back_inserter(out), f, std::forward<Args>(args)...);
}

// The elements of a list, one object a line, separated by commas.
void Separate(std::string& out, bool& first) {
  out += first ? "\n  " : ",\n  ";
  first = false;
}

void Reports(std::string& out, const HealthBook& book) {
  out += " \"reports\": [";
  bool first = true;
  for (const auto& [id, h] : book.Reports()) {
    Separate(out, first);
    Append(out, "{{\"report\": {}, \"last_row\": ", id);
    AppendTime(out, h.LastRow);
    out += ", \"problem\": ";
    AppendOptionalString(out, h.Problem);
    out += ", \"problem_time\": ";
    AppendTime(out, h.ProblemTime);
    out += '}';
  }
  out += first ? "],\n" : "\n ],\n";
}

void Nodes(std::string& out, const HealthBook& book) {
  out += " \"nodes\": [";
  bool first = true;
  for (const auto& [id, h] : book.Nodes()) {
    Separate(out, first);
    Append(out, "{{\"node\": {}, \"name\": ", id);
    AppendString(out, h.Name);
    out += ", \"address\": ";
    AppendString(out, h.Address);
    Append(out, ", \"answers\": {}, \"answered\": {}, \"since\": ", !h.Silent, h.Answered);
    AppendTime(out, h.Since);
    out += '}';
  }
  out += first ? "],\n" : "\n ],\n";
}

void Alarm(std::string& out, const TrendListEntry& e, int k) {
  Append(out, "{{\"report\": {}, \"title\": ", e.ReportId);
  AppendString(out, e.ReportTitle);
  Append(out, ", \"node\": {}, \"node_name\": ", e.NodeId);
  AppendString(out, e.NodeName);
  Append(out, ", \"object\": {}, \"name\": ", k);
  AppendString(out, e.PollObjName[k]);
  // The library writes a number as JSON allows (no NaN or infinity: null).
  out += ", \"value\": " + Json(e.PollSavedValue[k]).dump() + ", \"condition\": ";
  AppendString(out, e.PollTriggerExpr[k]);
  out += ", \"threshold\": ";
  AppendString(out, e.PollTriggerValueText[k]);
  out += '}';
}

void Alarms(std::string& out, const Module& m) {
  out += " \"alarms\": [";
  bool first = true;
  for (int16_t c = 1; c <= m.TrendListCount; ++c) {
    const TrendListEntry& e = m.TrendList[c];
    for (int k = 1; k <= kTrendObjects; ++k) {
      if (!e.PollTriggerStatus[k]) continue;
      Separate(out, first);
      Alarm(out, e, k);
    }
  }
  out += first ? "]\n" : "\n ]\n";
}

}  // namespace

std::string HealthFileText(const Module& m, int pid, DateTime written) {
  std::string out = "{\n \"format\": ";
  AppendString(out, kHealthFileFormat);
  Append(out, ",\n \"version\": {},\n \"pid\": {},\n \"written\": ", kHealthFileVersion, pid);
  AppendString(out, written.FormatDateTime());
  out += ",\n";
  Reports(out, m.Health);
  Nodes(out, m.Health);
  Alarms(out, m);
  out += "}\n";
  return out;
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
    if (!m.Monitor.HealthFile || m.Monitor.HealthFile->path() != path) {
      m.Monitor.HealthFile = std::make_unique<RewrittenFile>(path, kFileMode);
    }
    m.Monitor.HealthFile->Replace(HealthFileText(m, ProcessId(), m.Now()));
  } catch (const std::exception& e) {
    m.Health.MarkChanged();  // tried again next minute
    m.Repeats.Log(m, kOncePerHour, "monitor " + path, kModForm, "timerMonitor",
                  fmt::format("Health not written to {}: {}", path, e.what()), kEventError,
                  "failures to write " + path);
  }
}

}  // namespace quorlan
