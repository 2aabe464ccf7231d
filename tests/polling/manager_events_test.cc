// The managers' events: bad packets, engine discovery answers and Reports, delivered by the real
// managers on a settable clock.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "polling/poll_harness.h"

namespace quorlan {
namespace {

using testing::PollHarness;
using testing::SilentDevice;

const DateTime kStart = DateTime::FromCivil({2026, 12, 7, 10, 2, 30});

class ManagerEventsTest : public ::testing::Test {
 protected:
  ManagerEventsTest() {
    h_.st.snmpManager.OnBadPacket = [this](const SnmpBadPacket& b) {
      seen_.push_back(fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text));
      snmpManager_BadPacket(h_.st, b);
    };
    h_.st.snmpMgrV3.OnBadPacket = [this](const SnmpBadPacket& b) {
      seen_.push_back(fmt::format("ErrorCode: {}, {}", b.error_code, b.error_text));
      snmpMgrV3_BadPacket(h_.st, b);
    };
    h_.st.snmpMgrV3.OnDiscoveryResponse = [this](const SnmpDiscovery& d) {
      snmpMgrV3_DiscoveryResponse(h_.st, d);
    };
    h_.st.snmpMgrV3.OnReport = [this](const SnmpReport& r) { snmpMgrV3_Report(h_.st, r); };
    h_.st.DebugMode = true;
    h_.st.SecProfileList[1] = {"ops", 1, "authpass123", 2, "", 0};
  }

  // The Report with which an agent answers a discovery probe: its engine id, boots and time.
  static std::string DiscoveryAnswer(const snmp::V3Message& probe) {
    snmp::ScopedPdu s;
    s.context_engine_id = kEngine;
    s.pdu.type = snmp::PduType::kReport;
    s.pdu.request_id = snmp::DecodeScopedPdu(probe.data).pdu.request_id;
    s.pdu.varbinds.push_back({{1, 3, 6, 1, 6, 3, 15, 1, 1, 4, 0},
                              snmp::Value::Unsigned(snmp::ValueType::kCounter32, 1)});
    snmp::V3Message r;
    r.msg_id = probe.msg_id;
    r.engine_id = kEngine;
    r.boots = 3;
    r.time = 5000;
    r.data = snmp::EncodeScopedPdu(s);
    return snmp::EncodeV3Message(&r);
  }
  void Answer(SilentDevice& device, const std::string& wire) {
    device.socket().SendTo("127.0.0.1", h_.st.snmpMgrV3.LocalPort(), wire);
  }
  TrendListEntry& AddV3Entry(SilentDevice& device) {
    TrendListEntry& e = h_.AddEntry(device.port(), 3);
    e.PollSnmpV3User = "ops";
    return e;
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const auto& e : h_.Events()) out.push_back(e.type + " " + e.source + " " + e.message);
    return out;
  }

  static inline const std::string kEngine{
      "\x80\x00\x1f\x88\x04"
      "fake",
      9};
  ManualClock clock_{kStart};
  PollHarness h_{clock_};
  std::vector<std::string> seen_;
};

TEST_F(ManagerEventsTest, BadPacketsAreLoggedAFewPerManagerAndMinuteThenCounted) {
  UdpSocket sender;
  sender.Open("127.0.0.1", 0);
  for (int i = 0; i < 8; ++i) sender.SendTo("127.0.0.1", h_.st.snmpManager.LocalPort(), "garbage");
  sender.SendTo("127.0.0.1", h_.st.snmpMgrV3.LocalPort(), std::string("\x30\x03\x02\x01\x03", 5));
  h_.loop.DeliverPending();
  ASSERT_EQ(seen_.size(), 9u);
  std::vector<std::string> expected;
  for (int i = 0; i < 5; ++i)
    expected.push_back("3 frmQuorlanTrend_snmpManager_BadPacket " + seen_[i]);
  expected.push_back("3 frmQuorlanTrend_snmpMgrV3_BadPacket " + seen_[8]);
  EXPECT_EQ(Messages(), expected);
  EXPECT_NE(seen_[0].find("(from 127.0.0.1:" + std::to_string(sender.LocalPort()) + ")"),
            std::string::npos)
      << seen_[0];

  // The tick writes the count once the minute is over.
  clock_.Set(kStart.PlusSeconds(59));
  timerPoll_Timer(h_.st);
  EXPECT_EQ(Messages().size(), 6u);
  clock_.Set(kStart.PlusSeconds(60));
  timerPoll_Timer(h_.st);
  expected.push_back(
      "3 frmQuorlanTrend_snmpManager_BadPacket 3 more bad packets in the minute from 2026-12-07 "
      "10:02:30.000 were not logged");
  EXPECT_EQ(Messages(), expected);
  // A new minute logs again.
  sender.SendTo("127.0.0.1", h_.st.snmpManager.LocalPort(), "garbage");
  h_.loop.DeliverPending();
  EXPECT_EQ(Messages().size(), 8u);
}

