// Pieces of the console that its own files share and its tests reach; not for other layers.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "components/snmp/snmp.h"
#include "console/console.h"
#include "storage/storage.h"

namespace quorlan::console {

// Wrong usage or input: reported as one line, exit status 2, nothing changed.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// --- Arguments ---

struct OptionDef {
  const char* name;  // "--title"; a short alias may follow in alias
  bool takes_value;
  const char* alias = nullptr;  // "-o"
};

// A command line after its command words: options in the order given (flags with an empty
// value; "--name value" and "--name=value" alike) and the other words.
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> positionals;
  bool help = false;

  bool Has(const std::string& name) const;
  // The value of the last occurrence.
  std::optional<std::string> Value(const std::string& name) const;
};

// Parses words against the options of command (named in errors). "--help" anywhere sets help.
// Throws UsageError for an unknown option, a missing value, or a password option (passwords are
// never taken from the command line).
ParsedArgs ParseArgs(const std::vector<std::string>& words, const std::vector<OptionDef>& defs,
                     const std::string& command);
// Exactly n positionals, named in the error ("REPORT").
void RequirePositionals(const ParsedArgs& a, const std::vector<std::string>& names,
                        const std::string& command);

// A secret (a password) from the first line of file, or of standard input for "-"; UsageError
// naming what when the file cannot be read.
std::string SecretFromFile(ConsoleIo& io, const std::string& file, const std::string& what);

// A whole number within [low, high], or UsageError naming what.
int64_t ParseWhole(const std::string& text, int64_t low, int64_t high, const std::string& what);
// A time: "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (or with T), "now", or "-N" with unit m, h or d
// (so long before now).
DateTime ParseTime(const std::string& text, DateTime now, const std::string& what);

// Refuses (UsageError naming what) a text longer than max bytes, an empty one when required,
// and one that holds a control character (C0, DEL or C1: tabs and line breaks break the lists
// and the logs, escape sequences take over terminals).
void CheckText(const std::string& text, size_t max, const std::string& what, bool required);

// --- Text output ---

// The text with each control character (C0, DEL, C1) as "?": text from the database or a log
// shown on a terminal, where an escape sequence would act instead of showing.
std::string Printable(std::string_view text);

// An aligned table: a header line, then one line per row; columns two blanks apart, those marked
// in right aligned, cells Printable. Trailing blanks are cut.
std::string FormatTable(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows,
                        const std::vector<bool>& right = {});
// One line of such a table, for columns of the given widths (bytes), ended by a line feed.
std::string TableLine(const std::vector<std::string>& row, const std::vector<size_t>& width,
                      const std::vector<bool>& right);

// --- CSV (RFC 4180) ---

// "ab,c" -> "\"ab,c\"".
std::string CsvField(const std::string& text);
// One record of a CSV file and the line it starts on (from 1).
struct CsvRecord {
  int line = 0;
  std::vector<std::string> fields;
};
// The records of file (CRLF or LF line ends, quoted fields with "" and line breaks, a UTF-8 byte
// order mark before the first), blank lines left out. Throws UsageError when the file cannot be
// read or a quoted field does not end.
std::vector<CsvRecord> ReadCsv(const std::string& file);
// The records after the header as options: each non-empty field becomes "--<column>" with its
// text, in the header's order. Throws UsageError, naming the line, for a column not in columns
// and for a record whose field count differs from the header's.
std::vector<std::pair<int, ParsedArgs>> CsvAsOptions(const std::vector<CsvRecord>& records,
                                                     const std::vector<std::string>& columns);

// --- JSON for scripts (--json) ---

// Prints j as one line; bytes that are not UTF-8 become U+FFFD.
void PrintJson(ConsoleIo& io, const nlohmann::ordered_json& j);

// --- The installation ---

// The pid of the process holding the installation's instance lock (the running service), 0 when
// no process holds it, nullopt when that cannot be told (/proc/locks unreadable).
std::optional<int> ServicePid(const std::string& dir);

