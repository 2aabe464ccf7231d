#include "components/snmp/snmp_agent.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <charconv>
#include <cstring>

#include "components/platform/platform.h"

namespace quorlan {
namespace {

constexpr int kDatagramsPerWakeUp = 64;

constexpr int kMaxObjects = 128;
constexpr size_t kMaxDatagram = 65507;

[[noreturn]] void Refuse(const std::string& description) {
  throw RuntimeError(err::kComponent, description);
}

SnmpObject ToObject(const snmp::VarBind& vb) {
  return {ber::FormatOid(vb.oid), static_cast<int>(vb.value.type), vb.value.ToText()};
}

// Text object to a binding; errors name the object.
snmp::VarBind ToVarBind(const SnmpObject& o, const std::string& what) {
  snmp::VarBind vb;
  if (!ber::ParseOid(o.oid, &vb.oid)) Refuse(fmt::format("{}: '{}' is not an OID", what, o.oid));
  try {
    vb.value = snmp::ValueFromText(o.type, o.value);
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(), fmt::format("{} ({}): {}", what, o.oid, e.description()));
  }
  return vb;
}

SnmpObject& Checked(std::vector<SnmpObject>& v, int i, const char* what) {
  if (i < 0 || i >= static_cast<int>(v.size())) {
    throw RuntimeError(err::kSubscriptOutOfRange,
                       fmt::format("{} {}: object index out of range 0..{}", what, i,
                                   static_cast<int>(v.size()) - 1));
  }
  return v[i];
}

int ParsePort(const std::string& text, const char* what, int lowest = 1) {
  const int32_t port = TextToInt32(text);
  if (port < lowest || port > 65535) {
    Refuse(fmt::format("{} {}: out of range {}..65535", what, port, lowest));
  }
  return port;
}

// "6.2" -> generic 6, specific 2; "3" -> generic 3, specific 0.
void ParseTrapId(const std::string& id, int32_t* generic, int32_t* specific) {
  const char* p = id.data();
  const char* end = id.data() + id.size();
  auto r1 = std::from_chars(p, end, *generic);
  *specific = 0;
  bool ok = r1.ec == std::errc() && *generic >= 0 && *generic <= 6;
  if (ok && r1.ptr != end) {
    auto r2 = std::from_chars(r1.ptr + 1, end, *specific);
    ok = *r1.ptr == '.' && r2.ec == std::errc() && r2.ptr == end && *specific >= 0;
  }
  if (!ok) Refuse(fmt::format("send trap: trap id '{}' is not \"generic.specific\"", id));
}

}  // namespace

SnmpObject& SnmpAgentRequest::Obj(int i) { return Checked(objects, i, "object"); }

const SnmpObject& SnmpAgentRequest::Obj(int i) const {
  return Checked(const_cast<std::vector<SnmpObject>&>(objects), i, "object");
}

SnmpAgent::SnmpAgent(EventLoop& loop) : loop_(loop), start_ms_(loop.clock().MonotonicMs()) {}

SnmpAgent::~SnmpAgent() { SetActive(false); }

void SnmpAgent::SetActive(bool active) {
  if (active == Active()) return;
  if (!active) {
    loop_.Unwatch(watch_);
    socket_.Close();
    return;
  }
  socket_.Open(local_host_, local_port_);
  watch_ = loop_.WatchReadable(socket_.fd(), [this] { OnReadable(); });
  start_ms_ = loop_.clock().MonotonicMs();
}

std::string SnmpAgent::LocalHost() const { return Active() ? socket_.LocalHost() : local_host_; }

void SnmpAgent::SetLocalPort(int port) {
  if (port < 0 || port > 65535) Refuse(fmt::format("local port {}: out of range 0..65535", port));
  local_port_ = port;
}

int SnmpAgent::LocalPort() const { return Active() ? socket_.LocalPort() : local_port_; }

