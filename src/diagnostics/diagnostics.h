// Diagnostics: the module-wide runtime that every procedure is handed, the application event log
// (AppEvent, FormatTimeStamp, DebugDirClear_AE), the call point of the application event traps,
// and the set of debug trace files (DebugDirClear, DebugFilePrep and their header lines).
//
// Runtime is the base of the service's state object: each layer above (storage, trend list,
// polling, agent, service) extends it with its own module-wide values, so a procedure takes the
// narrowest layer it needs and a test builds just that layer. Two Runtime objects never share
// state, so two services can run side by side in one test process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "components/platform/platform.h"

namespace quorlan {

class SnmpAgent;
struct Runtime;

// Module names of the event log.
inline constexpr const char* kModForm = "frmQuorlanTrend";
inline constexpr const char* kModShared = "modQuorlanTrend";
inline constexpr const char* kModRetention = "frmVeltTrendSrv";

inline constexpr const char* kVersion = "10.00";

// Event types of AppEvent.
inline constexpr int16_t kEventError = 1;
inline constexpr int16_t kEventV3Error = 2;
inline constexpr int16_t kEventInfo = 3;

// Largest number of outstanding SNMPv1/v2c requests when Quorlan.ini does not set MaxPendSnmp.
inline constexpr int16_t kDefaultMaxPendSnmp = 10;
// Entries of the trend list when Quorlan.ini does not set MaxTrendReports, and the most it may set
// (entry numbers are 16-bit).
inline constexpr int16_t kDefaultMaxTrendReports = 300;
inline constexpr int16_t kMostTrendReports = 30000;

// The settings of Quorlan.ini with their built-in values. ReadIni resets them to these values and
// then applies the file.
struct IniSettings {
  std::string ServerIpAddr;                   // agent address and first variable of event traps
  int32_t AgentPort = 1626;                   // ServerPort + 1: where the built-in agent listens
  int32_t ServerTrapPort = 162;               // where all traps go (on 127.0.0.1)
  std::string SnmpAgentGetComm = "public";    // read community of the built-in agent
  std::string SnmpAgentSetComm = "wexrol";    // write community of the built-in agent
  int16_t StartUpDelay = 15;                  // stored only
  int16_t StartUpPeriod = 300;                // seconds of slower request pacing after a start
  int16_t StartUpDelayFactor = 2;             // pacing multiplier during the start-up period
  int16_t TimerInterval = 1000;               // half the poll timer's period, ms
  int16_t PollDelaySnmp = 20;                 // pause after each request, tens of ms
  int16_t MaxPendSnmp = kDefaultMaxPendSnmp;  // outstanding SNMPv1/v2c requests at most
  int16_t MaxPendSnmpV3 = 1;                  // outstanding SNMPv3 requests at most (not a key)
  // Entries of the trend list, fixed at the start (1 to kMostTrendReports); also the node limit.
  int16_t MaxTrendReports = kDefaultMaxTrendReports;
  int32_t SpoolLimitMB = 256;  // most MiB of sample rows the spool holds (>= 1)
  // Where the self-monitoring figures go each minute in the Prometheus text format, for
  // node_exporter's textfile collector; empty: not written. A relative path is taken from AppPath.
  std::string MetricsFile;
};

// The components whose bad packets are counted apart (ServiceCounters::BadPackets).
enum class PacketSource { kManager, kMgrV3, kAgent };

// What the service has done since the process started, counted where each event happens and read
// once a minute by the service's self-monitoring. Plain additions, cheap enough to stay on.
struct ServiceCounters {
  // GET requests put on the wire, resends included, by SNMP version (index 0 SNMPv1, 1 SNMPv2c,
  // 2 SNMPv3); engine discoveries are not requests of a poll.
  std::array<int64_t, 3> RequestsSent{};
  int64_t Resends = 0;
  int64_t Answers = 0;       // answers that closed their request (error status or not)
  int64_t PollsGivenUp = 0;  // polls ended without an answer (last resend timed out, or no
                             // engine discovered)
  // First requests of a poll sent more than kLateMs after the first poll tick that found the poll
  // due (that tick, not the due time itself, so that the tick period alone makes nothing late).
  int64_t PollsLate = 0;
  int64_t TrendTraps = 0;               // trend traps sent (alarms raised or cleared)
  int64_t EventTraps = 0;               // application event traps sent
  std::array<int64_t, 3> BadPackets{};  // datagrams that did not decode, by PacketSource
  // Connections and statements of the suite database that failed, the recorder's excepted (those
  // are in its own counts).
  int64_t DatabaseErrors = 0;
  // The poll tick running now: its start on the monotonic clock, -1 when none runs.
  int64_t TickStartMs = -1;
  // The longest poll tick that ended since the self-monitoring last took it (TakeLongestTickMs).
  int64_t LongestTickMs = 0;

