// report add|set|remove|list: the trend reports of TrendReports, and telling the running service.
#include <fmt/format.h>

#include <algorithm>
#include <ostream>

#include "components/platform/platform.h"
#include "components/script/script.h"
#include "components/snmp/snmp.h"
#include "console/internal.h"

namespace quorlan::console {
namespace {

const std::vector<OptionDef> kReportOptions = {
    {"--title", true},       {"--node", true},        {"--interval", true}, {"--object", true},
    {"--slot", true},        {"--oid", true},         {"--drop", true},     {"--name", true},
    {"--counter", false},    {"--no-counter", false}, {"--eval", true},     {"--trigger", true},
    {"--no-trigger", false}, {"--check", false}};

constexpr const char* kReportHelp =
    "Usage: quorlan-trendctl [-d DIR] report list [ID] [--json]\n"
    "       quorlan-trendctl [-d DIR] report add --title TEXT --node NODE --interval MIN\n"
    "                                            --object OID [OBJECT OPTIONS] ...\n"
    "       quorlan-trendctl [-d DIR] report set ID [OPTIONS]\n"
    "       quorlan-trendctl [-d DIR] report remove ID\n"
    "       quorlan-trendctl [-d DIR] report import FILE.csv\n"
    "       quorlan-trendctl [-d DIR] report export\n"
    "\n"
    "The trend reports (table TrendReports): up to six SNMP objects of one node, polled every\n"
    "1, 5, 15 or 60 minutes into TrendData1, 5, 15 or 60.\n"
    "\n"
    "  --title TEXT        the report's title (up to 100 characters)\n"
    "  --node NODE         the polled node: its id or unique name (node list)\n"
    "  --interval MIN      1, 5, 15 or 60 minutes\n"
    "  --object OID        adds an object (numeric OID, e.g. 1.3.6.1.2.1.2.2.1.10.1); the object\n"
    "                      options that follow apply to it:\n"
    "    --name TEXT       its name in tables, plots and traps (up to 100 characters)\n"
    "    --counter         a counter: each sample stores the increase since the previous one\n"
    "    --no-counter      a value stored as read (the default)\n"
    "    --eval EXPR       evaluation expression, e.g. '$value*8/$time' ($value: the value or\n"
    "                      increase, $time: the interval in seconds); '' removes it\n"
    "    --trigger 'OP N'  alarm trap when the stored value compares so: OP one of = ! < > <= >=\n"
    "                      (! is not equal), N a number with optional K, M or G (x1000)\n"
    "    --no-trigger      no alarm\n"
    "  --check             asks the node for the objects first (one GET, as node test) and\n"
    "                      refuses a report whose objects the device does not have\n"
    "Only for set:\n"
    "  --slot K            the object options that follow change object K (1..6)\n"
    "  --oid OID           changes the OID of the object chosen with --slot\n"
    "  --drop K            removes object K; the objects after it move up one place\n"
    "\n"
    "add and set tell the running service through its agent: the change is polled from its\n"
    "next poll tick. A changed OID, counter flag or expression restarts polling with a rebuilt\n"
    "trend list (the service reads those only then). remove ends the report's polling; its\n"
    "samples stay in the trend-data table until their retention period ends.\n"
    "\n"
    "export writes every report as CSV (RFC 4180) to standard output: a header line, then one\n"
    "line per report with the columns title,node,interval and object,name,counter,eval,trigger\n"
    "once per object (counter yes or no, trigger as 'OP N'). import adds the reports of such a\n"
    "file; its header names the columns (an empty field: not given). Every row is checked as\n"
    "add checks it, and all rows are added in one transaction or none: a wrong row is named by\n"
    "its line, with nothing changed.\n";

const std::vector<int> kIntervals = {1, 5, 15, 60};

// Splits "OP THRESHOLD" ("> 100", ">=10K", "!0").
void ParseTrigger(const std::string& text, ReportObject& o) {
  const size_t end = text.find_first_not_of("<>=!");
  o.op = text.substr(0, end);
  o.threshold = end == std::string::npos ? "" : Trim(text.substr(end));
  if (std::find(kTriggerOperators.begin(), kTriggerOperators.end(), o.op) ==
      kTriggerOperators.end()) {
    throw UsageError(fmt::format(
        "trigger '{}': unknown operator '{}'; use one of = ! < > <= >= followed by a threshold",
        text, o.op));
  }
  if (o.threshold.empty() || !ThresholdValue(o.threshold)) {
    throw UsageError(fmt::format(
        "trigger '{}': threshold '{}' is not a number (an optional K, M or G may follow)", text,
        o.threshold));
  }
  o.trigger = true;
}

// Applies the object options, in order. Returns true when an OID, counter flag or expression
// changed (or an object was added or dropped): the running service reads those only at a full
// build.
bool ApplyObjectOptions(const ParsedArgs& a, std::vector<ReportObject>& objs, bool editing) {
  bool structural = false;
  int cur = -1;  // the object the object options apply to
  for (const auto& [name, v] : a.options) {
    if (name == "--object") {
      if (objs.size() == kMaxObjects) throw UsageError("a report has at most six objects");
      objs.push_back(ReportObject{v, "", 0, "", false, "", ""});
      cur = static_cast<int>(objs.size()) - 1;
      structural = true;
      continue;
    }
    if (name == "--slot" || name == "--drop") {
      if (!editing) throw UsageError(name + " is an option of report set only");
      const size_t k = static_cast<size_t>(
          ParseWhole(v, 1, static_cast<int64_t>(std::max<size_t>(objs.size(), 1)), "object"));
      if (k > objs.size()) throw UsageError(fmt::format("the report has no object {}", k));
      if (name == "--drop") {
        objs.erase(objs.begin() + static_cast<std::ptrdiff_t>(k - 1));
        cur = -1;
        structural = true;
      } else {
        cur = static_cast<int>(k) - 1;
      }
      continue;
    }
    const bool object_option = name == "--oid" || name == "--name" || name == "--counter" ||
                               name == "--no-counter" || name == "--eval" || name == "--trigger" ||
                               name == "--no-trigger";
    if (!object_option) continue;
    if (cur < 0) {
      throw UsageError(name + (editing ? " must follow --object or --slot"
                                       : " must follow the --object it belongs to"));
    }
    ReportObject& o = objs[static_cast<size_t>(cur)];
    if (name == "--oid") {
      if (!editing) throw UsageError("--oid is an option of report set only (with --slot)");
      structural |= o.oid != v;
      o.oid = v;
    } else if (name == "--name") {
      o.name = v;
    } else if (name == "--counter" || name == "--no-counter") {
      const int16_t type = name == "--counter" ? kCounterType : int16_t{0};
      structural |= (o.type == kCounterType) != (type == kCounterType);
      o.type = type;
    } else if (name == "--eval") {
      structural |= o.eval != v;
      o.eval = v;
    } else if (name == "--trigger") {
      ParseTrigger(v, o);
    } else {
      o.trigger = false;
    }
  }
  return structural;
}

// Refuses an expression the service could not evaluate at all: a syntax error, an unknown
// name or function, a wrong number of arguments. ($value and $time stand for numbers.)
void CheckExpression(const std::string& eval, int interval, int k) {
  if (eval.empty()) return;
  std::string text = eval;
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"$value", "12345"},
                                 {"$time", std::to_string(interval * 60)}}) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
      text.replace(at, from.size(), to);
    }
  }
  try {
    ScriptEngine().EvalNumber(text);
  } catch (const RuntimeError& e) {
    const int n = e.number();
    if (n == err::kSyntaxError || n == err::kUndefinedName || n == err::kWrongArgumentCount ||
        text.size() > ScriptEngine::kMaxLength) {
      throw UsageError(fmt::format("object {}: expression '{}': {}", k, eval, e.description()));
    }
  }
}

