// The command line of quorlan-trendctl: global options, the commands, init and upgrade.
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "diagnostics/diagnostics.h"

namespace quorlan::console {
namespace {

constexpr const char* kUsage =
    "Usage: quorlan-trendctl [-d DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "The console of quorlan-trend, on the installation in DIR (default: the current folder).\n"
    "\n"
    "Installations:\n"
    "  init DIR [--demo]     create an embedded installation (SQLite) in DIR; --demo adds\n"
    "                        reports that poll the service's own agent and a local snmpd\n"
    "  init DIR --database S an installation whose suite database is on PostgreSQL\n"
    "  upgrade DIR           bring an installation forward to this version (service stopped)\n"
    "Suite database:\n"
    "  node list|add|set|remove|import       the polled nodes (ATR_Nodes)\n"
    "  node test|walk NODE [OID]             ask a node with its own SNMP settings\n"
    "  report list|add|set|remove|import|export  the trend reports (TrendReports)\n"
    "  profile list|add|set|remove    the SNMPv3 security profiles (SecProfiles)\n"
    "The running service, through its agent:\n"
    "  status                whether it runs, its uptime, state and change code, last events\n"
    "  pause | resume        stop polling / restart it with a rebuilt trend list\n"
    "  reset-node ID         restart the counters and alarms of a node's reports\n"
    "  alarms                the alarms raised now (report list and node list show health)\n"
    "Samples:\n"
    "  show REPORT           as an aligned table        export REPORT --csv   as CSV\n"
    "  plot REPORT -o F.png  as a picture (or .svg)     watch                 as recorded\n"
    "\n"
    "COMMAND --help tells more. Exit status: 0 done, 1 failed, 2 wrong usage or input (nothing\n"
    "changed), 3 changed in the database but the running service could not be told.\n";

constexpr const char* kInitHelp =
    "Usage: quorlan-trendctl init DIR [--demo]\n"
    "\n"
    "Creates a ready embedded installation of quorlan-trend in DIR (created when missing): the\n"
    "service executable, the folder Debug, Quorlan.mdb and the SQLite suite database\n"
    "Quorlan-suite.db with its tables, and a commented Quorlan.ini with a write community\n"
    "drawn at random. Only the owner can read the databases and Quorlan.ini. Refuses a folder\n"
    "that already holds an installation. With --demo it also adds a node and a 1-minute report on\n"
    "the service's own agent, and a node and report on the SNMP agent at 127.0.0.1:161 when\n"
    "one answers (SNMPv2c, community public).\n"
    "\n"
    "Usage: quorlan-trendctl init DIR --database ODBC [--password-file F | --ask-password]\n"
    "                             [--demo]\n"
    "\n"
    "Creates the installation with its suite database on PostgreSQL instead: ODBC is a\n"
    "connection string of psqlODBC, such as\n"
    "  \"Driver=PostgreSQL Unicode;Server=db1;Port=5432;Database=quorlan;Uid=quorlan\"\n"
    "The suite and trend-data tables missing from that database are created (in one\n"
    "transaction, with the indexes); those present are checked and kept with their rows. The\n"
    "password is never taken from the command line: --password-file reads the first line of F\n"
    "('-' reads standard input), --ask-password asks on the terminal, and without either\n"
    "PostgreSQL's own ~/.pgpass of the user who runs the service serves. A password given is\n"
    "stored in Quorlan.mdb, which only its owner can read.\n";

constexpr const char* kUpgradeHelp =
    "Usage: quorlan-trendctl upgrade DIR\n"
    "\n"
    "Brings the installation in DIR forward to this version: other local users lose the\n"
    "access that earlier versions gave them to its files (Quorlan.mdb, Quorlan.ini and a\n"
    "SQLite suite database become readable by their owner only, the folders and the logs by\n"
    "owner and group); the SQLite suite database's tables never give an id twice, and its\n"
    "trend-data tables are indexed by report and time. A suite database on PostgreSQL gains the\n"
    "tables and indexes it lacks. Keeps every row. The installation's copy of the service\n"
    "executable is replaced by this version's (the one init copies), keeping its owner and\n"
    "group. The service must be stopped: upgrade refuses a running one.\n";

// The service executable that init copies: beside this program (a build folder), or in ../sbin
// as the Debian package installs it.
std::string ServiceExecutable() {
  const std::string here = ExecutableFolder();
  const std::string beside = here + "/" + kServiceExecutable;
  const std::string sbin = here + "/../sbin/" + kServiceExecutable;
  return !FileExists(beside) && FileExists(sbin) ? sbin : beside;
}

// The password of a PostgreSQL login, from --password-file or the terminal; nullopt when
// neither is asked for (trust, or ~/.pgpass).
std::optional<std::string> DatabasePassword(Context& ctx, const ParsedArgs& a) {
  if (const auto file = a.Value("--password-file")) {
    if (a.Has("--ask-password")) {
      throw UsageError("init: --password-file and --ask-password exclude each other");
    }
    return SecretFromFile(ctx.io, *file, "the database password");
  }
  if (!a.Has("--ask-password")) return std::nullopt;
  const auto p =
      ctx.io.ReadSecret ? ctx.io.ReadSecret("Password of the suite database: ") : std::nullopt;
  if (!p) throw UsageError("init: no terminal to ask for the password; use --password-file");
  return p;
}

// init DIR --database ...: the installation on a PostgreSQL suite database.
std::string InitPostgres(Context& ctx, const ParsedArgs& a, const std::string& database) {
  if (!IsPostgresString(database)) {
    throw UsageError(
        "init: --database takes a connection string of PostgreSQL's ODBC driver "
        "(Driver=PostgreSQL Unicode;Server=...;Port=...;Database=...;Uid=...)");
  }
  if (HoldsPassword(database)) {
    throw UsageError(
        "init: passwords are never taken from the command line; use --password-file, "
        "--ask-password or ~/.pgpass");
  }
  const std::optional<std::string> password = DatabasePassword(ctx, a);
  const std::string stored = password ? WithPostgresPassword(database, *password) : database;
  PostgresSuiteReport report;
  const std::string root =
      CreatePostgresInstallation(a.positionals[0], ServiceExecutable(), stored, &report);
  ctx.io.out << fmt::format("Created an installation in {}\n", root);
  ctx.io.out << fmt::format("Suite database: {} (PostgreSQL)\n", MaskPasswords(stored));
  for (const std::string& line : report.changes) ctx.io.out << "  " << line << "\n";
  if (!report.kept.empty()) {
    std::string kept;
    for (const std::string& t : report.kept) kept += (kept.empty() ? "" : ", ") + t;
    ctx.io.out << "  kept as they were: " << kept << "\n";
  }
  return root;
}

// Puts this version's service executable in place of the installation's copy: written beside it
// under another name, then renamed over it, so that a failure leaves the old copy whole. The new
// copy gets the old one's owner and group (root upgrades installations that a user of their own
// runs). Returns the line that says what was done.
// True when both files exist and hold the same bytes.
bool SameContent(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

std::string ReplaceServiceExecutable(const std::string& dir, const std::string& source) {
  const std::string target = dir + "/" + kServiceExecutable;
  if (IdentityOf(source) == IdentityOf(target) || SameContent(source, target)) {
    return "Service executable: already this one";
  }
  struct stat old {};
  const bool had = ::stat(target.c_str(), &old) == 0;
  const std::string fresh = target + ".upgrade";
  if (FileExists(fresh)) DeleteFile(fresh);
  CopyToNewFile(source, fresh, 0750);
  if (had && geteuid() == 0 && ::chown(fresh.c_str(), old.st_uid, old.st_gid) != 0) {
    const std::string why = std::strerror(errno);
    DeleteFile(fresh);
    throw RuntimeError(err::kComponent,
                       fmt::format("give {} the owner of {}: {}", fresh, target, why));
  }
  RenameFile(fresh, target);
  SyncFolder(dir);
  return fmt::format("Service executable: {} replaced by {}", target, source);
}

}  // namespace

int InitCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words,
                                 {{"--demo", false},
                                  {"--database", true},
                                  {"--password-file", true},
                                  {"--ask-password", false}},
                                 "init");
  if (a.help) {
    ctx.io.out << kInitHelp;
    return kExitOk;
  }
  RequirePositionals(a, {"DIR"}, "init");
  if (a.positionals[0].empty()) throw UsageError("init: DIR is empty");
  std::string root;
  if (const auto database = a.Value("--database")) {
    root = InitPostgres(ctx, a, *database);
  } else {
    if (a.Has("--password-file") || a.Has("--ask-password")) {
      throw UsageError("init: a password goes with --database only");
    }
    root = CreateEmbeddedInstallation(a.positionals[0], ServiceExecutable());
    ctx.io.out << fmt::format("Created an embedded installation in {}\n", root);
    ctx.io.out << fmt::format("Suite database: {}/{} (SQLite)\n", root, kSuiteDatabase);
  }
  if (a.Has("--demo")) {
    Installation inst(root, ctx.clock, ctx.loop);
    SeedDemo(inst, ctx.io);
  }
  return kExitOk;
}

