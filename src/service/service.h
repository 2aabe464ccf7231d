// The service host side of quorlan-trend: the command line and single-instance rule (FormLoad),
// the service state events with the start and stop sequences (dartSvc_State), and the
// configuration file (ReadIni).
//
// Module is the service's state object: every module-wide value of every layer, the components
// that the hidden form owns (service host, timers) and their event handlers. Everything runs on
// the event loop's one thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "components/platform/platform.h"
#include "diagnostics/diagnostics.h"
#include "polling/polling.h"
#include "responses/responses.h"
#include "storage/storage.h"

namespace quorlan {

inline constexpr const char* kServiceName = "Quorlan Trend Reporting";

// Where the one-line messages of the command line go. Style 16 (critical) is an error; 64
// (information) and 0 (none) are not.
class Console {
 public:
  virtual ~Console() = default;
  virtual void MessageBox(const std::string& text, int style, const std::string& title) = 0;
};

// Information on stdout, critical messages on stderr; line feeds inside a message become blanks so
// that each message is one line.
class StdConsole final : public Console {
 public:
  void MessageBox(const std::string& text, int style, const std::string& title) override;
};

// --- Self-monitoring ---
//
// Once a minute the service takes its counters (Runtime::Counters, RecordingFiguresOf) and tells
// whether it keeps up, without a network port of its own:
//   - systemd: one STATUS= line (dartSvc.SetStatus) that `systemctl status` shows, such as
//     "300 reports; last minute: 298 rows, 0 late, 2 given up; spool empty";
//   - the console: the status file kStatusFileName in AppPath, with the last minute's figures, the
//     last hour's totals and the totals since the start (format: service/status_format.md);
//   - Prometheus: when Ini.MetricsFile is set, the counters in the text format 0.0.4, for
//     node_exporter's textfile collector (MetricsText).
// Both files are replaced whole at once (ReplaceFile). A file that cannot be written is logged
// once an hour (procedure "timerMonitor") and the rest goes on.

inline constexpr const char* kStatusFileName = "quorlan-trend-status.json";
inline constexpr const char* kStatusFileFormat = "quorlan-trend status";
// Raised when a change would mislead a reader of the earlier version; added keys keep it.
inline constexpr int kStatusFileVersion = 1;
inline constexpr int kMonitorPeriodMs = 60000;

// Beside the figures, once a minute when anything changed, the health file kHealthFileName in
// AppPath: each report's last row and last problem and each node's answering (Runtime::Health),
// and the alarms raised now (the triggers whose PollTriggerStatus is set), for the console's lists
// and `alarms`. JSON: "format" kHealthFileFormat, "version", "pid", "written", then "reports"
// [{report, last_row, problem, problem_time}], "nodes" [{node, name, address, answers, answered,
// since}] and "alarms" [{report, title, node, node_name, object, name, value, condition,
// threshold}]; times as "YYYY-MM-DD hh:mm:ss", null for none.
// Written at each start once the agent has bound its port: "pid=<the service's process id>" and
// "port=<the agent's UDP port>", one per line. The console talks to the agent only when the
// process that holds the installation's lock is the one that wrote this, on the port it would
// use: a port can be bound by one process only, so the agent that answers there is this
// installation's own.
inline constexpr const char* kAgentFileName = "quorlan-trend-agent";
inline constexpr const char* kHealthFileName = "quorlan-trend-health.json";
inline constexpr const char* kHealthFileFormat = "quorlan-trend health";
inline constexpr int kHealthFileVersion = 1;
// The per-minute work runs at this second of the wall-clock minute, away from the grid's polls
// at second 0, so that a minute's figures hold whole rounds of polls.
inline constexpr int kMonitorSecond = 30;
inline constexpr int kHourMinutes = 60;

// The counts of one span of time (a minute, the last hour, the time since the start).
struct MonitorCounts {
  std::array<int64_t, 3> RequestsSent{};  // by SNMP version 1, 2 (v2c), 3
  int64_t Resends = 0;
  int64_t Answers = 0;
  int64_t PollsGivenUp = 0;
  int64_t PollsLate = 0;
  int64_t RowsRecorded = 0;
  int64_t TrendTraps = 0;
  int64_t EventTraps = 0;
  std::array<int64_t, 3> BadPackets{};  // by PacketSource
  int64_t DatabaseErrors = 0;
  int64_t LongestTickMs = 0;  // the longest poll tick of the span (not a sum)

