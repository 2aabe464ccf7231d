// The recorded samples: show (an aligned table), export --csv, plot and watch.
#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <map>
#include <ostream>
#include <set>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "trendlist/trendlist.h"

namespace quorlan::console {
namespace {

constexpr const char* kShowHelp =
    "Usage: quorlan-trendctl [-d DIR] show REPORT [--since T] [--until T]\n"
    "\n"
    "The samples of a report as an aligned table: time and one column per object. T is\n"
    "YYYY-MM-DD, 'YYYY-MM-DD HH:MM[:SS]', now, or -N with m, h or d (-90m, -2h, -7d);\n"
    "--since defaults to -24h, --until to now; both ends are included.\n";
constexpr const char* kExportHelp =
    "Usage: quorlan-trendctl [-d DIR] export REPORT --csv [--since T] [--until T] [-o FILE]\n"
    "\n"
    "The samples of a report as CSV (RFC 4180): a header line Time,<object names>, then one\n"
    "line per sample, to standard output or FILE. Without --since and --until: every sample\n"
    "kept. Times as for show.\n";
constexpr const char* kPlotHelp =
    "Usage: quorlan-trendctl [-d DIR] plot REPORT [--since T] [--until T] -o FILE.png|FILE.svg\n"
    "                        [--width W] [--height H]\n"
    "\n"
    "Draws the samples of a report: one line per object, time and value axes, the object\n"
    "names as legend, the enabled triggers' thresholds as dashed lines, the report's title.\n"
    "PNG or SVG by the file's ending; W x H pixels (default 1000 x 500). Times as for show\n"
    "(default: the last 24 hours).\n";
constexpr const char* kWatchHelp =
    "Usage: quorlan-trendctl [-d DIR] watch [REPORT...]\n"
    "\n"
    "Prints every sample row as the service records it, one line each (time, report, node and\n"
    "each object's name and value), until Ctrl-C. With REPORT ids only those reports.\n";

const std::vector<OptionDef> kRangeOptions = {{"--since", true}, {"--until", true},
                                              {"--csv", false},  {"--output", true, "-o"},
                                              {"--width", true}, {"--height", true}};

std::string ObjectLabel(const Report& r, size_t i) {
  const ReportObject& o = r.objects[i];
  return o.name.empty() ? o.oid : o.name;
}

// "ab,c" -> "\"ab,c\"" (RFC 4180).
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

struct Range {
  std::optional<DateTime> since;
  std::optional<DateTime> until;
};

Range ParseRange(const ParsedArgs& a, DateTime now, bool default_day) {
  Range r;
  if (auto v = a.Value("--since")) r.since = ParseTime(*v, now, "--since");
  if (auto v = a.Value("--until")) r.until = ParseTime(*v, now, "--until");
  if (default_day && !r.since) r.since = (r.until ? *r.until : now).PlusHours(-24);
  if (r.since && r.until && *r.since > *r.until) {
    throw UsageError("--since is later than --until");
  }
  return r;
}

void AllowOnly(const ParsedArgs& a, const std::vector<std::string>& allowed,
               const std::string& command) {
  for (const auto& [name, v] : a.options) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      throw UsageError(
          fmt::format("{}: unknown option {} (see {} --help)", command, name, command));
    }
  }
}

// The report named by the one positional, with its installation open.
struct Target {
  std::unique_ptr<Installation> inst;
  std::unique_ptr<Connection> conn;
  Report report;
};

Target OpenTarget(Context& ctx, const ParsedArgs& a, const std::string& command) {
  RequirePositionals(a, {"REPORT"}, command);
  Target t;
  t.inst = std::make_unique<Installation>(ctx.dir, ctx.clock, ctx.loop);
  t.conn = t.inst->Open();
  t.report = FindReport(ReadReports(*t.conn), a.positionals[0]);
  TrendTable(t.report);  // an interval without a table is refused before anything is read
  return t;
}

}  // namespace

std::optional<double> ThresholdValue(const std::string& text) {
  try {
    return TriggerValueOf(text);
  } catch (const RuntimeError&) {
    return std::nullopt;
  }
}

bool TriggerHolds(const std::string& op, double value, double threshold) {
  if (op == "=") return value == threshold;
  if (op == "!") return value != threshold;
  if (op == "<") return value < threshold;
  if (op == ">") return value > threshold;
  if (op == "<=") return value <= threshold;
  if (op == ">=") return value >= threshold;
  return false;
}

