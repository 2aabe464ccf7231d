// Inside the trend list: the node snapshot and the rules that load and update entries from a
// node row and a report row, shared by the full build, the change passes and the node
// synchronisation. Every conversion of a column raises the storage layer's RuntimeError naming
// the field (NULL where a value is needed, a text that does not convert, a number that does not
// fit); the loaders add the report or node it belongs to.
#pragma once

#include <cstdint>
#include <optional>
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
  std::string NodeName;  // read only by the node synchronisation
  std::string Address;   // "0.0.0.0" when the column is empty or NULL
  int16_t UdpPort = 0;
  int16_t SnmpVersion = 0;  // 3 when image is true
  int16_t PollTimeOut = 0;
  int16_t PollRetries = 0;
  std::string PollType;
  std::string ReadComm;
  std::string TrapComm;
  std::string PollSnmpV3User;  // column StreetAddress
};

using NodeSnapshot = std::vector<SnapshotNode>;

// The node query of every builder and its limit.
inline constexpr int kNodeSnapshotLimit = 300;
std::string NodeSnapshotQuery();

// Converts one ATR_Nodes row. with_name also reads node_name (the synchronisation).
SnapshotNode ReadSnapshotNode(const Row& row, bool with_name);

// The first node whose id equals the given number; null when none.
const SnapshotNode* FindNode(const NodeSnapshot& nodes, double node_id);
// The first node matching the row's NodeId column; null when none or NULL.
const SnapshotNode* FindNodeOfRow(const NodeSnapshot& nodes, const Row& report);

// The poll type an entry takes from its node: the two polled words (any letter case) become
// "SnmpStatus" when any_alarm, else "SnmpPoll"; any other word stays as the node has it.
std::string DecidePollType(const std::string& node_poll_type, bool any_alarm);
// The OR of TriggerAlarm1 to TriggerAlarm6 of a report row, NULL counting as false.
bool AnyTriggerAlarm(const Row& report);

// Loads every field of entry e from a report row and its node, with the run-time fields reset.
// conv is the run's conversion variable for trigger values. PollNextTime is left to the caller.
void LoadEntry(Runtime& rt, TrendListEntry& e, const Row& report, const SnapshotNode& node,
               float& conv);

// The node part of an edit: node fields, poll interval and (unless "Deleted") the poll type.
void EditNodeFields(TrendListEntry& e, const Row& report, const SnapshotNode& node);
// The report part of an edit: title, object names, trigger settings, sampled values reset.
void EditReportFields(Runtime& rt, TrendListEntry& e, const Row& report, float& conv);

// The node synchronisation's copy of a node into an entry (name excluded).
void SyncNodeFields(TrendListEntry& e, const SnapshotNode& node);

// The first live entry (1 to count) whose ReportId equals the number; 0 when none.
int16_t FindEntryByReportId(const TrendState& st, std::optional<double> report_id);

}  // namespace quorlan::trendlist
