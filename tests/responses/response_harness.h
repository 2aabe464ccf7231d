// Test helpers of the response handling: a running service's response state on a SQLite suite
// database (through the real ODBC driver, with the four trend-data tables created as at start),
// both managers active and wired to the handlers, a settable wall clock over real time (so that
// snmpd's answers arrive), and entries that poll a private snmpd on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "responses/responses.h"
#include "support/shifted_clock.h"
#include "support/snmp_peers.h"
#include "trendlist/trend_db.h"

namespace quorlan::testing {

// snmpd's values subtree, and an OID in no registered subtree (noSuchObject, v1 noSuchName).
inline std::string SnmpdOid(int n) { return "1.3.6.1.4.1.32473.2." + std::to_string(n) + ".0"; }
inline constexpr const char* kMissingOid = "1.3.6.1.4.1.32473.9.1.0";

inline DateTime At(int minute, int second = 0) {
  return DateTime::FromCivil({2026, 12, 7, 10, minute, second});
}

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

class ResponseTest : public TrendDbTest {
 protected:
  ResponseTest() : wall(At(0, 30)), wire_loop(wall), rs(dir.path(), wall, wire_loop) {
    rs.DbConnStringSql = st.DbConnStringSql;
    VerifiyTrendDataTables(rs);
    rs.Db = recorder;
    recorder->log().clear();
    rs.snmpManager.SetActive(true);
    rs.snmpMgrV3.SetActive(true);
    rs.snmpManager.OnResponse = [this](const SnmpResponse& r) { snmpManager_Response(rs, r); };
    rs.snmpMgrV3.OnResponse = [this](const SnmpResponse& r) { snmpMgrV3_Response(rs, r); };
    rs.snmpMgrV3.OnDiscoveryResponse = [this](const SnmpDiscovery& d) {
      snmpMgrV3_DiscoveryResponse(rs, d);
    };
    rs.ServiceState = kServiceRunning;
    rs.ServiceStartTime = At(0).PlusHours(-1);
    rs.LastHour = 10;
    rs.LastMessId = kFirstMessId - 1;
    rs.Ini.PollDelaySnmp = 0;  // no pause after a send: answers are taken after the tick
  }

  // Appends a one-minute "SnmpPoll" entry for the snmpd peer with the given object OIDs (object
  // k polls oids[k-1]), no sample yet, due since 10:00.
  TrendListEntry& AddEntry(int port, const std::vector<std::string>& oids, int16_t version = 2) {
    const int16_t n = ++rs.TrendListCount;
    TrendListEntry& e = rs.TrendList[n];
    e = TrendListEntry{};
    e.ReportId = 100 + n;
    e.ReportTitle = "Report " + std::to_string(n);
    e.NodeId = 40 + n;
    e.NodeName = "node" + std::to_string(n);
    e.Address = "127.0.0.1";
    e.UdpPort = port;
    e.SnmpVersion = version;
    e.ReadComm = "public";
    e.TrapComm = "traps";
    e.PollInterval = 60;
    e.PollTimeOut = 5;
    e.PollRetries = 1;
    e.PollType = kPollTypeSnmpPoll;
    for (size_t k = 1; k <= oids.size(); ++k) {
      e.PollObjId[int(k)] = oids[k - 1];
      e.PollObjName[int(k)] = "Object " + std::to_string(k);
    }
    e.PollNumObjects = static_cast<int16_t>(oids.size());
    for (int k = 1; k <= kTrendObjects; ++k) e.PollSampledValue[k] = -1;
    e.PollNextTime = At(0);
    return e;
  }

  // A poll tick at t, then events until every request is closed or ms of real time passed.
  void PollAt(DateTime t, int ms = 5000) {
    wall.Set(t);
    timerPoll_Timer(rs);
    WaitFor([this] { return rs.Pending == 0 && rs.PendingV3 == 0; }, ms);
  }
  bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < deadline) wire_loop.RunOnce(10);
    return done();
  }

  // The rows of a trend-data table as "ReportId Time v1 .. v6".
  std::vector<std::string> Samples(const std::string& table = "TrendData1") {
    rs.SampleRecorder.CommitBatch();  // as the loop's next idle moment does
    std::vector<std::string> out;
    for (const auto& row : Rows("SELECT * FROM " + table + " ORDER BY Time, ReportId")) {
      std::string line;
      for (const std::string& field : row) line += (line.empty() ? "" : " ") + field;
      out.push_back(line);
    }
    return out;
  }
  // The lines of a trace file in Debug; empty when it does not exist.
  std::vector<std::string> Trace(const char* name) {
    const std::string path = rs.DebugFile(name);
    return FileExists(path) ? ReadLines(path) : std::vector<std::string>{};
  }

  ShiftedClock wall;
  EventLoop wire_loop;
  ResponseState rs;
};

// An answer as the manager delivers it, for what a peer cannot stage.
inline SnmpResponse Answer(int32_t id, const std::vector<std::string>& integers, int status = 0,
                           const std::string& description = "") {
  SnmpResponse r;
  r.request_id = id;
  r.error_status = status;
  r.error_description = description;
  for (const std::string& v : integers) {
    snmp::VarBind vb;
    ber::ParseOid(kMissingOid, &vb.oid);
    vb.value = v == "NULL" ? snmp::Value::Null() : snmp::Value::Integer(std::stoi(v));
    r.varbinds.push_back(vb);
  }
  return r;
}

}  // namespace quorlan::testing
