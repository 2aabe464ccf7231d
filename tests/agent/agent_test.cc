#include "agent/agent.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "service/service.h"
#include "support/fakes.h"
#include "support/recording_database.h"
#include "support/snmp_peers.h"
#include "trendlist/trend_db.h"

namespace quorlan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const DateTime kStart = DateTime::FromCivil({2026, 12, 7, 10, 0, 0, 0});

// A wall time that moves only when told, with real waiting, so that net-snmp's clients can talk
// to the agent while the clock stands still. A read fails once on demand, as a platform call can.
class StandingClock final : public Clock {
 public:
  explicit StandingClock(DateTime now) : now_(now) {}
  DateTime Now() override {
    if (fail_next_) {
      fail_next_ = false;
      throw RuntimeError(err::kComponent, "clock: local time unavailable");
    }
    return now_;
  }
  int64_t MonotonicMs() override { return real_.MonotonicMs(); }
  void SleepMs(int ms) override { real_.SleepMs(ms); }
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    return real_.Poll(fds, count, timeout_ms);
  }
  void Set(DateTime t) { now_ = t; }
  void FailNextRead() { fail_next_ = true; }

 private:
  DateTime now_;
  bool fail_next_ = false;
  SystemClock real_;
};

// The agent of a running service on a free loopback port, on a SQLite suite database. Every
// request is recorded as the handlers left it.
class AgentTest : public testing::TrendDbTest {
 protected:
  AgentTest() : wall(kStart), wire_loop(wall), ps(dir.path(), wall, wire_loop) {
    ps.DbConnStringSql = st.DbConnStringSql;
    ps.ServiceStartTime = kStart;
    ps.ServiceState = kServiceRunning;
    AttachAgentHandlers(ps);
    for (auto* event :
         {&ps.snmpAgent.OnGetRequest, &ps.snmpAgent.OnGetNextRequest, &ps.snmpAgent.OnSetRequest}) {
      *event = [this, handler = *event](SnmpAgentRequest& r) {
        handler(r);
        seen.push_back(r);
      };
    }
    ps.snmpAgent.SetLocalPort(testing::FreeUdpPort());
    ps.snmpAgent.SetLocalHost("127.0.0.1");
    ps.snmpAgent.SetActive(true);
  }

  // Runs a net-snmp client against the agent; timeout in seconds, short where silence is expected.
  testing::CommandResult Run(const std::string& tool, const std::string& community,
                             const std::vector<std::string>& args, const std::string& version = "1",
                             const std::string& timeout = "3") {
    const std::string target = "127.0.0.1:" + std::to_string(ps.snmpAgent.LocalPort());
    std::vector<std::string> argv = {tool, "-v" + version, "-c" + community, "-On", "-t" + timeout};
    argv.insert(argv.end(), {"-r0", target});
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::RunCommand(&wire_loop, argv);
  }

  StandingClock wall;
  EventLoop wire_loop;
  PollState ps;
  std::vector<SnmpAgentRequest> seen;
};

std::string WithoutZero(const std::string& oid) { return oid.substr(0, oid.size() - 2); }

// The OIDs of the "OID = value" lines of a client's output.
std::vector<std::string> AnsweredOids(const std::string& output) {
  std::vector<std::string> oids;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" = ") != std::string::npos) oids.push_back(line.substr(1, line.find(' ') - 1));
  }
  return oids;
}

// The readable objects in walk order, as snmpget prints them 90 s after the start.
const std::vector<std::pair<std::string, std::string>> kReadable = {
    {"1.3.6.1.2.1.1.1.0", "STRING: \"Quorlan Trend Reporting, ver 10.00\""},
    {"1.3.6.1.2.1.1.2.0", "OID: .1.3.6.1.4.1.32473.1.19"},
    {"1.3.6.1.2.1.1.3.0", "Timeticks: (9000) 0:01:30.00"},
    {"1.3.6.1.2.1.1.4.0", "STRING: \"quorlan-trend@quorlan.example\""},
    {"1.3.6.1.2.1.1.5.0", "STRING: \"Quorlan\""},
    {"1.3.6.1.2.1.1.6.0", "STRING: \"CyberSpace\""},
    {"1.3.6.1.2.1.1.7.0", "INTEGER: 72"},
    {kOidSysTrendChanged, "INTEGER: 2"},
    {kOidServiceState, "INTEGER: 1"},
};