void CheckReport(Report& r) {
  if (r.title.empty()) throw UsageError("the report needs a --title");
  CheckText(r.title, 100, "title", false);
  if (std::find(kIntervals.begin(), kIntervals.end(), r.interval) == kIntervals.end()) {
    throw UsageError(fmt::format(
        "interval {}: the service stores samples every 1, 5, 15 or 60 minutes only", r.interval));
  }
  if (r.objects.empty()) throw UsageError("the report needs at least one --object");
  for (size_t i = 0; i < r.objects.size(); ++i) {
    ReportObject& o = r.objects[i];
    const int k = static_cast<int>(i + 1);
    ber::Oid parsed;
    if (!ber::ParseOid(o.oid, &parsed)) {
      throw UsageError(
          fmt::format("object {}: '{}' is not an OID (dotted decimal, e.g. "
                      "1.3.6.1.2.1.1.3.0)",
                      k, o.oid));
    }
    o.oid = ber::FormatOid(parsed);
    CheckText(o.oid, 255, fmt::format("object {}: OID", k), false);
    CheckText(o.name, 100, fmt::format("object {}: name", k), false);
    CheckText(o.eval, 255, fmt::format("object {}: expression", k), false);
    CheckExpression(o.eval, r.interval, k);
    CheckText(o.threshold, 50, fmt::format("object {}: threshold", k), false);
  }
}

