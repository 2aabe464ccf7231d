// Triggers of "SnmpStatus" reports: values from a private snmpd, trend traps to a private
// snmptrapd.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "responses/response_harness.h"

namespace quorlan {
namespace {

using testing::Answer;
using testing::At;
using ::testing::ElementsAre;
using testing::Fields;
using ::testing::HasSubstr;
using testing::SnmpdOid;

class TriggerTest : public testing::ResponseTest {
 protected:
  static void SetUpTestSuite() { snmpd_ = std::make_unique<testing::SnmpdPeer>(); }
  static void TearDownTestSuite() { snmpd_.reset(); }

  TriggerTest() {
    rs.snmpAgent.SetLocalHost("127.0.0.1");
    rs.snmpAgent.SetLocalPort(testing::FreeUdpPort());
    rs.snmpAgent.Config("TrapPort=" + std::to_string(trapd_.port()));
    rs.snmpAgent.SetActive(true);
  }

  // A "SnmpStatus" entry whose object k has the trigger triggers[k-1] = {operator, threshold}.
  TrendListEntry& AddStatusEntry(const std::vector<std::string>& oids,
                                 const std::vector<std::pair<std::string, std::string>>& triggers) {
    TrendListEntry& e = AddEntry(snmpd_->port(), oids);
    e.PollType = kPollTypeSnmpStatus;
    for (int k = 1; k <= static_cast<int>(triggers.size()); ++k) {
      e.PollTriggerAlarm[k] = true;
      e.PollTriggerExpr[k] = triggers[k - 1].first;
      e.PollTriggerValueText[k] = triggers[k - 1].second;
      ConvTriggerValue(rs, triggers[k - 1].second, e.PollTriggerValue[k]);
    }
    return e;
  }
  // One poll at t of the values "<oid> <type> <value>" lines.
  void PollValues(DateTime t, const std::string& values) {
    snmpd_->SetValues(values);
    PollAt(t);
  }
  // The trend traps that arrived (application event traps have another enterprise), waiting up
  // to ms for n of them.
  std::vector<std::string> TrendTraps(size_t n, int ms = 5000) {
    std::vector<std::string> traps;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      wire_loop.RunOnce(10);
      traps.clear();
      for (const std::string& t : trapd_.Traps()) {
        if (t.find("\t.1.3.6.1.4.1.32473.1.19.5\t") != std::string::npos) traps.push_back(t);
      }
    } while (traps.size() < n && std::chrono::steady_clock::now() < deadline);
    return traps;
  }
  // What snmptrapd logs of a trend trap of entry 1 (report 101, node 41), up to its uptime, and
  // its seven variables.
  static std::string Header(int state) {
    return fmt::format("V1\t0.0.0.0\ttraps\t.1.3.6.1.4.1.32473.1.19.5\t6\t.{}\t", state);
  }
  static std::string Variables(int k, const std::string& value, const std::string& op,
                               const std::string& threshold) {
    return fmt::format(
        ".1.3.6.1.4.1.32473.1.19.1.1.4.0 = INTEGER: 41\t.1.3.6.1.4.1.32473.1.19.1.5.1.0 = "
        "INTEGER: 101\t.1.3.6.1.4.1.32473.1.19.1.5.2.0 = STRING: \"Report 1\"\t"
        ".1.3.6.1.4.1.32473.1.19.1.5.3.0 = STRING: \"Object {}\"\t"
        ".1.3.6.1.4.1.32473.1.19.1.5.4.0 = INTEGER: {}\t.1.3.6.1.4.1.32473.1.19.1.5.5.0 = STRING: "
        "\"{}\"\t.1.3.6.1.4.1.32473.1.19.1.5.6.0 = STRING: \"{}\"",
        k, value, op, threshold);
  }
  static void ExpectTrap(const std::string& line, int state, const std::string& variables) {
    EXPECT_EQ(line.rfind(Header(state), 0), 0u) << line;
    EXPECT_THAT(line, ::testing::EndsWith(variables));
  }

