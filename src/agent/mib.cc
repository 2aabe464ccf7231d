// The MIB table, the admission shared by the handlers, and the Get and GetNext handlers.
#include <fmt/format.h>

#include <string>

#include "agent/internal.h"
#include "components/snmp/snmp.h"
#include "diagnostics/diagnostics.h"

namespace quorlan {
namespace agent {
namespace {

constexpr int16_t kVersionSnmpV1 = 1;

std::string SysDescr(PollState&) { return std::string("Quorlan Trend Reporting, ver ") + kVersion; }
std::string SysObjectId(PollState&) { return "1.3.6.1.4.1.32473.1.19"; }
std::string SysContact(PollState&) { return kSysContact; }
std::string SysName(PollState&) { return "Quorlan"; }
std::string SysLocation(PollState&) { return "CyberSpace"; }
std::string SysServices(PollState&) { return "72"; }
std::string TrendChanged(PollState& st) { return std::to_string(st.Mib_sysTrendChanged); }
std::string ServiceStateValue(PollState& st) { return std::to_string(st.ServiceState); }

// TimeTicks count hundredths of a second modulo 2^32, so the value wraps after about 497 days of
// running instead of failing; a clock set back before the start reads 0.
std::string SysUpTime(PollState& st) {
  const int64_t ms = st.Now().Millis() - st.ServiceStartTime.Millis();
  const int64_t ticks = ms > 0 ? ms / 1000 * 100 : 0;
  return std::to_string(static_cast<uint32_t>(ticks));
}

// Text without the final ".0" of an answer-form OID.
std::string BaseOid(const MibObject& object) {
  const std::string oid = object.oid;
  return oid.substr(0, oid.size() - 2);
}

bool Readable(const MibObject& object) { return object.access != Access::kWriteOnly; }

void SetError(SnmpAgentRequest& r, int i, int status) {
  r.error_index = static_cast<int16_t>(i);
  r.error_status = static_cast<int16_t>(status);
}

// A request that is not served is not answered; a flood of them (guessed communities, other
// versions) is still seen in the log, a few lines per minute, cause and source. The community
// sent is not logged: it may be a mistyped secret.
void LogRefusal(PollState& st, const SnmpAgentRequest& r, const char* procedure) {
  const bool other_version = r.version != kVersionSnmpV1;
  LogLimitedEvent(
      st, procedure, other_version ? "SNMPv2c requests" : "requests with a wrong community",
      r.source_host,
      fmt::format("Request {} from {}:{} not answered: {}", r.request_id, r.source_host,
                  r.source_port, other_version ? "only SNMPv1 is served" : "wrong community"),
      kEventInfo);
}

int GetObject(PollState& st, SnmpObject& o) {
  const MibObject* object = FindObject(o.oid);
  if (object == nullptr || !Readable(*object)) return snmp::status::kNoSuchName;
  Answer(st, *object, o);
  return snmp::status::kNoError;
}

// The successor of o.oid: the object itself for its OID without ".0", the next readable object
// for its answer form. Exact text only, so a walk from a prefix such as "1.3.6.1.2.1.1" ends at
// once.
const MibObject* Successor(const std::string& oid) {
  const std::vector<MibObject>& mib = Mib();
  bool next = false;
  for (const MibObject& object : mib) {
    if (!Readable(object)) continue;
    if (next || oid == BaseOid(object)) return &object;
    next = oid == object.oid;
  }
  return nullptr;
}

int GetNextObject(PollState& st, SnmpObject& o) {
  const MibObject* object = Successor(o.oid);
  if (object == nullptr) return snmp::status::kNoSuchName;
  Answer(st, *object, o);
  return snmp::status::kNoError;
}

}  // namespace

const std::vector<MibObject>& Mib() {
  static const std::vector<MibObject> mib = {
      {"1.3.6.1.2.1.1.1.0", kTypeOctetString, Access::kRead, true, SysDescr},
      {"1.3.6.1.2.1.1.2.0", kTypeObjectId, Access::kRead, true, SysObjectId},
      {"1.3.6.1.2.1.1.3.0", kTypeTimeTicks, Access::kRead, true, SysUpTime},
      {"1.3.6.1.2.1.1.4.0", kTypeOctetString, Access::kRead, true, SysContact},
      {"1.3.6.1.2.1.1.5.0", kTypeOctetString, Access::kRead, true, SysName},
      {"1.3.6.1.2.1.1.6.0", kTypeOctetString, Access::kRead, true, SysLocation},
      {"1.3.6.1.2.1.1.7.0", kTypeInteger, Access::kRead, true, SysServices},
      {kOidSysTrendChanged, kTypeInteger, Access::kReadWrite, false, TrendChanged},
      {kOidNodeReset, kTypeInteger, Access::kWriteOnly, false, nullptr},
      {kOidServiceState, kTypeInteger, Access::kReadWrite, false, ServiceStateValue},
  };
  return mib;
}

const MibObject* FindObject(const std::string& oid) {
  for (const MibObject& object : Mib()) {
    if (oid == object.oid || oid == BaseOid(object)) return &object;
  }
  return nullptr;
}

void Answer(PollState& st, const MibObject& object, SnmpObject& o) {
  o.oid = object.oid;
  o.type = object.type;
  o.value = object.value(st);
}

void Serve(PollState& st, SnmpAgentRequest& r, const std::string& community, const char* procedure,
           const ObjectHandler& handle) {
  if (r.version != kVersionSnmpV1 || r.community != community) {
    LogRefusal(st, r, procedure);
    return;
  }
  r.respond = true;
  int i = 0;
  try {
    for (; i < r.ObjCount(); ++i) {
      const int status = handle(r.Obj(i));
      if (status != snmp::status::kNoError) SetError(r, i, status);
    }
  } catch (const std::exception& e) {
    // The console must not read a failed request as done: the answer names the object at which
    // the handling stopped. The objects after it are not handled.
    const bool unreadable = dynamic_cast<const UnreadableValue*>(&e) != nullptr;
    SetError(r, i, unreadable ? snmp::status::kBadValue : snmp::status::kGenErr);
    LogLimitedEvent(st, procedure, "failed requests", r.source_host, e.what(), kEventError);
  }
}

}  // namespace agent

using namespace agent;

void SnmpGetRequest(PollState& st, SnmpAgentRequest& r) {
  Serve(st, r, st.Ini.SnmpAgentGetComm, "SnmpGetRequest",
        [&st](SnmpObject& o) { return GetObject(st, o); });
}

void SnmpGetNextRequest(PollState& st, SnmpAgentRequest& r) {
  Serve(st, r, st.Ini.SnmpAgentGetComm, "SnmpGetNextRequest",
        [&st](SnmpObject& o) { return GetNextObject(st, o); });
}

void snmpAgent_BadPacket(PollState& st, const SnmpBadPacket& b) {
  st.Counters.CountBadPacket(PacketSource::kAgent);
  LogLimitedEvent(st, "snmpAgent_BadPacket", "bad packets", b.source_host,
                  fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text), kEventInfo);
}

void snmpAgent_Error(PollState& st, int number, const std::string& description) {
  LogLimitedEvent(st, "snmpAgent_Error", "errors", "",
                  fmt::format("ErrorCode: {}, {}", number, description), kEventError);
}

void AttachAgentHandlers(PollState& st) {
  st.snmpAgent.OnGetRequest = [&st](SnmpAgentRequest& r) { SnmpGetRequest(st, r); };
  st.snmpAgent.OnGetNextRequest = [&st](SnmpAgentRequest& r) { SnmpGetNextRequest(st, r); };
  st.snmpAgent.OnSetRequest = [&st](SnmpAgentRequest& r) { SetRequest(st, r); };
  st.snmpAgent.OnBadPacket = [&st](const SnmpBadPacket& b) { snmpAgent_BadPacket(st, b); };
  st.snmpAgent.OnError = [&st](int number, const std::string& description) {
    snmpAgent_Error(st, number, description);
  };
}

}  // namespace quorlan
