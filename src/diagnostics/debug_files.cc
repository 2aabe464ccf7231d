// The set of debug trace files: their headers, their creation and their daily clearing.
#include <fmt/format.h>

#include "components/platform/platform.h"
#include "diagnostics/diagnostics.h"

namespace quorlan {
namespace {

constexpr const char* kPollHeadNames[] = {"Time",        "Action",     "PollType", "PollInt",
                                          "RepId",       "RepTitle",   "DevId",    "Name",
                                          "Address",     "MessId",     "SnmpVer",  "EngineId",
                                          "EngineBoots", "EngineTime", "Pending",  "PendingV3"};
constexpr const char* kPollObjectNames[] = {
    "ObjOid",   "ObjName",      "ObjType",     "ObjEval",      "SampledVal",
    "SavedVal", "TriggerAlarm", "TriggerExpr", "TriggerValue", "TriggerStatus"};
constexpr const char* kTrapNames[] = {"Time",         "DevId",      "DevName",    "ReportId",
                                      "ReportTitle",  "ObjectName", "SavedValue", "TriggerExpr",
                                      "TriggerValue", "TrapId"};

void Add(std::string& line, const std::string& name) {
  if (!line.empty()) line += '\t';
  line += name;
}

// Deletes the file of the Debug folder when it exists.
void DeleteIfExists(Runtime& rt, const char* name) {
  const std::string path = rt.DebugFile(name);
  if (FileExists(path)) DeleteFile(path);
}

}  // namespace

std::string DebugPollHeader() {
  std::string line;
  for (const char* name : kPollHeadNames) Add(line, name);
  for (int n = 1; n <= 6; ++n) {
    for (const char* name : kPollObjectNames) Add(line, fmt::format("{}{}", name, n));
  }
  return line;
}

std::string DebugTrapHeader() {
  std::string line;
  for (const char* name : kTrapNames) Add(line, name);
  return line;
}

void AppendTraceLine(Runtime& rt, const std::string& name, const std::string& line,
                     const char* module, const std::string& procedure) {
  try {
    AppendToFile(rt.DebugFile(name), line + kCrLf);
  } catch (const RuntimeError& e) {
    rt.Repeats.Log(rt, kOncePerHour, "trace " + name, module, procedure,
                   fmt::format("Trace row not written to {}: {}", name, e.description()),
                   kEventError, "failures to write " + name);
  }
}

void DebugDirClear(Runtime& rt) {
  try {
    DeleteMatching(rt.AppPath + "/Debug", "T-Snmp*.txt");
    for (const char* name :
         {kTraceSnmpTrap, kTracePollStatus, kTraceTrendList, kTraceDiscEngineId}) {
      DeleteIfExists(rt, name);
    }
  } catch (const std::exception& e) {
    AppEvent(rt, kModShared, "DebugDirClear", e.what(), kEventError);
  }
}

void DebugFilePrep(Runtime& rt) {
  try {
    WriteNewFile(rt.DebugFile(kTraceSnmpTrap), DebugTrapHeader() + kCrLf);
    const std::string header = DebugPollHeader() + kCrLf;
    for (const char* name : {kTraceSnmpPoll, kTraceSnmpPollV3, kTraceSnmpResp, kTraceSnmpRespV3}) {
      WriteNewFile(rt.DebugFile(name), header);
    }
  } catch (const std::exception& e) {
    AppEvent(rt, kModShared, "DebugFilePrep", e.what(), kEventError);
  }
}

}  // namespace quorlan
