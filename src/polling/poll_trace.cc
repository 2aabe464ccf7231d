// The rows of the poll and response trace files, and their merge into T-PollStatus.txt.
#include <fmt/format.h>

#include "components/platform/platform.h"
#include "polling/polling.h"

namespace quorlan {
namespace {

// The output of the merge is written in blocks of about this size, so that a large trace file is
// never held whole.
constexpr size_t kMergeBlockBytes = 1 << 20;

// One field; control characters become blanks, so that a tab or a line break in a name (or a
// binary engine id) neither shifts the row's fields nor splits it.
void AddField(std::string& row, std::string_view value) {
  row += '\t';
  row += BlankControls(value);
}

void AddObjectGroup(std::string& row, const TrendListEntry& e, int k, PollRowObjects form) {
  AddField(row, e.PollObjId[k]);
  AddField(row, e.PollObjName[k]);
  AddField(row, std::to_string(e.PollObjType[k]));
  AddField(row, e.PollObjEval[k]);
  AddField(row, FormatWholeNumber(e.PollSampledValue[k]));
  AddField(row, form == PollRowObjects::kNoReply ? FormatDoublePrecision(e.PollSavedValue[k])
                                                 : FormatWholeNumber(e.PollSavedValue[k]));
  AddField(row, FormatBool(e.PollTriggerAlarm[k]));
  AddField(row, e.PollTriggerExpr[k]);
  AddField(row, form == PollRowObjects::kResponse ? e.PollTriggerValueText[k].str()
                                                  : FormatDoublePrecision(e.PollTriggerValue[k]));
  AddField(row, FormatBool(e.PollTriggerStatus[k]));
}

bool StartsWithTime(const std::string& line) {
  return line.size() >= 4 && EqualsNoCase(std::string_view(line).substr(0, 4), "Time");
}

// Appends one trace file's lines to the output file, dropping its own header line.
void CopyTraceFile(const std::string& from, const std::string& to) {
  LineReader reader(from);
  std::string line;
  if (!reader.Next(&line)) {
    throw RuntimeError(err::kPathFileAccess, fmt::format("read {}: the file has no line", from));
  }
  std::string block;
  if (!StartsWithTime(line)) block = line + kCrLf;
  while (reader.Next(&line)) {
    block += line;
    block += kCrLf;
    if (block.size() >= kMergeBlockBytes) {
      AppendToFile(to, block);
      block.clear();
    }
  }
  if (!block.empty()) AppendToFile(to, block);
}

}  // namespace

std::string PollTraceRow(PollState& st, const TrendListEntry& e, std::string_view action,
                         std::string_view engine_id, PollRowObjects objects) {
  std::string row = FormatTimeStamp(st);
  AddField(row, action);
  AddField(row, e.PollType);
  AddField(row, std::to_string(e.PollInterval));
  AddField(row, std::to_string(e.ReportId));
  AddField(row, e.ReportTitle);
  AddField(row, std::to_string(e.NodeId));
  AddField(row, e.NodeName);
  AddField(row, e.Address);
  AddField(row, std::to_string(e.PollMessId));
  AddField(row, std::to_string(e.SnmpVersion));
  AddField(row, engine_id);
  AddField(row, std::to_string(e.PollEngineBoots));
  AddField(row, std::to_string(e.PollEngineTime));
  AddField(row, std::to_string(st.Pending));
  AddField(row, std::to_string(st.PendingV3));
  for (int k = 1; k <= kTrendObjects; ++k) AddObjectGroup(row, e, k, objects);
  return row;
}

std::string EngineIdText(std::string_view engine_id) {
  std::string text;
  for (const char c : engine_id) fmt::format_to(std::back_inserter(text), "{:X}", uint8_t(c));
  return text;
}

void DebugMergePoll(Runtime& rt) {
  try {
    const std::string out = rt.DebugFile(kTracePollStatus);
    WriteNewFile(out, DebugPollHeader() + kCrLf);
    for (const char* name : {kTraceSnmpPoll, kTraceSnmpPollV3, kTraceSnmpResp, kTraceSnmpRespV3}) {
      const std::string path = rt.DebugFile(name);
      if (!FileExists(path)) continue;
      CopyTraceFile(path, out);
      DeleteFile(path);
    }
  } catch (const std::exception& e) {
    AppEvent(rt, kModShared, "DebugMergePoll", e.what(), kEventError);
  }
}

}  // namespace quorlan