  static constexpr int64_t kLateMs = 1000;

  void CountBadPacket(PacketSource source) { ++BadPackets[static_cast<size_t>(source)]; }
  // The longest tick since the last call, a tick still running counted with its age at now_ms
  // (a stuck tick shows), and starts the next span.
  int64_t TakeLongestTickMs(int64_t now_ms) {
    int64_t longest = LongestTickMs;
    if (TickStartMs >= 0 && now_ms - TickStartMs > longest) longest = now_ms - TickStartMs;
    LongestTickMs = 0;
    return longest;
  }
};

// Sends an application event as a trap. Implemented by the built-in agent once it exists; the
// implementation decides whether the event is trapped at all and never throws.
class AppEventTrapSender {
 public:
  virtual ~AppEventTrapSender() = default;
  virtual void SendAppEventTrap(const std::string& module, const std::string& procedure,
                                const std::string& message, int16_t event_type) = 0;
};

// The trap side of AppEvent through the built-in agent: while the agent is active, every event
// goes as an SNMPv1 trap (enterprise 1.3.6.1.4.1.32473.2.1.2, generic 6, specific 1, community
// "public", agent address ServerIpAddr) to 127.0.0.1 at the agent's trap port, with six variables:
// ServerIpAddr, "Quorlan", module, procedure, the message's first 240 characters and the type.
// A ServerIpAddr that is not a dotted IPv4 address gives the header's agent address 0.0.0.0.
// Events of the managers' and the agent's error and bad-packet handlers are never trapped. A trap
// that cannot be composed or sent is dropped silently: reporting it would raise another event.
class AgentEventTraps final : public AppEventTrapSender {
 public:
  // REQUIRES: rt and agent outlive this object.
  AgentEventTraps(Runtime& rt, SnmpAgent& agent) : rt_(rt), agent_(agent) {}
  void SendAppEventTrap(const std::string& module, const std::string& procedure,
                        const std::string& message, int16_t event_type) override;

 private:
  Runtime& rt_;
  SnmpAgent& agent_;
};

// Events of one kind that would repeat many times (a bad packet, a trace file that cannot be
// written, a tick that fails the same way) are logged a few per window and counted beyond that.
// The first event of a kind opens its window; the window admits `allowed` events and lasts
// `window_ms` on the runtime's clock; a clock set back before its start also ends it.
struct RepeatRule {
  int allowed;
  int64_t window_ms;
  const char* window_name;  // "minute", "hour": how the count line names the window
};
inline constexpr RepeatRule kOncePerHour{1, 3600000, "hour"};

// The open windows of the repeating kinds, by kind. Held by the runtime, so that every count
// follows the runtime's (settable) clock.
class RepeatedEvents {
 public:
  // Logs the event (AppEvent) when the window of kind admits it, else counts it. A window of kind
  // that has ended is closed first. counted names what the count line counts ("bad packets").
  void Log(Runtime& rt, const RepeatRule& rule, const std::string& kind, const std::string& module,
           const std::string& procedure, const std::string& message, int16_t event_type,
           const std::string& counted);
  // Closes the windows that have ended, or all of them when all is true. Each window that counted
  // events becomes one event of the kind's module, procedure and type: "<n> more <counted> in the
  // <window> from <its start time stamp> were not logged".
  void Flush(Runtime& rt, bool all);
  // Whether the window of kind is open (not yet flushed), and how many windows are.
  bool IsOpen(const std::string& kind) const { return windows_.contains(kind); }
  size_t OpenCount() const { return windows_.size(); }
  // When the first open window ends (a flush is then due); DateTime() with none open.
  DateTime FirstEnd() const;