  friend bool operator==(const MonitorCounts&, const MonitorCounts&) = default;
};

// What one run of the per-minute work took: the file's content.
struct MonitorFigures {
  int32_t Pid = 0;
  DateTime Written;           // local time of the run
  DateTime Started;           // ServiceStartTime
  bool Paused = false;        // ServiceState 2: polling stopped through the agent
  int32_t Reports = 0;        // TrendListCount
  int64_t SpoolRows = 0;      // rows held back, not yet recorded
  double CpuSeconds = 0;      // the process's CPU time since it started
  int64_t RssBytes = 0;       // its resident memory
  int64_t MinuteSeconds = 0;  // the length of LastMinute's span (the first one may be shorter)
  int32_t HourMinutes = 0;    // the minutes LastHour adds up (fewer within the first hour)
  MonitorCounts LastMinute;
  MonitorCounts LastHour;
  MonitorCounts SinceStart;
  int64_t Writes = 0;          // runs of the per-minute work before this one
  int64_t WriteCpuMicros = 0;  // the CPU time they took in all
};

// The self-monitoring's values in the Module.
struct SelfMonitor {
  MonitorCounts Taken;  // the totals at the last run (or at the start)
  int64_t TakenMs = 0;  // its time on the monotonic clock
  std::array<MonitorCounts, kHourMinutes> Minutes{};  // the last minutes, a ring
  int32_t Filled = 0;                                 // minutes held in the ring
  int32_t Next = 0;                                   // where the next minute goes
  int64_t Writes = 0;
  int64_t WriteCpuMicros = 0;
  // The status file and the metrics file, kept open between the minutes.
  std::unique_ptr<RewrittenFile> StatusFile;
  std::unique_ptr<RewrittenFile> MetricsFile;
  std::unique_ptr<RewrittenFile> HealthFile;
  ProcessUsageReader Usage;
  // What the last STATUS= line showed: paused, reports, rows, late, given up, spool rows and
  // database errors. An idle minute shows the same, and its line is neither formatted nor sent.
  std::array<int64_t, 7> StatusShown{-1};
};

// The one STATUS= line of a minute's figures: "<n> reports; last minute: <rows> rows, <late>
// late, <given up> given up; spool empty" (or "spool <n> rows"), then "; <n> database errors"
// when there were any; "Polling paused; " before it all while ServiceState is 2.
std::string MonitorStatusLine(const MonitorFigures& f);
// The figures in the Prometheus text format 0.0.4: names begin with quorlan_trend_, counters
// (the totals since the start) end in _total, every metric has its HELP and TYPE lines.
std::string MetricsText(const MonitorFigures& f);
// The status file's text (JSON) and its reading. ParseStatusFile throws RuntimeError naming what
// is wrong: not JSON, another format, a version above kStatusFileVersion, a key missing or of the
// wrong type. Keys it does not know are ignored.
std::string StatusFileText(const MonitorFigures& f);

MonitorFigures ParseStatusFile(const std::string& text);

struct Module : ResponseState {
  // REQUIRES: clock, loop and host outlive the module.
  Module(std::string app_path, Clock& clock, EventLoop& loop, ServiceHost& host);
  // Stops the timers and detaches the host's events, which refer to this module.
  ~Module() override;

  // Components of the form.
  ServiceHost& dartSvc;
  Timer& timerPoll;
  Timer& timerDebug;
  Timer& timerMonitor;  // the self-monitoring's minute
  AgentEventTraps eventTraps{*this, snmpAgent};