// Why user must not trust path: "" when only user (or root's group) can change it, else a text
// naming the owner ("/opt/q/Quorlan.mdb belongs to user bob (uid 1000)"), the group or every
// user that can write it. A world-writable folder with the sticky bit (/tmp) counts as safe: no
// other user can replace what user owns in it. A path that does not exist gives "".
std::string OthersCanWrite(const std::string& path, uid_t user);
// Refuses (RuntimeError) to go on as root when another user can write Quorlan.mdb, Quorlan.ini,
// the installation folder dir or a folder above it: whoever can change them could make the
// console load code of theirs (a driver named in the connection string, say) as root. Does
// nothing for other users.
void RefuseRootOnUntrustedFiles(const std::string& dir);

// One installation folder: its settings, and connections to its suite database.
class Installation {
 public:
  // Reads Quorlan.ini and Quorlan.mdb of dir. Throws UsageError when dir holds no installation,
  // RuntimeError when Quorlan.mdb cannot be read.
  Installation(const std::string& dir, Clock& clock, EventLoop& loop);

  const std::string& dir() const { return st_.AppPath; }
  const IniSettings& ini() const { return st_.Ini; }
  Clock& clock() { return st_.clock; }
  EventLoop& loop() { return st_.loop; }
  DateTime Now() { return st_.clock.Now(); }
  // A new connection to the suite database (OpenSuiteConnection).
  std::unique_ptr<Connection> Open();
  // What the installation's spool holds (ReadSpoolStatus).
  SpoolStatus Spool() { return ReadSpoolStatus(st_); }

 private:
  StorageState st_;
};

// --- The agent of the running service ---

// SNMPv1 Get and Set with the installation's communities on 127.0.0.1 at its agent port.
class AgentClient {
 public:
  explicit AgentClient(Installation& inst);
  ~AgentClient();
  AgentClient(const AgentClient&) = delete;
  AgentClient& operator=(const AgentClient&) = delete;

  std::string Address() const;
  // The values of the objects as text, in order. Throws RuntimeError when no answer came (after
  // one resend) or the agent answered with an error status.
  std::vector<std::string> Get(const std::vector<std::string>& oids);
  // Sets one INTEGER object. Throws RuntimeError as Get; an error status is named
  // ("badValue").
  void Set(const std::string& oid, int32_t value);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Tells the running service of the installation about a database change: change code 1, 2 or 3
// through the agent, or with rebuild a restart of polling (ServiceState 1, which rebuilds the
// trend list). Prints what happened; returns kExitOk or kExitNotTold.
int TellService(Installation& inst, ConsoleIo& io, int change_code, bool rebuild = false);

// --- The suite rows ---

inline constexpr int kMaxObjects = 6;
inline constexpr int16_t kCounterType = 3;

struct Node {
  int32_t id = 0;
  std::string name;
  std::string address;
  int32_t port = 161;
  int16_t version = 2;  // 1, 2, or 3 (stored as image = 1)
  std::string read_community = "public";
  std::string trap_community = "public";
  std::string v3_user;  // StreetAddress
  int16_t timeout = 5;
  int16_t retries = 2;
  std::string poll_type = "SnmpPoll";
  bool trend = true;  // TrendReports
};

struct ReportObject {
  std::string oid;
  std::string name;
  int16_t type = 0;  // kCounterType for a counter
  std::string eval;
  bool trigger = false;
  std::string op;         // TriggerExpr
  std::string threshold;  // TriggerValue
};

struct Report {
  int32_t id = 0;
  std::string title;
  int32_t node_id = 0;
  std::string node_name;
  int32_t interval = 5;               // minutes
  std::vector<ReportObject> objects;  // 1 to 6, without gaps
  std::string db_changed = "0";
};

struct Profile {
  int32_t id = 0;
  bool enabled = true;
  std::string user;
  int16_t level = 0;
  std::string auth_password;
  int16_t auth_protocol = 0;
  std::string priv_password;
  int16_t priv_protocol = 0;
};

std::vector<Node> ReadNodes(Connection& conn);
std::vector<Report> ReadReports(Connection& conn);
std::vector<Profile> ReadProfiles(Connection& conn);
// The node with that id or (case-insensitive, unique) name; UsageError otherwise.
const Node& FindNode(const std::vector<Node>& nodes, const std::string& id_or_name);
// The report with that id (not one being removed); UsageError otherwise.
const Report& FindReport(const std::vector<Report>& reports, const std::string& id);

// The column assignments of a row, as (column, literal) pairs in the connection's dialect.
std::vector<std::pair<std::string, std::string>> NodeColumns(const Connection& conn, const Node& n);
std::vector<std::pair<std::string, std::string>> ReportColumns(const Connection& conn,
                                                               const Report& r);
std::vector<std::pair<std::string, std::string>> ProfileColumns(const Connection& conn,
                                                                const Profile& p);
// "UPDATE table SET a = x, b = y WHERE key = id"
std::string UpdateStatement(const std::string& table, const std::string& key, int64_t id,
                            const std::vector<std::pair<std::string, std::string>>& columns);

// Runs work inside one transaction: committed when it returns, rolled back when it throws.
void InTransaction(Connection& conn, const std::function<void()>& work);

// The threshold of a trigger as the service reads it (a number with an optional K, M or G
// suffix, powers of 1000); nullopt when the service could not read it.
std::optional<double> ThresholdValue(const std::string& text);
// The trigger operators the service knows.
inline constexpr std::array<const char*, 6> kTriggerOperators = {"=", "!", "<", ">", "<=", ">="};
// Whether the trigger holds for value.
bool TriggerHolds(const std::string& op, double value, double threshold);

// --- Asking a node ---

// A node asked with its own settings (address, port, version, community or the SNMPv3 profile
// of its user, time-out) through the service's SNMP manager, blocking on the installation's loop.
class NodeProbe {
 public:
  // Throws UsageError when an SNMPv3 node's user names no enabled profile.
  NodeProbe(Installation& inst, const Node& node, const std::vector<Profile>& profiles);
  ~NodeProbe();
  NodeProbe(const NodeProbe&) = delete;
  NodeProbe& operator=(const NodeProbe&) = delete;

