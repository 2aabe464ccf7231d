// The demo of a new embedded installation: reports that show the service's main job at once,
// on the service's own agent and, when one answers, on the machine's SNMP agent.
#include <fmt/format.h>

#include <ostream>

#include "agent/agent.h"
#include "components/snmp/snmp.h"
#include "console/internal.h"

namespace quorlan::console {
namespace {

// The objects tried on a local SNMP agent; those it answers make the second demo report.
const std::vector<ReportObject> kLocalCandidates = {
    {"1.3.6.1.2.1.1.3.0", "Uptime (s per min)", kCounterType, "$value/100", false, "", ""},
    {"1.3.6.1.2.1.25.1.6.0", "Processes", 0, "", true, ">", "500"},
    {"1.3.6.1.2.1.25.1.5.0", "Users", 0, "", false, "", ""},
    {"1.3.6.1.2.1.2.2.1.10.1", "Interface 1 in (bit/s)", kCounterType, "$value*8/$time", false, "",
     ""},
    {"1.3.6.1.2.1.2.2.1.16.1", "Interface 1 out (bit/s)", kCounterType, "$value*8/$time", false, "",
     ""}};

// The candidates that an SNMPv2c agent on 127.0.0.1:161 with community public answers.
std::vector<ReportObject> ProbeLocalAgent(Installation& inst) {
  SnmpManager manager(inst.loop());
  std::optional<SnmpResponse> answer;
  manager.OnResponse = [&](const SnmpResponse& r) { answer = r; };
  manager.SetTimeout(1);
  manager.SetLocalHost("127.0.0.1");
  manager.SetActive(true);
  manager.SetRemoteHost("127.0.0.1");
  manager.SetRemotePort(161);
  manager.SetCommunity("public");
  manager.SetSnmpVersion(2);
  manager.SetObjCount(static_cast<int>(kLocalCandidates.size()));
  for (size_t i = 0; i < kLocalCandidates.size(); ++i) {
    manager.SetObjId(static_cast<int>(i), kLocalCandidates[i].oid);
  }
  manager.SetRequestId(1);
  try {
    manager.SendGetRequest();
  } catch (const RuntimeError&) {
    return {};  // nothing answers there
  }
  std::vector<ReportObject> found;
  for (size_t i = 0; answer && answer->error_status == 0 && i < kLocalCandidates.size(); ++i) {
    if (answer->ObjValue(static_cast<int>(i))) found.push_back(kLocalCandidates[i]);
  }
  return found;
}

int32_t AddDemoReport(Connection& conn, const Node& node, const std::string& title,
                      std::vector<ReportObject> objects) {
  Report r;
  r.title = title;
  r.node_id = node.id;
  r.node_name = node.name;
  r.interval = 1;
  r.objects = std::move(objects);
  r.db_changed = "1";
  return InsertReport(conn, r);
}

}  // namespace

void SeedDemo(Installation& inst, ConsoleIo& io) {
  auto conn = inst.Open();
  Node own;
  own.name = "quorlan-trend agent";
  own.address = "127.0.0.1";
  own.port = inst.ini().AgentPort;
  own.version = 1;  // the built-in agent serves SNMPv1
  own.read_community = inst.ini().SnmpAgentGetComm;
  own.timeout = 2;
  own.retries = 1;
  own.id = InsertNode(*conn, own);
  const int32_t report = AddDemoReport(
      *conn, own, "Demo: quorlan-trend's own agent",
      {{"1.3.6.1.2.1.1.3.0", "Uptime (s per min)", kCounterType, "$value/100", false, "", ""},
       {kOidServiceState, "Polling state", 0, "", true, "!", "1"}});
  io.out << fmt::format(
      "Demo: node {} polls the service's own agent at 127.0.0.1:{}; report {} samples its "
      "uptime (a counter, /100 per minute) and its polling state (alarm when not 1) every "
      "minute\n",
      own.id, own.port, report);
  const std::vector<ReportObject> local = ProbeLocalAgent(inst);
  if (local.empty()) {
    io.out << "Demo: no SNMP agent answers on 127.0.0.1:161 (SNMPv2c, community public); only "
              "the service's own agent is polled\n";
    return;
  }
  Node snmpd;
  snmpd.name = "localhost snmpd";
  snmpd.address = "127.0.0.1";
  snmpd.id = InsertNode(*conn, snmpd);
  const int32_t second = AddDemoReport(*conn, snmpd, "Demo: this machine's SNMP agent", local);
  io.out << fmt::format(
      "Demo: node {} polls the SNMP agent at 127.0.0.1:161; report {} samples "
      "{} of its objects every minute\n",
      snmpd.id, second, local.size());
}

}  // namespace quorlan::console
