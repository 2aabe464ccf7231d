// Inside the trend list: the node snapshot and the rules that load and update entries from a
// node row and a report row, shared by the full build, the change passes and the node
// synchronisation. Every conversion of a column raises the storage layer's RuntimeError naming
// the field (NULL where a value is needed, a text that does not convert, a number that does not
// fit: IsRowValueError); the loaders leave such a row out with one event naming its report or
// node and go on with the next row.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "trendlist/trendlist.h"

namespace quorlan::trendlist {

// A report or node row: the current row of a result set, fields by name without regard to case.
using Row = Recordset;

// The column as a number for comparisons: nullopt for NULL (a NULL equals nothing); a text that
// is not a number is a type-mismatch error naming the column.
std::optional<double> FieldNumber(const Row& row, const std::string& column);

// One trend-enabled node as the builders see it.
struct SnapshotNode {
  int32_t NodeId = 0;
  std::string NodeName;     // read only by the node synchronisation
  std::string Address;      // "0.0.0.0" when the column is empty or NULL
  int32_t UdpPort = 0;      // 0 to 65535
  int16_t SnmpVersion = 0;  // 3 when image is true
  int16_t PollTimeOut = 0;
  int16_t PollRetries = 0;
  std::string PollType;
  std::string ReadComm;
  std::string TrapComm;
  std::string PollSnmpV3User;  // column StreetAddress
};

// The node query of every builder: at most limit nodes (the size of the trend list).
std::string NodeSnapshotQuery(int limit);

// The trend-enabled nodes of one run: the loadable rows of the node query, and what is known of
// the rows that could not be loaded (their reports are neither loaded nor taken for reports of
// nodes that are gone).
struct NodeSnapshot {
  std::vector<SnapshotNode> nodes;
  int limit = 0;                    // the most node rows the query reads
  int rows = 0;                     // node rows read, at most limit
  std::set<int32_t> unloadable;     // ids of node rows that could not be loaded
  bool unloadable_unknown = false;  // a node row whose very id could not be read
  // The query reached its limit: trend-enabled nodes may exist beyond it.
  bool Full() const { return rows >= limit; }
};

// True for the errors of a value in one row (NULL, type mismatch, overflow), which leave that row
// out; any other error (a missing column, a driver failure) ends the whole pass.
bool IsRowValueError(const RuntimeError& e);

// Converts one ATR_Nodes row. with_name also reads node_name (the synchronisation). Errors name
// the node: "ATR_Nodes node_id 7: ...".
SnapshotNode ReadSnapshotNode(const Row& row, bool with_name);

// The first node whose id equals the given number; null when none.
const SnapshotNode* FindNode(const NodeSnapshot& nodes, double node_id);

// The poll type an entry takes from its node: the two polled words (any letter case) become
// "SnmpStatus" when any_alarm, else "SnmpPoll"; any other word stays as the node has it.
std::string DecidePollType(const std::string& node_poll_type, bool any_alarm);
// The OR of TriggerAlarm1 to TriggerAlarm6 of a report row, NULL counting as false.
bool AnyTriggerAlarm(const Row& report);

// The report a row belongs to, for messages: "TrendReports ReportId 17" ("NULL" for no id).
std::string ReportName(const Row& report);

// Loads every field of entry e from a report row and its node, with the run-time fields reset.
// conv is the run's conversion variable for trigger values. PollNextTime is left to the caller.
// The texts are taken from list's pool. On an error e is partly written: callers load into
// a copy.
void LoadEntry(Runtime& rt, TrendListTable& list, TrendListEntry& e, const Row& report,
               const SnapshotNode& node, double& conv);

// The node part of an edit: node fields, poll interval and (unless "Deleted") the poll type.
// Like the report part, it may fail half-way: callers edit a copy.
void EditNodeFields(TrendListTable& list, TrendListEntry& e, const Row& report,
                    const SnapshotNode& node);
// The report part of an edit: title, object names, trigger settings, sampled values reset.
void EditReportFields(Runtime& rt, TrendListTable& list, TrendListEntry& e, const Row& report,
                      double& conv);

// The node synchronisation's copy of a node into an entry (name excluded).
void SyncNodeFields(TrendListTable& list, TrendListEntry& e, const SnapshotNode& node);

// The first live entry (1 to count) whose ReportId equals the number; 0 when none.
int16_t FindEntryByReportId(const TrendState& st, std::optional<double> report_id);

// A condition that selects the rows whose column equals one of the ids: "ReportId = 7",
// "ReportId IN (3, 9)", runs of three or more as "ReportId BETWEEN 20 AND 80", joined by OR in
// parentheses. REQUIRES: ids is not empty.
std::string IdCondition(const std::string& column, std::vector<int64_t> ids);
// The ReportId of a row as a whole number, for IdCondition; nullopt when NULL or not one.
std::optional<int64_t> WholeNumber(const Row& row, const std::string& column);

}  // namespace quorlan::trendlist