std::string ObjectKind(const ReportObject& o) {
  return o.type == kCounterType ? "counter"
         : o.type == 0          ? "value"
                                : fmt::format("type {}", o.type);
}

std::string TriggerText(const ReportObject& o) {
  if (!o.trigger) return o.op.empty() ? "" : fmt::format("(off) {} {}", o.op, o.threshold);
  return fmt::format("{} {}", o.op, o.threshold);
}

std::string StateText(const Report& r) {
  if (r.db_changed == "1") return "added";
  if (r.db_changed == "2") return "changed";
  if (r.db_changed == "3") return "removing";
  return "";
}

nlohmann::ordered_json ReportJson(const Report& r) {
  nlohmann::ordered_json objects = nlohmann::ordered_json::array();
  for (const ReportObject& o : r.objects) {
    nlohmann::ordered_json trigger;  // null without one
    if (!o.op.empty()) trigger = {{"op", o.op}, {"threshold", o.threshold}, {"on", o.trigger}};
    objects.push_back({{"oid", o.oid},
                       {"name", o.name},
                       {"kind", ObjectKind(o)},
                       {"eval", o.eval},
                       {"trigger", trigger}});
  }
  return {{"id", r.id},          {"title", r.title},       {"node_id", r.node_id},
          {"node", r.node_name}, {"interval", r.interval}, {"pending", StateText(r)},
          {"objects", objects}};
}

int ListJson(Context& ctx, const ParsedArgs& a, const std::vector<Report>& reports) {
  if (a.positionals.size() == 1) {
    PrintJson(ctx.io, ReportJson(FindReport(reports, a.positionals[0])));
    return kExitOk;
  }
  RequirePositionals(a, {}, "report list");
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
  for (const Report& r : reports) all.push_back(ReportJson(r));
  PrintJson(ctx.io, all);
  return kExitOk;
}