int UpgradeCommand(Context& ctx, const std::vector<std::string>& words) {
  const ParsedArgs a = ParseArgs(words, {}, "upgrade");
  if (a.help) {
    ctx.io.out << kUpgradeHelp;
    return kExitOk;
  }
  RequirePositionals(a, {"DIR"}, "upgrade");
  const std::string& dir = a.positionals[0];
  if (dir.empty()) throw UsageError("upgrade: DIR is empty");
  RefuseRootOnUntrustedFiles(dir);
  // The service's own lock: no upgrade under a running service.
  InstanceLock lock;
  if (!lock.Acquire(dir)) {
    throw RuntimeError(err::kComponent, "the service of " + dir + " is running; stop it first");
  }
  const std::string executable = ServiceExecutable();
  if (!FileExists(executable)) {
    throw RuntimeError(err::kPathNotFound,
                       fmt::format("no service executable at {} to install", executable));
  }
  for (const std::string& line : UpgradeInstallation(dir)) ctx.io.out << line << "\n";
  ctx.io.out << ReplaceServiceExecutable(dir, executable) << "\n";
  return kExitOk;
}

namespace {

int Dispatch(Context& ctx, const std::string& command, const std::vector<std::string>& words) {
  if (command == "init") return InitCommand(ctx, words);
  if (command == "upgrade") return UpgradeCommand(ctx, words);
  if (command == "node") return NodeCommand(ctx, words);
  if (command == "report") return ReportCommand(ctx, words);
  if (command == "profile") return ProfileCommand(ctx, words);
  if (command == "status") return StatusCommand(ctx, words);
  if (command == "pause" || command == "resume" || command == "reset-node") {
    return ControlCommand(ctx, command, words);
  }
  if (command == "show") return ShowCommand(ctx, words);
  if (command == "export") return ExportCommand(ctx, words);
  if (command == "plot") return PlotCommand(ctx, words);
  if (command == "watch") return WatchCommand(ctx, words);
  if (command == "alarms") return AlarmsCommand(ctx, words);
  throw UsageError(fmt::format("unknown command '{}' (see quorlan-trendctl --help)", command));
}

}  // namespace