TEST_F(AgentTest, EveryReadableObjectAnswersInItsAnswerFormWithOrWithoutTheFinalZero) {
  ps.Mib_sysTrendChanged = 2;
  wall.Set(kStart.PlusMillis(90999));
  for (bool with_zero : {true, false}) {
    std::vector<std::string> oids;
    std::string expected;
    for (const auto& [oid, value] : kReadable) {
      oids.push_back(with_zero ? oid : WithoutZero(oid));
      expected += "." + oid + " = " + value + "\n";
    }
    const auto r = Run("snmpget", "public", oids);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output, expected) << "with .0: " << with_zero;
  }
}

TEST_F(AgentTest, SysUpTimeCountsWholeSecondsAsTimeTicks) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {90000, "9000"},
      {999, "0"},
      {-5000, "0"},                        // clock set back before the start
      {500LL * 86400 * 1000, "25032704"},  // 4320000000 modulo 2^32
  };
  for (const auto& [elapsed_ms, ticks] : cases) {
    wall.Set(kStart.PlusMillis(elapsed_ms));
    SnmpAgentRequest r;
    r.community = "public";
    r.objects = {{"1.3.6.1.2.1.1.3", 5, ""}};
    SnmpGetRequest(ps, r);
    EXPECT_EQ(r.error_status, 0);
    EXPECT_EQ(r.objects[0].type, 67);
    EXPECT_EQ(r.objects[0].value, ticks) << elapsed_ms;
  }
}

TEST_F(AgentTest, GetNextFollowsTheSuccessorTable) {
  // Each OID without ".0" leads to its own object, each answer form to the next one.
  std::vector<std::string> requested = {"1.3.6.1.2.1.1.1"};
  std::vector<std::string> expected = {"1.3.6.1.2.1.1.1.0"};
  for (size_t k = 1; k < kReadable.size(); ++k) {
    for (const std::string& from : {kReadable[k - 1].first, WithoutZero(kReadable[k].first)}) {
      requested.push_back(from);
      expected.push_back(kReadable[k].first);
    }
  }
  const auto r = Run("snmpgetnext", "public", requested);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(AnsweredOids(r.output), expected) << r.output;

  // The end of the walk, the write-only object, prefixes and Get of the write-only object.
  for (const auto& [tool, oid] :
       std::vector<std::pair<std::string, std::string>>{{"snmpgetnext", kOidServiceState},
                                                        {"snmpgetnext", WithoutZero(kOidNodeReset)},
                                                        {"snmpgetnext", "1.3.6.1.2.1.1"},
                                                        {"snmpgetnext", "1.3.6.1"},
                                                        {"snmpget", kOidNodeReset}}) {
    const auto e = Run(tool, "public", {oid});
    EXPECT_EQ(e.exit_code, 2) << tool << " " << oid << ": " << e.output;
    EXPECT_THAT(e.output, HasSubstr("Reason: (noSuchName)"));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().error_status, 2);
    EXPECT_EQ(seen.back().error_index, 0);
  }
}