  static inline std::unique_ptr<testing::SnmpdPeer> snmpd_;
  testing::SnmptrapdPeer trapd_;
};

TEST_F(TriggerTest, AlarmsAreRaisedAndClearedOnceEachAndNotWhileStopped) {
  TrendListEntry& e = AddStatusEntry({SnmpdOid(1), SnmpdOid(2)}, {{">", "100"}, {"<", "1.5K"}});
  const std::pair<const char*, const char*> polls[] = {
      {"90", "2000"}, {"120", "120.6"}, {"130", "120.6"}, {"80", "120.6"}, {"150", "120.6"}};
  int minute = 1;
  for (const auto& [first, second] : polls) {
    PollValues(At(minute++), fmt::format(".1.3.6.1.4.1.32473.2.1.0 gauge {}\n"
                                         ".1.3.6.1.4.1.32473.2.2.0 string {}\n",
                                         first, second));
  }
  const std::vector<std::string> traps = TrendTraps(4);
  ASSERT_EQ(traps.size(), 4u) << trapd_.Log();
  // Both objects change on the second answer: object 1 first.
  ExpectTrap(traps[0], 2, Variables(1, "120", ">", "100"));
  ExpectTrap(traps[1], 2, Variables(2, "121", "<", "1.5K"));
  ExpectTrap(traps[2], 1, Variables(1, "80", ">", "100"));
  ExpectTrap(traps[3], 2, Variables(1, "150", ">", "100"));
  EXPECT_TRUE(e.PollTriggerStatus[1]);
  EXPECT_TRUE(e.PollTriggerStatus[2]);

  // An answer handled after the service stopped: the alarm state follows it, no trap is sent.
  snmpd_->SetValues(".1.3.6.1.4.1.32473.2.1.0 gauge 80\n.1.3.6.1.4.1.32473.2.2.0 string 9000\n");
  wall.Set(At(6));
  timerPoll_Timer(rs);
  rs.ServiceState = kServiceStopped;
  ASSERT_TRUE(WaitFor([this] { return rs.Pending == 0; }));
  EXPECT_FALSE(e.PollTriggerStatus[1]);
  EXPECT_FALSE(e.PollTriggerStatus[2]);
  EXPECT_EQ(TrendTraps(5, 1000).size(), 4u);
  EXPECT_EQ(Samples().back(), "101 2026-12-07 10:06:00 80 9000 0 0 0 0");
}

TEST_F(TriggerTest, ComparisonsUseTheValueAsComputedAndTheThresholdAsWritten) {
  rs.DebugMode = true;
  DebugFilePrep(rs);
  TrendListEntry& e =
      AddStatusEntry({SnmpdOid(1), SnmpdOid(2), SnmpdOid(3), SnmpdOid(4), SnmpdOid(5), SnmpdOid(6)},
                     {{">", "16777216"},
                      {">=", "99.9"},
                      {">", "1G"},
                      {"=>", "1"},
                      {">=", "4294967295"},
                      {"=", "123456789"}});
  e.PollObjType[1] = 3;
  const std::string rest =
      ".1.3.6.1.4.1.32473.2.2.0 string 99.9\n.1.3.6.1.4.1.32473.2.3.0 gauge 3000000000\n"
      ".1.3.6.1.4.1.32473.2.4.0 gauge 5\n.1.3.6.1.4.1.32473.2.5.0 gauge 4294967295\n"
      ".1.3.6.1.4.1.32473.2.6.0 gauge 123456789\n";
  PollValues(At(1), ".1.3.6.1.4.1.32473.2.1.0 counter 1000\n" + rest);
  // An increase of 16777217: above the threshold (in single precision both read 16777216).
  PollValues(At(2), ".1.3.6.1.4.1.32473.2.1.0 counter 16778217\n" + rest);
  const std::vector<std::string> traps = TrendTraps(5);
  ASSERT_EQ(traps.size(), 5u) << trapd_.Log();
  ExpectTrap(traps[0], 2, Variables(2, "100", ">=", "99.9"));
  // A value beyond the INTEGER range travels as its bound, so that the alarm still arrives.
  ExpectTrap(traps[1], 2, Variables(3, "2147483647", ">", "1G"));
  // Thresholds beyond single precision meet the values written as they are.
  ExpectTrap(traps[2], 2, Variables(5, "2147483647", ">=", "4294967295"));
  ExpectTrap(traps[3], 2, Variables(6, "123456789", "=", "123456789"));
  ExpectTrap(traps[4], 2, Variables(1, "16777217", ">", "16777216"));
  EXPECT_FALSE(e.PollTriggerStatus[4]) << "=> is no operator";
  EXPECT_EQ(Samples().back(),
            "101 2026-12-07 10:02:00 16777217 100 3000000000 5 4294967295 123456789");
  const std::vector<std::string> lines = ReadLines(rs.DebugFile(kTraceSnmpTrap));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], DebugTrapHeader());
  EXPECT_THAT(Fields(lines[2]), ElementsAre(::testing::_, "41", "node1", "101", "Report 1",
                                            "Object 3", "3000000000", ">", "1G", "2"));
}

// A counter's base sample (the first after the list was built, or after the counter went back)
// stores 0 but is no measurement: it raises and clears no alarm.
TEST_F(TriggerTest, ACountersBaseSampleRaisesNoAlarm) {
  TrendListEntry& e = AddStatusEntry({SnmpdOid(1)}, {{"<", "10"}});
  e.PollObjType[1] = 3;
  int minute = 1;
  for (const char* counter : {"1000", "1500", "1505", "3"}) {
    PollValues(At(minute++), fmt::format(".1.3.6.1.4.1.32473.2.1.0 counter {}\n", counter));
  }
  EXPECT_THAT(Samples(), ElementsAre(::testing::StartsWith("101 2026-12-07 10:01:00 0 "),
                                     ::testing::StartsWith("101 2026-12-07 10:02:00 500 "),
                                     ::testing::StartsWith("101 2026-12-07 10:03:00 5 "),
                                     ::testing::StartsWith("101 2026-12-07 10:04:00 0 ")));
  const std::vector<std::string> traps = TrendTraps(2, 1000);
  ASSERT_EQ(traps.size(), 1u) << trapd_.Log();
  ExpectTrap(traps[0], 2, Variables(1, "5", "<", "10"));
  EXPECT_TRUE(e.PollTriggerStatus[1]) << "the wrap's base sample left the alarm as it was";
}

