// node add|set|remove|list: the rows of ATR_Nodes that the service polls.
#include <fmt/format.h>

#include <algorithm>
#include <ostream>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "trendlist/trendlist.h"

namespace quorlan::console {
namespace {

const std::vector<OptionDef> kNodeOptions = {
    {"--name", true},      {"--address", true},   {"--port", true},
    {"--version", true},   {"--community", true}, {"--trap-community", true},
    {"--user", true},      {"--timeout", true},   {"--retries", true},
    {"--poll-type", true}, {"--trend", true},     {"--with-reports", false}};

constexpr const char* kNodeHelp =
    "Usage: quorlan-trendctl [-d DIR] node list [ID] [--json]\n"
    "       quorlan-trendctl [-d DIR] node add --name NAME --address HOST [OPTIONS]\n"
    "       quorlan-trendctl [-d DIR] node set ID [OPTIONS]\n"
    "       quorlan-trendctl [-d DIR] node remove ID [--with-reports]\n"
    "       quorlan-trendctl [-d DIR] node import FILE.csv\n"
    "       quorlan-trendctl [-d DIR] node test ID [OID...]\n"
    "       quorlan-trendctl [-d DIR] node walk ID [OID]\n"
    "\n"
    "The nodes (table ATR_Nodes) whose SNMP objects trend reports poll. ID is a node id or a\n"
    "node's unique name.\n"
    "\n"
    "test sends one GET with the node's own settings (version, community or SNMPv3 profile,\n"
    "port, time-out) and prints each object's value and type, or the device's error status;\n"
    "without OIDs it asks for the objects of the node's reports, or sysDescr and sysUpTime.\n"
    "walk lists the objects the node has below OID (default 1.3.6.1.2.1), one GETNEXT at a\n"
    "time.\n"
    "\n"
    "Options of add and set:\n"
    "  --name NAME             node name (unique; up to 100 characters)\n"
    "  --address HOST          IPv4 address or host name (up to 50 characters)\n"
    "  --port N                SNMP port, 1..65535 (default 161)\n"
    "  --version 1|2|2c|3      SNMP version (default 2, which is 2c); 3 needs --user\n"
    "  --community TEXT        read community (default public)\n"
    "  --trap-community TEXT   community of the trend traps about the node (default public)\n"
    "  --user NAME             SNMPv3 user: the name of a security profile (profile list)\n"
    "  --timeout S             seconds to wait for an answer, 1..60 (default 5)\n"
    "  --retries N             resends after a time-out, 0..10 (default 2)\n"
    "  --poll-type TYPE        SnmpPoll (default) or SnmpStatus, the words the service polls\n"
    "  --trend yes|no          whether the node takes part in trend reporting (default yes)\n"
    "\n"
    "A change of a node with reports is applied to the running service at its next poll tick.\n"
    "remove refuses a node that has reports unless --with-reports removes them too.\n"
    "import adds the nodes of a CSV file (RFC 4180) whose header line names its columns, the\n"
    "options of add without their dashes (name,address,port,version,community,trap-community,\n"
    "user,timeout,retries,poll-type,trend; an empty field takes the default). Every row is\n"
    "checked as add checks it, and all rows are added in one transaction or none: a wrong row\n"
    "is named by its line, with nothing changed.\n";

void CheckAddress(const std::string& a) {
  CheckText(a, 50, "address", true);
  const bool ok = std::all_of(a.begin(), a.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
  if (!ok || a.front() == '-' || a.front() == '.') {
    throw UsageError(fmt::format("address '{}' is neither an IPv4 address nor a host name", a));
  }
}

// The version as the node row stores it: 1, 2 (SNMPv2c, also written "2c") or 3.
int16_t ParseVersion(const std::string& text) {
  if (EqualsNoCase(text, "2c")) return 2;
  if (text == "1" || text == "2" || text == "3") return static_cast<int16_t>(text[0] - '0');
  throw UsageError(fmt::format("version '{}': give 1, 2c or 3", text));
}

// The poll types the service polls, spelt as the service writes them; any other word would keep
// the node's reports from being polled without a sign.
std::string ParsePollType(const std::string& text) {
  for (const char* known : {kPollTypeSnmpPoll, kPollTypeSnmpStatus}) {
    if (EqualsNoCase(text, known)) return known;
  }
  throw UsageError(
      fmt::format("poll type '{}': give {} or {}", text, kPollTypeSnmpPoll, kPollTypeSnmpStatus));
}

bool YesNo(const std::string& text, const std::string& what) {
  if (text == "yes" || text == "1" || text == "on") return true;
  if (text == "no" || text == "0" || text == "off") return false;
  throw UsageError(fmt::format("{} '{}': give yes or no", what, text));
}

// Applies the options to n and checks the whole row against the others.
void ApplyNodeOptions(const ParsedArgs& a, Node& n, const std::vector<Node>& nodes,
                      const std::vector<Profile>& profiles) {
  for (const auto& [name, v] : a.options) {
    if (name == "--name") n.name = v;
    if (name == "--address") n.address = v;
    if (name == "--port") n.port = static_cast<int32_t>(ParseWhole(v, 1, 65535, "port"));
    if (name == "--version") n.version = ParseVersion(v);
    if (name == "--community") n.read_community = v;
    if (name == "--trap-community") n.trap_community = v;
    if (name == "--user") n.v3_user = v;
    if (name == "--timeout") n.timeout = static_cast<int16_t>(ParseWhole(v, 1, 60, "timeout"));
    if (name == "--retries") n.retries = static_cast<int16_t>(ParseWhole(v, 0, 10, "retries"));
    if (name == "--poll-type") n.poll_type = ParsePollType(v);
    if (name == "--trend") n.trend = YesNo(v, "trend");
  }
  CheckText(n.name, 100, "name", true);
  CheckAddress(n.address);
  CheckText(n.read_community, 50, "community", false);
  CheckText(n.trap_community, 50, "trap community", false);
  CheckText(n.v3_user, 100, "user", false);
  for (const Node& other : nodes) {
    if (other.id != n.id && EqualsNoCase(other.name, n.name)) {
      // A row of an import not yet added has the negative of its line as id.
      const std::string where = other.id < 0 ? fmt::format("line {} of the file", -other.id)
                                             : fmt::format("id {}", other.id);
      throw UsageError(fmt::format("a node named '{}' exists already ({})", n.name, where));
    }
  }
  if (n.version == 3) {
    const bool known = std::any_of(profiles.begin(), profiles.end(), [&](const Profile& p) {
      return p.enabled && !n.v3_user.empty() && EqualsNoCase(p.user, n.v3_user);
    });
    if (!known) {
      throw UsageError(
          fmt::format("SNMPv3 needs --user naming an enabled security profile; '{}' is none (see "
                      "quorlan-trendctl profile list)",
                      n.v3_user));
    }
  }
}

std::vector<const Report*> ReportsOf(const std::vector<Report>& reports, int32_t node_id) {
  std::vector<const Report*> out;
  for (const Report& r : reports) {
    if (r.node_id == node_id && r.db_changed != "3") out.push_back(&r);
  }
  return out;
}

std::string VersionText(int16_t v) { return v == 3 ? "v3" : v == 1 ? "v1" : "v2c"; }

nlohmann::ordered_json NodeJson(const Node& n, size_t reports) {
  return {{"id", n.id},
          {"name", n.name},
          {"address", n.address},
          {"port", n.port},
          {"version", VersionText(n.version)},
          {"community", n.read_community},
          {"trap_community", n.trap_community},
          {"user", n.v3_user},
          {"timeout", n.timeout},
          {"retries", n.retries},
          {"poll_type", n.poll_type},
          {"trend", n.trend},
          {"reports", reports}};
}

int ListJson(Context& ctx, const ParsedArgs& a, const std::vector<Node>& nodes,
             const std::vector<Report>& reports) {
  if (a.positionals.size() == 1) {
    const Node& n = FindNode(nodes, a.positionals[0]);
    PrintJson(ctx.io, NodeJson(n, ReportsOf(reports, n.id).size()));
    return kExitOk;
  }
  RequirePositionals(a, {}, "node list");
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
  for (const Node& n : nodes) all.push_back(NodeJson(n, ReportsOf(reports, n.id).size()));
  PrintJson(ctx.io, all);
  return kExitOk;
}

int List(Context& ctx, Installation& inst, const ParsedArgs& a) {
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  const std::vector<Report> reports = ReadReports(*conn);
  if (a.Has("--json")) return ListJson(ctx, a, nodes, reports);
  if (a.positionals.size() == 1) {
    const Node& n = FindNode(nodes, a.positionals[0]);
    ctx.io.out << FormatTable({"Field", "Value"},
                              {{"id", std::to_string(n.id)},
                               {"name", n.name},
                               {"address", fmt::format("{}:{}", n.address, n.port)},
                               {"version", VersionText(n.version)},
                               {"community", n.read_community},
                               {"trap community", n.trap_community},
                               {"user", n.v3_user},
                               {"timeout", fmt::format("{} s", n.timeout)},
                               {"retries", std::to_string(n.retries)},
                               {"poll type", n.poll_type},
                               {"trend reporting", n.trend ? "yes" : "no"},
                               {"reports", std::to_string(ReportsOf(reports, n.id).size())}});
    return kExitOk;
  }
  RequirePositionals(a, {}, "node list");
  std::vector<std::vector<std::string>> rows;
  const std::optional<nlohmann::json> health = ReadHealth(inst.dir());
  for (const Node& n : nodes) {
    rows.push_back({std::to_string(n.id), n.name, n.address, std::to_string(n.port),
                    VersionText(n.version), std::to_string(n.timeout), std::to_string(n.retries),
                    n.poll_type, n.trend ? "yes" : "no",
                    std::to_string(ReportsOf(reports, n.id).size()), NodeHealthText(health, n.id)});
  }
  ctx.io.out << FormatTable({"ID", "Name", "Address", "Port", "Version", "Timeout", "Retries",
                             "PollType", "Trend", "Reports", "Health"},
                            rows,
                            {true, false, false, true, false, true, true, false, false, true});
  return kExitOk;
}

int Add(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {}, "node add");
  if (!a.Has("--name") || !a.Has("--address")) {
    throw UsageError("node add: --name and --address are required");
  }
  if (a.Has("--with-reports")) throw UsageError("node add: unknown option --with-reports");
  auto conn = inst.Open();
  Node n;
  ApplyNodeOptions(a, n, ReadNodes(*conn), ReadProfiles(*conn));
  n.id = InsertNode(*conn, n);
  ctx.io.out << fmt::format("Added node {} '{}' ({}:{})\n", n.id, n.name, n.address, n.port);
  return kExitOk;
}

// The columns of node import: the options of node add without their dashes.
const std::vector<std::string> kNodeColumns = {"name",      "address",        "port", "version",
                                               "community", "trap-community", "user", "timeout",
                                               "retries",   "poll-type",      "trend"};

int Import(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"FILE"}, "node import");
  const auto rows = CsvAsOptions(ReadCsv(a.positionals[0]), kNodeColumns);
  auto conn = inst.Open();
  std::vector<Node> nodes = ReadNodes(*conn);
  const std::vector<Profile> profiles = ReadProfiles(*conn);
  std::vector<Node> added;
  for (const auto& [line, options] : rows) {
    Node n;
    n.id = -line;  // apart from the other new rows, so that a name twice in the file is refused
    try {
      if (!options.Has("--name") || !options.Has("--address")) {
        throw UsageError("name and address are required");
      }
      ApplyNodeOptions(options, n, nodes, profiles);
    } catch (const UsageError& e) {
      throw UsageError(fmt::format("line {}: {}", line, e.what()));
    }
    nodes.push_back(n);
    added.push_back(n);
  }
  if (added.empty()) throw UsageError("the file holds no node");
  InTransaction(*conn, [&] {
    for (Node& n : added) n.id = InsertNode(*conn, n);
  });
  ctx.io.out << fmt::format("Added {} node(s), ids {} to {}\n", added.size(), added.front().id,
                            added.back().id);
  return kExitOk;
}