  SelfMonitor Monitor;
  EventLoop::WatchId WallClockWatch = 0;  // wakes the poll timer after a step of the wall clock
  // The folders of a SQLite suite database, watched while the debug-mode watcher sleeps through
  // ticks that would find its file unchanged; a change wakes it (timerDebug_Timer). The first:
  // the folder of the file the path leads to, for the file and its log; then the folder of each
  // symbolic link on the path, for the link.
  std::vector<std::unique_ptr<FolderWatch>> SuiteWatches;
  std::vector<EventLoop::WatchId> SuiteWatchIds;
};

// Exit statuses of the command line.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitRefused = 2;
// FormLoad's result when the process is to stay in service mode and run the event loop.
inline constexpr int kEnterServiceMode = -1;

// Start-up of the process: single-instance rule, then the command line ("-install...",
// "-install_noMsg", "-uninstall", or nothing for service mode). args is the whole argument string.
// Returns an exit status, or kEnterServiceMode after the service host's Run has been called.
// The single-instance lock is that of the installation folder AppPath.
// REQUIRES: lock is not yet acquired; it stays held for the life of the process.
int FormLoad(Module& m, const std::string& args, InstanceLock& lock, Console& console);

// The service host's State event: 2 start, 0 stop, 1 pause, 3 resume; any other value is ignored.
void dartSvc_State(Module& m);

// The health file's text, and its writing when the book changed since the last write (a failure
// is logged once an hour and the write tried again the next minute).
std::string HealthFileText(const Module& m, int pid, DateTime written);
void HealthFileWrite(Module& m);
// The service host's Error event: nothing is done with it.
void dartSvc_Error(Module& m, int number, const std::string& description);

// Reads Quorlan.ini from AppPath into rt.Ini, after resetting every setting to its default.
// Reports a value that does not convert under "ReadIni" and keeps what was applied before it.
void ReadIni(Runtime& rt);
// ReadIni's reading without its report, for the programs beside the service (quorlan-trendctl):
// resets ini and applies the Quorlan.ini of app_path; returns the description of the error that
// stopped the reading, or "" when there was none.
std::string ReadIniSettings(const std::string& app_path, IniSettings& ini);

// Configures and activates one SNMP component ("snmpAgent", "snmpManager" or "snmpMgrV3",
// without regard to case; other names do nothing) and writes its block of Debug/T-Services.txt:
// the agent's block creates the file anew, the managers' blocks are appended. Reports its errors
// under "ServiceOpen_" followed by the name as passed.
void ServiceOpen_(Module& m, const std::string& component);
// Deactivates one SNMP component if it is active.
void ServiceClose_(Module& m, const std::string& component);

// The tick handlers of the two timers: the poll scheduler and the debug-mode watcher of the
// polling layer.
void timerPoll_Timer(Module& m);
void timerDebug_Timer(Module& m);

// Starts the self-monitoring (at the start, with the other timers): the counts so far become the
// base of the first minute, and timerMonitor is set to tick at the next second kMonitorSecond of
// a minute at least 5 s away; each run sets the next one the same way, about kMonitorPeriodMs on.
void MonitorStart(Module& m);
// The self-monitoring's minute: commits the recorder's open batch, takes the figures, then sets the
// STATUS= line, replaces the status file and, when Ini.MetricsFile is set, the metrics file
// (relative to AppPath unless absolute, mode 0644: node_exporter reads it as another user, and it
// holds counts only). Measures its own CPU time into Monitor. Never throws.
void timerMonitor_Timer(Module& m);

// Connects the events of snmpManager and snmpMgrV3 to their handlers (Response, BadPacket, Error,
// DiscoveryResponse, Report), and detaches them again. Called by the Module's constructor and
// destructor.
void ConnectManagerEvents(Module& m);
void DisconnectManagerEvents(Module& m);

// Has the loop read the answers to a burst of requests a millisecond at a time while more than
// one is outstanding (EventLoop::SetCoalesceMs): a few wake-ups a burst instead of one for each
// answer. The service's main sets its loop up so; the bench does the same.
void CoalesceAnswers(Module& m, EventLoop& loop);

// The process entry point of quorlan-trend. Returns the exit status.
int ServiceMain(int argc, char** argv);

}  // namespace quorlan
