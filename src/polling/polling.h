// The polling engine: the poll scheduler's tick, the SNMPv1/v2c and SNMPv3 request senders with
// engine discovery, the managers' error events, the poll trace rows and their merge, and the
// debug-mode watcher.
//
// PollState holds the module-wide values that the scheduler, the senders, the response handling
// and the built-in agent share, and the three SNMP components of the hidden form. Every layer
// above (responses, agent, service) extends or uses it; everything runs on the event loop's one
// thread. Handlers run to completion except inside WaitMs, where other events (answers, agent
// requests, the other timer) run; the scheduler reads each entry afresh when it reaches it.
//
// The road of one poll: the tick finds an entry due, raises Pending (PendingV3 for SNMPv3) and
// calls the sender, which takes the next request id, stores it in PollMessId, sets PollPending
// and PollTimeOutTime and sends the GET. The answer arrives as the manager's Response event:
//
// The response handling of the layer above (responses/responses.h) is wired to the managers'
// Response events by the service. For an answer with request id R it
//   - finds the first entry 1..TrendListCount whose PollMessId equals R (none: nothing changes,
//     no counter moves; a late answer to a resent or given-up request lands here);
//   - closes the request: PollPending := false and CalcPollNextTime for the entry, then lowers
//     Pending (snmpManager) or PendingV3 (snmpMgrV3) with LowerPendingCount, then PollMessId := 0;
//   - writes its trace rows with PollTraceRow(..., PollRowObjects::kResponse) to kTraceSnmpResp or
//     kTraceSnmpRespV3 while DebugMode is set (engine id field: "" for SNMPv1/v2c,
//     EngineIdText(PollEngineId) for SNMPv3).
// The scheduler never lowers a counter for an answered request itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "components/snmp/snmp.h"
#include "trendlist/trendlist.h"

namespace quorlan {

// Values of ServiceState.
inline constexpr int16_t kServiceBeforeStart = 0;
inline constexpr int16_t kServiceRunning = 1;
inline constexpr int16_t kServiceStopped = 2;

// Request ids run kFirstMessId .. kLastMessId and around again; LastMessId starts at
// kFirstMessId - 1 at every service start.
inline constexpr int32_t kFirstMessId = 1000001;
inline constexpr int32_t kLastMessId = 5000001;

// Events caused from the network (bad packets of the managers and the agent, requests the agent
// refuses) logged per minute, cause and source; the rest are counted in one summary line.
inline constexpr int kBadPacketsPerMinute = 5;
// Sources with windows of their own at most; the events of further sources share one window per
// procedure and cause ("other addresses"), so that a flood from spoofed addresses holds bounded
// memory.
inline constexpr size_t kMaxEventWindows = 256;

struct PollState : TrendState {
  // REQUIRES: clock and loop outlive the state.
  PollState(std::string app_path, Clock& clock, EventLoop& loop)
      : TrendState(std::move(app_path), clock, loop),
        snmpAgent(loop),
        snmpManager(loop),
        snmpMgrV3(loop) {}

  // Components of the form.
  SnmpAgent snmpAgent;      // the built-in agent; also sends every trap
  SnmpManager snmpManager;  // SNMPv1/v2c polls
  SnmpManager snmpMgrV3;    // SNMPv3 polls

  int16_t ServiceState = kServiceBeforeStart;  // 0 before any start, 1 running, 2 stopped
  DateTime ServiceStartTime;                   // local time of the last start
  int32_t LastMessId = 0;                      // request-id counter shared by both senders
  // The entry each recent request id was sent for, noted by the senders (NoteMessId) so that an
  // answer finds its entry without walking the list (EntryOfMessId).
  std::array<int16_t, 16384> MessIdEntries{};
  int16_t LastHour = 0;   // hour of day seen by the last poll tick
  int16_t Pending = 0;    // SNMPv1/v2c requests sent and not yet answered or given up
  int16_t PendingV3 = 0;  // SNMPv3 requests outstanding (0 or 1)

  // SNMPv3 engine discovery. At most one runs at a time (PendingV3 is at most 1), inside the
  // sender, which waits for its answer up to 2 s.
  int16_t DiscoverIndex = 0;    // entry of the last discovery; 0 until the first, never reset
  bool DiscoverDone = false;    // the discovery under way was answered for its entry
  int16_t DiscoverWaiting = 0;  // entry whose sender waits for its discovery's answer; 0 none

  // Local time at which the poll tick running now (or the last one) began: the first requests of
  // a tick are late by the time since the tick that first found them due (ServiceCounters).
  DateTime TickStarted;