int Set(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"ID"}, "node set");
  if (a.options.empty()) throw UsageError("node set: nothing to change (see node --help)");
  if (a.Has("--with-reports")) throw UsageError("node set: unknown option --with-reports");
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  const std::vector<Report> reports = ReadReports(*conn);
  const Node& old = FindNode(nodes, a.positionals[0]);
  Node n = old;
  ApplyNodeOptions(a, n, nodes, ReadProfiles(*conn));
  const std::vector<const Report*> own = ReportsOf(reports, n.id);
  if (old.trend && !n.trend && !own.empty()) {
    throw UsageError(fmt::format(
        "node {} has {} report(s): the service deletes the reports of a node that leaves trend "
        "reporting; remove them first (report remove)",
        n.id, own.size()));
  }
  InTransaction(*conn, [&] {
    WithoutStatementText(fmt::format("change node {} in ATR_Nodes", n.id), [&] {
      conn->Execute(UpdateStatement("ATR_Nodes", "node_id", n.id, NodeColumns(*conn, n)));
    });
    // The edit pass copies the node's settings into its reports' entries, with the name kept
    // in the report rows.
    conn->Execute(fmt::format("UPDATE TrendReports SET NodeName = {} WHERE NodeId = {}",
                              SqlText(*conn, n.name), n.id));
    conn->Execute(fmt::format(
        "UPDATE TrendReports SET DbChanged = '2' WHERE NodeId = {} AND DbChanged = '0'", n.id));
  });
  ctx.io.out << fmt::format("Changed node {} '{}'\n", n.id, n.name);
  return own.empty() ? kExitOk : TellService(inst, ctx.io, 2);
}

