#include "trendlist/loading.h"

#include <fmt/format.h>

#include "diagnostics/diagnostics.h"

namespace quorlan::trendlist {
namespace {

std::string Column(const char* stem, int k) { return fmt::format("{}{}", stem, k); }

// Runs a conversion of one column and names the column in its error.
template <typename F>
auto Converted(const std::string& column, F convert) {
  try {
    return convert();
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(), fmt::format("column {}: {}", column, e.description()));
  }
}

std::string NotNull(const Row& row, const std::string& column) {
  std::optional<std::string> v = row.Field(column);
  if (!v) {
    throw RuntimeError(err::kInvalidUseOfNull,
                       fmt::format("Invalid use of Null: column {} is NULL", column));
  }
  return std::move(*v);
}

// Adds where an error happened ("report 17", "node 4") to its description.
[[noreturn]] void RethrowIn(const std::string& where, const RuntimeError& e) {
  throw RuntimeError(e.number(), fmt::format("{}: {}", where, e.description()));
}

}  // namespace

std::string FieldText(const Row& row, const std::string& column) { return NotNull(row, column); }

int16_t FieldInt16(const Row& row, const std::string& column) {
  const std::string text = NotNull(row, column);
  return Converted(column, [&] { return TextToInt16(text); });
}

int32_t FieldInt32(const Row& row, const std::string& column) {
  const std::string text = NotNull(row, column);
  return Converted(column, [&] { return TextToInt32(text); });
}

bool FieldBool(const Row& row, const std::string& column) {
  const std::string text = NotNull(row, column);
  return Converted(column, [&] { return TextToBool(text); });
}

std::optional<double> FieldNumber(const Row& row, const std::string& column) {
  const std::optional<std::string> v = row.Field(column);
  if (!v) return std::nullopt;
  return Converted(column, [&] { return TextToDouble(*v); });
}

std::string NodeSnapshotQuery() {
  return fmt::format("SELECT TOP ({}) * FROM ATR_Nodes WHERE TrendReports = '1'",
                     kNodeSnapshotLimit);
}

SnapshotNode ReadSnapshotNode(const Row& row, bool with_name) {
  SnapshotNode n;
  n.NodeId = FieldInt32(row, "node_id");
  try {
    if (with_name) n.NodeName = FieldText(row, "node_name");
    const std::optional<std::string> address = row.Field("address");
    n.Address = address && !address->empty() ? *address : "0.0.0.0";
    n.UdpPort = FieldInt16(row, "UdpPort");
    const std::optional<std::string> image = row.Field("image");
    const bool v3 = image && Converted("image", [&] { return TextToBool(*image); });
    n.SnmpVersion = v3 ? 3 : FieldInt16(row, "SnmpVersion");
    n.PollTimeOut = FieldInt16(row, "PollTimeOut");
    n.PollRetries = FieldInt16(row, "PollRetries");
    n.PollType = FieldText(row, "PollType");
    n.ReadComm = FieldText(row, "readcomm");
    n.TrapComm = FieldText(row, "trapcomm");
    n.PollSnmpV3User = FieldText(row, "StreetAddress");
  } catch (const RuntimeError& e) {
    RethrowIn(fmt::format("ATR_Nodes node_id {}", n.NodeId), e);
  }
  return n;
}

const SnapshotNode* FindNode(const NodeSnapshot& nodes, double node_id) {
  for (const SnapshotNode& n : nodes) {
    if (static_cast<double>(n.NodeId) == node_id) return &n;
  }
  return nullptr;
}

const SnapshotNode* FindNodeOfRow(const NodeSnapshot& nodes, const Row& report) {
  const std::optional<double> id = FieldNumber(report, "NodeId");
  return id ? FindNode(nodes, *id) : nullptr;
}

namespace {

bool IsPolledWord(const std::string& poll_type) {
  return EqualsNoCase(poll_type, kPollTypeSnmpStatus) || EqualsNoCase(poll_type, kPollTypeSnmpPoll);
}

}  // namespace

std::string DecidePollType(const std::string& node_poll_type, bool any_alarm) {
  if (!IsPolledWord(node_poll_type)) return node_poll_type;
  return any_alarm ? kPollTypeSnmpStatus : kPollTypeSnmpPoll;
}

bool AnyTriggerAlarm(const Row& report) {
  bool any = false;
  for (int k = 1; k <= kTrendObjects; ++k) {
    const std::string column = Column("TriggerAlarm", k);
    const std::optional<std::string> v = report.Field(column);
    if (v && Converted(column, [&] { return TextToBool(*v); })) any = true;
  }
  return any;
}

