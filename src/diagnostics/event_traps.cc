#include <string>

#include "components/platform/platform.h"
#include "components/snmp/snmp.h"
#include "diagnostics/diagnostics.h"

namespace quorlan {
namespace {

constexpr size_t kMaxTrapMessage = 240;

// Procedures whose events are logged but never trapped, so that a malformed datagram cannot
// cause a trap.
bool IsUntrapped(const std::string& procedure) {
  for (const char* name : {"snmpManager_Error", "snmpManager_BadPacket", "snmpMgrV3_Error",
                           "snmpMgrV3_BadPacket", "snmpAgent_Error", "snmpAgent_BadPacket"}) {
    if (EqualsNoCase(procedure, name)) return true;
  }
  return false;
}

// The first max characters of text (UTF-8: continuation bytes do not count as characters).
std::string Prefix(const std::string& text, size_t max) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool starts_character = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (starts_character && characters++ == max) return text.substr(0, i);
  }
  return text;
}

}  // namespace

void AgentEventTraps::SendAppEventTrap(const std::string& module, const std::string& procedure,
                                       const std::string& message, int16_t event_type) {
  if (IsUntrapped(procedure) || !agent_.Active()) return;
  const std::string& ip = rt_.Ini.ServerIpAddr;
  const SnmpObject objects[] = {
      {"1.3.6.1.4.1.32473.2.1.1.1.0", 4, ip},
      {"1.3.6.1.4.1.32473.2.1.1.2.0", 4, "Quorlan"},
      {"1.3.6.1.4.1.32473.2.1.1.3.0", 4, module},
      {"1.3.6.1.4.1.32473.2.1.1.4.0", 4, procedure},
      {"1.3.6.1.4.1.32473.2.1.1.5.0", 4, Prefix(message, kMaxTrapMessage)},
      {"1.3.6.1.4.1.32473.2.1.1.6.0", 2, std::to_string(event_type)},
  };
  try {
    agent_.ResetTrapObjects();
    agent_.SetTrapFormat(1);
    try {
      agent_.Config("TrapAgentAddress=" + ip);
    } catch (const std::exception&) {
      // Not a dotted address: the header carries 0.0.0.0, the first variable the text as set.
      agent_.Config("TrapAgentAddress=");
    }
    agent_.Config("TrapEnterprise=1.3.6.1.4.1.32473.2.1.2");
    agent_.Config("TrapCommunity=public");
    agent_.SetObjCount(6);
    for (int i = 0; i < 6; ++i) {
      agent_.SetObjId(i, objects[i].oid);
      agent_.SetObjType(i, objects[i].type);
      agent_.SetObjValue(i, objects[i].value);
    }
    agent_.SendTrap("127.0.0.1", "6.1");
    ++rt_.Counters.EventTraps;
  } catch (const std::exception&) {
    // Dropped without trace; the log line has been written.
  }
}

}  // namespace quorlan
