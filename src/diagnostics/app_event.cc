#include <fmt/format.h>

#include "components/platform/platform.h"
#include "diagnostics/diagnostics.h"

namespace quorlan {

std::string BlankControls(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return out;
}

std::string FormatTimeStamp(Runtime& rt) { return rt.Now().FormatTimeStamp(); }

void AppEvent(Runtime& rt, const std::string& module, const std::string& procedure,
              const std::string& message, int16_t event_type) {
  const std::string line =
      fmt::format("{}\t{}\t{}_{}\t{}{}", FormatTimeStamp(rt), event_type, BlankControls(module),
                  BlankControls(procedure), BlankControls(message), kCrLf);
  try {
    AppendToFile(rt.DebugFile("T-AppEvent.txt"), line);
  } catch (const RuntimeError&) {
    return;  // no log, no trap: the event is dropped without trace
  }
  if (rt.EventTraps != nullptr) {
    rt.EventTraps->SendAppEventTrap(module, procedure, message, event_type);
  }
}

namespace {

// True when the line starts with a valid "YYYY-MM-DD" date less than 60 day boundaries before
// today (later dates count as recent).
bool IsRecentLine(const std::string& line, int64_t today) {
  if (line.size() <= 10) return false;
  DateTime date;
  if (!ParseDateTime(line.substr(0, 10), &date)) return false;
  return today - date.DayNumber() < 60;
}

}  // namespace

void DebugDirClear_AE(Runtime& rt) {
  const std::string log = rt.DebugFile("T-AppEvent.txt");
  const std::string bak = rt.DebugFile("T-AppEvent.bak");
  try {
    if (!FileExists(log)) return;
    if (FileExists(bak)) {
      DeleteFile(bak);
      rt.WaitMs(200);  // events delivered meanwhile may still append to the live log
    }
    RenameFile(log, bak);
    // From here to the end nothing yields, so no event can be logged in between.
    const std::vector<std::string> lines = ReadLines(bak);
    const int64_t today = rt.Now().DayNumber();
    std::string kept;
    for (const std::string& line : lines) {
      if (IsRecentLine(line, today)) kept += line + kCrLf;
    }
    WriteNewFile(log, kept);
    DeleteFile(bak);
  } catch (const RuntimeError& e) {
    AppEvent(rt, kModShared, "DebugDirClear_AE", e.description(), kEventError);
  }
}

}  // namespace quorlan
