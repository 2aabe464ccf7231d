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
  // The answers to the polls: each handler finds its entry by PollMessId, stores the values and
  // closes the request, lowering Pending (snmpManager) or PendingV3 (snmpMgrV3).
  // A burst's rows wait in the recorder's batch until its last answer is in.
  m.snmpManager.OnResponse = [&m](const SnmpResponse& r) {
    snmpManager_Response(m, r);
    m.SampleRecorder.AnswerHandled();
  };
  m.snmpMgrV3.OnResponse = [&m](const SnmpResponse& r) {
    snmpMgrV3_Response(m, r);
    m.SampleRecorder.AnswerHandled();
  };
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
