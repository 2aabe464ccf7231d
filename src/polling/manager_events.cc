// The managers' BadPacket and Error events. Bad packets are logged, a few per manager and minute;
// none of these events changes polling state (a request whose answer was malformed waits for its
// time-out like one that got none).
#include <fmt/format.h>

#include "polling/polling.h"

namespace quorlan {
namespace {

constexpr int64_t kBadPacketWindowMs = 60000;

constexpr const char* kManagerBadPacket = "snmpManager_BadPacket";
constexpr const char* kMgrV3BadPacket = "snmpMgrV3_BadPacket";

bool WindowEnded(const BadPacketWindow& w, DateTime now) {
  // A clock set back also ends the window.
  return now < w.start || now.Millis() - w.start.Millis() >= kBadPacketWindowMs;
}

// Closes the window; its count of bad packets left out, if any, becomes one line.
void CloseWindow(PollState& st, BadPacketWindow& w, const char* procedure) {
  if (w.left_out > 0) {
    AppEvent(st, kModForm, procedure,
             fmt::format("{} more bad packets in the minute from {} were not logged", w.left_out,
                         w.start.FormatTimeStamp()),
             kEventInfo);
  }
  w = BadPacketWindow{};
}

void LogBadPacket(PollState& st, BadPacketWindow& w, const char* procedure,
                  const SnmpBadPacket& b) {
  try {
    const DateTime now = st.Now();
    if (w.open && WindowEnded(w, now)) CloseWindow(st, w, procedure);
    if (!w.open) {
      w.open = true;
      w.start = now;
    }
    if (w.logged >= kBadPacketsPerMinute) {
      ++w.left_out;
      return;
    }
    ++w.logged;
    AppEvent(st, kModForm, procedure, fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text),
             kEventInfo);
  } catch (const std::exception& e) {
    AppEvent(st, kModForm, procedure, e.what(), kEventError);
  }
}

}  // namespace

void snmpManager_BadPacket(PollState& st, const SnmpBadPacket& b) {
  LogBadPacket(st, st.BadPacketsV1, kManagerBadPacket, b);
}

void snmpMgrV3_BadPacket(PollState& st, const SnmpBadPacket& b) {
  LogBadPacket(st, st.BadPacketsV3, kMgrV3BadPacket, b);
}

void snmpManager_Error(PollState&, int, const std::string&) {}

void snmpMgrV3_Error(PollState&, int, const std::string&) {}

void BadPacketSummaries(PollState& st, bool all) {
  const DateTime now = st.Now();
  if (st.BadPacketsV1.open && (all || WindowEnded(st.BadPacketsV1, now))) {
    CloseWindow(st, st.BadPacketsV1, kManagerBadPacket);
  }
  if (st.BadPacketsV3.open && (all || WindowEnded(st.BadPacketsV3, now))) {
    CloseWindow(st, st.BadPacketsV3, kMgrV3BadPacket);
  }
}

}  // namespace quorlan