int Remove(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"ID"}, "node remove");
  for (const auto& [name, v] : a.options) {
    if (name != "--with-reports") throw UsageError("node remove: unknown option " + name);
  }
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  const Node n = FindNode(nodes, a.positionals[0]);
  const std::vector<Report> reports = ReadReports(*conn);
  const std::vector<const Report*> own = ReportsOf(reports, n.id);
  if (!own.empty() && !a.Has("--with-reports")) {
    std::string ids;
    for (const Report* r : own) ids += (ids.empty() ? "" : ", ") + std::to_string(r->id);
    throw UsageError(fmt::format(
        "node {} has reports ({}); remove them first or give --with-reports", n.id, ids));
  }
  InTransaction(*conn, [&] {
    conn->Execute(fmt::format("UPDATE TrendReports SET DbChanged = '3' WHERE NodeId = {}", n.id));
    conn->Execute(fmt::format("DELETE FROM ATR_Nodes WHERE node_id = {}", n.id));
  });
  ctx.io.out << fmt::format("Removed node {} '{}'{}\n", n.id, n.name,
                            own.empty() ? "" : fmt::format(" and its {} report(s)", own.size()));
  return own.empty() ? kExitOk : TellService(inst, ctx.io, 3);
}

}  // namespace

int NodeCommand(Context& ctx, const std::vector<std::string>& words) {
  if (!words.empty() && (words[0] == "test" || words[0] == "walk")) {
    const ParsedArgs a = ParseArgs({words.begin() + 1, words.end()}, {}, "node " + words[0]);
    if (a.help) {
      ctx.io.out << kNodeHelp;
      return kExitOk;
    }
    Installation inst(ctx.dir, ctx.clock, ctx.loop);
    return words[0] == "test" ? NodeTest(ctx, inst, a) : NodeWalk(ctx, inst, a);
  }
  TableActions actions;
  actions.list = [&](Installation& inst, const ParsedArgs& a) { return List(ctx, inst, a); };
  actions.add = [&](Installation& inst, const ParsedArgs& a) { return Add(ctx, inst, a); };
  actions.set = [&](Installation& inst, const ParsedArgs& a) { return Set(ctx, inst, a); };
  actions.remove = [&](Installation& inst, const ParsedArgs& a) { return Remove(ctx, inst, a); };
  actions.import = [&](Installation& inst, const ParsedArgs& a) { return Import(ctx, inst, a); };
  return RunTableCommand(ctx, words, "node", kNodeOptions, kNodeHelp, actions);
}

}  // namespace quorlan::console
