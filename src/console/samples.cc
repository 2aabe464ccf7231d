// The recorded samples: show (an aligned table), export --csv, plot and watch.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "trendlist/trendlist.h"

namespace quorlan::console {
namespace {

constexpr const char* kShowHelp =
    "Usage: quorlan-trendctl [-d DIR] show REPORT [--since T] [--until T] [--json]\n"
    "\n"
    "The samples of a report as an aligned table: time and one column per object. T is\n"
    "YYYY-MM-DD, 'YYYY-MM-DD HH:MM[:SS]', now, or -N with m, h or d (-90m, -2h, -7d);\n"
    "--since defaults to -24h, --until to now; both ends are included. With --json: one JSON\n"
    "object with the report's id, title, node, interval and object names, and its samples as\n"
    "{\"time\": ..., \"values\": [...]}.\n";
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

const std::vector<OptionDef> kRangeOptions = {
    {"--since", true}, {"--until", true},  {"--csv", false}, {"--output", true, "-o"},
    {"--width", true}, {"--height", true}, {"--json", false}};

std::string ObjectLabel(const Report& r, size_t i) {
  const ReportObject& o = r.objects[i];
  return o.name.empty() ? o.oid : o.name;
}

SampleRange ParseRange(const ParsedArgs& a, DateTime now, bool default_day) {
  SampleRange r;
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

namespace {

// " FROM <table> WHERE ReportId = <id>" and the range's bounds.
std::string RangeClause(const Connection& conn, const Report& r, const SampleRange& range) {
  std::string sql = fmt::format(" FROM {} WHERE ReportId = {}", TrendTable(r), r.id);
  if (range.since) sql += " AND Time >= " + SqlDateTime(conn, *range.since);
  if (range.until) sql += " AND Time <= " + SqlDateTime(conn, *range.until);
  return sql;
}

DateTime ReadTime(const FieldValue& f) {
  const std::string_view text = std::string_view(f.AsString()).substr(0, 19);
  DateTime time;
  if (!ParseDateTime(text, &time)) {
    throw RuntimeError(err::kTypeMismatch, "sample time " + QuotedExcerpt(text) + " does not read");
  }
  return time;
}

// A sample value: bigint columns come as whole numbers, read exactly (beyond 2^53 too); any other
// number through the service's conversion.
int64_t ReadValue(const FieldValue& f) {
  const std::string& text = f.AsString();
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc() && end == text.data() + text.size()) return value;
  return static_cast<int64_t>(f.AsDouble());
}

}  // namespace

SampleSummary SummarizeSamples(Connection& conn, const Report& r, const SampleRange& range) {
  std::string sql = "SELECT COUNT(*), MIN(Time), MAX(Time)";
  for (size_t k = 1; k <= r.objects.size(); ++k) {
    sql += fmt::format(", MIN(Value{0}), MAX(Value{0})", k);
  }
  const std::unique_ptr<Recordset> rows = ExecuteQuery(conn, sql + RangeClause(conn, r, range));
  SampleSummary s;
  s.count = ReadValue(rows->FieldAt(0));
  if (s.count == 0) return s;
  s.first = ReadTime(rows->FieldAt(1));
  s.last = ReadTime(rows->FieldAt(2));
  for (size_t i = 0; i < r.objects.size(); ++i) {
    s.low[i] = ReadValue(rows->FieldAt(static_cast<int>(3 + 2 * i)));
    s.high[i] = ReadValue(rows->FieldAt(static_cast<int>(4 + 2 * i)));
  }
  return s;
}

void ForEachSample(Connection& conn, const Report& r, const SampleRange& range,
                   const std::function<void(const Sample&)>& visit) {
  std::string sql = "SELECT Time";
  for (size_t k = 1; k <= r.objects.size(); ++k) sql += fmt::format(", Value{}", k);
  sql += RangeClause(conn, r, range) + " ORDER BY Time";
  Sample s;
  for (auto rows = ExecuteQuery(conn, sql); !rows->Eof(); rows->MoveNext()) {
    s.time = ReadTime(rows->FieldAt(0));
    for (size_t i = 0; i < r.objects.size(); ++i) {
      s.values[i] = ReadValue(rows->FieldAt(static_cast<int>(i + 1)));
    }
    visit(s);
  }
}

namespace {

// The samples of one pixel column of a plot: the first and the last, and per object the lowest
// and the highest value.
struct PixelColumn {
  int64_t count = 0;
  bool joined = false;  // the first sample joins the one before
  Sample first, last, low, high;