TEST_F(ManagerEventsTest, ADiscoveryWithoutAnswerEndsThePollWithoutARequestAfterTwoSeconds) {
  SilentDevice device;
  TrendListEntry& e = AddV3Entry(device);
  e.PollSampledValue[1] = 5;
  timerPoll_Timer(h_.st);
  EXPECT_EQ(device.Received(), std::vector<int32_t>{0}) << "the probe alone";
  EXPECT_GE(clock_.Now(), kStart.PlusSeconds(2));
  EXPECT_LT(clock_.Now(), kStart.PlusSeconds(3));
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 0);
  EXPECT_EQ(e.PollSampledValue[1], -1);
  EXPECT_EQ(e.PollNextTime, DateTime::FromCivil({2026, 12, 7, 10, 5, 0}));
  EXPECT_EQ(h_.st.PendingV3, 0);
  EXPECT_EQ(h_.st.DiscoverIndex, 1);
  EXPECT_TRUE(h_.Trace(kTraceSnmpPollV3).empty());
  EXPECT_EQ(h_.Trace(kTraceDiscEngineId),
            (std::vector<std::string>{
                "2026-12-07 10:02:30.000 -->  Discover EngineId", "",
                fmt::format("2026-12-07 10:02:32.000 -->  Discover Failed: discover engine at "
                            "127.0.0.1:{}: no answer within 2 s",
                            device.port()),
                ""}));
  EXPECT_TRUE(h_.Events().empty());
}

TEST_F(ManagerEventsTest, AnAnswerIsStoredOnlyWhileItsDiscoveryIsUnderWayAndFromItsTarget) {
  SilentDevice a, b;
  TrendListEntry& first = AddV3Entry(a);
  TrendListEntry& second = AddV3Entry(b);
  second.PollNextTime = kStart.PlusHours(1);
  timerPoll_Timer(h_.st);  // the discovery of the first entry gets no answer in time
  ASSERT_EQ(a.Received(), std::vector<int32_t>{0});
  // Device a answers late, while the second entry's discovery is under way.
  Answer(a, DiscoveryAnswer(a.last_v3()));
  second.PollNextTime = clock_.Now();
  timerPoll_Timer(h_.st);
  ASSERT_EQ(b.Received(), std::vector<int32_t>{0});
  EXPECT_EQ(first.PollEngineId, "");
  EXPECT_EQ(second.PollEngineId, "");
  EXPECT_FALSE(second.PollPending);
  // Device b answers after its discovery ended.
  Answer(b, DiscoveryAnswer(b.last_v3()));
  h_.loop.DeliverPending();
  EXPECT_EQ(second.PollEngineId, "");
  EXPECT_EQ(second.PollEngineTime, 0);

  std::vector<std::string> ignored;
  for (const std::string& line : h_.Trace(kTraceDiscEngineId)) {
    if (line.find("Ignored") != std::string::npos) ignored.push_back(line.substr(23));
  }
  EXPECT_EQ(ignored,
            (std::vector<std::string>{
                fmt::format(" Ignored: not from 127.0.0.1:{}, the target of entry 2", b.port()),
                " Ignored: no discovery under way"}));
  const std::vector<std::string> trace = h_.Trace(kTraceDiscEngineId);
  const auto it = std::find_if(trace.begin(), trace.end(), [](const std::string& line) {
    return line.find("DiscoveryResponse") != std::string::npos;
  });
  ASSERT_LT(it + 9, trace.end());
  EXPECT_EQ(
      std::vector<std::string>(it, it + 9),
      (std::vector<std::string>{
          "2026-12-07 10:02:32.220 <--  DiscoveryResponse",
          fmt::format("2026-12-07 10:02:32.220 Source: 127.0.0.1:{}", a.port()),
          "2026-12-07 10:02:32.220 EngineId: 8001F88466616B65",
          "2026-12-07 10:02:32.220 EngineBoots: 3", "2026-12-07 10:02:32.220 EngineTime: 5000",
          "2026-12-07 10:02:32.220 User: ops", "2026-12-07 10:02:32.220 SecurityLevel: 1",
          fmt::format("2026-12-07 10:02:32.220 Ignored: not from 127.0.0.1:{}, the target of "
                      "entry 2",
                      b.port()),
          ""}));
}

// (Report lines from snmpd: snmpd_poll_test.cc.)
TEST_F(ManagerEventsTest, AReportThatCannotBeTracedIsAnErrorOfTypeTwoWithItsText) {
  std::filesystem::create_directory(h_.dir.File("Debug/T-DiscEngineId.txt"));
  SnmpReport r;
  r.error_description = "usmStatsWrongDigests: authentication failed";
  snmpMgrV3_Report(h_.st, r);
  EXPECT_EQ(Messages(), std::vector<std::string>{"2 frmQuorlanTrend_snmpMgrV3_Report "
                                                 "usmStatsWrongDigests: authentication failed"});
}

}  // namespace
}  // namespace quorlan
