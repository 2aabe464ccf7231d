// Trigger evaluation and the trend traps it sends.
#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <optional>

#include "components/snmp/snmp.h"
#include "responses/responses.h"

namespace quorlan {
namespace {

constexpr int kTypeInteger = 2;
constexpr int kTypeOctetString = 4;
constexpr int16_t kTrapTraceWaitMs = 20;

// Whether the condition of the operator holds; nothing for a text that is no operator.
std::optional<bool> Condition(const std::string& op, double value, double threshold) {
  if (op == "=") return value == threshold;
  if (op == "!") return value != threshold;
  if (op == "<") return value < threshold;
  if (op == ">") return value > threshold;
  if (op == "<=") return value <= threshold;
  if (op == ">=") return value >= threshold;
  return std::nullopt;
}

// A saved value as an INTEGER variable: rounded with the pattern "0", held to the 32-bit range so
// that an alarm on a large value still reaches the station.
std::string TrapInteger(double value) {
  const double rounded = std::round(value);
  if (rounded > std::numeric_limits<int32_t>::max()) {
    return std::to_string(std::numeric_limits<int32_t>::max());
  }
  if (rounded < std::numeric_limits<int32_t>::min()) {
    return std::to_string(std::numeric_limits<int32_t>::min());
  }
  return FormatWholeNumber(value);
}

void SendTrendTrap(SnmpAgent& agent, const TrendListEntry& e, int16_t state, int16_t k) {
  const SnmpObject variables[] = {
      {"1.3.6.1.4.1.32473.1.19.1.1.4.0", kTypeInteger, std::to_string(e.NodeId)},
      {"1.3.6.1.4.1.32473.1.19.1.5.1.0", kTypeInteger, std::to_string(e.ReportId)},
      {"1.3.6.1.4.1.32473.1.19.1.5.2.0", kTypeOctetString, e.ReportTitle},
      {"1.3.6.1.4.1.32473.1.19.1.5.3.0", kTypeOctetString, e.PollObjName[k]},
      {"1.3.6.1.4.1.32473.1.19.1.5.4.0", kTypeInteger, TrapInteger(e.PollSavedValue[k])},
      {"1.3.6.1.4.1.32473.1.19.1.5.5.0", kTypeOctetString, e.PollTriggerExpr[k]},
      {"1.3.6.1.4.1.32473.1.19.1.5.6.0", kTypeOctetString, e.PollTriggerValueText[k]},
  };
  agent.ResetTrapObjects();
  agent.SetTrapFormat(1);
  agent.Config(std::string("TrapEnterprise=") + kTrendTrapEnterprise);
  agent.Config("TrapCommunity=" + e.TrapComm.str());
  agent.SetObjCount(static_cast<int>(std::size(variables)));
  for (int i = 0; i < static_cast<int>(std::size(variables)); ++i) {
    agent.SetObjId(i, variables[i].oid);
    agent.SetObjType(i, variables[i].type);
    agent.SetObjValue(i, variables[i].value);
  }
  agent.SendTrap("127.0.0.1", fmt::format("6.{}", state));
}

std::string TrapTraceLine(PollState& st, const TrendListEntry& e, int16_t state, int16_t k) {
  return fmt::format("{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}", FormatTimeStamp(st), e.NodeId,
                     BlankControls(e.NodeName), e.ReportId, BlankControls(e.ReportTitle),
                     BlankControls(e.PollObjName[k]), FormatWholeNumber(e.PollSavedValue[k]),
                     BlankControls(e.PollTriggerExpr[k]), BlankControls(e.PollTriggerValueText[k]),
                     state);
}

}  // namespace

void TriggerEvaluate(PollState& st, int16_t c, int16_t k) {
  TrendListEntry& e = st.TrendList[c];
  if (!e.PollTriggerAlarm[k]) return;
  const std::optional<bool> holds =
      Condition(e.PollTriggerExpr[k], e.PollSavedValue[k], e.PollTriggerValue[k]);
  if (!holds || *holds == e.PollTriggerStatus[k]) return;
  const int32_t builds = st.TrendListBuilds;
  SnmpTrapTrend(st, c, *holds ? kTrapAlarmRaised : kTrapAlarmCleared, k);
  // The trap may have let other events run; an entry rebuilt meanwhile belongs to a new report
  // (an entry only polled again keeps its report, and the alarm state the trap announced).
  if (st.TrendListBuilds == builds && c <= st.TrendListCount) e.PollTriggerStatus[k] = *holds;
  st.Health.MarkChanged();
}

void SnmpTrapTrend(PollState& st, int16_t c, int16_t state, int16_t k) {
  if (st.ServiceState == kServiceStopped) return;
  try {
    const TrendListEntry& e = st.TrendList[c];
    if (st.snmpAgent.Active()) {
      SendTrendTrap(st.snmpAgent, e, state, k);
      ++st.Counters.TrendTraps;
    }
    if (st.DebugMode) {
      AppendTraceLine(st, kTraceSnmpTrap, TrapTraceLine(st, e, state, k), kModShared,
                      "SnmpTrapTrend");
      st.WaitMs(kTrapTraceWaitMs);
    }
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "SnmpTrapTrend", ex.what(), kEventError);
  }
}

}  // namespace quorlan