std::string SnmpAgent::Config(const std::string& setting) {
  const size_t eq = setting.find('=');
  const std::string name = Trim(setting.substr(0, eq));
  const bool set = eq != std::string::npos;
  const std::string value = set ? setting.substr(eq + 1) : "";
  if (EqualsNoCase(name, "TrapPort")) {
    if (!set) return std::to_string(trap_port_);
    // Port 0 is taken (the configuration file is not validated further) and refuses each trap.
    trap_port_ = ParsePort(value, "TrapPort", 0);
  } else if (EqualsNoCase(name, "TrapAgentAddress")) {
    if (!set) return trap_agent_address_;
    in_addr a{};
    const std::string v = Trim(value);
    if (!v.empty() && inet_pton(AF_INET, v.c_str(), &a) != 1) {
      Refuse(fmt::format("TrapAgentAddress '{}': not a dotted IPv4 address", value));
    }
    trap_agent_address_ = v;
  } else if (EqualsNoCase(name, "TrapEnterprise")) {
    if (!set) return trap_enterprise_;
    snmp::Oid oid;
    if (!ber::ParseOid(Trim(value), &oid))
      Refuse(fmt::format("TrapEnterprise '{}': not an OID", value));
    trap_enterprise_ = ber::FormatOid(oid);
  } else if (EqualsNoCase(name, "TrapCommunity")) {
    if (!set) return trap_community_;
    trap_community_ = value;
  } else {
    Refuse(fmt::format("configuration setting '{}': unknown setting", setting));
  }
  return "";
}

void SnmpAgent::SetTrapFormat(int format) {
  if (format != 1) Refuse(fmt::format("trap format {}: only 1 (SNMPv1 trap) is available", format));
}

void SnmpAgent::SetObjCount(int count) {
  if (count < 0 || count > kMaxObjects) {
    Refuse(fmt::format("object count {}: out of range 0..{}", count, kMaxObjects));
  }
  trap_objects_.resize(count);
}

SnmpObject& SnmpAgent::TrapSlot(int i, const char* what) { return Checked(trap_objects_, i, what); }

void SnmpAgent::SetObjId(int i, const std::string& oid) { TrapSlot(i, "object id").oid = oid; }

void SnmpAgent::SetObjType(int i, int type_code) {
  if (!snmp::IsKnownType(type_code))
    Refuse(fmt::format("object type {}: unknown type code {}", i, type_code));
  TrapSlot(i, "object type").type = type_code;
}

void SnmpAgent::SetObjValue(int i, const std::string& value) {
  TrapSlot(i, "object value").value = value;
}

const SnmpObject& SnmpAgent::Obj(int i) const {
  return Checked(const_cast<std::vector<SnmpObject>&>(trap_objects_), i, "object");
}

uint32_t SnmpAgent::SysUpTime() const {
  return static_cast<uint32_t>((loop_.clock().MonotonicMs() - start_ms_) / 10);
}

void SnmpAgent::SendTrap(const std::string& host, const std::string& trap_id) {
  if (!Active()) Refuse(fmt::format("send trap to {}: agent not active", host));
  snmp::CommunityMessage m;
  m.version = snmp::version::kV1;
  m.community = trap_community_;
  snmp::Pdu& pdu = m.pdu;
  pdu.type = snmp::PduType::kTrapV1;
  ParseTrapId(trap_id, &pdu.generic_trap, &pdu.specific_trap);
  ber::ParseOid(trap_enterprise_, &pdu.enterprise);
  const in_addr agent = ResolveIpv4(trap_agent_address_);
  std::memcpy(pdu.agent_address, &agent, 4);
  pdu.time_stamp = SysUpTime();
  for (size_t i = 0; i < trap_objects_.size(); ++i) {
    pdu.varbinds.push_back(ToVarBind(trap_objects_[i], fmt::format("send trap: object {}", i)));
  }
  const std::string wire = snmp::EncodeMessage(m);
  if (wire.size() > kMaxDatagram) {
    Refuse(fmt::format("send trap to {}: {} bytes exceed a datagram", host, wire.size()));
  }
  if (trap_port_ == 0) Refuse(fmt::format("send trap to {}: the trap port is 0", host));
  socket_.SendTo(host, trap_port_, wire);
}

void SnmpAgent::OnReadable() {
  UdpSocket::Datagram dg;
  // At most a batch per readiness, so that a flood of datagrams cannot starve timers and the
  // service host; the loop calls again while more are queued.
  for (int n = 0; n < kDatagramsPerWakeUp && Active(); ++n) {
    try {
      if (!socket_.Receive(&dg)) return;
    } catch (const RuntimeError& e) {
      RaiseError(e.number(), e.description());
      return;
    }
    HandleDatagram(dg);
  }
}