// The entry's next grid minute comes during the trap's wait and the tick polls it again: the
// answer still gets its row, its alarm state and its counter lowered, and the new request stays.
TEST_F(TriggerTest, AnEntryPolledAgainDuringATrapWaitKeepsTheAnswer) {
  rs.DebugMode = true;  // each trap waits 20 ms, delivering events
  snmpd_->SetValues(".1.3.6.1.4.1.32473.2.1.0 gauge 160\n");
  TrendListEntry& e = AddStatusEntry({SnmpdOid(1)}, {{">", "100"}});
  // Request id is answered with value at second 59; the trap's wait lets the tick of the next
  // minute poll the entry again, and that new request is answered at once with new_value if given.
  const auto answer_at_the_turn = [&](int32_t id, int minute, const char* value,
                                      const char* new_value) {
    e.PollMessId = id;
    e.PollPending = true;
    rs.Pending = 1;
    rs.LastMessId = id;
    wall.Set(At(minute - 1, 59));
    wire_loop.Post([this, id, minute, new_value] {
      wall.Set(At(minute));
      timerPoll_Timer(rs);
      if (new_value != nullptr) snmpManager_Response(rs, Answer(id + 1, {new_value}));
    });
    snmpManager_Response(rs, Answer(id, {value}));
  };
  snmpd_->Pause();  // the new request's answer comes after the test has looked
  answer_at_the_turn(1000010, 1, "150", nullptr);
  EXPECT_EQ(rs.Pending, 1) << "the answer's slot freed, the new request's held";
  EXPECT_TRUE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 1000011);
  EXPECT_TRUE(e.PollTriggerStatus[1]);
  snmpd_->Resume();
  ASSERT_TRUE(WaitFor([this] { return rs.Pending == 0; })) << snmpd_->Log();
  EXPECT_THAT(Samples(), ElementsAre(::testing::StartsWith("101 2026-12-07 10:00:59 150 "),
                                     ::testing::StartsWith("101 2026-12-07 10:01:00 160 ")));
  EXPECT_EQ(TrendTraps(2, 1000).size(), 1u) << "the alarm was raised once";

  // The new request is even answered during the wait: each answer keeps its own row.
  answer_at_the_turn(1000020, 2, "40", "20");
  EXPECT_EQ(rs.Pending, 0);
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 0);
  EXPECT_THAT(Samples(),
              ::testing::IsSupersetOf({::testing::StartsWith("101 2026-12-07 10:01:59 40 "),
                                       ::testing::StartsWith("101 2026-12-07 10:02:00 20 ")}));
  EXPECT_EQ(Samples().size(), 4u);
}

TEST_F(TriggerTest, AnAnswerAgainOrARebuiltListDuringATrapWaitWritesNoOtherRow) {
  rs.DebugMode = true;  // each trap waits 20 ms, delivering events
  AddNode({.node_id = 7});
  AddReport({.ReportId = 55, .NodeId = 7, .PollInterval = "1"});
  TrendListEntry& e = AddStatusEntry({SnmpdOid(1)}, {{">", "100"}});
  e.PollMessId = 1000010;
  e.PollPending = true;
  rs.Pending = 3;
  wall.Set(At(0, 30));
  wire_loop.Post([this] { snmpManager_Response(rs, Answer(1000010, {"500"})); });
  snmpManager_Response(rs, Answer(1000010, {"150"}));
  EXPECT_EQ(rs.Pending, 2) << "one request, lowered once";
  EXPECT_TRUE(e.PollTriggerStatus[1]);
  EXPECT_THAT(Samples(), ElementsAre(::testing::StartsWith("101 2026-12-07 10:00:30 150 ")));

  // The console restarts the service while the trap waits: the list is built anew and the
  // answer's entry now holds report 55, which must not get this answer's row.
  e.PollMessId = 1000011;
  e.PollPending = true;
  e.PollTriggerStatus[1] = false;
  rs.Ini.SnmpAgentSetComm = "wexrol";
  wire_loop.Post([this] {
    SnmpAgentRequest restart;
    restart.community = "wexrol";
    restart.objects = {{kOidServiceState, 2, "1"}};
    SetRequest(rs, restart);
  });
  snmpManager_Response(rs, Answer(1000011, {"170"}));
  ASSERT_EQ(rs.TrendListCount, 1);
  EXPECT_EQ(rs.TrendList[1].ReportId, 55);
  EXPECT_FALSE(rs.TrendList[1].PollTriggerStatus[1]);
  EXPECT_EQ(rs.TrendList[1].PollSampledValue[1], -1);
  EXPECT_EQ(Samples().size(), 1u);
  EXPECT_EQ(TrendTraps(2).size(), 2u);
}

}  // namespace
}  // namespace quorlan