  void Add(const Sample& s) {
    if (count++ == 0) first = low = high = s;
    last = s;
    for (int i = 0; i < kMaxObjects; ++i) {
      low.values[i] = std::min(low.values[i], s.values[i]);
      high.values[i] = std::max(high.values[i], s.values[i]);
    }
  }
  // Up to four points: the first, the lowest and highest values halfway, the last.
  void AppendTo(std::vector<PlotPoint>& points) {
    if (count == 0) return;
    points.push_back({first, joined});
    if (count > 2) {
      low.time = high.time = DateTime::FromMillis((first.time.Millis() + last.time.Millis()) / 2);
      points.push_back({low, true});
      points.push_back({high, true});
    }
    if (count > 1) points.push_back({last, true});
  }
};

}  // namespace

std::vector<PlotPoint> ReadPlotPoints(Connection& conn, const Report& r, const SampleRange& range,
                                      const SampleSummary& summary, int columns) {
  const int64_t gap = int64_t{r.interval} * 60000 * 2 + 30000;  // a missed poll breaks the line
  const bool every_sample = summary.count <= columns;
  const int64_t t0 = summary.first.Millis();
  const int64_t span = std::max<int64_t>(summary.last.Millis() - t0, 0) + 1;
  std::vector<PlotPoint> points;
  std::optional<int64_t> previous;  // the time of the sample before
  PixelColumn column;
  int64_t index = -1;
  ForEachSample(conn, r, range, [&](const Sample& s) {
    const int64_t t = s.time.Millis();
    const bool joined = previous && t - *previous <= gap;
    previous = t;
    if (every_sample) {
      points.push_back({s, joined});
      return;
    }
    const int64_t at = (t - t0) * columns / span;
    if (at != index) {
      column.AppendTo(points);
      column = PixelColumn{};
      column.joined = joined;
      index = at;
    }
    column.Add(s);
  });
  column.AppendTo(points);
  return points;
}

namespace {

// Characters of a value as text.
size_t Digits(int64_t v) { return std::to_string(v).size(); }

}  // namespace

namespace {

// The samples of the range as one JSON object, written as the rows are read.
void ShowJson(Connection& conn, const Report& r, const SampleRange& range, std::ostream& out) {
  nlohmann::ordered_json head = {{"report", r.id},
                                 {"title", r.title},
                                 {"node", r.node_name},
                                 {"interval", r.interval},
                                 {"objects", nlohmann::ordered_json::array()}};
  for (size_t i = 0; i < r.objects.size(); ++i) head["objects"].push_back(ObjectLabel(r, i));
  std::string text = head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text.pop_back();  // the closing brace: the samples follow
  out << text << ",\"samples\":[";
  const char* separator = "";
  ForEachSample(conn, r, range, [&](const Sample& s) {
    out << separator << "{\"time\":\"" << s.time.FormatDateTime() << "\",\"values\":[";
    for (size_t i = 0; i < r.objects.size(); ++i) out << (i ? "," : "") << s.values[i];
    out << "]}";
    separator = ",";
  });
  out << "]}\n";
}

}  // namespace

int ShowCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, kRangeOptions, "show");
  if (a.help) {
    ctx.io.out << kShowHelp;
    return kExitOk;
  }
  AllowOnly(a, {"--since", "--until", "--json"}, "show");
  Target t = OpenTarget(ctx, a, "show");
  const Report& r = t.report;
  const SampleRange range = ParseRange(a, t.inst->Now(), true);
  if (a.Has("--json")) {
    ShowJson(*t.conn, r, range, ctx.io.out);
    return kExitOk;
  }
  // The widths come from the range's summary, so that the rows go out as they are read.
  const SampleSummary summary = SummarizeSamples(*t.conn, r, range);
  std::vector<std::string> header = {"Time"};
  std::vector<size_t> width = {19};
  for (size_t i = 0; i < r.objects.size(); ++i) {
    header.push_back(ObjectLabel(r, i));
    width.push_back(std::max(
        {Printable(header.back()).size(), Digits(summary.low[i]), Digits(summary.high[i])}));
  }
  std::vector<bool> right(header.size(), true);
  right[0] = false;
  ctx.io.out << Printable(fmt::format("Report {}: {} ({}, every {} min)", r.id, r.title,
                                      r.node_name, r.interval))
             << "\n";
  ctx.io.out << TableLine(header, width, right);
  int64_t count = 0;
  std::vector<std::string> row(header.size());
  ForEachSample(*t.conn, r, range, [&](const Sample& s) {
    row[0] = s.time.FormatDateTime();
    for (size_t i = 0; i < r.objects.size(); ++i) row[i + 1] = std::to_string(s.values[i]);
    ctx.io.out << TableLine(row, width, right);
    ++count;
  });
  ctx.io.out << fmt::format("{} sample(s)\n", count);
  return kExitOk;
}

