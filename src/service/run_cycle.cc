#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent.h"
#include "components/platform/platform.h"
#include "service/service.h"

namespace quorlan {
namespace {

constexpr int kDebugTimerPeriodMs = 30000;

// A timer period; like the platform's timers, a negative period is an invalid value and 0 stops it.
void SetTimerPeriod(Timer& timer, int16_t period) {
  if (period < 0) {
    throw RuntimeError(380, fmt::format("Invalid property value: timer period {} ms", period));
  }
  timer.SetInterval(period);
}

// A stop asked for during the start ends the start before its next step, so that the stop
// sequence follows at once instead of after every remaining database operation.
bool StopAsked(Module& m) { return m.dartSvc.StopRequested(); }

// Opens the agent and both managers. A component that cannot open (its port taken) fails the
// start: each failure has been logged by ServiceOpen_; the host is told which port, the others
// are closed again and the spool's replay is stopped, so that the process ends deaf to nothing.
bool OpenComponents(Module& m) {
  struct Part {
    const char* name;
    std::function<bool()> active;
    std::function<int()> port;
  };
  const Part parts[] = {
      {"snmpAgent", [&m] { return m.snmpAgent.Active(); }, [&m] { return m.Ini.AgentPort; }},
      {"snmpManager", [&m] { return m.snmpManager.Active(); }, [] { return 0; }},
      {"snmpMgrV3", [&m] { return m.snmpMgrV3.Active(); }, [] { return 0; }},
  };
  for (const Part& part : parts) {
    ServiceOpen_(m, part.name);
    if (part.active()) continue;
    const int port = part.port();
    const std::string why = port != 0
                                ? fmt::format(
                                      "Failed: the agent cannot bind UDP port {}: another process "
                                      "holds it (ServerPort + 1 in Quorlan.ini)",
                                      port)
                                : fmt::format("Failed: {} cannot bind a UDP port", part.name);
    for (const char* name : {"snmpAgent", "snmpManager", "snmpMgrV3"}) ServiceClose_(m, name);
    m.SampleRecorder.Stop();
    m.dartSvc.FailStart(why);
    return false;
  }
  try {
    ReplaceFile(m.AppPath + "/" + kAgentFileName,
                fmt::format("pid={}\nport={}\n", ProcessId(), m.snmpAgent.LocalPort()), kFileMode);
  } catch (const RuntimeError& e) {
    // The service polls on; only the console's controls wait for the file.
    AppEvent(m, kModForm, "dartSvc_State", e.what(), kEventError);
  }
  return true;
}

// The start sequence. Only the first start event of a process does anything.
void ServiceStart(Module& m) {
  if (!m.DbConnStringJet.empty()) return;
  // The settings database tells whether the suite database is set up and how to reach it; a
  // failure to read it ends the start here.
  SettingsConsoleRead(m);
  if (!m.SqlDbSetupOk) {
    AppEvent(m, kModForm, "dartSvc_State", "Exit Due to SQL Not Setup OK", kEventError);
    m.dartSvc.SetStatus("Idle: the suite database is not set up (SqlDbSetupOk in Quorlan.mdb)");
    return;
  }
  if (m.DbConnStringSql.empty()) {
    AppEvent(m, kModForm, "dartSvc_State", "Exit Due to No SQL Connection String", kEventError);
    m.dartSvc.SetStatus(
        "Idle: no suite database connection string (DbConnStringSql in Quorlan.mdb)");
    return;
  }
  DebugDirClear(m);
  ReadIni(m);
  m.TrendList.SetSize(m.Ini.MaxTrendReports);
  m.WaitMs(7000);
  if (StopAsked(m)) return;
  SettingsGeneralRead(m);
  if (StopAsked(m)) return;
  VerifiyTrendDataTables(m);
  if (StopAsked(m)) return;
  // Rows an earlier run left in the spool are replayed from the first idle moment on.
  m.SampleRecorder.Start();
  if (!OpenComponents(m)) return;
  m.ServiceStartTime = m.Now();
  SysUpdateSecProfiles(m);
  if (StopAsked(m)) return;
  TrendListCreate(m);
  if (StopAsked(m)) return;
  if (m.DebugMode) {
    DebugTrendList(m);
    DebugFilePrep(m);
  }
  m.LastMessId = 1000000;
  m.LastHour = static_cast<int16_t>(m.Now().Hour());
  SetTimerPeriod(m.timerPoll, MulInt16(2, m.Ini.TimerInterval));
  m.timerPoll.SetEnabled(true);
  m.timerDebug.SetEnabled(true);
  MonitorStart(m);
  m.ServiceState = kServiceRunning;
  AppEvent(m, kModForm, "dartSvc_State",
           std::string("Quorlan Trend Reporting Service Started. Version: ") + kVersion,
           kEventInfo);
}

// The stop sequence: the debug timer keeps running; the agent is still open while the stop event
// is reported, so that event also goes out as a trap.
void ServiceStop(Module& m) {
  m.timerPoll.SetEnabled(false);
  m.timerMonitor.SetEnabled(false);
  m.ServiceState = kServiceStopped;
  AppEvent(m, kModForm, "dartSvc_State", "Quorlan Trend Reporting Service Stopped", kEventInfo);
  m.WaitMs(500);
  ServiceClose_(m, "snmpAgent");
  m.WaitMs(500);
  ServiceClose_(m, "snmpManager");
  m.WaitMs(500);
  ServiceClose_(m, "snmpMgrV3");
  m.WaitMs(500);
  // The managers are closed: no bad packet can follow the counts of the events left out, and no
  // answer a row behind the last batch.
  m.Repeats.Flush(m, true);
  m.SampleRecorder.Stop();
  m.SettingsConnection.reset();
  if (m.DebugMode) DebugMergePoll(m);
}

// The longest the debug-mode watcher sleeps while the watch reports nothing.
constexpr int64_t kDebugSleepMaxMs = 10 * 60 * 1000;

// A name the debug-mode watcher watches in a folder.
struct WatchedName {
  std::string folder, name;
  bool operator==(const WatchedName&) const = default;
};

// What the debug-mode watcher watches of the SQLite suite database the last settings read used.
// First the file its path leads to, symbolic links resolved (SQLite keeps the write-ahead log
// beside that file). Then each name on the path that is itself a symbolic link (the file's own,
// or a folder's, as with current -> releases/3): re-pointing one changes the database without
// touching its file. A link that another link leads to is not watched. Empty for a server
// database.
std::vector<WatchedName> SuiteWatchList(const Module& m) {
  const SuiteConnectionMemo& memo = m.SuiteConnection;
  if (memo.stored != m.DbConnStringSql || memo.sqlite_path.empty()) return {};
  std::error_code error;
  std::filesystem::path path = std::filesystem::canonical(memo.sqlite_path, error);
  if (error) path = memo.sqlite_path;
  std::vector<WatchedName> list{{path.parent_path().string(), path.filename().string()}};
  const std::filesystem::path literal = std::filesystem::absolute(memo.sqlite_path, error);
  if (error) return list;
  std::filesystem::path prefix;
  for (const std::filesystem::path& part : literal) {
    prefix /= part;
    if (!std::filesystem::is_symlink(prefix, error)) continue;
    const std::filesystem::path folder = std::filesystem::canonical(prefix.parent_path(), error);
    if (!error) list.push_back({folder.string(), part.string()});
  }
  return list;
}

bool Watched(const Module& m, const std::vector<WatchedName>& list) {
  if (m.SuiteWatches.size() != list.size()) return false;
  for (size_t k = 0; k < list.size(); ++k) {
    const FolderWatch& w = *m.SuiteWatches[k];
    if (!w.Watching() || w.folder() != list[k].folder || w.names().front() != list[k].name) {
      return false;
    }
  }
  return true;
}

bool WatchesLocal(const Module& m) {
  return std::all_of(m.SuiteWatches.begin(), m.SuiteWatches.end(),
                     [](const std::unique_ptr<FolderWatch>& w) { return w->Local(); });
}

void DropSuiteWatches(Module& m) {
  for (const EventLoop::WatchId id : m.SuiteWatchIds) m.loop.Unwatch(id);
  m.SuiteWatchIds.clear();
  m.SuiteWatches.clear();
}

// Watches the suite database's file and write-ahead log, and the links to it; what cannot be
// watched leaves the database unwatched (the watcher then ticks every 30 s, as without a watch).
void WatchSuiteFiles(Module& m, const std::vector<WatchedName>& list) {
  DropSuiteWatches(m);
  try {
    for (size_t k = 0; k < list.size(); ++k) {
      std::vector<std::string> names{list[k].name};
      if (k == 0) names.push_back(list[k].name + "-wal");
      m.SuiteWatches.push_back(std::make_unique<FolderWatch>(list[k].folder, std::move(names)));
    }
  } catch (const RuntimeError&) {
    m.SuiteWatches.clear();
    return;
  }
  for (const std::unique_ptr<FolderWatch>& w : m.SuiteWatches) {
    FolderWatch* watch = w.get();
    m.SuiteWatchIds.push_back(m.loop.WatchReadable(watch->fd(), [&m, watch] {
      if (watch->Changed()) m.timerDebug.Wake();
    }));
  }
}

}  // namespace

Module::Module(std::string app_path, Clock& clock, EventLoop& loop, ServiceHost& host)
    : ResponseState(std::move(app_path), clock, loop),
      dartSvc(host),
      timerPoll(loop.AddTimer("timerPoll", [this] { timerPoll_Timer(*this); })),
      timerDebug(loop.AddTimer("timerDebug", [this] { timerDebug_Timer(*this); })),
      timerMonitor(loop.AddTimer("timerMonitor", [this] { timerMonitor_Timer(*this); })) {
  EventTraps = &eventTraps;
  Journal = &host;
  AttachAgentHandlers(*this);
  // What the agent sets (a change code, a restart, polling resumed, a node reset) is for the next
  // poll tick: a timer sleeping through idle ticks wakes.
  snmpAgent.OnSetRequest = [this](SnmpAgentRequest& r) {
    SetRequest(*this, r);
    timerPoll.Wake();
  };
  // A step of the wall clock moves the poll boundaries against the monotonic clock.
  WallClockWatch = loop.OnWallClockSet([this] { timerPoll.Wake(); });
  StopRequested = [this] { return dartSvc.StopRequested(); };
  RowsExpected = [this] { return Pending > 0 || PendingV3 > 0; };
  timerDebug.SetInterval(kDebugTimerPeriodMs);
  dartSvc.OnState = [this] { dartSvc_State(*this); };
  dartSvc.OnError = [this](int number, const std::string& text) {
    dartSvc_Error(*this, number, text);
  };
  ConnectManagerEvents(*this);
}

Module::~Module() {
  loop.RemoveWallClockSet(WallClockWatch);
  DropSuiteWatches(*this);
  timerPoll.SetEnabled(false);
  timerDebug.SetEnabled(false);
  timerMonitor.SetEnabled(false);
  EventTraps = nullptr;
  Journal = nullptr;
  dartSvc.OnState = nullptr;
  dartSvc.OnError = nullptr;
  DisconnectManagerEvents(*this);
}

void dartSvc_State(Module& m) {
  const int state = m.dartSvc.State();
  try {
    switch (state) {
      case kStateStart:
        ServiceStart(m);
        break;
      case kStateStop:
        ServiceStop(m);
        break;
      case kStatePause:
        m.SampleRecorder.CommitBatch();
        AppEvent(m, kModForm, "dartSvc_State", "Pause Not Implemented", kEventInfo);
        break;
      case kStateResume:
        AppEvent(m, kModForm, "dartSvc_State", "Resume Not Implemented", kEventInfo);
        break;
      default:
        break;  // other values are ignored without any event
    }
  } catch (const std::exception& e) {
    AppEvent(m, kModForm, "dartSvc_State", e.what(), kEventError);
    if (state == kStateStart) m.dartSvc.SetStatus(std::string("Start failed: ") + e.what());
  }
}

void dartSvc_Error(Module&, int, const std::string&) {}

void timerPoll_Timer(Module& m) {
  timerPoll_Timer(static_cast<PollState&>(m));
  // The ticks that would find nothing to do are slept through: an idle service wakes for its
  // poll boundaries, time-outs and the hour rather than every tick. The tick that ends the sleep
  // is the one that would have found the work.
  const int64_t idle_ms = PollIdleMs(m);
  if (idle_ms > 0) m.timerPoll.SleepUntil(m.clock.MonotonicMs() + idle_ms);
}

// A tick that finds the SQLite file and its log unchanged reads nothing, so the watcher sleeps
// through such ticks: from a tick whose read ran under a working watch of the folder (a change
// during the read is reported, not missed), until the watch reports a change of either file, or
// ten minutes pass (a symbolic link on the file's path is watched too, in its own folder). The tick
// that follows a change reads it. A server database, a file changed less than a second before the
// read, a folder on a network file system (other hosts change it unseen) or a file mounted on its
// own (the folder's watch does not see its writes) keep the 30-second ticks.
void timerDebug_Timer(Module& m) {
  const std::vector<WatchedName> before = SuiteWatchList(m);
  const bool watched = !before.empty() && Watched(m, before);
  timerDebug_Timer(static_cast<PollState&>(m));
  const std::vector<WatchedName> now = SuiteWatchList(m);
  if (now.empty()) return DropSuiteWatches(m);
  if (!Watched(m, now)) return WatchSuiteFiles(m, now);
  if (watched && now == before && m.SettingsReadStamps[0].exists && WatchesLocal(m)) {
    m.timerDebug.SleepUntil(m.clock.MonotonicMs() + kDebugSleepMaxMs);
  }
}

}  // namespace quorlan