TEST_F(AgentTest, WalkFromSysDescrEndsWithNoSuchNameAfterServiceState) {
  // -CE lets the walk leave the sysDescr subtree; it ends at the agent's noSuchName.
  const auto r = Run("snmpwalk", "public", {"-CE", "1.3.6.1.4.1.32473.2", "1.3.6.1.2.1.1.1"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::vector<std::string> expected;
  for (const auto& object : kReadable) expected.push_back(object.first);
  EXPECT_EQ(AnsweredOids(r.output), expected) << r.output;
  EXPECT_THAT(r.output, HasSubstr("End of MIB"));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().objects[0].oid, kOidServiceState);
  EXPECT_EQ(seen.back().error_status, 2);
}

TEST_F(AgentTest, GetAnswersTheKnownObjectAndNamesTheUnknownOne) {
  // -Cf shows the agent's own reply instead of retrying without the failed object.
  const auto r = Run("snmpget", "public", {"-Cf", "1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.8.0"});
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Reason: (noSuchName)"));
  EXPECT_THAT(r.output, HasSubstr("Failed object: .1.3.6.1.2.1.1.8.0"));
  ASSERT_EQ(seen.size(), 1u);
  const SnmpAgentRequest& answer = seen[0];
  EXPECT_EQ(answer.error_index, 1);
  EXPECT_EQ(answer.objects[0].value, "Quorlan Trend Reporting, ver 10.00");
  EXPECT_EQ(answer.objects[1].oid, "1.3.6.1.2.1.1.8.0");
  EXPECT_EQ(answer.objects[1].type, 5);  // left as sent
}

TEST_F(AgentTest, SetErrorsLeaveTheValuesAsTheyWere) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"1.3.6.1.2.1.1.5.0", "s", "other"}, "readOnly"},
      {{"1.3.6.1.2.1.1.3", "t", "5"}, "readOnly"},
      {{kOidSysTrendChanged, "i", "4"}, "badValue"},
      {{kOidSysTrendChanged, "i", "0"}, "badValue"},
      {{kOidServiceState, "i", "3"}, "badValue"},
      {{"1.3.6.1.4.1.32473.1.19.1.1.9.0", "i", "1"}, "noSuchName"},
  };
  for (const auto& [args, reason] : cases) {
    const auto r = Run("snmpset", "wexrol", args);
    EXPECT_EQ(r.exit_code, 2) << args[0] << ": " << r.output;
    EXPECT_THAT(r.output, HasSubstr("Reason: (" + reason + ")")) << args[0];
    EXPECT_THAT(r.output, HasSubstr("Failed object: ." + args[0])) << args[0];
  }
  EXPECT_EQ(ps.Mib_sysTrendChanged, 0);
  EXPECT_EQ(ps.ServiceState, kServiceRunning);
  EXPECT_TRUE(Events().empty());
}

TEST_F(AgentTest, RequestsOfAnotherCommunityOrVersionGetNoAnswer) {
  const std::vector<std::tuple<std::string, std::string, std::string, std::vector<std::string>>>
      cases = {
          {"snmpset", "public", "1", {kOidSysTrendChanged, "i", "1"}},
          {"snmpget", "wrong", "1", {"1.3.6.1.2.1.1.5.0"}},
          {"snmpget", "Public", "1", {"1.3.6.1.2.1.1.5.0"}},
          {"snmpgetnext", "wexrol", "1", {"1.3.6.1.2.1.1.5.0"}},
          {"snmpget", "public", "2c", {"1.3.6.1.2.1.1.5.0"}},
          {"snmpset", "wexrol", "2c", {kOidSysTrendChanged, "i", "1"}},
      };
  for (const auto& [tool, community, version, args] : cases) {
    const auto r = Run(tool, community, args, version, "1");
    EXPECT_EQ(r.exit_code, 1) << tool << " -c " << community << " -v " << version << r.output;
    EXPECT_THAT(r.output, HasSubstr("Timeout"));
    ASSERT_FALSE(seen.empty());  // it arrived and was refused
    EXPECT_FALSE(seen.back().respond);
  }
  EXPECT_EQ(seen.size(), cases.size());
  EXPECT_EQ(ps.Mib_sysTrendChanged, 0);
  // Each refusal leaves a line, which does not name the community sent.
  EXPECT_THAT(Events(), ::testing::Each(::testing::ContainsRegex(
                            "^3\tfrmQuorlanTrend_[A-Za-z]+\tRequest -?[0-9]+ from 127.0.0.1:[0-9]+ "
                            "not answered: (wrong community|only SNMPv1 is served)$")));
  EXPECT_EQ(Events().size(), cases.size());
}

