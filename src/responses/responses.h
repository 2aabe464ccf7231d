// Response processing and alarms: the managers' Response events turn answers into stored trend
// samples (counter increases, evaluation expressions), one row per answer in the trend-data table
// of the report's interval, and trigger evaluation raises and clears alarms as trend traps.
//
// The road of one answer (request id R): the handler finds the first entry 1..TrendListCount
// whose PollMessId is R, computes each object's value, runs the triggers of a "SnmpStatus"
// entry, inserts the sample row and closes the request: PollPending false, CalcPollNextTime,
// Pending (snmpManager) or PendingV3 (snmpMgrV3) lowered once and never below 0, PollMessId 0.
// An answer that matches no entry changes nothing.
//
// Values are held in double precision (the trend list's PollSampledValue and PollSavedValue), so
// counters and their increases stay exact up to 2^53; every text written from them (sample rows,
// trace rows, trap variables) is the value rounded with the pattern "0". Trigger thresholds are
// held in double precision as the operator wrote them (TriggerValueOf), so a value equal to what
// the operator wrote meets "=", "<=" and ">=" (4294967295 and 123456789 included).
//
// Everything runs on the event loop's one thread. A handler yields only inside a trend trap in
// debug mode (its 20 ms WaitMs); an answer delivered again meanwhile is ignored, and an entry
// rebuilt meanwhile (the agent's restart, TrendListBuilds) is left to its new report. An entry
// that the tick polled again meanwhile (its next grid minute came during the wait) keeps this
// answer's row, alarm states and counter: only its new request's PollMessId is left alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "components/script/script.h"
#include "components/snmp/snmp.h"
#include "polling/polling.h"
#include "storage/storage.h"

namespace quorlan {

// The trap sent when an alarm is raised or cleared: enterprise, generic trap and the specific
// trap numbers (the new state).
inline constexpr const char* kTrendTrapEnterprise = "1.3.6.1.4.1.32473.1.19.5";
inline constexpr int16_t kTrapAlarmCleared = 1;
inline constexpr int16_t kTrapAlarmRaised = 2;

// The poll state with the script engine that evaluates the objects' expressions.
struct ResponseState : PollState {
  using PollState::PollState;

  ScriptEngine scriptControl;
  // Request ids whose answer is being handled now; a copy of such an answer that arrives while a
  // handler yields is ignored, so that one request gives one row and lowers its counter once.
  std::vector<int32_t> ResponsesInProgress;
};

// The Response event of snmpManager (SNMPv1/v2c) and of snmpMgrV3 (SNMPv3). In this order:
//   1. an answer with an error status closes the request of its entry without data: the
//      "snmpRespErr" row (long form for snmpManager, short form for snmpMgrV3) in debug mode;
//      its objects are the request's, without values;
//      The error status is also reported for the entry's report (ReportObjectProblem: once per
//      report and hour, naming the object of the error index);
//   2. an answer that lacks an object (endOfMibView, or fewer objects than the entry polls)
//      closes the request without data, after each such object of the entry got PollSavedValue
//      0 and PollSampledValue -1; the "snmpRespNull" row in debug mode (snmpManager lowers the
//      counter before the row, snmpMgrV3 after it). An object the device answered with NULL,
//      noSuchObject or noSuchInstance does not close it: it stores 0 as a value that is not
//      numeric does, the row is kept for the report's other objects, and the answer is reported
//      once per report and hour, naming the object;
//   3. otherwise, for the matched entry: PollPending false and the next poll time; for
//      "SnmpPoll" and "SnmpStatus" each object's value (see below), then the sample row (ReportId,
//      PollInterval, the time now, PollSavedValue 1 to 6 as computed before the triggers), then
//      for "SnmpStatus" the trigger of each object that got a measured value (neither
//      non-numeric, nor a counter's base sample, nor a refused expression), in object order
//      (TriggerEvaluate); then the row is handed to the recorder (Recorder::Record), which
//      commits it with its batch or keeps it in the spool while the database is out. Any other
//      PollType ("Deleted") gets no values and no row. Then the counter is lowered, the
//      "snmpResp" row written in debug mode (engine id as EngineIdText for snmpMgrV3, empty for
//      snmpManager) and PollMessId cleared.
// Value of object k (1..PollNumObjects) from the answer's object k-1: a value that is not
// numeric (VbIsNumeric) gives PollSavedValue 0 and PollSampledValue -1 and nothing more.
// Otherwise N is its number; an object of PollObjType 3 (counter) saves N minus the previous
// sample, or 0 when there is none (-1) or N is below it (wrapped or reset: N becomes the new
// base); any other type saves N. PollSampledValue becomes N. A saved increase or value then goes
// through the object's PollObjEval, if any: every "$value" replaced by the saved value with the
// pattern "0", then every "$time" by PollInterval, evaluated by scriptControl.EvalNumber. An
// expression the engine refuses stores 0 for its object and the row is still written; the first
// refusal of a report in an hour is logged (module "frmQuorlanTrend", the handler's name, the
// expression as evaluated), the others of the hour are counted. Trace rows are best effort
// (AppendTraceLine). Any other run-time failure ends the handling: reported under module
// "frmQuorlanTrend" with the description (snmpManager adds ", reqId=" R ", c=" entry, 0 when
// none matched); the matched entry's request is closed (the counter lowered once in all),
// snmpMgrV3 also forgets the engine (PollEngineId "", boots and time 0); values already computed
// stay; no row. The database is not touched here: its failures are the recorder's (storage.h).
void snmpManager_Response(ResponseState& st, const SnmpResponse& r);
void snmpMgrV3_Response(ResponseState& st, const SnmpResponse& r);

// Evaluates the trigger of object k of entry c against its PollSavedValue. Nothing happens while
// PollTriggerAlarm(k) is false or PollTriggerExpr(k) is none of "=", "!", "<", ">", "<=", ">="
// (compared exactly). A condition that starts to hold sends SnmpTrapTrend(c, 2, k) and sets
// PollTriggerStatus(k); one that stops holding sends SnmpTrapTrend(c, 1, k) and clears it. The
// state changes whether or not the trap could be sent. May yield (see SnmpTrapTrend).
void TriggerEvaluate(PollState& st, int16_t c, int16_t k);

// Sends the trend trap of object k of entry c with the given state (2 raised, 1 cleared) through
// snmpAgent to 127.0.0.1 at its trap port: SNMPv1, enterprise kTrendTrapEnterprise, community
// TrapComm, generic 6, specific state, seven variables: NodeId, ReportId, ReportTitle,
// PollObjName(k), PollSavedValue(k) (pattern "0"; an INTEGER, so a value beyond the 32-bit range
// travels as the nearest bound, 2147483647 or -2147483648), PollTriggerExpr(k) and
// PollTriggerValueText(k) as written. Nothing at all while ServiceState is 2; no trap while the
// agent is not active. In debug mode a line goes to T-SnmpTrap.txt (with the saved value as
// computed), then WaitMs(20) lets other events run. Never fails towards its caller: errors are
// reported as "SnmpTrapTrend", module "modQuorlanTrend".
void SnmpTrapTrend(PollState& st, int16_t c, int16_t state, int16_t k);

}  // namespace quorlan
