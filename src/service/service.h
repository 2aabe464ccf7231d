// The service host side of quorlan-trend: the command line and single-instance rule (FormLoad),
// the service state events with the start and stop sequences (dartSvc_State), and the
// configuration file (ReadIni).
//
// Module is the service's state object: every module-wide value of every layer, the components
// that the hidden form owns (service host, timers) and their event handlers. Everything runs on
// the event loop's one thread.
#pragma once

#include <cstdint>
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

struct Module : ResponseState {
  // REQUIRES: clock, loop and host outlive the module.
  Module(std::string app_path, Clock& clock, EventLoop& loop, ServiceHost& host);
  // Stops the timers and detaches the host's events, which refer to this module.
  ~Module() override;

  // Components of the form.
  ServiceHost& dartSvc;
  Timer& timerPoll;
  Timer& timerDebug;
  AgentEventTraps eventTraps{*this, snmpAgent};
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

// Connects the events of snmpManager and snmpMgrV3 to their handlers (Response, BadPacket, Error,
// DiscoveryResponse, Report), and detaches them again. Called by the Module's constructor and
// destructor.
void ConnectManagerEvents(Module& m);
void DisconnectManagerEvents(Module& m);

// The process entry point of quorlan-trend. Returns the exit status.
int ServiceMain(int argc, char** argv);

}  // namespace quorlan