std::string TrendTable(const Report& r) {
  if (r.interval != 1 && r.interval != 5 && r.interval != 15 && r.interval != 60) {
    throw UsageError(fmt::format("report {} has the interval {} min, which has no trend-data table",
                                 r.id, r.interval));
  }
  return fmt::format("TrendData{}", r.interval);
}

std::vector<Sample> ReadSamples(Connection& conn, const Report& r, std::optional<DateTime> since,
                                std::optional<DateTime> until) {
  std::string sql = fmt::format("SELECT * FROM {} WHERE ReportId = {}", TrendTable(r), r.id);
  if (since) sql += " AND Time >= " + SqlDateTime(conn, *since);
  if (until) sql += " AND Time <= " + SqlDateTime(conn, *until);
  sql += " ORDER BY Time";
  std::vector<Sample> out;
  for (auto rows = ExecuteQuery(conn, sql); !rows->Eof(); rows->MoveNext()) {
    Sample s;
    const std::string time = rows->Field("Time").AsString().substr(0, 19);
    if (!ParseDateTime(time, &s.time)) {
      throw RuntimeError(err::kTypeMismatch, "sample time '" + time + "' does not read");
    }
    for (int k = 0; k < kMaxObjects; ++k) {
      s.values[k] = static_cast<int64_t>(rows->Field(fmt::format("Value{}", k + 1)).AsDouble());
    }
    out.push_back(s);
  }
  return out;
}

int ShowCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, kRangeOptions, "show");
  if (a.help) {
    ctx.io.out << kShowHelp;
    return kExitOk;
  }
  AllowOnly(a, {"--since", "--until"}, "show");
  Target t = OpenTarget(ctx, a, "show");
  const Range range = ParseRange(a, t.inst->Now(), true);
  const std::vector<Sample> samples = ReadSamples(*t.conn, t.report, range.since, range.until);
  std::vector<std::string> header = {"Time"};
  for (size_t i = 0; i < t.report.objects.size(); ++i) header.push_back(ObjectLabel(t.report, i));
  std::vector<std::vector<std::string>> rows;
  for (const Sample& s : samples) {
    std::vector<std::string> row = {s.time.FormatDateTime()};
    for (size_t i = 0; i < t.report.objects.size(); ++i) row.push_back(std::to_string(s.values[i]));
    rows.push_back(std::move(row));
  }
  ctx.io.out << fmt::format("Report {}: {} ({}, every {} min)\n", t.report.id, t.report.title,
                            t.report.node_name, t.report.interval);
  std::vector<bool> right(header.size(), true);
  right[0] = false;
  ctx.io.out << FormatTable(header, rows, right);
  ctx.io.out << fmt::format("{} sample(s)\n", samples.size());
  return kExitOk;
}

int ExportCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, kRangeOptions, "export");
  if (a.help) {
    ctx.io.out << kExportHelp;
    return kExitOk;
  }
  AllowOnly(a, {"--since", "--until", "--csv", "--output"}, "export");
  if (!a.Has("--csv")) throw UsageError("export: give the format: --csv");
  Target t = OpenTarget(ctx, a, "export");
  const Range range = ParseRange(a, t.inst->Now(), false);
  std::string text = "Time";
  for (size_t i = 0; i < t.report.objects.size(); ++i)
    text += "," + CsvField(ObjectLabel(t.report, i));
  text += "\r\n";
  for (const Sample& s : ReadSamples(*t.conn, t.report, range.since, range.until)) {
    text += s.time.FormatDateTime();
    for (size_t i = 0; i < t.report.objects.size(); ++i) text += "," + std::to_string(s.values[i]);
    text += "\r\n";
  }
  if (auto file = a.Value("--output")) {
    std::ofstream f(*file, std::ios::binary | std::ios::trunc);
    if (!(f << text) || !f.flush())
      throw RuntimeError(err::kPathFileAccess, "write " + *file + " failed");
  } else {
    ctx.io.out << text;
  }
  return kExitOk;
}

int PlotCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, kRangeOptions, "plot");
  if (a.help) {
    ctx.io.out << kPlotHelp;
    return kExitOk;
  }
  AllowOnly(a, {"--since", "--until", "--output", "--width", "--height"}, "plot");
  const std::optional<std::string> file = a.Value("--output");
  if (!file) throw UsageError("plot: name the picture with -o FILE.png or -o FILE.svg");
  const bool png = file->size() > 4 && EqualsNoCase(file->substr(file->size() - 4), ".png");
  const bool svg = file->size() > 4 && EqualsNoCase(file->substr(file->size() - 4), ".svg");
  if (!png && !svg) throw UsageError("plot: the file name must end in .png or .svg");
  const int width =
      static_cast<int>(ParseWhole(a.Value("--width").value_or("1000"), 300, 10000, "width"));
  const int height =
      static_cast<int>(ParseWhole(a.Value("--height").value_or("500"), 200, 10000, "height"));
  Target t = OpenTarget(ctx, a, "plot");
  const Range range = ParseRange(a, t.inst->Now(), true);
  const std::vector<Sample> samples = ReadSamples(*t.conn, t.report, range.since, range.until);
  if (samples.empty()) {
    ctx.io.err << fmt::format("quorlan-trendctl: report {} has no samples from {} to {}; no plot\n",
                              t.report.id, range.since->FormatDateTime(),
                              range.until ? range.until->FormatDateTime() : "now");
    return kExitFailure;
  }
  DrawPlot(t.report, samples, *file, width, height);
  ctx.io.out << fmt::format("Wrote {} ({} samples)\n", *file, samples.size());
  return kExitOk;
}

namespace {

// The rows of one trend-data table newer than what watch printed before.
struct TableCursor {
  std::string table;
  DateTime last;
  std::set<std::string> printed_at_last;  // rows of the second `last`, already printed
};

std::string SampleLine(const Report* r, int32_t id, const Sample& s, const std::string& key) {
  std::string line = s.time.FormatDateTime() + "  report " + std::to_string(id);
  if (r == nullptr) return line + "  " + key;
  line += fmt::format(" '{}' ({})", r->title, r->node_name);
  for (size_t i = 0; i < r->objects.size(); ++i) {
    line += fmt::format("  {}={}", ObjectLabel(*r, i), s.values[i]);
  }
  return line;
}

void PollTable(Connection& conn, TableCursor& c, const std::vector<Report>& reports,
               const std::set<int32_t>& only, std::ostream& out) {
  auto rows = ExecuteQuery(conn, fmt::format("SELECT * FROM {} WHERE Time >= {} ORDER BY Time",
                                             c.table, SqlDateTime(conn, c.last)));
  for (; !rows->Eof(); rows->MoveNext()) {
    Sample s;
    if (!ParseDateTime(rows->Field("Time").AsString().substr(0, 19), &s.time)) continue;
    const int32_t id = rows->Field("ReportId").AsInt32();
    std::string key = std::to_string(id);
    for (int k = 0; k < kMaxObjects; ++k) {
      s.values[k] = static_cast<int64_t>(rows->Field(fmt::format("Value{}", k + 1)).AsDouble());
      key += " " + std::to_string(s.values[k]);
    }
    if (s.time > c.last) {
      c.last = s.time;
      c.printed_at_last.clear();
    }
    if (!c.printed_at_last.insert(key).second) continue;
    if (!only.empty() && !only.contains(id)) continue;
    const auto r =
        std::find_if(reports.begin(), reports.end(), [&](const Report& x) { return x.id == id; });
    out << SampleLine(r == reports.end() ? nullptr : &*r, id, s, key) << std::endl;
  }
}

}  // namespace

int WatchCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, {}, "watch");
  if (a.help) {
    ctx.io.out << kWatchHelp;
    return kExitOk;
  }
  std::set<int32_t> only;
  for (const std::string& id : a.positionals) {
    only.insert(static_cast<int32_t>(ParseWhole(id, 1, INT32_MAX, "report")));
  }
  Installation inst(ctx.dir, ctx.clock, ctx.loop);
  std::vector<TableCursor> cursors;
  const DateTime start = inst.Now();
  for (const char* table : kTrendDataTables) cursors.push_back({table, start, {}});
  ctx.io.out << "Watching the samples of " << inst.dir() << " (Ctrl-C ends)" << std::endl;
  while (!ctx.io.StopRequested || !ctx.io.StopRequested()) {
    try {
      auto conn = inst.Open();
      const std::vector<Report> reports = ReadReports(*conn);
      for (TableCursor& c : cursors) PollTable(*conn, c, reports, only, ctx.io.out);
    } catch (const RuntimeError& e) {
      // A table the service has not created yet, or a database busy for a moment: try again.
      if (e.description().find("no such table") == std::string::npos) {
        ctx.io.err << "quorlan-trendctl: " << e.what() << std::endl;
      }
    }
    for (int i = 0; i < 10 && !(ctx.io.StopRequested && ctx.io.StopRequested()); ++i) {
      ctx.clock.SleepMs(100);
    }
  }
  return kExitOk;
}

}  // namespace quorlan::console
