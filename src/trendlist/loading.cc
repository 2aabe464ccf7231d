#include "trendlist/loading.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

#include "diagnostics/diagnostics.h"

namespace quorlan::trendlist {
namespace {

std::string Column(const char* stem, int k) { return fmt::format("{}{}", stem, k); }

// Adds where an error happened ("TrendReports ReportId 17") to its description.
[[noreturn]] void RethrowIn(const std::string& where, const RuntimeError& e) {
  throw RuntimeError(e.number(), fmt::format("{}: {}", where, e.description()));
}

std::string Text(const Row& r, const std::string& column) { return r.Field(column).AsString(); }
int16_t Int16(const Row& r, const std::string& column) { return r.Field(column).AsInt16(); }
// A UDP port: 0 to 65535.
int32_t Port(const Row& r, const std::string& column) {
  const int32_t port = r.Field(column).AsInt32();
  if (port < 0 || port > 65535) {
    throw RuntimeError(err::kOverflow,
                       fmt::format("Overflow: {} is not a UDP port (field {})", port, column));
  }
  return port;
}
int32_t Int32(const Row& r, const std::string& column) { return r.Field(column).AsInt32(); }
bool Bool(const Row& r, const std::string& column) { return r.Field(column).AsBool(); }

}  // namespace

bool IsRowValueError(const RuntimeError& e) {
  return e.number() == err::kInvalidUseOfNull || e.number() == err::kTypeMismatch ||
         e.number() == err::kOverflow;
}

std::string ReportName(const Row& report) {
  const FieldValue id = report.Field("ReportId");
  return "TrendReports ReportId " + (id.IsNull() ? std::string("NULL") : id.AsString());
}

std::optional<int64_t> WholeNumber(const Row& row, const std::string& column) {
  try {
    const std::optional<double> number = FieldNumber(row, column);
    if (!number || *number != static_cast<double>(static_cast<int64_t>(*number))) {
      return std::nullopt;
    }
    return static_cast<int64_t>(*number);
  } catch (const RuntimeError&) {
    return std::nullopt;
  }
}

std::string IdCondition(const std::string& column, std::vector<int64_t> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  std::vector<std::string> parts;
  std::vector<int64_t> singles;
  for (size_t i = 0; i < ids.size();) {
    size_t j = i;
    while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1) ++j;
    if (j - i >= 2) {
      parts.push_back(fmt::format("{} BETWEEN {} AND {}", column, ids[i], ids[j]));
    } else {
      for (size_t k = i; k <= j; ++k) singles.push_back(ids[k]);
    }
    i = j + 1;
  }
  if (singles.size() == 1) parts.push_back(fmt::format("{} = {}", column, singles[0]));
  if (singles.size() > 1)
    parts.push_back(fmt::format("{} IN ({})", column, fmt::join(singles, ", ")));
  return parts.size() == 1 ? parts[0] : fmt::format("({})", fmt::join(parts, " OR "));
}

std::optional<double> FieldNumber(const Row& row, const std::string& column) {
  const FieldValue f = row.Field(column);
  if (f.IsNull()) return std::nullopt;
  return f.AsDouble();
}

std::string NodeSnapshotQuery(int limit) {
  return fmt::format("SELECT TOP ({}) * FROM ATR_Nodes WHERE TrendReports = '1'", limit);
}

SnapshotNode ReadSnapshotNode(const Row& row, bool with_name) {
  SnapshotNode n;
  try {
    n.NodeId = Int32(row, "node_id");
  } catch (const RuntimeError& e) {
    RethrowIn("ATR_Nodes", e);
  }
  try {
    if (with_name) n.NodeName = Text(row, "node_name");
    const FieldValue address = row.Field("address");
    n.Address = address.IsNull() || address.AsString().empty() ? "0.0.0.0" : address.AsString();
    n.UdpPort = Port(row, "UdpPort");
    // A NULL image is not true; SnmpVersion is read only when image is not true.
    const FieldValue image = row.Field("image");
    n.SnmpVersion = !image.IsNull() && image.AsBool() ? 3 : Int16(row, "SnmpVersion");
    n.PollTimeOut = Int16(row, "PollTimeOut");
    n.PollRetries = Int16(row, "PollRetries");
    n.PollType = Text(row, "PollType");
    n.ReadComm = Text(row, "readcomm");
    n.TrapComm = Text(row, "trapcomm");
    n.PollSnmpV3User = Text(row, "StreetAddress");
  } catch (const RuntimeError& e) {
    RethrowIn(fmt::format("ATR_Nodes node_id {}", n.NodeId), e);
  }
  return n;
}

const SnapshotNode* FindNode(const NodeSnapshot& nodes, double node_id) {
  for (const SnapshotNode& n : nodes.nodes) {
    if (static_cast<double>(n.NodeId) == node_id) return &n;
  }
  return nullptr;
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
    const FieldValue alarm = report.Field(Column("TriggerAlarm", k));
    if (!alarm.IsNull() && alarm.AsBool()) any = true;
  }
  return any;
}