namespace {

// Writes the CSV of the range to out as the rows are read, in blocks of about 64 KiB.
void WriteCsv(Connection& conn, const Report& r, const SampleRange& range, std::ostream& out) {
  std::string block = "Time";
  for (size_t i = 0; i < r.objects.size(); ++i) block += "," + CsvField(ObjectLabel(r, i));
  block += "\r\n";
  ForEachSample(conn, r, range, [&](const Sample& s) {
    block += s.time.FormatDateTime();
    for (size_t i = 0; i < r.objects.size(); ++i) {
      const fmt::format_int value(s.values[i]);
      block += ',';
      block.append(value.data(), value.size());
    }
    block += "\r\n";
    if (block.size() >= 65536) {
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
      block.clear();
    }
  });
  out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

}  // namespace

int ExportCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, kRangeOptions, "export");
  if (a.help) {
    ctx.io.out << kExportHelp;
    return kExitOk;
  }
  AllowOnly(a, {"--since", "--until", "--csv", "--output"}, "export");
  if (!a.Has("--csv")) throw UsageError("export: give the format: --csv");
  Target t = OpenTarget(ctx, a, "export");
  const SampleRange range = ParseRange(a, t.inst->Now(), false);
  const std::optional<std::string> file = a.Value("--output");
  if (!file) {
    WriteCsv(*t.conn, t.report, range, ctx.io.out);
    return kExitOk;
  }
  std::ofstream f(*file, std::ios::binary | std::ios::trunc);
  if (f) WriteCsv(*t.conn, t.report, range, f);
  if (!f || !f.flush()) throw RuntimeError(err::kPathFileAccess, "write " + *file + " failed");
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
  const SampleRange range = ParseRange(a, t.inst->Now(), true);
  const SampleSummary summary = SummarizeSamples(*t.conn, t.report, range);
  if (summary.count == 0) {
    ctx.io.err << fmt::format("quorlan-trendctl: report {} has no samples from {} to {}; no plot\n",
                              t.report.id, range.since->FormatDateTime(),
                              range.until ? range.until->FormatDateTime() : "now");
    return kExitFailure;
  }
  const std::vector<PlotPoint> points =
      ReadPlotPoints(*t.conn, t.report, range, summary, PlotColumns(width));
  DrawPlot(t.report, points, *file, width, height);
  ctx.io.out << fmt::format("Wrote {} ({} samples)\n", *file, summary.count);
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
    out << Printable(SampleLine(r == reports.end() ? nullptr : &*r, id, s, key)) << std::endl;
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
  {
    // A report that does not exist would never print a sample: refuse it rather than wait.
    auto conn = inst.Open();
    const std::vector<Report> reports = ReadReports(*conn);
    for (const std::string& id : a.positionals) FindReport(reports, id);
  }
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
