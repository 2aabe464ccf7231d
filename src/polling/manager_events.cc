// The managers' BadPacket and Error events. Bad packets are logged, a few per manager and minute;
// none of these events changes polling state (a request whose answer was malformed waits for its
// time-out like one that got none).
#include <fmt/format.h>

#include "polling/polling.h"

namespace quorlan {
namespace {

constexpr RepeatRule kBadPacketRule{kBadPacketsPerMinute, 60000, "minute"};

constexpr const char* kManagerBadPacket = "snmpManager_BadPacket";
constexpr const char* kMgrV3BadPacket = "snmpMgrV3_BadPacket";

void LogBadPacket(PollState& st, const char* procedure, const SnmpBadPacket& b) {
  st.Repeats.Log(st, kBadPacketRule, procedure, kModForm, procedure,
                 fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text), kEventInfo,
                 "bad packets");
}

}  // namespace

void snmpManager_BadPacket(PollState& st, const SnmpBadPacket& b) {
  LogBadPacket(st, kManagerBadPacket, b);
}

void snmpMgrV3_BadPacket(PollState& st, const SnmpBadPacket& b) {
  LogBadPacket(st, kMgrV3BadPacket, b);
}

void snmpManager_Error(PollState&, int, const std::string&) {}

void snmpMgrV3_Error(PollState&, int, const std::string&) {}

}  // namespace quorlan
