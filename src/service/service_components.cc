#include <fmt/format.h>

#include "components/platform/platform.h"
#include "service/service.h"

namespace quorlan {
namespace {

// The block of T-Services.txt that follows a component's banner: time stamp, what started, and
// the address and port read back from the component.
std::string ServiceBlock(Module& m, const char* started, const std::string& host, int port) {
  return fmt::format("{}{}{}{}IP={}{}Port={}", FormatTimeStamp(m), kCrLf, started, kCrLf, host,
                     kCrLf, port);
}

void OpenAgent(Module& m) {
  SnmpAgent& agent = m.snmpAgent;
  if (!agent.Active()) {
    agent.SetLocalPort(m.Ini.AgentPort);
    agent.Config("TrapPort=" + std::to_string(m.Ini.ServerTrapPort));
    agent.SetLocalHost("");
    agent.SetActive(true);
  }
  m.WaitMs(500);
  const std::string block =
      ServiceBlock(m, "SNMP Agent Started", agent.LocalHost(), agent.LocalPort());
  m.WaitMs(500);
  WriteNewFile(m.DebugFile("T-Services.txt"),
               fmt::format("############ SNMP Agent Started ###########{}{}{}{}", kCrLf, block,
                           kCrLf, kCrLf));
}

void OpenManager(Module& m, SnmpManager& manager, const char* banner, const char* started) {
  manager.SetTimeout(0);
  manager.SetLocalHost("");
  manager.SetActive(true);
  const std::string block = ServiceBlock(m, started, manager.LocalHost(), manager.LocalPort());
  AppendToFile(m.DebugFile("T-Services.txt"),
               fmt::format("{}{}{}{}{}", banner, kCrLf, block, kCrLf, kCrLf));
}

// Reports an error of ServiceOpen_ or ServiceClose_ as "[number] description".
void ReportComponentError(Module& m, const std::string& procedure, const std::exception& e) {
  const auto* runtime = dynamic_cast<const RuntimeError*>(&e);
  const int number = runtime != nullptr ? runtime->number() : err::kComponent;
  AppEvent(m, kModShared, procedure, fmt::format("[{}] {}", number, e.what()), kEventError);
}

}  // namespace

void ServiceOpen_(Module& m, const std::string& component) {
  try {
    if (EqualsNoCase(component, "snmpAgent")) {
      OpenAgent(m);
    } else if (EqualsNoCase(component, "snmpManager")) {
      OpenManager(m, m.snmpManager, "########## SNMP Manager Started ##########",
                  "SNMP Manager Started");
    } else if (EqualsNoCase(component, "snmpMgrV3")) {
      OpenManager(m, m.snmpMgrV3, "########## SNMP MgrV3 Started ##########", "SNMP MgrV3 Started");
    }
  } catch (const std::exception& e) {
    ReportComponentError(m, "ServiceOpen_" + component, e);
  }
}

void ServiceClose_(Module& m, const std::string& component) {
  try {
    if (EqualsNoCase(component, "snmpAgent")) {
      if (m.snmpAgent.Active()) m.snmpAgent.SetActive(false);
    } else if (EqualsNoCase(component, "snmpManager")) {
      if (m.snmpManager.Active()) m.snmpManager.SetActive(false);
    } else if (EqualsNoCase(component, "snmpMgrV3")) {
      if (m.snmpMgrV3.Active()) m.snmpMgrV3.SetActive(false);
    }
  } catch (const std::exception& e) {
    ReportComponentError(m, "ServiceClose_" + component, e);
  }
}

}  // namespace quorlan