  // Restarts asked for through the agent (ServiceState 1): at most one runs per poll tick.
  int64_t PollTicks = 0;         // poll ticks since the process started
  int64_t LastRestartTick = -1;  // PollTicks when the last restart ran
  bool RestartPending = false;   // a restart was asked for after one ran in this tick
};

// Lowers an outstanding-request counter by one unless it is already 0 (the agent may have set it
// to 0 while requests were out; a negative count would let more than the limit out).
inline void LowerPendingCount(int16_t& counter) {
  if (counter > 0) --counter;
}

// --- The scheduler ---

// The poll timer's tick. Does nothing while ServiceState is 2. Otherwise, in this order:
//   1. applies a change code in Mib_sysTrendChanged (1 TrendListTrendAdd, 2 TrendListTrendEdit,
//      3 TrendListTrendDel, then DebugTrendList in debug mode, then SysUpdateSecProfiles) and
//      clears it;
//   2. time-out pass over entries 1..TrendListCount (count read once, and never past the live
//      count, which a rebuild during a pause may have lowered): an entry whose request is pending
//      and strictly past PollTimeOutTime, or whose PollTimeOutTime lies more than PollTimeOut
//      seconds ahead (left by a clock set back), is resent (PollRetryTimes + 1, then a pause of
//      PollDelaySnmp x 10 ms) while PollRetryTimes < PollRetries and its SnmpVersion is still on
//      the side (SNMPv3 or not) its request was counted on; else it is given up: no request, no
//      engine, values -1/0, next poll time computed, the counter the request holds lowered (not
//      below 0), and in debug mode the no-reply row;
//   3. due pass (count read again, bounded the same way): a PollNextTime more than one
//      PollInterval ahead (left by a clock set back) is computed again; an entry is due at or
//      after PollNextTime, not pending, with a PollInterval; only PollType "SnmpPoll" and
//      "SnmpStatus" (exact case) are polled, SNMPv3 while PendingV3 < MaxPendSnmpV3 and the
//      others while Pending < MaxPendSnmp; the counter is raised before the send, and each send is
//      followed by a pause of PollDelaySnmp x 10 ms, times StartUpDelayFactor during the first
//      StartUpPeriod seconds after ServiceStartTime;
//   4. at the first tick of a new hour: SysUpdateSecProfiles, TrendListDevSync, DebugTrendList;
//   5. when the hour is below LastHour (midnight passed or the clock went back):
//      DebugDirClear_AE, DebugDirClear, DelTrendData for the four trend-data tables in order;
//   6. LastHour := the hour now; then the counts of repeated events whose window has ended.
// Before all of this the tick counts itself (PollTicks, also while ServiceState is 2) and runs a
// restart that the agent left pending (RunRestart). A tick that runs (ServiceState not 2) is
// timed for the self-monitoring: TickStarted, Counters.TickStartMs while it runs, and its length
// on the monotonic clock in Counters.LongestTickMs when it is the longest.
//
// Counted for the self-monitoring (Counters) where they happen: each GET request sent by the
// senders (by the version the manager sent it with; resends also as Resends, a first request
// sent late as PollsLate), each poll ended without an answer (PollsGivenUp: the give-up of the
// time-out pass and an engine discovery left unanswered), and each bad packet of a manager.
// A stop during one of the pauses (ServiceState 2) ends the tick right after that pause. The
// pause products are 16-bit: an overflow ends the pass. An error of the passes ends them and is
// reported under "timerPoll_ReportID=" followed by the ReportId of the entry being worked on (0
// when none is); steps 4 to 6 still run, and their own errors are reported with ReportID 0. The
// same error repeated by later ticks is logged once an hour with a count (Repeats).
void timerPoll_Timer(PollState& st);

// The wall milliseconds from now during which poll ticks would find nothing to do, so that the
// poll timer may sleep through them: 0 while a change code or a restart waits, an entry is due
// (its count at its limit or not), a request is pending past its time-out, an entry's times were
// left ahead by a clock set back, or the hour has changed since the last tick. Otherwise the time
// until the first of: an entry's next poll, a pending request's time-out (it counts once now is
// past it), the end of a repeated events' window, the next hour (the hourly work, and the moment
// a daylight-saving change moves the local time). While polling is paused (ServiceState 2) only
// the hour counts. Steps of the clock and the agent's changes must wake the timer themselves.
int64_t PollIdleMs(PollState& st);

// The health of reports and nodes (Runtime::Health). HealthAnswered: the node of e answered a
// poll; one event when it had stopped answering. HealthProblem: the last problem of e's report
// (the polls' own: no answer, a request that could not be sent; the answers': an error status,
// an object without a value, a refused expression). A poll given up also marks the node silent,
// with one error event naming the node when it answered before.
void HealthAnswered(PollState& st, const TrendListEntry& e);
void HealthProblem(PollState& st, const TrendListEntry& e, const std::string& problem);

// Running again after ServiceState 1 was written: a new start-up period (ServiceStartTime now),
// no request counted as outstanding (Pending = PendingV3 = 0: the rebuilt list holds none of
// them, so nothing would lower the counters again) and the trend list built anew
// (TrendListCreate). Records the tick (LastRestartTick) and clears RestartPending. Returns false
// when the build failed (it has reported why).
bool RunRestart(PollState& st);
// Whether a restart may run now: none ran since the current poll tick began. The agent runs at
// most one per tick and leaves further ones pending for the next tick, so that a flood of
// restarts cannot keep the service rebuilding its list instead of polling.
inline bool RestartAllowed(const PollState& st) { return st.LastRestartTick != st.PollTicks; }

// The debug-mode watcher (the 30-second debug timer's tick): re-reads DebugMode from the database
// (SettingsGeneralRead); a switch from off to on creates the trace files with their headers
// (DebugFilePrep), a switch from on to off merges the poll trace files (DebugMergePoll). Errors
// of the tick itself are reported as "timerDebug".
void timerDebug_Timer(PollState& st);

// --- The senders ---

// The next request id: 1000001, 1000002, ... 5000001, then 1000001 again. Shared by both senders.
int32_t NextMessId(PollState& st);
// Notes that request id `id` was sent for entry i.
inline void NoteMessId(PollState& st, int32_t id, int16_t i) {
  st.MessIdEntries[static_cast<size_t>(id) % st.MessIdEntries.size()] = i;
}
// The live entry whose PollMessId is id, 0 when none is. The note answers at once; the walk over
// the list, first entry first, serves when the note was overwritten (16,384 ids later) or the
// list rebuilt since.
inline int16_t EntryOfMessId(const PollState& st, int32_t id) {
  if (id == 0) return 0;
  const int16_t noted = st.MessIdEntries[static_cast<size_t>(id) % st.MessIdEntries.size()];
  if (noted >= 1 && noted <= st.TrendListCount && st.TrendList[noted].PollMessId == id) {
    return noted;
  }
  for (int16_t i = 1; i <= st.TrendListCount; ++i) {
    if (st.TrendList[i].PollMessId == id) return i;
  }
  return 0;
}

// Builds and sends one SNMPv1/v2c GET for entry i (SnmpVersion 1 or 2 sets the version; any other
// value sets none and the request is still sent). Sets PollTimeOutTime := now + PollTimeOut s and
// a new PollMessId on every call; a first send (resend false) also sets PollRetryTimes := 0,
// PollPending := true and PollCountedV3 := false (its request holds a slot of Pending). In debug
// mode appends the poll row (" --> snmpPoll" or " --> snmpResend") to T-SnmpPoll.txt before
// sending (best effort: a row that cannot be written is reported and the request still goes
// out). Any failure (a component refusing a value or the send, more than six objects) ends the
// poll silently: values -1/0, PollPending false, next poll time computed, the counter the
// request holds lowered; PollMessId keeps what it reached. A request that went out (or was queued
// by a batching manager) is counted in st.Counters: RequestsSent, and Resends or, for a late
// first send, PollsLate (PollCountedLate remembers it, so that the scheduler can take a queued
// request that the system then refused back out of the counts).
// REQUIRES: Pending was raised for a first send.
void SnmpPollSend(PollState& st, int16_t i, bool resend);

// As SnmpPollSend for an SNMPv3 entry, through snmpMgrV3 (a first send sets PollCountedV3 :=
// true), with the security profile whose UserName matches PollSnmpV3User (no case; none matching
// sets no security values). With an authenticating profile and a known engine, PollEngineTime is
// first raised by PollInterval (on every request, resends included). Without a known engine
// (PollEngineId empty) the engine is discovered first, waiting up to 2 s of the monotonic clock
// with events delivered every 20 ms; without an answer, or when the service stopped meanwhile,
// the poll ends without a request (no engine, values -1/0, next poll time, PendingV3 lowered, no
// row). When the list was rebuilt during the wait, entry i is left alone: it may hold another
// report now, and the restart that rebuilt it freed every slot. The poll row goes to
// T-SnmpPollV3.txt with the engine id as EngineIdText. A failure ends the poll silently as in
// SnmpPollSend, and also empties PollEngineId.
// REQUIRES: PendingV3 was raised for a first send.
void SnmpPollSendV3(PollState& st, int16_t i, bool resend);

// Sends the engine discovery for entry i to the target the sender set on snmpMgrV3 and records
// DiscoverIndex := i. In debug mode traces " Discover EngineId" and any failure (" Discover
// Failed: ...") in T-DiscEngineId.txt; never throws. Traces are best effort: the discovery is sent
// when its line cannot be written, which is logged as for AppendTraceLine.
void DiscoverEngineId(PollState& st, int16_t i);

// The answer to a discovery. It is stored in entry DiscoverIndex (PollEngineId, PollEngineBoots,
// PollEngineTime) and DiscoverDone set only while that discovery is under way and when the answer
// comes from that entry's target (Address and UdpPort; a host name is compared by port only, the
// manager having checked that the answer came from the address the probe went to). Any other
// answer (late, or another device's) changes nothing. In debug mode seven lines go to
// T-DiscEngineId.txt, and an eighth " Ignored: ..." for an answer not stored; lines that cannot
// be written are logged as for AppendTraceLine and change nothing else. Other errors are reported
// as "snmpMgrV3_DiscoveryResponse" with event type 2.
void snmpMgrV3_DiscoveryResponse(PollState& st, const SnmpDiscovery& d);

// A Report answering an SNMPv3 request or discovery: in debug mode two lines in
// T-DiscEngineId.txt; no polling state changes (the request waits for its time-out). A trace that
// cannot be written is reported as "snmpMgrV3_Report", event type 2, with the Report's text.
void snmpMgrV3_Report(PollState& st, const SnmpReport& r);

// --- Events from the network, and the managers' error events ---

// Logs an event caused from the network: message under procedure (module "frmQuorlanTrend", the
// event type given) unless kBadPacketsPerMinute events of the same procedure, cause and source
// were logged in the last minute; those are counted instead, and when the minute has ended one
// line "<n> more <cause>[ from <source>] in the minute from <time> were not logged" follows
// (written by the next such event, the next poll tick or the stop). Never throws.
void LogLimitedEvent(PollState& st, const std::string& procedure, const std::string& cause,
                     const std::string& source, const std::string& message, int16_t event_type);

// A datagram that did not decode: logged as "ErrorCode: <code>, <text>", event type 3, under the
// handler's name (events of these names are never trapped). At most kBadPacketsPerMinute per
// manager and minute are logged; the rest are counted (LogLimitedEvent with the cause "bad
// packets" and no source), and when the minute has ended one line "<n> more bad packets in the
// minute from <time> were not logged" follows. No polling state changes.
void snmpManager_BadPacket(PollState& st, const SnmpBadPacket& b);
void snmpMgrV3_BadPacket(PollState& st, const SnmpBadPacket& b);
// Errors of the components themselves: nothing is done with them.
void snmpManager_Error(PollState& st, int number, const std::string& description);
void snmpMgrV3_Error(PollState& st, int number, const std::string& description);

// --- Poll trace rows ---

// The object groups of a poll trace row, which differ slightly between the writers:
//   kPoll      (requests): SampledVal and SavedVal with the pattern "0", TriggerValue the number;
//   kNoReply   (give-up):  SampledVal "0", SavedVal the plain number, TriggerValue the number;
//   kResponse  (answers):  SampledVal and SavedVal "0", TriggerValue the threshold text as stored
//                          (PollTriggerValueText).
enum class PollRowObjects { kPoll, kNoReply, kResponse };

// One row of the poll and response trace files, 76 tab-separated fields without line end: time
// stamp, action (the whole field, e.g. " --> snmpPoll", " <-- snmpNoReply", " <-- snmpResp"),
// PollType, PollInterval, ReportId, ReportTitle, NodeId, NodeName, Address, PollMessId,
// SnmpVersion, engine_id (the field as given), PollEngineBoots, PollEngineTime, Pending,
// PendingV3, then for each object 1..6 (always six) PollObjId, PollObjName, PollObjType,
// PollObjEval, SampledVal, SavedVal, PollTriggerAlarm ("True"/"False"), PollTriggerExpr,
// TriggerValue, PollTriggerStatus ("True"/"False"). Control characters of the fields are written
// as blanks (BlankControls).
std::string PollTraceRow(PollState& st, const TrendListEntry& e, std::string_view action,
                         std::string_view engine_id, PollRowObjects objects);

// An engine id as trace text: each octet in upper-case hexadecimal without leading zero, no
// separator (00 01 0F gives "01F", 80 00 0A 01 gives "800A1").
std::string EngineIdText(std::string_view engine_id);

// Gathers T-SnmpPoll.txt, T-SnmpPollV3.txt, T-SnmpResp.txt and T-SnmpRespV3.txt, in this order,
// into a new T-PollStatus.txt under the poll header, and deletes them. A file's first line is
// dropped when it begins with "Time" (no case: its own header) and copied otherwise; missing
// files are skipped. An error (a file that cannot be read, written or deleted, a file without any
// line) ends the merge, reported as "DebugMergePoll"; the file being copied and those after it
// stay.
void DebugMergePoll(Runtime& rt);

}  // namespace quorlan