 private:
  struct Window {
    RepeatRule rule;
    DateTime start;
    int logged = 0;
    int64_t left_out = 0;
    std::string module;
    std::string procedure;
    std::string counted;
    int16_t event_type = 0;
  };
  static bool Ended(const Window& w, DateTime now);
  static void Close(Runtime& rt, const Window& w);

  std::map<std::string, Window> windows_;
};

// What an operator needs to tell a working report from a broken one and a node that answers from
// one that does not. Kept in memory from the start, keyed by report and node id (so that it
// survives rebuilds of the trend list), and handed to the console through a file the
// self-monitoring writes.
struct ReportHealth {
  DateTime LastRow;      // the time of the report's last sample row; zero for none yet
  DateTime ProblemTime;  // when the last problem happened; zero for none
  std::string Problem;   // the last problem: no answer, an error status, a null object, ...
};

struct NodeHealth {
  std::string Name;
  std::string Address;
  bool Answered = false;  // it answered a poll since the start
  bool Silent = false;    // its last poll ended without an answer
  DateTime Since;         // when it last turned from answering to silent or back
};

class HealthBook {
 public:
  void RowTaken(int32_t report, DateTime t);
  void ReportProblem(int32_t report, DateTime t, const std::string& problem);
  // The node answered a poll. True when it had stopped answering before: the recovery is news.
  bool NodeAnswered(int32_t node, const std::string& name, const std::string& address, DateTime t);
  // A poll of the node ended without an answer. True when the node answered before and this is
  // the first poll it left unanswered since: it has stopped answering.
  bool NodeSilent(int32_t node, const std::string& name, const std::string& address, DateTime t);
  const std::map<int32_t, ReportHealth>& Reports() const { return reports_; }
  const std::map<int32_t, NodeHealth>& Nodes() const { return nodes_; }
  // Forgets the reports and nodes for which live says false (no longer in the trend list), so
  // that a service that runs for years through reports added and removed holds only its own.
  void Retain(const std::function<bool(int32_t)>& live_report,
              const std::function<bool(int32_t)>& live_node);
  // Whether anything changed since the last call; starts the next span.
  bool TakeChanged() { return std::exchange(changed_, false); }
  // Marks the book changed for what it does not hold itself (an alarm raised or cleared).
  void MarkChanged() { changed_ = true; }

 private:
  NodeHealth& Node(int32_t node, const std::string& name, const std::string& address);

  std::map<int32_t, ReportHealth> reports_;
  std::map<int32_t, NodeHealth> nodes_;
  bool changed_ = false;
};

// The module-wide values shared by every layer.
struct Runtime {
  // REQUIRES: clock and loop outlive the runtime. app_path has no trailing slash.
  Runtime(std::string app_path, Clock& clock, EventLoop& loop)
      : AppPath(std::move(app_path)), clock(clock), loop(loop) {}
  virtual ~Runtime() = default;
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  std::string AppPath;  // the executable's folder; every file is addressed relative to it
  Clock& clock;
  EventLoop& loop;
  IniSettings Ini;
  bool DebugMode = false;  // debug trace files on (Settings.DebugMode)
  // The trap side of AppEvent; null while no agent exists.
  AppEventTrapSender* EventTraps = nullptr;
  // The system journal that every logged event also goes to; null for none.
  EventJournal* Journal = nullptr;
  // Events logged a few per window and counted beyond.
  RepeatedEvents Repeats;
  // What the service did, for its self-monitoring.
  ServiceCounters Counters;
  // The reports' and nodes' health, for the console.
  HealthBook Health;