// Sends the datagram count times to the agent, 50 at a time, each batch delivered; returns the
// number of answers.
int Flood(EventLoop& loop, int port, const std::string& datagram, int count) {
  UdpSocket socket;
  socket.Open("127.0.0.1", 0);
  int answers = 0;
  UdpSocket::Datagram dg;
  for (int sent = 0; sent < count; sent += 50) {
    for (int i = 0; i < std::min(50, count - sent); ++i) socket.SendTo("127.0.0.1", port, datagram);
    while (loop.DeliverPending() > 0) {
      while (socket.Receive(&dg)) ++answers;
    }
  }
  return answers;
}

std::string Encoded(const std::string& community, snmp::PduType type, const std::string& oid,
                    const snmp::Value& value) {
  snmp::CommunityMessage m;
  m.community = community;
  m.pdu.type = type;
  snmp::VarBind vb;
  ber::ParseOid(oid, &vb.oid);
  vb.value = value;
  m.pdu.varbinds = {vb};
  return snmp::EncodeMessage(m);
}

// A value quoted in the log is cut to 100 bytes, and a flood of bad Sets is counted, not logged.
TEST_F(AgentTest, TheEventLogStaysSmallUnderAFloodOfBadSets) {
  const std::string value(300, 'x');
  const std::string bad = Encoded("wexrol", snmp::PduType::kSetRequest, kOidServiceState,
                                  snmp::Value::Bytes(snmp::ValueType::kOctetString, value));
  EXPECT_EQ(Flood(wire_loop, ps.snmpAgent.LocalPort(), bad, 100000), 100000) << "all answered";
  EXPECT_EQ(ps.ServiceState, kServiceRunning);
  ASSERT_FALSE(Events().empty());
  EXPECT_EQ(Events()[0], "1\tfrmQuorlanTrend_SetRequest\t" + std::string(kOidServiceState) +
                             ": Type mismatch: \"" + value.substr(0, 100) +
                             "...\" (300 bytes) is not a number");
  EXPECT_LT(std::filesystem::file_size(st.DebugFile("T-AppEvent.txt")), 1000000u);
}

