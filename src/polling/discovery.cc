// SNMPv3 engine discovery: the probe, its answer and the Reports, with their lines in
// T-DiscEngineId.txt.
#include <arpa/inet.h>
#include <fmt/format.h>

#include <limits>

#include "components/platform/platform.h"
#include "polling/polling.h"

namespace quorlan {
namespace {

// Best effort, as every trace: a discovery goes on when its lines cannot be written.
void AppendDiscTrace(PollState& st, const std::string& text, const char* procedure) {
  try {
    AppendToFile(st.DebugFile(kTraceDiscEngineId), text);
  } catch (const RuntimeError& e) {
    st.Repeats.Log(
        st, kOncePerHour, std::string("trace ") + kTraceDiscEngineId, kModForm, procedure,
        fmt::format("Trace row not written to {}: {}", kTraceDiscEngineId, e.description()),
        kEventError, std::string("failures to write ") + kTraceDiscEngineId);
  }
}

int32_t EngineValue(uint32_t value, const char* what) {
  if (value > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    throw RuntimeError(
        err::kOverflow,
        fmt::format("Overflow: engine {} {} does not fit a 32-bit integer", what, value));
  }
  return static_cast<int32_t>(value);
}

// True when the answer came from the entry's target. A numeric address is compared with the
// answer's source; a host name cannot be compared without a name lookup, which the service does
// not make on its event thread, so there the port alone counts (the manager has already checked
// that the answer came from the address the probe was sent to).
bool FromTarget(const TrendListEntry& e, const SnmpDiscovery& d) {
  if (d.source_port != e.UdpPort) return false;
  in_addr target{};
  if (inet_aton(e.Address.c_str(), &target) == 0) return true;
  in_addr source{};
  return inet_aton(d.source_host.c_str(), &source) != 0 && source.s_addr == target.s_addr;
}

// Why the answer is not stored in entry DiscoverIndex; empty when it is stored.
std::string NotStoredBecause(PollState& st, const SnmpDiscovery& d) {
  const int16_t i = st.DiscoverIndex;
  if (i <= 0 || st.DiscoverWaiting != i) return "no discovery under way";
  const TrendListEntry& e = st.TrendList[i];
  if (!FromTarget(e, d)) {
    return fmt::format("not from {}:{}, the target of entry {}", e.Address, e.UdpPort, i);
  }
  return "";
}

void TraceDiscoveryResponse(PollState& st, const SnmpDiscovery& d, const std::string& ignored) {
  std::string text;
  auto line = [&](const std::string& rest) { text += FormatTimeStamp(st) + rest + kCrLf; };
  line(" <-- " + std::string(" DiscoveryResponse"));
  line(fmt::format(" Source: {}:{}", BlankControls(d.source_host), d.source_port));
  line(" EngineId: " + EngineIdText(d.engine_id));
  line(fmt::format(" EngineBoots: {}", d.engine_boots));
  line(fmt::format(" EngineTime: {}", d.engine_time));
  line(" User: " + BlankControls(d.user));
  line(fmt::format(" SecurityLevel: {}", d.security_level));
  if (!ignored.empty()) line(" Ignored: " + BlankControls(ignored));
  text += kCrLf;
  AppendDiscTrace(st, text, "snmpMgrV3_DiscoveryResponse");
}

}  // namespace

void DiscoverEngineId(PollState& st, int16_t i) {
  try {
    if (st.DebugMode) {
      AppendDiscTrace(st, FormatTimeStamp(st) + " --> " + " Discover EngineId" + kCrLf + kCrLf,
                      "DiscoverEngineId");
    }
    st.DiscoverIndex = i;
    st.snmpMgrV3.DiscoverEngine();
  } catch (const std::exception& e) {
    // The sender's wait runs out; nothing goes to the event log.
    if (!st.DebugMode) return;
    AppendDiscTrace(st,
                    FormatTimeStamp(st) + " --> " + " Discover Failed: " + BlankControls(e.what()) +
                        kCrLf + kCrLf,
                    "DiscoverEngineId");
  }
}

void snmpMgrV3_DiscoveryResponse(PollState& st, const SnmpDiscovery& d) {
  try {
    const std::string ignored = NotStoredBecause(st, d);
    if (ignored.empty()) {
      TrendListEntry& e = st.TrendList[st.DiscoverIndex];
      e.PollEngineId = d.engine_id;
      e.PollEngineBoots = EngineValue(d.engine_boots, "boots");
      e.PollEngineTime = EngineValue(d.engine_time, "time");
    }
    if (st.DebugMode) TraceDiscoveryResponse(st, d, ignored);
    if (ignored.empty()) st.DiscoverDone = true;
  } catch (const std::exception& e) {
    AppEvent(st, kModForm, "snmpMgrV3_DiscoveryResponse", e.what(), kEventV3Error);
  }
}

void snmpMgrV3_Report(PollState& st, const SnmpReport& r) {
  try {
    if (!st.DebugMode) return;
    std::string text = FormatTimeStamp(st) + " <-- " + " Report: " +
                       fmt::format("ErrorStatus:{}, ErrorDescription:{}", r.error_status,
                                   BlankControls(r.error_description)) +
                       kCrLf;
    text += FormatTimeStamp(st) + " <-- " + " Report: " + "User:" + BlankControls(r.user) + kCrLf +
            kCrLf;
    // A Report changes no polling state, so its lines that cannot be written are reported with
    // the Report's own text, one by one.
    AppendToFile(st.DebugFile(kTraceDiscEngineId), text);
  } catch (const std::exception&) {
    AppEvent(st, kModForm, "snmpMgrV3_Report", r.error_description, kEventV3Error);
  }
}

}  // namespace quorlan
