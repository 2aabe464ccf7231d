// The self-monitoring's texts: the STATUS= line, the Prometheus metrics and the status file.
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "service/service.h"

namespace quorlan {
namespace {

// The names of the versions and components in both files, in the order of the counts' arrays.
constexpr const char* kVersions[] = {"1", "2", "3"};
constexpr const char* kComponents[] = {"snmpManager", "snmpMgrV3", "snmpAgent"};

// The counts of a span in the status file, by key.
struct CountKey {
  const char* key;
  int64_t MonitorCounts::*field;
};
constexpr CountKey kCountKeys[] = {
    {"resends", &MonitorCounts::Resends},
    {"answers", &MonitorCounts::Answers},
    {"polls_given_up", &MonitorCounts::PollsGivenUp},
    {"polls_late", &MonitorCounts::PollsLate},
    {"rows_recorded", &MonitorCounts::RowsRecorded},
    {"trend_traps", &MonitorCounts::TrendTraps},
    {"event_traps", &MonitorCounts::EventTraps},
    {"database_errors", &MonitorCounts::DatabaseErrors},
    {"longest_tick_ms", &MonitorCounts::LongestTickMs},
};

// The texts of the minute are built with plain appends rather than fmt: they are made once a
// minute after the process slept, when every page of code they touch is cold, and converting
// integers (std::to_chars) runs a fraction of the code a formatting library runs.
void Int(std::string& out, int64_t v) {
  char buf[24];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// A value given in millionths as a decimal number without trailing zeros: 41.25, 0.012, 300.
void Micros(std::string& out, int64_t micros) {
  if (micros < 0) {
    out += '-';
    micros = -micros;
  }
  Int(out, micros / 1000000);
  int64_t fraction = micros % 1000000;
  if (fraction == 0) return;
  char digits[6];
  for (int i = 5; i >= 0; --i, fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
  int end = 6;
  while (digits[end - 1] == '0') --end;
  out += '.';
  out.append(digits, static_cast<size_t>(end));
}

// "YYYY-MM-DD HH:MM:SS", as DateTime::FormatDateTime writes it.
void AppendTime(std::string& out, DateTime t) {
  const CivilTime c = t.ToCivil();
  const auto two = [&out](int v) {
    out += static_cast<char>('0' + v / 10 % 10);
    out += static_cast<char>('0' + v % 10);
  };
  two(c.year / 100);
  two(c.year % 100);
  out += '-';
  two(c.month);
  out += '-';
  two(c.day);
  out += ' ';
  two(c.hour);
  out += ':';
  two(c.minute);
  out += ':';
  two(c.second);
}

// --- Prometheus ---

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ");
  out.append(name).append(" ").append(type).append("\n");
}

// One family whose samples carry one label, one sample per name of labels.
void LabelledFamily(std::string& out, const char* name, const char* help, const char* label,
                    const char* const* labels, const int64_t* values, size_t n) {
  Family(out, name, "counter", help);
  for (size_t i = 0; i < n; ++i) {
    out.append(name).append("{").append(label).append("=\"").append(labels[i]).append("\"} ");
    Int(out, values[i]);
    out += '\n';
  }
}

void Counter(std::string& out, const char* name, const char* help, int64_t value) {
  Family(out, name, "counter", help);
  out.append(name).append(" ");
  Int(out, value);
  out += '\n';
}

// A gauge given in millionths.
void GaugeMicros(std::string& out, const char* name, const char* help, int64_t micros) {
  Family(out, name, "gauge", help);
  out.append(name).append(" ");
  Micros(out, micros);
  out += '\n';
}

void Gauge(std::string& out, const char* name, const char* help, int64_t value) {
  Family(out, name, "gauge", help);
  out.append(name).append(" ");
  Int(out, value);
  out += '\n';
}

int64_t ToMicros(double seconds) { return std::llround(seconds * 1e6); }

// --- The status file ---

// The counts of a span as the members of a JSON object, after the members in head ("" or
// `"seconds": 60, `), appended straight into the text rather than built as a JSON document:
// every value is a number or a fixed text, and this runs every minute.
void CountsJson(std::string& out, const char* span, const char* head_key, int64_t head,
                const MonitorCounts& c) {
  out.append("  \"").append(span).append("\": {");
  if (head_key != nullptr) {
    out.append("\"").append(head_key).append("\": ");
    Int(out, head);
    out += ", ";
  }
  out += "\"requests_sent\": {";
  for (size_t v = 0; v < c.RequestsSent.size(); ++v) {
    out.append(v == 0 ? "\"" : ", \"").append(kVersions[v]).append("\": ");
    Int(out, c.RequestsSent[v]);
  }
  out += "}";
  for (const CountKey& k : kCountKeys) {
    out.append(", \"").append(k.key).append("\": ");
    Int(out, c.*k.field);
  }
  out += ", \"bad_packets\": {";
  for (size_t i = 0; i < c.BadPackets.size(); ++i) {
    out.append(i == 0 ? "\"" : ", \"").append(kComponents[i]).append("\": ");
    Int(out, c.BadPackets[i]);
  }
  out += "}},\n";
}

[[noreturn]] void Invalid(const std::string& what) {
  throw RuntimeError(err::kComponent, fmt::format("{}: {}", kStatusFileName, what));
}

// The name of key inside the object named where ("" for the top), as errors give it.
std::string Path(const std::string& where, const char* key) {
  return where.empty() ? key : where + "." + key;
}

// The member key of object o (named where in errors).
const nlohmann::json& Member(const nlohmann::json& o, const char* key, const std::string& where) {
  if (!o.is_object() || !o.contains(key)) Invalid("no " + Path(where, key));
  return o[key];
}

int64_t Whole(const nlohmann::json& o, const char* key, const std::string& where = "") {
  const nlohmann::json& v = Member(o, key, where);
  if (!v.is_number_integer()) Invalid(Path(where, key) + " is not a whole number");
  return v.get<int64_t>();
}

double Number(const nlohmann::json& o, const char* key, const std::string& where = "") {
  const nlohmann::json& v = Member(o, key, where);
  if (!v.is_number()) Invalid(Path(where, key) + " is not a number");
  return v.get<double>();
}

std::string Text(const nlohmann::json& o, const char* key) {
  const nlohmann::json& v = Member(o, key, "");
  if (!v.is_string()) Invalid(fmt::format("{} is not a text", key));
  return v.get<std::string>();
}

DateTime Time(const nlohmann::json& o, const char* key) {
  DateTime t;
  if (!ParseDateTime(Text(o, key), &t)) Invalid(fmt::format("{} is not a date and time", key));
  return t;
}

MonitorCounts CountsOf(const nlohmann::json& o, const char* span) {
  const nlohmann::json& j = Member(o, span, "");
  const std::string where = span;
  MonitorCounts c;
  const nlohmann::json& sent = Member(j, "requests_sent", where);
  for (size_t v = 0; v < c.RequestsSent.size(); ++v) {
    c.RequestsSent[v] = Whole(sent, kVersions[v], where + ".requests_sent");
  }
  for (const CountKey& k : kCountKeys) c.*k.field = Whole(j, k.key, where);
  const nlohmann::json& bad = Member(j, "bad_packets", where);
  for (size_t i = 0; i < c.BadPackets.size(); ++i) {
    c.BadPackets[i] = Whole(bad, kComponents[i], where + ".bad_packets");
  }
  return c;
}

nlohmann::json Parsed(const std::string& text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    Invalid(std::string("not JSON: ") + e.what());
  }
}

}  // namespace

std::string MonitorStatusLine(const MonitorFigures& f) {
  const MonitorCounts& c = f.LastMinute;
  std::string line = fmt::format("{}{} reports; last minute: {} rows, {} late, {} given up; ",
                                 f.Paused ? "Polling paused; " : "", f.Reports, c.RowsRecorded,
                                 c.PollsLate, c.PollsGivenUp);
  line += f.SpoolRows == 0 ? "spool empty" : fmt::format("spool {} rows", f.SpoolRows);
  if (c.DatabaseErrors > 0) line += fmt::format("; {} database errors", c.DatabaseErrors);
  return line;
}

std::string MetricsText(const MonitorFigures& f) {
  const MonitorCounts& t = f.SinceStart;
  std::string out;
  out.reserve(4096);
  Gauge(out, "quorlan_trend_reports", "Trend reports in the service's trend list.", f.Reports);
  LabelledFamily(out, "quorlan_trend_requests_sent_total",
                 "SNMP GET requests sent, resends included, by SNMP version (2 is SNMPv2c).",
                 "version", kVersions, t.RequestsSent.data(), t.RequestsSent.size());
  Counter(out, "quorlan_trend_resends_total", "Requests sent again after a time-out.", t.Resends);
  Counter(out, "quorlan_trend_answers_total", "Answers that closed their request.", t.Answers);
  Counter(out, "quorlan_trend_polls_given_up_total",
          "Polls ended without an answer after their last resend.", t.PollsGivenUp);
  Counter(out, "quorlan_trend_polls_late_total",
          "Polls sent more than 1 s after the first poll tick that found them due.", t.PollsLate);
  Counter(out, "quorlan_trend_rows_recorded_total",
          "Sample rows committed in the suite database, one per answered poll.", t.RowsRecorded);
  Gauge(out, "quorlan_trend_spool_rows", "Sample rows held back, not yet recorded.", f.SpoolRows);
  const int64_t traps[] = {t.TrendTraps, t.EventTraps};
  const char* const kinds[] = {"trend", "event"};
  LabelledFamily(out, "quorlan_trend_traps_sent_total",
                 "Traps sent: trend traps (alarms raised or cleared) and application event traps.",
                 "kind", kinds, traps, 2);
  LabelledFamily(out, "quorlan_trend_bad_packets_total",
                 "Datagrams that did not decode, by the component that received them.", "component",
                 kComponents, t.BadPackets.data(), t.BadPackets.size());
  Counter(out, "quorlan_trend_database_errors_total",
          "Suite database connections and statements that failed.", t.DatabaseErrors);
  GaugeMicros(out, "quorlan_trend_longest_tick_seconds",
              "The longest poll tick of the last minute.", f.LastMinute.LongestTickMs * 1000);
  Family(out, "quorlan_trend_cpu_seconds_total", "counter", "CPU time of the service process.");
  out += "quorlan_trend_cpu_seconds_total ";
  Micros(out, ToMicros(f.CpuSeconds));
  out += '\n';
  Gauge(out, "quorlan_trend_resident_memory_bytes", "Resident memory of the service process.",
        f.RssBytes);
  return out;
}

std::string StatusFileText(const MonitorFigures& f) {
  std::string out;
  out.reserve(2048);
  out.append("{\n  \"format\": \"").append(kStatusFileFormat).append("\",\n  \"version\": ");
  Int(out, kStatusFileVersion);
  out += ",\n  \"pid\": ";
  Int(out, f.Pid);
  out += ",\n  \"written\": \"";
  AppendTime(out, f.Written);
  out += "\",\n  \"started\": \"";
  AppendTime(out, f.Started);
  out.append("\",\n  \"polling\": \"").append(f.Paused ? "paused" : "running").append("\",\n");
  out += "  \"now\": {\"reports\": ";
  Int(out, f.Reports);
  out += ", \"spool_rows\": ";
  Int(out, f.SpoolRows);
  out += ", \"cpu_seconds\": ";
  Micros(out, ToMicros(f.CpuSeconds));
  out += ", \"resident_bytes\": ";
  Int(out, f.RssBytes);
  out += "},\n";
  CountsJson(out, "last_minute", "seconds", f.MinuteSeconds, f.LastMinute);
  CountsJson(out, "last_hour", "minutes", f.HourMinutes, f.LastHour);
  CountsJson(out, "since_start", nullptr, 0, f.SinceStart);
  out += "  \"self_monitoring\": {\"runs\": ";
  Int(out, f.Writes);
  out += ", \"cpu_us\": ";
  Int(out, f.WriteCpuMicros);
  out += "}\n}\n";
  return out;
}

MonitorFigures ParseStatusFile(const std::string& text) {
  const nlohmann::json j = Parsed(text);
  if (Text(j, "format") != kStatusFileFormat) Invalid("not a status file of quorlan-trend");
  const int64_t version = Whole(j, "version");
  if (version > kStatusFileVersion) {
    Invalid(fmt::format("version {} is newer than this program reads ({})", version,
                        kStatusFileVersion));
  }
  MonitorFigures f;
  f.Pid = static_cast<int32_t>(Whole(j, "pid"));
  f.Written = Time(j, "written");
  f.Started = Time(j, "started");
  f.Paused = Text(j, "polling") == "paused";
  const nlohmann::json& now = Member(j, "now", "");
  f.Reports = static_cast<int32_t>(Whole(now, "reports", "now"));
  f.SpoolRows = Whole(now, "spool_rows", "now");
  f.CpuSeconds = Number(now, "cpu_seconds", "now");
  f.RssBytes = Whole(now, "resident_bytes", "now");
  f.MinuteSeconds = Whole(Member(j, "last_minute", ""), "seconds", "last_minute");
  f.HourMinutes = static_cast<int32_t>(Whole(Member(j, "last_hour", ""), "minutes", "last_hour"));
  f.LastMinute = CountsOf(j, "last_minute");
  f.LastHour = CountsOf(j, "last_hour");
  f.SinceStart = CountsOf(j, "since_start");
  const nlohmann::json& self = Member(j, "self_monitoring", "");
  f.Writes = Whole(self, "runs", "self_monitoring");
  f.WriteCpuMicros = Whole(self, "cpu_us", "self_monitoring");
  return f;
}

}  // namespace quorlan
