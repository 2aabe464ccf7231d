// node test, node walk and report --check: a node asked with its own settings through the
// service's SNMP manager, as the polling would ask it.
#include <fmt/format.h>

#include <algorithm>
#include <ostream>

#include "components/platform/platform.h"
#include "components/snmp/snmp.h"
#include "console/internal.h"

namespace quorlan::console {
namespace {

// What a node is asked when the command names no object and the node has no reports.
const std::vector<std::string> kSystemObjects = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.3.0"};
// Where a walk starts when the command names no object: MIB-2.
constexpr const char* kWalkRoot = "1.3.6.1.2.1";

std::string VersionName(int16_t v) { return v == 3 ? "v3" : v == 1 ? "v1" : "v2c"; }

snmp::Oid OidArgument(const std::string& text) {
  snmp::Oid oid;
  if (!ber::ParseOid(text, &oid)) {
    throw UsageError(fmt::format("'{}' is not an OID (dotted decimal, e.g. 1.3.6.1.2.1.1.3.0)",
                                 Printable(text)));
  }
  return oid;
}

const Profile* ProfileOf(const Node& n, const std::vector<Profile>& profiles) {
  for (const Profile& p : profiles) {
    if (p.enabled && EqualsNoCase(p.user, n.v3_user)) return &p;
  }
  return nullptr;
}

}  // namespace

struct NodeProbe::Impl {
  Impl(Installation& inst, const Node& n) : node(n), manager(inst.loop()) {}
  Node node;
  std::optional<Profile> profile;
  SnmpManager manager;
  int32_t next_id = 1;
  bool discovered = false;
  std::optional<SnmpResponse> answer;