int List(Context& ctx, Installation& inst, const ParsedArgs& a) {
  auto conn = inst.Open();
  const std::vector<Report> reports = ReadReports(*conn);
  if (a.Has("--json")) return ListJson(ctx, a, reports);
  if (a.positionals.size() == 1) {
    const Report& r = FindReport(reports, a.positionals[0]);
    ctx.io.out << fmt::format("Report {}: {}\nNode: {} ({})\nInterval: {} min ({})\n", r.id,
                              r.title, r.node_name, r.node_id, r.interval, TrendTable(r));
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < r.objects.size(); ++i) {
      const ReportObject& o = r.objects[i];
      rows.push_back({std::to_string(i + 1), o.name, o.oid, ObjectKind(o), o.eval, TriggerText(o)});
    }
    ctx.io.out << FormatTable({"K", "Name", "OID", "Kind", "Expression", "Trigger"}, rows, {true});
    return kExitOk;
  }
  RequirePositionals(a, {}, "report list");
  std::vector<std::vector<std::string>> rows;
  const std::optional<nlohmann::json> health = ReadHealth(inst.dir());
  for (const Report& r : reports) {
    rows.push_back({std::to_string(r.id), r.title, fmt::format("{} ({})", r.node_name, r.node_id),
                    fmt::format("{} min", r.interval), std::to_string(r.objects.size()),
                    StateText(r), ReportHealthText(health, r.id)});
  }
  ctx.io.out << FormatTable({"ID", "Title", "Node", "Interval", "Objects", "Pending", "Health"},
                            rows, {true, false, false, true, true});
  return kExitOk;
}

// With --check: the report's node must give each of its objects a value.
void CheckOnNodeWhenAsked(const ParsedArgs& a, Installation& inst, Connection& conn,
                          const Report& r, const std::vector<Node>& nodes) {
  if (!a.Has("--check")) return;
  CheckObjectsOnNode(inst, FindNode(nodes, std::to_string(r.node_id)), ReadProfiles(conn), r);
}

// Title, node and interval from the options.
void ApplyReportOptions(const ParsedArgs& a, Report& r, const std::vector<Node>& nodes) {
  if (auto v = a.Value("--title")) r.title = *v;
  if (auto v = a.Value("--interval")) {
    r.interval = static_cast<int32_t>(ParseWhole(*v, 1, 1440, "interval"));
  }
  if (auto v = a.Value("--node")) {
    const Node& n = FindNode(nodes, *v);
    if (!n.trend) {
      throw UsageError(fmt::format(
          "node {} does not take part in trend reporting (node set {} --trend yes)", n.id, n.id));
    }
    r.node_id = n.id;
    r.node_name = n.name;
  }
}

// A new report from the options of report add (or a row of a CSV file), checked.
Report NewReport(const ParsedArgs& a, const std::vector<Node>& nodes) {
  if (!a.Has("--node")) throw UsageError("the report needs a --node");
  if (!a.Has("--interval")) throw UsageError("the report needs an --interval");
  Report r;
  ApplyReportOptions(a, r, nodes);
  ApplyObjectOptions(a, r.objects, false);
  CheckReport(r);
  r.db_changed = "1";
  return r;
}

int Add(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {}, "report add");
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  Report r = NewReport(a, nodes);
  CheckOnNodeWhenAsked(a, inst, *conn, r, nodes);
  r.id = InsertReport(*conn, r);
  ctx.io.out << fmt::format("Added report {} '{}'\n", r.id, r.title);
  return TellService(inst, ctx.io, 1);
}

int Set(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"ID"}, "report set");
  if (a.options.empty()) throw UsageError("report set: nothing to change (see report --help)");
  auto conn = inst.Open();
  const std::vector<Report> reports = ReadReports(*conn);
  Report r = FindReport(reports, a.positionals[0]);
  const std::vector<Node> nodes = ReadNodes(*conn);
  ApplyReportOptions(a, r, nodes);
  const bool structural = ApplyObjectOptions(a, r.objects, true);
  CheckReport(r);
  CheckOnNodeWhenAsked(a, inst, *conn, r, nodes);
  // A report not yet loaded by the service stays an addition.
  const bool added = r.db_changed == "1";
  if (!added) r.db_changed = "2";
  conn->Execute(UpdateStatement("TrendReports", "ReportId", r.id, ReportColumns(*conn, r)));
  ctx.io.out << fmt::format("Changed report {} '{}'\n", r.id, r.title);
  if (added) return TellService(inst, ctx.io, 1);
  return TellService(inst, ctx.io, 2, structural);
}

