// Inside the trend list: the node snapshot and the rules that load and update entries from a
// node row and a report row. Shared by the full build, the change passes and the node
// synchronisation; they read rows through the small Row interface so the rules stay apart from
// the database client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trendlist/trendlist.h"

namespace quorlan::trendlist {

// One row of a result set: fields by column name, without regard to case.
class Row {
 public:
  virtual ~Row() = default;
  // The field's value as text; nullopt for NULL. Throws RuntimeError when the column is missing.
  virtual std::optional<std::string> Field(const std::string& column) const = 0;
};

// Conversions of a field. A NULL is an "Invalid use of Null" error naming the column; a text
// that does not convert or does not fit is a type-mismatch or overflow error naming the column.
std::string FieldText(const Row& row, const std::string& column);
int16_t FieldInt16(const Row& row, const std::string& column);
int32_t FieldInt32(const Row& row, const std::string& column);
bool FieldBool(const Row& row, const std::string& column);
// A number for comparisons: nullopt for NULL (a NULL equals nothing).
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

// An SQL string literal: the text in single quotes, each single quote doubled.
std::string SqlQuote(const std::string& text);

}  // namespace quorlan::trendlist
