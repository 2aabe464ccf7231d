// The suite rows the console reads and writes: ATR_Nodes, TrendReports and SecProfiles, by the
// columns the service reads.
#include <fmt/format.h>

#include <algorithm>

#include "components/platform/platform.h"
#include "console/internal.h"

namespace quorlan::console {
namespace {

std::string Text(const Recordset& r, const std::string& column) {
  const FieldValue f = r.Field(column);
  return f.IsNull() ? "" : f.AsString();
}
int32_t Int(const Recordset& r, const std::string& column) {
  const FieldValue f = r.Field(column);
  return f.IsNull() ? 0 : f.AsInt32();
}
bool Flag(const Recordset& r, const std::string& column) {
  const FieldValue f = r.Field(column);
  return !f.IsNull() && f.AsBool();
}
int16_t Small(const Recordset& r, const std::string& column) {
  return static_cast<int16_t>(std::clamp(Int(r, column), -32768, 32767));
}

std::string Num(int64_t v) { return std::to_string(v); }
std::string Bit(bool v) { return v ? "1" : "0"; }

}  // namespace

std::vector<Node> ReadNodes(Connection& conn) {
  std::vector<Node> out;
  for (auto r = ExecuteQuery(conn, "SELECT * FROM ATR_Nodes ORDER BY node_id"); !r->Eof();
       r->MoveNext()) {
    Node n;
    n.id = Int(*r, "node_id");
    n.name = Text(*r, "node_name");
    n.address = Text(*r, "address");
    n.port = Int(*r, "UdpPort");
    n.version = Flag(*r, "image") ? int16_t{3} : Small(*r, "SnmpVersion");
    n.read_community = Text(*r, "readcomm");
    n.trap_community = Text(*r, "trapcomm");
    n.v3_user = Text(*r, "StreetAddress");
    n.timeout = Small(*r, "PollTimeOut");
    n.retries = Small(*r, "PollRetries");
    n.poll_type = Text(*r, "PollType");
    n.trend = Text(*r, "TrendReports") == "1" || EqualsNoCase(Text(*r, "TrendReports"), "True");
    out.push_back(std::move(n));
  }
  return out;
}

std::vector<Report> ReadReports(Connection& conn) {
  std::vector<Report> out;
  for (auto r = ExecuteQuery(conn, "SELECT * FROM TrendReports ORDER BY ReportId"); !r->Eof();
       r->MoveNext()) {
    Report rep;
    rep.id = Int(*r, "ReportId");
    rep.title = Text(*r, "ReportTitle");
    rep.node_id = Int(*r, "NodeId");
    rep.node_name = Text(*r, "NodeName");
    rep.interval = Int(*r, "PollInterval");
    rep.db_changed = Trim(Text(*r, "DbChanged"));
    for (int k = 1; k <= kMaxObjects; ++k) {
      ReportObject o;
      o.oid = Text(*r, fmt::format("ObjId{}", k));
      if (o.oid.empty()) break;  // the service polls objects 1.. up to the first empty one
      o.name = Text(*r, fmt::format("ObjName{}", k));
      o.type = Small(*r, fmt::format("ObjType{}", k));
      o.eval = Text(*r, fmt::format("ObjEval{}", k));
      o.trigger = Flag(*r, fmt::format("TriggerAlarm{}", k));
      o.op = Text(*r, fmt::format("TriggerExpr{}", k));
      o.threshold = Text(*r, fmt::format("TriggerValue{}", k));
      rep.objects.push_back(std::move(o));
    }
    out.push_back(std::move(rep));
  }
  return out;
}

std::vector<Profile> ReadProfiles(Connection& conn) {
  std::vector<Profile> out;
  for (auto r = ExecuteQuery(conn, "SELECT * FROM SecProfiles ORDER BY Id"); !r->Eof();
       r->MoveNext()) {
    Profile p;
    p.id = Int(*r, "Id");
    p.enabled = Flag(*r, "Enabled");
    p.user = Text(*r, "UserName");
    p.level = Small(*r, "SecurityLevel");
    p.auth_password = Text(*r, "AuthPassword");
    p.auth_protocol = Small(*r, "AuthProtocol");
    p.priv_password = Text(*r, "PrivPassword");
    p.priv_protocol = Small(*r, "PrivProtocol");
    out.push_back(std::move(p));
  }
  return out;
}

const Node& FindNode(const std::vector<Node>& nodes, const std::string& id_or_name) {
  const bool numeric =
      !id_or_name.empty() && std::all_of(id_or_name.begin(), id_or_name.end(),
                                         [](char c) { return c >= '0' && c <= '9'; });
  const Node* found = nullptr;
  for (const Node& n : nodes) {
    const bool match =
        numeric ? std::to_string(n.id) == id_or_name : EqualsNoCase(n.name, id_or_name);
    if (!match) continue;
    if (found != nullptr) {
      throw UsageError(fmt::format("more than one node is named '{}' (ids {} and {}); give its id",
                                   id_or_name, found->id, n.id));
    }
    found = &n;
  }
  if (found == nullptr) {
    throw UsageError(fmt::format("unknown node '{}' (see quorlan-trendctl node list)", id_or_name));
  }
  return *found;
}

const Report& FindReport(const std::vector<Report>& reports, const std::string& id) {
  for (const Report& r : reports) {
    if (std::to_string(r.id) == id && r.db_changed != "3") return r;
  }
  throw UsageError(fmt::format("unknown report '{}' (see quorlan-trendctl report list)", id));
}

std::vector<std::pair<std::string, std::string>> NodeColumns(const Connection& conn,
                                                             const Node& n) {
  return {{"node_name", SqlText(conn, n.name)},
          {"address", SqlText(conn, n.address)},
          {"UdpPort", Num(n.port)},
          {"image", Bit(n.version == 3)},
          {"SnmpVersion", Num(n.version)},
          {"PollTimeOut", Num(n.timeout)},
          {"PollRetries", Num(n.retries)},
          {"PollType", SqlText(conn, n.poll_type)},
          {"readcomm", SqlText(conn, n.read_community)},
          {"trapcomm", SqlText(conn, n.trap_community)},
          {"StreetAddress", SqlText(conn, n.v3_user)},
          {"TrendReports", Bit(n.trend)}};
}

std::vector<std::pair<std::string, std::string>> ReportColumns(const Connection& conn,
                                                               const Report& r) {
  std::vector<std::pair<std::string, std::string>> c = {{"ReportTitle", SqlText(conn, r.title)},
                                                        {"NodeId", Num(r.node_id)},
                                                        {"NodeName", SqlText(conn, r.node_name)},
                                                        {"PollInterval", Num(r.interval)}};
  for (int k = 1; k <= kMaxObjects; ++k) {
    const ReportObject o =
        k <= static_cast<int>(r.objects.size()) ? r.objects[k - 1] : ReportObject{};
    c.emplace_back(fmt::format("ObjId{}", k), SqlText(conn, o.oid));
    c.emplace_back(fmt::format("ObjName{}", k), SqlText(conn, o.name));
    c.emplace_back(fmt::format("ObjType{}", k), Num(o.type));
    c.emplace_back(fmt::format("ObjEval{}", k), SqlText(conn, o.eval));
    c.emplace_back(fmt::format("TriggerAlarm{}", k), Bit(o.trigger));
    c.emplace_back(fmt::format("TriggerExpr{}", k), SqlText(conn, o.op));
    c.emplace_back(fmt::format("TriggerValue{}", k), SqlText(conn, o.threshold));
  }
  c.emplace_back("DbChanged", SqlQuote(r.db_changed));
  return c;
}

std::vector<std::pair<std::string, std::string>> ProfileColumns(const Connection& conn,
                                                                const Profile& p) {
  return {{"Enabled", Bit(p.enabled)},
          {"UserName", SqlText(conn, p.user)},
          {"SecurityLevel", Num(p.level)},
          {"AuthPassword", SqlText(conn, p.auth_password)},
          {"AuthProtocol", Num(p.auth_protocol)},
          {"PrivPassword", SqlText(conn, p.priv_password)},
          {"PrivProtocol", Num(p.priv_protocol)}};
}

std::string UpdateStatement(const std::string& table, const std::string& key, int64_t id,
                            const std::vector<std::pair<std::string, std::string>>& columns) {
  std::string set;
  for (const auto& [name, literal] : columns) {
    set += (set.empty() ? "" : ", ") + name + " = " + literal;
  }
  return fmt::format("UPDATE {} SET {} WHERE {} = {}", table, set, key, id);
}

void InTransaction(Connection& conn, const std::function<void()>& work) {
  conn.Execute("BEGIN TRANSACTION");
  try {
    work();
  } catch (...) {
    try {
      conn.Execute("ROLLBACK TRANSACTION");
    } catch (const RuntimeError&) {
    }  // the failure that matters is the one in flight
    throw;
  }
  conn.Execute("COMMIT TRANSACTION");
}

int32_t InsertNode(Connection& conn, const Node& n) {
  int64_t id = 0;
  // The row carries the node's communities.
  WithoutStatementText(fmt::format("add node '{}' to ATR_Nodes", n.name), [&] {
    id = InsertReturningKey(conn, "ATR_Nodes", "node_id", NodeColumns(conn, n));
  });
  return static_cast<int32_t>(id);
}

int32_t InsertReport(Connection& conn, const Report& r) {
  return static_cast<int32_t>(
      InsertReturningKey(conn, "TrendReports", "ReportId", ReportColumns(conn, r)));
}

}  // namespace quorlan::console
