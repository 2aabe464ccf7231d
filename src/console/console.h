// The console: quorlan-trendctl, the operator's tool beside the service. It creates installations
// (with a demo), edits the suite database's nodes, trend reports and SNMPv3 security profiles,
// reads and controls a running service through its built-in agent, and shows the recorded
// samples as tables, CSV and plots.
//
// Database: every command works on one installation folder (the current folder unless -d names
// another), reads its Quorlan.mdb for the suite database's connection string and reaches that
// database through the storage layer, so the same commands work on the embedded SQLite database
// and on SQL Server. It writes what the suite's editor writes: the columns of ATR_Nodes,
// TrendReports and SecProfiles that the service reads, and TrendReports.DbChanged '1' for a report
// added, '2' for one edited and '3' for one to delete.
//
// Telling the service: after a change the console writes the change code (1, 2 or 3) through the
// agent (SNMPv1 Set of 1.3.6.1.4.1.32473.1.19.1.1.1.0 with the write community of Quorlan.ini, on
// 127.0.0.1 at ServerPort + 1), so the running service applies it at its next poll tick. An object
// of a report (its OID, counter flag or expression) is only read by a full build of the service's
// trend list, so a change of one makes the console restart polling instead (ServiceState 1), which
// rebuilds the list. A service that is not running needs no telling: it reads everything at its
// start. A paused one (ServiceState 2) rebuilds the list when it resumes. A running service whose
// agent does not answer or refuses the Set is reported on stderr with exit status 3; the database
// change stays.
//
// Input: every command checks all of its input before it changes anything; a wrong value is one
// line on stderr and exit status 2, with the database unchanged.
//
// Exit statuses: 0 done; 1 failed (database, files, a service that does not run where it must);
// 2 wrong usage or input; 3 the database was changed but the running service could not be told
// (and for status: the service does not run).
//
// Threads: one. The agent is reached with the SNMP manager in blocking mode on the event loop
// handed in, which keeps delivering that loop's other events while it waits (a test runs the
// service's Module on the same loop).
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "components/platform/platform.h"

namespace quorlan::console {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotTold = 3;

// What a command reads and writes besides the installation.
struct ConsoleIo {
  std::ostream& out;
  std::ostream& err;
  // Asks for a secret on the terminal without echo; nullopt when there is no terminal.
  std::function<std::optional<std::string>(const std::string& prompt)> ReadSecret;
  // Standard input, for "--auth-password-file -".
  std::function<std::string()> ReadStdin;
  // True once the operator asked to stop (SIGINT, SIGTERM): ends `watch`.
  std::function<bool()> StopRequested;
  // The folder used when no -d is given (the current folder).
  std::string current_folder = ".";
};

// Runs one command line of quorlan-trendctl (the arguments after the program's name) and returns
// its exit status. Never throws: failures are written to io.err.
// REQUIRES: clock and loop are those of this thread.
int RunTrendctl(const std::vector<std::string>& args, Clock& clock, EventLoop& loop, ConsoleIo& io);

// The line colours of plots, object 1 first, as 0xRRGGBB.
inline constexpr unsigned kPlotColors[6] = {0x1f77b4, 0xd62728, 0x2ca02c,
                                            0x9467bd, 0xff7f0e, 0x17becf};

}  // namespace quorlan::console
