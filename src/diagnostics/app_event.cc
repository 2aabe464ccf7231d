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
  if (rt.Journal != nullptr) rt.Journal->Journal(event_type, module + "_" + procedure, message);
  if (rt.EventTraps != nullptr) {
    rt.EventTraps->SendAppEventTrap(module, procedure, message, event_type);
  }
}

namespace {

// True when the line starts with a valid "YYYY-MM-DD" date less than 60 day boundaries before
// today (later dates count as recent). start holds the line's first bytes, longer tells whether
// the line has more than 10 characters.
bool IsRecentLine(const std::string& start, bool longer, int64_t today) {
  if (!longer || start.size() < 10) return false;
  DateTime date;
  if (!ParseDateTime(start.substr(0, 10), &date)) return false;
  return today - date.DayNumber() < 60;
}

// A line of the log is read in pieces of this size, so that the shortening holds a bounded
// amount of the file however long its lines are.
constexpr size_t kPiece = 65536;

// Copies the recent lines of from into the new file to, each ended by CRLF, piece by piece.
void CopyRecentLines(const std::string& from, const std::string& to, int64_t today) {
  LineReader reader(from);
  FileWriter out(to);
  std::string piece;
  bool ends = true;
  bool keep = false;
  while (true) {
    const bool line_start = ends;
    if (!reader.NextPiece(&piece, kPiece, &ends)) break;
    if (line_start) keep = IsRecentLine(piece.substr(0, 10), piece.size() > 10 || !ends, today);
    if (!keep) continue;
    out.Write(piece);
    if (ends) out.Write(kCrLf);
  }
  out.Close();
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
    CopyRecentLines(bak, log, rt.Now().DayNumber());
    DeleteFile(bak);
  } catch (const RuntimeError& e) {
    AppEvent(rt, kModShared, "DebugDirClear_AE", e.description(), kEventError);
  }
}

}  // namespace quorlan