  // The node's settings on a request just Reset.
  void Configure() {
    manager.SetRemoteHost(node.address);
    manager.SetRemotePort(node.port);
    manager.SetSnmpVersion(node.version);
    manager.SetCommunity(node.read_community);
    if (!profile) return;
    manager.SetUser(profile->user);
    if (profile->level < 1) return;
    manager.SetAuthPassword(profile->auth_password);
    manager.SetAuthProtocol(profile->auth_protocol);
    if (profile->level < 2) return;
    manager.SetPrivPassword(profile->priv_password);
    manager.SetPrivProtocol(profile->priv_protocol);
  }
};

NodeProbe::NodeProbe(Installation& inst, const Node& node, const std::vector<Profile>& profiles)
    : impl_(std::make_unique<Impl>(inst, node)) {
  if (node.version == 3) {
    const Profile* p = ProfileOf(node, profiles);
    if (p == nullptr) {
      throw UsageError(
          fmt::format("node {} uses SNMPv3 user '{}', which names no enabled security "
                      "profile (see quorlan-trendctl profile list)",
                      node.id, node.v3_user));
    }
    impl_->profile = *p;
  }
  impl_->manager.OnResponse = [this](const SnmpResponse& r) { impl_->answer = r; };
  impl_->manager.SetTimeout(node.timeout);
  impl_->manager.SetActive(true);
}

NodeProbe::~NodeProbe() = default;

std::string NodeProbe::Target() const {
  const Node& n = impl_->node;
  return fmt::format("node {} '{}' at {}:{} ({}, time-out {} s)", n.id, n.name, n.address, n.port,
                     VersionName(n.version), n.timeout);
}

SnmpResponse NodeProbe::Ask(const std::vector<std::string>& oids, bool next) {
  SnmpManager& m = impl_->manager;
  try {
    if (impl_->profile && !impl_->discovered) {
      m.Reset();
      impl_->Configure();
      m.DiscoverEngine();
      impl_->discovered = true;
    }
    m.Reset();
    impl_->Configure();
    m.SetObjCount(static_cast<int>(oids.size()));
    for (size_t i = 0; i < oids.size(); ++i) m.SetObjId(static_cast<int>(i), oids[i]);
    m.SetRequestId(impl_->next_id++);
    impl_->answer.reset();
    next ? m.SendGetNextRequest() : m.SendGetRequest();
  } catch (const RuntimeError& e) {
    throw RuntimeError(err::kComponent, fmt::format("{}: {}", Target(), e.description()));
  }
  if (!impl_->answer) {
    throw RuntimeError(err::kComponent, fmt::format("{}: no answer", Target()));
  }
  return *impl_->answer;
}

std::string ObjectFault(const SnmpResponse& r, int i) {
  if (r.error_status != 0) {
    return r.error_index == i + 1 || r.error_index == 0 ? r.error_description : "";
  }
  if (i >= r.ObjCount()) return "no value in the answer";
  const int type = r.ObjType(i);
  return r.ObjValue(i) ? "" : snmp::TypeName(type);
}

namespace {

// "OID  TYPE  VALUE", or "OID  noSuchObject" for an object without a value.
std::string AnswerLine(const SnmpResponse& r, int i) {
  const std::string oid = r.ObjId(i);
  if (!r.ObjValue(i)) return fmt::format("{}  {}", oid, snmp::TypeName(r.ObjType(i)));
  return Printable(fmt::format("{}  {}  {}", oid, snmp::TypeName(r.ObjType(i)), *r.ObjValue(i)));
}

// The objects a test asks for: those named, else the distinct objects of the node's reports,
// else the system's description and uptime.
std::vector<std::string> TestObjects(const ParsedArgs& a, const Node& n,
                                     const std::vector<Report>& reports) {
  std::vector<std::string> oids(a.positionals.begin() + 1, a.positionals.end());
  for (const std::string& oid : oids) OidArgument(oid);
  if (!oids.empty()) return oids;
  for (const Report& r : reports) {
    if (r.node_id != n.id || r.db_changed == "3") continue;
    for (const ReportObject& o : r.objects) {
      if (std::find(oids.begin(), oids.end(), o.oid) == oids.end()) oids.push_back(o.oid);
    }
  }
  return oids.empty() ? kSystemObjects : oids;
}

}  // namespace

int NodeTest(Context& ctx, Installation& inst, const ParsedArgs& a) {
  if (a.positionals.empty()) throw UsageError("node test: NODE is missing (see node --help)");
  if (!a.options.empty()) throw UsageError("node test takes no options");
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  const Node& n = FindNode(nodes, a.positionals[0]);
  const std::vector<std::string> oids = TestObjects(a, n, ReadReports(*conn));
  NodeProbe probe(inst, n, ReadProfiles(*conn));
  const SnmpResponse r = probe.Ask(oids, false);
  ctx.io.out << "GET to " << Printable(probe.Target()) << ":\n";
  if (r.error_status != 0) {
    ctx.io.out << fmt::format(
        "The device answered {} for {}\n", r.error_description,
        oids.at(std::clamp(r.error_index, 1, static_cast<int>(oids.size())) - 1));
    return kExitFailure;
  }
  for (int i = 0; i < r.ObjCount(); ++i) ctx.io.out << AnswerLine(r, i) << '\n';
  return kExitOk;
}

int NodeWalk(Context& ctx, Installation& inst, const ParsedArgs& a) {
  if (a.positionals.empty()) throw UsageError("node walk: NODE is missing (see node --help)");
  if (a.positionals.size() > 2) {
    throw UsageError(fmt::format("node walk: unexpected argument '{}'", a.positionals[2]));
  }
  if (!a.options.empty()) throw UsageError("node walk takes no options");
  const std::string root = a.positionals.size() == 2 ? a.positionals[1] : kWalkRoot;
  const snmp::Oid root_oid = OidArgument(root);
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  NodeProbe probe(inst, FindNode(nodes, a.positionals[0]), ReadProfiles(*conn));
  snmp::Oid last = root_oid;
  int count = 0;
  for (;;) {
    const SnmpResponse r = probe.Ask({ber::FormatOid(last)}, true);
    // SNMPv1 ends a walk with noSuchName, later versions with endOfMibView.
    if (r.error_status == snmp::status::kNoSuchName || r.ObjCount() == 0) break;
    if (r.error_status != 0) {
      throw RuntimeError(err::kComponent, fmt::format("{} answered {} after {}", probe.Target(),
                                                      r.error_description, ber::FormatOid(last)));
    }
    const snmp::Oid& got = r.varbinds[0].oid;
    if (r.ObjType(0) == static_cast<int>(snmp::ValueType::kEndOfMibView)) break;
    if (got.size() < root_oid.size() || !std::equal(root_oid.begin(), root_oid.end(), got.begin()))
      break;
    if (got <= last) {
      throw RuntimeError(err::kComponent,
                         fmt::format("{} answered {} after {}: not in order, walk ended",
                                     probe.Target(), ber::FormatOid(got), ber::FormatOid(last)));
    }
    ctx.io.out << AnswerLine(r, 0) << '\n';
    last = got;
    ++count;
  }
  ctx.io.out << fmt::format("{} object(s) below {}\n", count, root);
  return kExitOk;
}

void CheckObjectsOnNode(Installation& inst, const Node& n, const std::vector<Profile>& profiles,
                        const Report& r) {
  std::vector<std::string> oids;
  for (const ReportObject& o : r.objects) oids.push_back(o.oid);
  NodeProbe probe(inst, n, profiles);
  SnmpResponse answer;
  try {
    answer = probe.Ask(oids, false);
  } catch (const RuntimeError& e) {
    throw UsageError(fmt::format("--check: {}", e.description()));
  }
  for (size_t i = 0; i < oids.size(); ++i) {
    const std::string fault = ObjectFault(answer, static_cast<int>(i));
    if (!fault.empty()) {
      throw UsageError(
          fmt::format("--check: object {} ({}): {} answered {}", i + 1, oids[i], n.name, fault));
    }
  }
}

}  // namespace quorlan::console