TEST_F(AgentTest, ChangeCodeIsStoredAndNodeResetRestartsThatNodesEntriesOnly) {
  ps.TrendListCount = 3;
  for (int n = 1; n <= 4; ++n) {  // entry 4 is beyond the count
    TrendListEntry& e = ps.TrendList[n];
    e.NodeId = n == 2 ? 8 : 7;
    for (int k = 1; k <= kTrendObjects; ++k) {
      e.PollSampledValue[k] = 500 + k;
      e.PollSavedValue[k] = 10;
      e.PollTriggerStatus[k] = true;
    }
  }
  const auto r = Run("snmpset", "wexrol",
                     {WithoutZero(kOidSysTrendChanged), "i", "3", kOidNodeReset, "i", "7"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output, "." + std::string(kOidSysTrendChanged) + " = INTEGER: 3\n." + kOidNodeReset +
                          " = INTEGER: 7\n");
  EXPECT_EQ(ps.Mib_sysTrendChanged, 3);  // for the next tick to apply
  for (int n = 1; n <= 4; ++n) {
    const bool reset = n == 1 || n == 3;
    for (int k = 1; k <= kTrendObjects; ++k) {
      const TrendListEntry& e = ps.TrendList[n];
      EXPECT_EQ(e.PollSampledValue[k], reset ? -1 : 500 + k) << n << "/" << k;
      EXPECT_EQ(e.PollSavedValue[k], reset ? 0 : 10) << n << "/" << k;
      EXPECT_EQ(e.PollTriggerStatus[k], !reset) << n << "/" << k;
    }
  }
  // No clearing trap; the two controls are events of the log.
  EXPECT_THAT(Events(),
              ::testing::ElementsAre(
                  "3\tfrmQuorlanTrend_SetRequest\tChange code 3 set from the console (reports "
                  "deleted)",
                  "3\tfrmQuorlanTrend_SetRequest\tNode 7 reset from the console: counters and "
                  "triggers of 2 report(s) start afresh"));
}

TEST_F(AgentTest, StopHaltsAndRunningRestartsWithAListBuiltAnew) {
  AddNode({});
  AddReports({{.ReportId = 11, .DbChanged = "1"},
              {.ReportId = 12, .DbChanged = "2"},
              {.ReportId = 13, .DbChanged = "3"}});
  ps.Pending = 4;
  ps.PendingV3 = 1;  // an SNMPv3 request in flight
  auto r = Run("snmpset", "wexrol", {kOidServiceState, "i", "2"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ps.ServiceState, kServiceStopped);
  EXPECT_EQ(ps.Pending, 4);
  EXPECT_EQ(ps.TrendListCount, 0);
  EXPECT_EQ(ps.ServiceStartTime, kStart);

  const DateTime later = kStart.PlusHours(2);
  wall.Set(later);
  ps.TrendList[1].PollSampledValue[1] = 77;
  r = Run("snmpset", "wexrol", {WithoutZero(kOidServiceState), "i", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output, "." + std::string(kOidServiceState) + " = INTEGER: 1\n");
  EXPECT_EQ(ps.ServiceState, kServiceRunning);
  EXPECT_EQ(ps.ServiceStartTime, later);  // a new start-up period
  EXPECT_EQ(ps.Pending, 0);
  // The rebuilt list holds no request in flight, so none of the old ones may keep the SNMPv3
  // slot: with PendingV3 left at 1 no SNMPv3 request would ever be sent again.
  EXPECT_EQ(ps.PendingV3, 0);
  ASSERT_EQ(ps.TrendListCount, 2);
  EXPECT_EQ(ps.TrendList[1].ReportId, 11);
  EXPECT_EQ(ps.TrendList[2].ReportId, 12);
  EXPECT_EQ(ps.TrendList[1].PollSampledValue[1], -1);
  EXPECT_EQ(Rows("SELECT ReportId, DbChanged FROM TrendReports ORDER BY ReportId"),
            (std::vector<std::vector<std::string>>{{"11", "0"}, {"12", "0"}}));
  // sysUpTime counts from the restart.
  r = Run("snmpget", "public", {"1.3.6.1.2.1.1.3.0"});
  EXPECT_EQ(r.output, ".1.3.6.1.2.1.1.3.0 = Timeticks: (0) 0:00:00.00\n");
}

TEST_F(AgentTest, ARequestRestartsOnceAndFurtherRestartsInTheTickWaitForTheNextTick) {
  AddNode({});
  AddReports({{.ReportId = 11}});
  auto recorder = std::make_shared<testing::RecordingDatabase>(ps.Db);
  ps.Db = recorder;
  ps.LastHour = 10;  // no hourly work in the ticks below
  const auto builds = [&] {
    const auto all = recorder->Statements();
    return std::count(all.begin(), all.end(), "SELECT * FROM TrendReports");
  };
  const std::string once = WithoutZero(kOidServiceState);
  auto r = Run("snmpset", "wexrol",
               {kOidServiceState, "i", "1", once, "i", "1", kOidServiceState, "i", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(builds(), 1);
  // A second restart in the same tick is answered, and runs at the next tick.
  r = Run("snmpset", "wexrol", {kOidServiceState, "i", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(builds(), 1);
  EXPECT_TRUE(ps.RestartPending);
  timerPoll_Timer(ps);
  EXPECT_EQ(builds(), 2);
  EXPECT_FALSE(ps.RestartPending);
  // One left waiting is dropped by a pause: the resume rebuilds anyway.
  EXPECT_EQ(Run("snmpset", "wexrol", {kOidServiceState, "i", "1"}).exit_code, 0);
  EXPECT_EQ(Run("snmpset", "wexrol", {kOidServiceState, "i", "2"}).exit_code, 0);
  EXPECT_FALSE(ps.RestartPending);
  timerPoll_Timer(ps);
  EXPECT_EQ(builds(), 2);
  EXPECT_EQ(ps.ServiceState, kServiceStopped);
}

TEST_F(AgentTest, ARestartWhoseListCannotBeBuiltIsAnsweredWithGenErr) {
  ps.ServiceState = kServiceStopped;
  ps.DbConnStringSql = "Driver=SQLite3;Database=" + dir.path() + "/no-such-suite.db";
  const auto r = Run("snmpset", "wexrol", {kOidServiceState, "i", "1"});
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Reason: (genError)"));
  EXPECT_THAT(r.output, HasSubstr("Failed object: ." + std::string(kOidServiceState)));
  EXPECT_EQ(ps.ServiceState, kServiceRunning);  // the state is taken; only the build failed
  ASSERT_EQ(Events().size(), 2u);
  EXPECT_EQ(Events()[0], "3\tfrmQuorlanTrend_SetRequest\tPolling resumed from the console");
  EXPECT_THAT(Events()[1], HasSubstr("1\tmodQuorlanTrend_TrendListCreate\t"));
}

TEST_F(AgentTest, RunTimeFailureIsAnsweredAtTheFailingObject) {
  // A value that is no number: badValue at its index; the objects after it are not handled.
  auto r = Run(
      "snmpset", "wexrol",
      {kOidServiceState, "i", "2", kOidSysTrendChanged, "s", "abc", kOidServiceState, "i", "1"});
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Reason: (badValue)"));
  EXPECT_THAT(r.output, HasSubstr("Failed object: ." + std::string(kOidSysTrendChanged)));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].error_index, 1);
  EXPECT_EQ(ps.ServiceState, kServiceStopped);
  EXPECT_EQ(ps.Mib_sysTrendChanged, 0);

  // A failing platform call: genErr at its index.
  wall.FailNextRead();
  r = Run("snmpget", "public",
          {"-Cf", "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.1.0"});
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Reason: (genError)"));
  EXPECT_THAT(r.output, HasSubstr("Failed object: .1.3.6.1.2.1.1.3.0"));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].objects[2].type, 5);  // not handled
  // The component could not send the object as the handler left it: its error is logged too.
  EXPECT_THAT(Events(),
              ElementsAre("3\tfrmQuorlanTrend_SetRequest\tPolling paused from the console",
                          "1\tfrmQuorlanTrend_SetRequest\t" + std::string(kOidSysTrendChanged) +
                              ": Type mismatch: \"abc\" is not a number",
                          "1\tfrmQuorlanTrend_SnmpGetRequest\tclock: local time unavailable",
                          "1\tfrmQuorlanTrend_snmpAgent_Error\tErrorCode: 13, response object 1 "
                          "(1.3.6.1.2.1.1.3.0): Type mismatch: \"\" is not a number"));
}

TEST(AgentModuleTest, TheServiceAnswersOnItsAgent) {
  testing::TempDir dir;
  SystemClock clock;
  EventLoop loop(clock);
  testing::FakeServiceHost host;
  Module m(dir.path(), clock, loop, host);
  m.snmpAgent.SetLocalPort(testing::FreeUdpPort());
  m.snmpAgent.SetActive(true);
  const auto r = testing::RunCommand(
      &loop, {"snmpget", "-v1", "-c", "public", "-On", "-t", "3", "-r", "0",
              "127.0.0.1:" + std::to_string(m.snmpAgent.LocalPort()), "1.3.6.1.2.1.1.5"});
  EXPECT_EQ(r.output, ".1.3.6.1.2.1.1.5.0 = STRING: \"Quorlan\"\n");
}

}  // namespace
}  // namespace quorlan