  // "node 1 'core-1' at 10.0.0.1:161 (v2c, time-out 5 s)"
  std::string Target() const;
  // The answer to one GET (next: GETNEXT) of oids; an SNMPv3 node's engine is discovered first.
  // Throws RuntimeError naming the node when no answer came within its time-out, or an SNMPv3
  // Report ended the request.
  SnmpResponse Ask(const std::vector<std::string>& oids, bool next);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Why answer r leaves object i (from 0) without a value: the error status that names it (or
// names none), or the type of an absent value ("noSuchObject", "noSuchInstance", "NULL"); ""
// when it has one.
std::string ObjectFault(const SnmpResponse& r, int i);

// --check of report add and set: asks node n for r's objects in one GET and throws UsageError
// naming the first object it gives no value, or the node's silence.
void CheckObjectsOnNode(Installation& inst, const Node& n, const std::vector<Profile>& profiles,
                        const Report& r);

// --- Samples ---

struct Sample {
  DateTime time;
  std::array<int64_t, kMaxObjects> values{};
};
// The table of a report's interval: "TrendData5"; UsageError for an interval without one.
std::string TrendTable(const Report& r);
// The samples of report r from since to until (both included; none: no bound).
struct SampleRange {
  std::optional<DateTime> since;
  std::optional<DateTime> until;
};
// What a range holds, from one aggregate query: the number of samples, the first and last time,
// and the lowest and highest value of each of the report's objects (for column widths and the
// frame of a plot, before the rows are read). first, last, low and high are 0 without samples.
struct SampleSummary {
  int64_t count = 0;
  DateTime first;
  DateTime last;
  std::array<int64_t, kMaxObjects> low{};
  std::array<int64_t, kMaxObjects> high{};
};
SampleSummary SummarizeSamples(Connection& conn, const Report& r, const SampleRange& range);
// Calls visit with each sample of the range, oldest first, one row at a time: nothing of the
// range is held, however many rows it has. Throws RuntimeError for a time that does not read.
void ForEachSample(Connection& conn, const Report& r, const SampleRange& range,
                   const std::function<void(const Sample&)>& visit);

// A point of a plot's lines, and whether the line joins it to the point before (a missed poll,
// more than two intervals without a sample, breaks the line).
struct PlotPoint {
  Sample sample;
  bool joined = false;
};
// The points of a plot of the range whose area is columns pixels wide, read as ForEachSample
// reads: every sample when the range holds no more than columns, else for each column's span of
// time the first, lowest, highest and last value of each object, so the lines still cover what
// every sample would, with at most 4 x columns points. REQUIRES: columns > 0.
std::vector<PlotPoint> ReadPlotPoints(Connection& conn, const Report& r, const SampleRange& range,
                                      const SampleSummary& summary, int columns);

// The width in pixels of the area that DrawPlot draws the lines in, for a picture width pixels
// wide.
int PlotColumns(int width);
// Draws the points of r into a PNG or SVG file (by the name's ending) of width x height pixels:
// one line per object, time and value axes, the objects' names as legend, the enabled triggers'
// thresholds as dashed lines in their object's colour, and the report's title. Throws
// RuntimeError when the file cannot be written. REQUIRES: points is not empty.
void DrawPlot(const Report& r, const std::vector<PlotPoint>& points, const std::string& file,
              int width, int height);

// --- Commands (each returns its exit status) ---

struct Context {
  Clock& clock;
  EventLoop& loop;
  ConsoleIo& io;
  std::string dir;  // the installation folder (-d or the current folder)
};

// The actions of a table command (node, report, profile), each given the open installation and
// the parsed words after the action's name.
struct TableActions {
  using Action = std::function<int(Installation&, const ParsedArgs&)>;
  Action list, add, set, remove;
  // For nouns that offer them: import FILE.csv and export (empty: not offered).
  Action import, export_;
};
// Runs "NOUN list|add|set|remove|import|export ...": parses the words after the action with
// options (list: --json only; import and export: none), prints help on --help, refuses any other
// action, opens the installation and runs the action. Throws UsageError for what it refuses.
int RunTableCommand(Context& ctx, const std::vector<std::string>& words, const std::string& noun,
                    const std::vector<OptionDef>& options, const char* help,
                    const TableActions& actions);

int NodeCommand(Context& ctx, const std::vector<std::string>& words);
// node test NODE [OID...] and node walk NODE [OID]: a holds the words after test or walk.
int NodeTest(Context& ctx, Installation& inst, const ParsedArgs& a);
int NodeWalk(Context& ctx, Installation& inst, const ParsedArgs& a);

int ReportCommand(Context& ctx, const std::vector<std::string>& words);
int ProfileCommand(Context& ctx, const std::vector<std::string>& words);
int StatusCommand(Context& ctx, const std::vector<std::string>& words);
// pause, resume, reset-node
int ControlCommand(Context& ctx, const std::string& name, const std::vector<std::string>& words);
int ShowCommand(Context& ctx, const std::vector<std::string>& words);
int ExportCommand(Context& ctx, const std::vector<std::string>& words);
int PlotCommand(Context& ctx, const std::vector<std::string>& words);
int WatchCommand(Context& ctx, const std::vector<std::string>& words);
int AlarmsCommand(Context& ctx, const std::vector<std::string>& words);

// --- The running service's health file ---

// The health file the running service wrote last; nullopt when there is none, it cannot be read,
// or an earlier run left it (its pid is not the lock holder's).
std::optional<nlohmann::json> ReadHealth(const std::string& dir);
// A report's cell of `report list`: "row <time>", "no row yet", or the last problem when it is
// not older than the last row; "" without a health file.
std::string ReportHealthText(const std::optional<nlohmann::json>& health, int report_id);
// A node's cell of `node list`: whether it answers and since when; "" without a health file.
std::string NodeHealthText(const std::optional<nlohmann::json>& health, int node_id);
// One line for `status`: reports with a problem, nodes not answering, alarms raised.
std::string HealthSummary(const std::optional<nlohmann::json>& health);
// init (with --demo) and upgrade.
int InitCommand(Context& ctx, const std::vector<std::string>& words);
int UpgradeCommand(Context& ctx, const std::vector<std::string>& words);

// Seeds the installation with the demo: a node for the service's own agent and a 1-minute report
// on it (a counter with an expression, and the service state with a trigger), and when an SNMP
// agent answers on 127.0.0.1:161 with community public, a node and report for it. Prints what it
// added.
void SeedDemo(Installation& inst, ConsoleIo& io);

// Adds rows, returning the new key (used by the commands and the demo).
int32_t InsertNode(Connection& conn, const Node& n);
int32_t InsertReport(Connection& conn, const Report& r);

}  // namespace quorlan::console