void SnmpAgent::HandleDatagram(const UdpSocket::Datagram& dg) {
  if (dg.truncated) {
    RaiseBadPacket(dg, ber::code::kDatagramTruncated,
                   fmt::format("datagram larger than {} bytes", dg.data.size()));
    return;
  }
  snmp::CommunityMessage m;
  const snmp::DecodeStatus st = snmp::DecodeMessage(dg.data, &m);
  if (!st.ok()) {
    RaiseBadPacket(dg, st.code, st.text);
    return;
  }
  std::function<void(SnmpAgentRequest&)>* handler = nullptr;
  switch (m.pdu.type) {
    case snmp::PduType::kGetRequest:
      handler = &OnGetRequest;
      break;
    case snmp::PduType::kGetNextRequest:
      handler = &OnGetNextRequest;
      break;
    case snmp::PduType::kSetRequest:
      handler = &OnSetRequest;
      break;
    default:
      RaiseBadPacket(dg, ber::code::kBadPduType, snmp::PduName(m.pdu.type) + " is not served");
      return;
  }
  if (!*handler) return;
  SnmpAgentRequest r;
  r.version = m.version == snmp::version::kV1 ? 1 : 2;
  r.community = m.community;
  r.request_id = m.pdu.request_id;
  r.source_host = dg.from_host;
  r.source_port = dg.from_port;
  r.objects.reserve(m.pdu.varbinds.size());
  for (const snmp::VarBind& vb : m.pdu.varbinds) r.objects.push_back(ToObject(vb));
  try {
    (*handler)(r);
  } catch (const std::exception& e) {
    RaiseError(err::kComponent, fmt::format("{} handler: {}", snmp::PduName(m.pdu.type), e.what()));
  }
  if (r.respond && Active()) Answer(m, r, dg);
}

void SnmpAgent::Answer(const snmp::CommunityMessage& request, const SnmpAgentRequest& r,
                       const UdpSocket::Datagram& dg) {
  snmp::CommunityMessage m;
  m.version = request.version;
  m.community = request.community;
  m.pdu.type = snmp::PduType::kGetResponse;
  m.pdu.request_id = request.pdu.request_id;
  m.pdu.error_status = r.error_status;
  m.pdu.error_index = r.error_status != 0 ? r.error_index + 1 : 0;
  for (size_t i = 0; i < r.objects.size(); ++i) {
    try {
      const std::string what = fmt::format("response object {}", i);
      m.pdu.varbinds.push_back(ToVarBind(r.objects[i], what));
      const snmp::ValueType t = m.pdu.varbinds.back().value.type;
      if (m.version == snmp::version::kV1 &&
          (t == snmp::ValueType::kCounter64 || t >= snmp::ValueType::kNoSuchObject)) {
        Refuse(fmt::format("{} ({}): {} in an SNMPv1 answer", what, r.objects[i].oid,
                           snmp::TypeName(static_cast<int>(t))));
      }
    } catch (const RuntimeError& e) {
      // The list cannot be sent as the handler left it: answer genErr at that object.
      RaiseError(e.number(), e.description());
      m.pdu.error_status = snmp::status::kGenErr;
      m.pdu.error_index = static_cast<int32_t>(i) + 1;
      m.pdu.varbinds = request.pdu.varbinds;
      break;
    }
  }
  std::string wire = snmp::EncodeMessage(m);
  if (wire.size() > kMaxDatagram) {
    m.pdu.error_status = snmp::status::kTooBig;
    m.pdu.error_index = 0;
    m.pdu.varbinds.clear();
    if (m.version == snmp::version::kV1) m.pdu.varbinds = request.pdu.varbinds;
    wire = snmp::EncodeMessage(m);
  }
  try {
    socket_.SendTo(dg.from_host, dg.from_port, wire);
  } catch (const RuntimeError& e) {
    RaiseError(e.number(), e.description());
  }
}

void SnmpAgent::RaiseBadPacket(const UdpSocket::Datagram& dg, int code, const std::string& text) {
  RaiseSnmpBadPacket(
      OnBadPacket, OnError,
      SnmpBadPacket{dg.data, dg.from_host, dg.from_port, code,
                    fmt::format("{} (from {}:{})", text, dg.from_host, dg.from_port)});
}

void SnmpAgent::RaiseError(int number, const std::string& description) {
  RaiseSnmpError(OnError, number, description);
}

}  // namespace quorlan