// The columns of report import and export: those of report add, the object columns once per
// object.
const std::vector<std::string> kReportColumns = {"title", "node",    "interval", "object",
                                                 "name",  "counter", "eval",     "trigger"};

// counter's yes or no as the flag report add takes.
ParsedArgs WithCounterFlags(ParsedArgs a) {
  for (auto& [name, v] : a.options) {
    if (name != "--counter") continue;
    if (v != "yes" && v != "no") throw UsageError(fmt::format("counter '{}': give yes or no", v));
    name = v == "yes" ? "--counter" : "--no-counter";
    v.clear();
  }
  return a;
}

int Import(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"FILE"}, "report import");
  const auto rows = CsvAsOptions(ReadCsv(a.positionals[0]), kReportColumns);
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  std::vector<Report> reports;
  for (const auto& [line, options] : rows) {
    try {
      reports.push_back(NewReport(WithCounterFlags(options), nodes));
    } catch (const UsageError& e) {
      throw UsageError(fmt::format("line {}: {}", line, e.what()));
    }
  }
  if (reports.empty()) throw UsageError("the file holds no report");
  InTransaction(*conn, [&] {
    for (Report& r : reports) r.id = InsertReport(*conn, r);
  });
  ctx.io.out << fmt::format("Added {} report(s), ids {} to {}\n", reports.size(),
                            reports.front().id, reports.back().id);
  return TellService(inst, ctx.io, 1);
}

int Export(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {}, "report export");
  auto conn = inst.Open();
  const std::vector<Report> reports = ReadReports(*conn);
  size_t most = 1;
  for (const Report& r : reports) most = std::max(most, r.objects.size());
  std::string out = "title,node,interval";
  for (size_t k = 0; k < most; ++k) out += ",object,name,counter,eval,trigger";
  out += "\r\n";
  for (const Report& r : reports) {
    if (r.db_changed == "3") continue;
    out += fmt::format("{},{},{}", CsvField(r.title), CsvField(r.node_name), r.interval);
    for (size_t k = 0; k < most; ++k) {
      if (k >= r.objects.size()) {
        out += ",,,,,";
        continue;
      }
      const ReportObject& o = r.objects[k];
      out += fmt::format(",{},{},{},{},{}", CsvField(o.oid), CsvField(o.name),
                         o.type == kCounterType ? "yes" : "no", CsvField(o.eval),
                         o.trigger ? CsvField(o.op + o.threshold) : "");
    }
    out += "\r\n";
  }
  ctx.io.out << out;
  return kExitOk;
}

int Remove(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"ID"}, "report remove");
  if (!a.options.empty()) throw UsageError("report remove takes no options");
  auto conn = inst.Open();
  const Report r = FindReport(ReadReports(*conn), a.positionals[0]);
  conn->Execute(fmt::format("UPDATE TrendReports SET DbChanged = '3' WHERE ReportId = {}", r.id));
  ctx.io.out << fmt::format("Removed report {} '{}'\n", r.id, r.title);
  return TellService(inst, ctx.io, 3);
}

}  // namespace

int ReportCommand(Context& ctx, const std::vector<std::string>& words) {
  TableActions actions;
  actions.list = [&](Installation& inst, const ParsedArgs& a) { return List(ctx, inst, a); };
  actions.add = [&](Installation& inst, const ParsedArgs& a) { return Add(ctx, inst, a); };
  actions.set = [&](Installation& inst, const ParsedArgs& a) { return Set(ctx, inst, a); };
  actions.remove = [&](Installation& inst, const ParsedArgs& a) { return Remove(ctx, inst, a); };
  actions.import = [&](Installation& inst, const ParsedArgs& a) { return Import(ctx, inst, a); };
  actions.export_ = [&](Installation& inst, const ParsedArgs& a) { return Export(ctx, inst, a); };
  return RunTableCommand(ctx, words, "report", kReportOptions, kReportHelp, actions);
}

}  // namespace quorlan::console
