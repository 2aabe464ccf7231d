// Events caused from the network, logged a few per minute, cause and source, and the managers'
// BadPacket and Error events. None of these events changes polling state (a request whose answer
// was malformed waits for its time-out like one that got none).
#include <fmt/format.h>

#include "polling/polling.h"

namespace quorlan {
namespace {

constexpr int64_t kEventWindowMs = 60000;

constexpr const char* kManagerBadPacket = "snmpManager_BadPacket";
constexpr const char* kMgrV3BadPacket = "snmpMgrV3_BadPacket";
constexpr const char* kOtherSources = "other addresses";

bool WindowEnded(const EventWindow& w, DateTime now) {
  // A clock set back also ends the window.
  return now < w.start || now.Millis() - w.start.Millis() >= kEventWindowMs;
}

// Writes the count of the events the window left out, if any, as one line.
void Summarize(PollState& st, const EventWindowKey& key, const EventWindow& w) {
  if (w.left_out == 0) return;
  const auto& [procedure, cause, source] = key;
  AppEvent(st, kModForm, procedure,
           fmt::format("{} more {}{} in the minute from {} were not logged", w.left_out, cause,
                       source.empty() ? "" : " from " + source, w.start.FormatTimeStamp()),
           w.event_type);
}

// The window of the key, opened now when there is none (or the old one has ended); a source
// without a window of its own once kMaxEventWindows are open shares the window of other
// addresses.
EventWindow& WindowOf(PollState& st, EventWindowKey key, int16_t event_type, DateTime now) {
  if (st.EventWindows.size() >= kMaxEventWindows && !std::get<2>(key).empty() &&
      !st.EventWindows.contains(key)) {
    std::get<2>(key) = kOtherSources;
  }
  auto it = st.EventWindows.find(key);
  if (it != st.EventWindows.end() && WindowEnded(it->second, now)) {
    Summarize(st, it->first, it->second);
    st.EventWindows.erase(it);
    it = st.EventWindows.end();
  }
  if (it != st.EventWindows.end()) return it->second;
  return st.EventWindows[key] = EventWindow{now, 0, 0, event_type};
}

}  // namespace

void LogLimitedEvent(PollState& st, const std::string& procedure, const std::string& cause,
                     const std::string& source, const std::string& message, int16_t event_type) {
  try {
    EventWindow& w = WindowOf(st, {procedure, cause, source}, event_type, st.Now());
    if (w.logged >= kBadPacketsPerMinute) {
      ++w.left_out;
      return;
    }
    ++w.logged;
    AppEvent(st, kModForm, procedure, message, event_type);
  } catch (const std::exception& e) {
    AppEvent(st, kModForm, procedure, e.what(), kEventError);
  }
}

void snmpManager_BadPacket(PollState& st, const SnmpBadPacket& b) {
  LogLimitedEvent(st, kManagerBadPacket, "bad packets", "",
                  fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text), kEventInfo);
}

void snmpMgrV3_BadPacket(PollState& st, const SnmpBadPacket& b) {
  LogLimitedEvent(st, kMgrV3BadPacket, "bad packets", "",
                  fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text), kEventInfo);
}

void snmpManager_Error(PollState&, int, const std::string&) {}

void snmpMgrV3_Error(PollState&, int, const std::string&) {}

void BadPacketSummaries(PollState& st, bool all) {
  const DateTime now = st.Now();
  for (auto it = st.EventWindows.begin(); it != st.EventWindows.end();) {
    if (!all && !WindowEnded(it->second, now)) {
      ++it;
      continue;
    }
    Summarize(st, it->first, it->second);
    it = st.EventWindows.erase(it);
  }
}

}  // namespace quorlan
