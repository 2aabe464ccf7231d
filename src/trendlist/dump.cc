// The trend list dump, Debug/T-TrendList.txt.
#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <vector>

#include "components/platform/platform.h"
#include "diagnostics/diagnostics.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace {

constexpr const char* kHeadColumns[] = {"ReportId", "ReportTitle",   "NodeId",      "NodeName",
                                        "Address",  "UdpPort",       "SnmpVersion", "ReadComm",
                                        "TrapComm", "PollInterval",  "PollTimeOut", "PollRetries",
                                        "PollType", "PollSnmpV3User"};
constexpr const char* kObjectColumns[] = {
    "PollObjId",        "PollObjName",      "PollObjType",      "PollObjEval",
    "PollSampledValue", "PollSavedValue",   "PollTriggerAlarm", "PollTriggerExpr",
    "PollTriggerValue", "PollTriggerStatus"};
constexpr const char* kTailColumns[] = {"PollNumObjects", "PollEngineId", "PollEngineBoots",
                                        "PollEngineTime", "PollMessId",   "PollTimeOutTime",
                                        "PollRetryTimes", "PollPending",  "PollNextTime"};

void AddColumn(std::string& line, const std::string& value) {
  if (!line.empty()) line += '\t';
  line += value;
}

// The fields joined by tabs, control characters (a tab in a title, a binary engine id) written as
// blanks so that each entry stays one line of its columns.
std::string JoinTabs(const std::vector<std::string>& values) {
  std::string line;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += '\t';
    line += BlankControls(values[i]);
  }
  return line;
}

}  // namespace

std::string FormatDoublePrecision(double v) {
  if (!std::isfinite(v)) return FormatSinglePrecision(static_cast<float>(v));
  const double magnitude = std::fabs(v);
  if (magnitude <= std::numeric_limits<float>::max()) {
    const float f = static_cast<float>(v);
    if (static_cast<double>(f) == v) return FormatSinglePrecision(f);
  }
  if (magnitude >= 1e-5 && magnitude < 1e15) {
    std::string s = fmt::format("{:.15g}", v);
    if (s.find('e') == std::string::npos) return s;
  }
  std::string s = fmt::format("{:.14E}", v);  // d.ddddddddddddddE+xx
  const size_t e = s.find('E');
  std::string mantissa = s.substr(0, e);
  while (mantissa.back() == '0') mantissa.pop_back();
  if (mantissa.back() == '.') mantissa.pop_back();
  return mantissa + s.substr(e);
}

std::string TrendListDumpHeader() {
  std::string line;
  for (const char* c : kHeadColumns) AddColumn(line, c);
  for (int k = 1; k <= kTrendObjects; ++k) {
    for (const char* c : kObjectColumns) AddColumn(line, fmt::format("{}{}", c, k));
  }
  for (const char* c : kTailColumns) AddColumn(line, c);
  return line;
}

std::string TrendListDumpLine(const TrendListEntry& e) {
  std::vector<std::string> v = {std::to_string(e.ReportId),
                                e.ReportTitle,
                                std::to_string(e.NodeId),
                                e.NodeName,
                                e.Address,
                                std::to_string(e.UdpPort),
                                std::to_string(e.SnmpVersion),
                                e.ReadComm,
                                e.TrapComm,
                                std::to_string(e.PollInterval),
                                std::to_string(e.PollTimeOut),
                                std::to_string(e.PollRetries),
                                e.PollType,
                                e.PollSnmpV3User};
  for (int k = 1; k <= kTrendObjects; ++k) {
    v.insert(
        v.end(),
        {e.PollObjId[k], e.PollObjName[k], std::to_string(e.PollObjType[k]), e.PollObjEval[k],
         FormatDoublePrecision(e.PollSampledValue[k]), FormatDoublePrecision(e.PollSavedValue[k]),
         FormatBool(e.PollTriggerAlarm[k]), e.PollTriggerExpr[k],
         FormatDoublePrecision(e.PollTriggerValue[k]), FormatBool(e.PollTriggerStatus[k])});
  }
  v.insert(v.end(),
           {std::to_string(e.PollNumObjects), e.PollEngineId, std::to_string(e.PollEngineBoots),
            std::to_string(e.PollEngineTime), std::to_string(e.PollMessId),
            e.PollTimeOutTime.FormatDateTime(), std::to_string(e.PollRetryTimes),
            FormatBool(e.PollPending), e.PollNextTime.FormatDateTime()});
  return JoinTabs(v);
}

void DebugTrendList(TrendState& st) {
  try {
    const std::string header = TrendListDumpHeader();
    // The block is built whole and appended in one write: a failure leaves no partial block.
    std::string block = fmt::format("{}\tMib_sysTrendChanged={}{}{}{}", FormatTimeStamp(st),
                                    st.Mib_sysTrendChanged, kCrLf, header, kCrLf);
    const int16_t count = st.TrendListCount;
    for (int16_t i = 1; i <= count; ++i) block += TrendListDumpLine(st.TrendList[i]) + kCrLf;
    block += kCrLf;
    block += kCrLf;
    AppendToFile(st.DebugFile("T-TrendList.txt"), block);
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "DebugTrendList", ex.what(), kEventError);
  }
}

}  // namespace quorlan