  // The pause that keeps delivering events (see EventLoop::WaitMs).
  void WaitMs(int16_t ms) { loop.WaitMs(ms); }
  DateTime Now() { return clock.Now(); }
  // AppPath + "/Debug/" + name.
  std::string DebugFile(const std::string& name) const { return AppPath + "/Debug/" + name; }
};

// The current local time as "YYYY-MM-DD HH:MM:SS.mmm", from one reading of the clock.
std::string FormatTimeStamp(Runtime& rt);

// The text with every control character (tab, CR, LF, ... and DEL) written as a blank, so that a
// text from the database, a peer or a driver stays one field of one line.
std::string BlankControls(std::string_view text);

// Appends one line to Debug/T-AppEvent.txt: time stamp, event type, module "_" procedure, and the
// message, separated by tabs and ended by CRLF, control characters of the texts written as blanks
// so that every event is exactly one line; then hands the event, as given, to the trap side.
// Never fails towards its caller: when the log cannot be written the event is dropped, trap
// included.
void AppEvent(Runtime& rt, const std::string& module, const std::string& procedure,
              const std::string& message, int16_t event_type);

// Shortens the event log to the lines of the last 60 days (by the date at the start of each line),
// through the backup T-AppEvent.bak. Reports its own errors as "DebugDirClear_AE".
void DebugDirClear_AE(Runtime& rt);

// --- Debug trace files ---
//
// While DebugMode is set the service records what it sends, receives and decides in tab-separated
// text files in Debug under AppPath (lines end with CRLF; time fields are FormatTimeStamp). The
// folder is never created. Writers append one row at a time and create a missing file without a
// header; the headers are written only by DebugFilePrep (at start in debug mode and when DebugMode
// is switched on), so after the daily clearing the files restart without header lines.
//
// The four poll and response files share one column layout (DebugPollHeader) and are gathered into
// T-PollStatus.txt when debugging ends (DebugMergePoll, polling layer).
inline constexpr const char* kTraceSnmpPoll = "T-SnmpPoll.txt";      // SNMPv1/v2c requests
inline constexpr const char* kTraceSnmpPollV3 = "T-SnmpPollV3.txt";  // SNMPv3 requests
inline constexpr const char* kTraceSnmpResp = "T-SnmpResp.txt";      // SNMPv1/v2c answers, no-reply
inline constexpr const char* kTraceSnmpRespV3 = "T-SnmpRespV3.txt";  // SNMPv3 answers, no-reply
inline constexpr const char* kTraceSnmpTrap = "T-SnmpTrap.txt";      // trend traps
inline constexpr const char* kTraceDiscEngineId = "T-DiscEngineId.txt";  // SNMPv3 discovery
inline constexpr const char* kTracePollStatus = "T-PollStatus.txt";      // the merged poll files
inline constexpr const char* kTraceTrendList = "T-TrendList.txt";        // trend list dumps

// The poll header: 76 tab-separated names, "Time" ... "PendingV3" and ten names per object 1 to 6
// ("ObjOid1" ... "TriggerStatus6"), without line end.
std::string DebugPollHeader();
// The trap header: "Time" ... "TrapId", 10 names, without line end.
std::string DebugTrapHeader();

// Appends line and CRLF to the trace file name in Debug, creating it when missing. Best effort:
// a trace never stops the work it records. A line that cannot be written (a full disk, a Debug
// folder removed) is dropped; the first such failure of a file in an hour is logged under module
// and procedure (event type 1, "Trace row not written to <name>: <why>") and the others of that
// hour are counted (Repeats, kOncePerHour). Fields of line are the writer's to keep free of
// control characters (BlankControls).
void AppendTraceLine(Runtime& rt, const std::string& name, const std::string& line,
                     const char* module, const std::string& procedure);

// Deletes the trace files that exist: every T-Snmp*.txt (the four poll and response files and the
// trap file), T-PollStatus.txt, T-TrendList.txt and T-DiscEngineId.txt. T-Services.txt and the
// event log stay. Called at start and once a day. Reports its errors (a missing folder, a file
// that cannot be deleted) as "DebugDirClear"; files already deleted stay deleted.
void DebugDirClear(Runtime& rt);

// Creates T-SnmpTrap.txt with the trap header, then T-SnmpPoll.txt, T-SnmpPollV3.txt,
// T-SnmpResp.txt and T-SnmpRespV3.txt with the poll header, each anew (earlier content is lost).
// Reports its errors as "DebugFilePrep"; files already created stay.
void DebugFilePrep(Runtime& rt);

}  // namespace quorlan
