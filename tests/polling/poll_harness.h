// Test helpers of the polling engine: a polling state under a temporary AppPath with a Debug
// folder and both managers active, entries that poll devices on 127.0.0.1, and a silent device
// that records what it receives.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "components/snmp/snmp.h"
#include "polling/polling.h"
#include "support/event_log.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan::testing {

inline constexpr const char* kTestOid = "1.3.6.1.4.1.32473.2.1.0";

// A device that never answers. Records the request id of each GET and each SNMPv3 discovery
// probe it receives (a probe counts with id 0). SNMPv3 requests must be without privacy.
class SilentDevice {
 public:
  SilentDevice() {
    // A port that fits the trend list's 16-bit port field.
    for (int attempt = 0; attempt < 5 && !socket_.IsOpen(); ++attempt) {
      try {
        socket_.Open("127.0.0.1", FreeUdpPort());
      } catch (const RuntimeError&) {
        // taken meanwhile: another one
      }
    }
  }
  int port() const { return socket_.LocalPort(); }
  // The ids received since the last call, in order of arrival.
  std::vector<int32_t> Received() {
    std::vector<int32_t> ids;
    UdpSocket::Datagram dg;
    while (socket_.Receive(&dg)) {
      if (snmp::PeekVersion(dg.data) == snmp::version::kV3) {
        snmp::V3Message m;
        EXPECT_TRUE(snmp::DecodeV3Message(dg.data, &m).ok());
        last_v3_ = m;
        const snmp::Pdu pdu = snmp::DecodeScopedPdu(m.data).pdu;  // REQUIRES: no privacy
        ids.push_back(pdu.varbinds.empty() ? 0 : pdu.request_id);
        continue;
      }
      snmp::CommunityMessage m;
      EXPECT_TRUE(snmp::DecodeMessage(dg.data, &m).ok());
      ids.push_back(m.pdu.request_id);
    }
    return ids;
  }
  UdpSocket& socket() { return socket_; }
  // The last SNMPv3 message received.
  const snmp::V3Message& last_v3() const { return last_v3_; }

 private:
  UdpSocket socket_;
  snmp::V3Message last_v3_;
};

// A running service's polling state on the given clock: both managers active, started an hour
// ago, no request sent yet.
class PollHarness {
 public:
  explicit PollHarness(Clock& clock) : loop(clock), st(dir.path(), clock, loop) {
    dir.MakeDir("Debug");
    st.snmpManager.SetActive(true);
    st.snmpMgrV3.SetActive(true);
    st.ServiceState = kServiceRunning;
    st.LastMessId = kFirstMessId - 1;
    st.ServiceStartTime = st.Now().PlusHours(-1);
    st.LastHour = static_cast<int16_t>(st.Now().Hour());
  }

  // Appends an entry that polls 127.0.0.1:port: "SnmpPoll" every 5 minutes, due now, time-out
  // 5 s, 2 retries, one object, no sample yet.
  TrendListEntry& AddEntry(int port, int16_t version = 2) {
    const int16_t n = ++st.TrendListCount;
    TrendListEntry& e = st.TrendList[n];
    e = TrendListEntry{};
    e.ReportId = 100 + n;
    e.ReportTitle = "Report " + std::to_string(n);
    e.NodeId = n;
    e.NodeName = "node" + std::to_string(n);
    e.Address = "127.0.0.1";
    e.UdpPort = port;
    e.SnmpVersion = version;
    e.ReadComm = "public";
    e.PollInterval = 300;
    e.PollTimeOut = 5;
    e.PollRetries = 2;
    e.PollType = kPollTypeSnmpPoll;
    e.PollObjId[1] = kTestOid;
    e.PollObjName[1] = "Object";
    e.PollNumObjects = 1;
    for (int k = 1; k <= kTrendObjects; ++k) e.PollSampledValue[k] = -1;
    e.PollTimeOutTime = st.Now();
    e.PollNextTime = st.Now();
    return e;
  }

  // The lines of a trace file in Debug; empty when it does not exist.
  std::vector<std::string> Trace(const char* name) {
    const std::string path = st.DebugFile(name);
    return FileExists(path) ? ReadLines(path) : std::vector<std::string>{};
  }
  std::vector<LoggedEvent> Events() { return ReadEventLog(dir.path()); }

  TempDir dir;
  EventLoop loop;
  PollState st;
};

// The tab-separated fields of a line.
inline std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

}  // namespace quorlan::testing
