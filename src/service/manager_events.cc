// The events of the two SNMP managers, connected to their handlers.
#include "service/service.h"

namespace quorlan {

void ConnectManagerEvents(Module& m) {
  m.snmpManager.OnBadPacket = [&m](const SnmpBadPacket& b) { snmpManager_BadPacket(m, b); };
  m.snmpManager.OnError = [&m](int number, const std::string& text) {
    snmpManager_Error(m, number, text);
  };
  m.snmpMgrV3.OnBadPacket = [&m](const SnmpBadPacket& b) { snmpMgrV3_BadPacket(m, b); };
  m.snmpMgrV3.OnError = [&m](int number, const std::string& text) {
    snmpMgrV3_Error(m, number, text);
  };
  m.snmpMgrV3.OnDiscoveryResponse = [&m](const SnmpDiscovery& d) {
    snmpMgrV3_DiscoveryResponse(m, d);
  };
  m.snmpMgrV3.OnReport = [&m](const SnmpReport& r) { snmpMgrV3_Report(m, r); };
  // CALL POINT (response handling): the answers to the polls arrive here. Connect
  //   m.snmpManager.OnResponse to snmpManager_Response (SNMPv1/v2c, lowers Pending) and
  //   m.snmpMgrV3.OnResponse to snmpMgrV3_Response (SNMPv3, lowers PendingV3),
  // which find the entry by PollMessId and close its request (see polling/polling.h). Until then
  // no handler is connected: the managers drop the answers, and the poll scheduler resends each
  // request after its time-out and finally gives it up.
}

void DisconnectManagerEvents(Module& m) {
  for (SnmpManager* manager : {&m.snmpManager, &m.snmpMgrV3}) {
    manager->OnResponse = nullptr;
    manager->OnBadPacket = nullptr;
    manager->OnError = nullptr;
    manager->OnDiscoveryResponse = nullptr;
    manager->OnReport = nullptr;
  }
}

}  // namespace quorlan