namespace {

void LoadObjects(Runtime& rt, TrendListTable& list, TrendListEntry& e, const Row& r, double& conv) {
  e.PollNumObjects = 0;
  for (int k = 1; k <= kTrendObjects; ++k) {
    e.PollObjId[k] = list.Intern(Text(r, Column("ObjId", k)));
    e.PollObjName[k] = list.Intern(Text(r, Column("ObjName", k)));
    e.PollObjType[k] = Int16(r, Column("ObjType", k));
    e.PollObjEval[k] = list.Intern(Text(r, Column("ObjEval", k)));
    e.PollSampledValue[k] = -1;
    e.PollSavedValue[k] = 0;
    e.PollTriggerAlarm[k] = Bool(r, Column("TriggerAlarm", k));
    e.PollTriggerExpr[k] = list.Intern(Text(r, Column("TriggerExpr", k)));
    e.PollTriggerValueText[k] = list.Intern(Text(r, Column("TriggerValue", k)));
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

// A new SNMP version forgets the engine learnt under the old one.
void SetSnmpVersion(TrendListEntry& e, int16_t version) {
  if (e.SnmpVersion == version) return;
  e.SnmpVersion = version;
  e.PollEngineId = SharedText();
  e.PollEngineBoots = 0;
  e.PollEngineTime = 0;
}

int32_t IntervalSeconds(const Row& r) {
  const int32_t minutes = Int32(r, "PollInterval");
  try {
    return ToInt32(static_cast<double>(minutes) * 60);
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(),
                       fmt::format("{} (field PollInterval times 60)", e.description()));
  }
}

}  // namespace

void LoadEntry(Runtime& rt, TrendListTable& list, TrendListEntry& e, const Row& r,
               const SnapshotNode& node, double& conv) {
  e.ReportId = Int32(r, "ReportId");
  e.ReportTitle = Text(r, "ReportTitle");
  e.NodeId = node.NodeId;
  e.NodeName = list.Intern(Text(r, "NodeName"));
  e.Address = list.Intern(node.Address);
  e.UdpPort = node.UdpPort;
  e.SnmpVersion = node.SnmpVersion;
  e.ReadComm = list.Intern(node.ReadComm);
  e.TrapComm = list.Intern(node.TrapComm);
  e.PollInterval = IntervalSeconds(r);
  e.PollTimeOut = node.PollTimeOut;
  e.PollRetries = node.PollRetries;
  e.PollType = list.Intern(PollTypeOf(node, r));
  e.PollSnmpV3User = list.Intern(node.PollSnmpV3User);
  LoadObjects(rt, list, e, r, conv);
  e.PollEngineId = SharedText();
  e.PollEngineBoots = 0;
  e.PollEngineTime = 0;
  e.PollMessId = 0;
  e.PollTimeOutTime = rt.Now();
  e.PollRetryTimes = 0;
  e.PollPending = false;
  e.PollCountedV3 = false;
  e.PollCountedLate = false;
}

void EditNodeFields(TrendListTable& list, TrendListEntry& e, const Row& r,
                    const SnapshotNode& node) {
  e.NodeId = node.NodeId;
  e.NodeName = list.Intern(Text(r, "NodeName"));
  e.Address = list.Intern(node.Address);
  e.UdpPort = node.UdpPort;
  SetSnmpVersion(e, node.SnmpVersion);
  e.ReadComm = list.Intern(node.ReadComm);
  e.TrapComm = list.Intern(node.TrapComm);
  e.PollInterval = IntervalSeconds(r);
  e.PollTimeOut = node.PollTimeOut;
  e.PollRetries = node.PollRetries;
  if (!EqualsNoCase(e.PollType, kPollTypeDeleted)) e.PollType = list.Intern(PollTypeOf(node, r));
  e.PollSnmpV3User = list.Intern(node.PollSnmpV3User);
}

void EditReportFields(Runtime& rt, TrendListTable& list, TrendListEntry& e, const Row& r,
                      double& conv) {
  e.ReportTitle = Text(r, "ReportTitle");
  for (int k = 1; k <= kTrendObjects; ++k) {
    e.PollObjName[k] = list.Intern(Text(r, Column("ObjName", k)));
    e.PollSampledValue[k] = -1;
    e.PollSavedValue[k] = 0;
    e.PollTriggerAlarm[k] = Bool(r, Column("TriggerAlarm", k));
    e.PollTriggerExpr[k] = list.Intern(Text(r, Column("TriggerExpr", k)));
    e.PollTriggerValueText[k] = list.Intern(Text(r, Column("TriggerValue", k)));
    ConvTriggerValue(rt, e.PollTriggerValueText[k], conv);
    e.PollTriggerValue[k] = conv;
  }
}

void SyncNodeFields(TrendListTable& list, TrendListEntry& e, const SnapshotNode& node) {
  e.Address = list.Intern(node.Address);
  e.UdpPort = node.UdpPort;
  SetSnmpVersion(e, node.SnmpVersion);
  e.PollTimeOut = node.PollTimeOut;
  e.PollRetries = node.PollRetries;
  if (!EqualsNoCase(e.PollType, kPollTypeDeleted)) {
    bool any_alarm = false;
    for (int k = 1; k <= kTrendObjects; ++k) any_alarm = any_alarm || e.PollTriggerAlarm[k];
    e.PollType = list.Intern(DecidePollType(node.PollType, any_alarm));
  }
  e.ReadComm = list.Intern(node.ReadComm);
  e.TrapComm = list.Intern(node.TrapComm);
  e.PollSnmpV3User = list.Intern(node.PollSnmpV3User);
}

int16_t FindEntryByReportId(const TrendState& st, std::optional<double> report_id) {
  if (!report_id) return 0;
  for (int16_t i = 1; i <= st.TrendListCount; ++i) {
    if (static_cast<double>(st.TrendList[i].ReportId) == *report_id) return i;
  }
  return 0;
}

}  // namespace quorlan::trendlist
