// Events caused from the network, logged a few per minute, cause and source, and the managers'
// BadPacket and Error events. None of these events changes polling state (a request whose answer
// was malformed waits for its time-out like one that got none).
#include <fmt/format.h>

#include "polling/polling.h"

namespace quorlan {
namespace {

constexpr RepeatRule kPerMinute{kBadPacketsPerMinute, 60000, "minute"};

constexpr const char* kManagerBadPacket = "snmpManager_BadPacket";
constexpr const char* kMgrV3BadPacket = "snmpMgrV3_BadPacket";
constexpr const char* kOtherSources = "other addresses";

// The kind of a window: procedure, cause and source, which no name contains a unit separator of.
std::string WindowKind(const std::string& procedure, const std::string& cause,
                       const std::string& source) {
  return procedure + '\x1f' + cause + '\x1f' + source;
}

}  // namespace

void LogLimitedEvent(PollState& st, const std::string& procedure, const std::string& cause,
                     const std::string& source, const std::string& message, int16_t event_type) {
  try {
    std::string kind = WindowKind(procedure, cause, source);
    std::string from = source;
    // A source without a window of its own once kMaxEventWindows are open shares the window of
    // other addresses, so that a flood from spoofed addresses holds bounded memory.
    if (!source.empty() && st.Repeats.OpenCount() >= kMaxEventWindows &&
        !st.Repeats.IsOpen(kind)) {
      from = kOtherSources;
      kind = WindowKind(procedure, cause, from);
    }
    st.Repeats.Log(st, kPerMinute, kind, kModForm, procedure, message, event_type,
                   from.empty() ? cause : cause + " from " + from);
  } catch (const std::exception& e) {
    AppEvent(st, kModForm, procedure, e.what(), kEventError);
  }
}

void snmpManager_BadPacket(PollState& st, const SnmpBadPacket& b) {
  st.Counters.CountBadPacket(PacketSource::kManager);
  LogLimitedEvent(st, kManagerBadPacket, "bad packets", "",
                  fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text), kEventInfo);
}

void snmpMgrV3_BadPacket(PollState& st, const SnmpBadPacket& b) {
  st.Counters.CountBadPacket(PacketSource::kMgrV3);
  LogLimitedEvent(st, kMgrV3BadPacket, "bad packets", "",
                  fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text), kEventInfo);
}

void snmpManager_Error(PollState&, int, const std::string&) {}

void snmpMgrV3_Error(PollState&, int, const std::string&) {}

}  // namespace quorlan