int RunTrendctl(const std::vector<std::string>& args, Clock& clock, EventLoop& loop,
                ConsoleIo& io) {
  Context ctx{clock, loop, io, io.current_folder};
  size_t i = 0;
  try {
    for (; i < args.size(); ++i) {
      const std::string& w = args[i];
      if ((w == "-d" || w == "--dir") && i + 1 < args.size()) {
        ctx.dir = args[++i];
      } else if (w.rfind("--dir=", 0) == 0) {
        ctx.dir = w.substr(6);
      } else if (w == "-d" || w == "--dir") {
        throw UsageError(w + " needs a folder");
      } else {
        break;
      }
    }
    if (i == args.size() || args[i] == "--help" || args[i] == "-h" || args[i] == "help") {
      (i == args.size() ? io.err : io.out) << kUsage;
      return i == args.size() ? kExitUsage : kExitOk;
    }
    if (args[i] == "--version") {
      io.out << "quorlan-trendctl " << kVersion << "\n";
      return kExitOk;
    }
    return Dispatch(ctx, args[i], {args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()});
  } catch (const UsageError& e) {
    io.err << "quorlan-trendctl: " << Printable(e.what()) << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    io.err << "quorlan-trendctl: " << Printable(e.what()) << "\n";
    return kExitFailure;
  }
}

}  // namespace quorlan::console