namespace {

void LoadObjects(Runtime& rt, TrendListEntry& e, const Row& r, float& conv) {
  e.PollNumObjects = 0;
  for (int k = 1; k <= kTrendObjects; ++k) {
    e.PollObjId[k] = FieldText(r, Column("ObjId", k));
    e.PollObjName[k] = FieldText(r, Column("ObjName", k));
    e.PollObjType[k] = FieldInt16(r, Column("ObjType", k));
    e.PollObjEval[k] = FieldText(r, Column("ObjEval", k));
    e.PollSampledValue[k] = -1;
    e.PollSavedValue[k] = 0;
    e.PollTriggerAlarm[k] = FieldBool(r, Column("TriggerAlarm", k));
    e.PollTriggerExpr[k] = FieldText(r, Column("TriggerExpr", k));
    e.PollTriggerValueText[k] = FieldText(r, Column("TriggerValue", k));
    ConvTriggerValue(rt, e.PollTriggerValueText[k], conv);
    e.PollTriggerValue[k] = conv;
    e.PollTriggerStatus[k] = false;
    // Counts the non-empty ids wherever they stand: a gap still counts the objects after it.
    if (!e.PollObjId[k].empty()) ++e.PollNumObjects;
  }
}

// The node's poll type with the polled words decided by the report's alarm columns, which are
// read only then.
std::string PollTypeOf(const SnapshotNode& node, const Row& r) {
  if (!IsPolledWord(node.PollType)) return node.PollType;
  return DecidePollType(node.PollType, AnyTriggerAlarm(r));
}

int32_t IntervalSeconds(const Row& r) {
  const int32_t minutes = FieldInt32(r, "PollInterval");
  return Converted("PollInterval", [&] { return ToInt32(static_cast<double>(minutes) * 60); });
}

}  // namespace

void LoadEntry(Runtime& rt, TrendListEntry& e, const Row& r, const SnapshotNode& node,
               float& conv) {
  const int32_t report_id = FieldInt32(r, "ReportId");
  try {
    e.ReportId = report_id;
    e.ReportTitle = FieldText(r, "ReportTitle");
    e.NodeId = node.NodeId;
    e.NodeName = FieldText(r, "NodeName");
    e.Address = node.Address;
    e.UdpPort = node.UdpPort;
    e.SnmpVersion = node.SnmpVersion;
    e.ReadComm = node.ReadComm;
    e.TrapComm = node.TrapComm;
    e.PollInterval = IntervalSeconds(r);
    e.PollTimeOut = node.PollTimeOut;
    e.PollRetries = node.PollRetries;
    e.PollType = PollTypeOf(node, r);
    e.PollSnmpV3User = node.PollSnmpV3User;
    LoadObjects(rt, e, r, conv);
    e.PollEngineId.clear();
    e.PollEngineBoots = 0;
    e.PollEngineTime = 0;
    e.PollMessId = 0;
    e.PollTimeOutTime = rt.Now();
    e.PollRetryTimes = 0;
    e.PollPending = false;
  } catch (const RuntimeError& ex) {
    RethrowIn(fmt::format("TrendReports ReportId {}", report_id), ex);
  }
}

void EditNodeFields(TrendListEntry& e, const Row& r, const SnapshotNode& node) {
  e.NodeId = node.NodeId;
  e.NodeName = FieldText(r, "NodeName");
  e.Address = node.Address;
  e.UdpPort = node.UdpPort;
  e.SnmpVersion = node.SnmpVersion;
  e.ReadComm = node.ReadComm;
  e.TrapComm = node.TrapComm;
  e.PollInterval = IntervalSeconds(r);
  e.PollTimeOut = node.PollTimeOut;
  e.PollRetries = node.PollRetries;
  if (!EqualsNoCase(e.PollType, kPollTypeDeleted)) e.PollType = PollTypeOf(node, r);
  e.PollSnmpV3User = node.PollSnmpV3User;
}

void EditReportFields(Runtime& rt, TrendListEntry& e, const Row& r, float& conv) {
  e.ReportTitle = FieldText(r, "ReportTitle");
  for (int k = 1; k <= kTrendObjects; ++k) {
    e.PollObjName[k] = FieldText(r, Column("ObjName", k));
    e.PollSampledValue[k] = -1;
    e.PollSavedValue[k] = 0;
    e.PollTriggerAlarm[k] = FieldBool(r, Column("TriggerAlarm", k));
    e.PollTriggerExpr[k] = FieldText(r, Column("TriggerExpr", k));
    e.PollTriggerValueText[k] = FieldText(r, Column("TriggerValue", k));
    ConvTriggerValue(rt, e.PollTriggerValueText[k], conv);
    e.PollTriggerValue[k] = conv;
  }
}

void SyncNodeFields(TrendListEntry& e, const SnapshotNode& node) {
  e.Address = node.Address;
  e.UdpPort = node.UdpPort;
  e.SnmpVersion = node.SnmpVersion;
  e.PollTimeOut = node.PollTimeOut;
  e.PollRetries = node.PollRetries;
  if (!EqualsNoCase(e.PollType, kPollTypeDeleted)) {
    bool any_alarm = false;
    for (int k = 1; k <= kTrendObjects; ++k) any_alarm = any_alarm || e.PollTriggerAlarm[k];
    e.PollType = DecidePollType(node.PollType, any_alarm);
  }
  e.ReadComm = node.ReadComm;
  e.TrapComm = node.TrapComm;
  e.PollSnmpV3User = node.PollSnmpV3User;
}

int16_t FindEntryByReportId(const TrendState& st, std::optional<double> report_id) {
  if (!report_id) return 0;
  for (int16_t i = 1; i <= st.TrendListCount; ++i) {
    if (static_cast<double>(st.TrendList[i].ReportId) == *report_id) return i;
  }
  return 0;
}

std::string SqlQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

}  // namespace quorlan::trendlist
