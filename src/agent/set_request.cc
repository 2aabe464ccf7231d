// The Set handler: the console's controls.
#include <fmt/format.h>

#include "agent/internal.h"
#include "components/snmp/snmp.h"

namespace quorlan {
namespace agent {
namespace {

// The object's value text as a number; a text that is none is an UnreadableValue naming the
// object.
double ReadNumber(const SnmpObject& o) {
  try {
    return TextToDouble(o.value);
  } catch (const RuntimeError& e) {
    throw UnreadableValue(e.number(), fmt::format("{}: {}", o.oid, e.description()));
  }
}

int32_t ReadInt32(const SnmpObject& o) {
  try {
    return TextToInt32(o.value);
  } catch (const RuntimeError& e) {
    throw UnreadableValue(e.number(), fmt::format("{}: {}", o.oid, e.description()));
  }
}

// The value as one of the whole numbers 1 to highest, or 0 when it is another number.
int16_t ReadCode(const SnmpObject& o, int highest) {
  const double v = ReadNumber(o);
  for (int code = 1; code <= highest; ++code) {
    if (v == code) return static_cast<int16_t>(code);
  }
  return 0;
}

// An accepted object: type INTEGER and the answer form; the value stays as sent.
void Accept(const MibObject& object, SnmpObject& o) {
  o.oid = object.oid;
  o.type = kTypeInteger;
}

constexpr const char* kSetProcedure = "SetRequest";

// The console's controls are events of the service's own log (and journal), so that an operator
// reading it sees who paused the polling or reset a node, and when.
void LogControl(PollState& st, const std::string& message) {
  AppEvent(st, kModForm, kSetProcedure, message, kEventInfo);
}

// Every live entry of the node restarts its counters and returns its triggers to Normal; no
// clearing trap is sent.
void ResetNode(PollState& st, int32_t node_id) {
  int reports = 0;
  for (int n = 1; n <= st.TrendListCount; ++n) {
    TrendListEntry& e = st.TrendList[n];
    if (e.NodeId != node_id) continue;
    ++reports;
    for (int k = 1; k <= kTrendObjects; ++k) {
      e.PollSampledValue[k] = -1;
      e.PollSavedValue[k] = 0;
      e.PollTriggerStatus[k] = false;
    }
  }
  LogControl(st, fmt::format("Node {} reset from the console: counters and triggers of {} "
                             "report(s) start afresh",
                             node_id, reports));
}

// Running again, once per request: the first ServiceState 1 of a request restarts now, unless a
// restart already ran since the poll tick began; then it is left to the next tick (answered, the
// state taken). Returns genErr when the build failed (it has reported why), so that the console
// does not read the restart as done.
int Restart(PollState& st, bool& restarted) {
  if (restarted) return snmp::status::kNoError;
  restarted = true;
  if (!RestartAllowed(st)) {
    st.RestartPending = true;
    return snmp::status::kNoError;
  }
  return RunRestart(st) ? snmp::status::kNoError : snmp::status::kGenErr;
}

int SetObject(PollState& st, SnmpObject& o, bool& restarted) {
  const MibObject* object = FindObject(o.oid);
  if (object == nullptr) return snmp::status::kNoSuchName;
  if (object->system_group) return snmp::status::kReadOnly;
  if (object->oid == std::string(kOidSysTrendChanged)) {
    const int16_t code = ReadCode(o, 3);
    if (code == 0) return snmp::status::kBadValue;
    st.Mib_sysTrendChanged = code;
    Accept(*object, o);
    LogControl(st, fmt::format("Change code {} set from the console ({})", code,
                               code == 1   ? "reports added"
                               : code == 2 ? "reports edited"
                                           : "reports deleted"));
  } else if (object->oid == std::string(kOidNodeReset)) {
    const int32_t node_id = ReadInt32(o);
    ResetNode(st, node_id);
    Accept(*object, o);
  } else {  // ServiceState
    const int16_t state = ReadCode(o, 2);
    if (state == 0) return snmp::status::kBadValue;
    // The rows taken so far are committed before polling stops or starts afresh.
    st.SampleRecorder.CommitBatch();
    if (st.ServiceState != state) {
      LogControl(st, state == kServiceRunning ? "Polling resumed from the console"
                                              : "Polling paused from the console");
    }
    st.ServiceState = state;
    Accept(*object, o);
    if (state == kServiceRunning) return Restart(st, restarted);
    st.RestartPending = false;  // stopped: the next resume rebuilds anyway
  }
  return snmp::status::kNoError;
}

}  // namespace
}  // namespace agent

void SetRequest(PollState& st, SnmpAgentRequest& r) {
  bool restarted = false;
  agent::Serve(st, r, st.Ini.SnmpAgentSetComm, "SetRequest",
               [&st, &restarted](SnmpObject& o) { return agent::SetObject(st, o, restarted); });
}

}  // namespace quorlan
