// Polls against net-snmp's snmpd on 127.0.0.1: SNMPv2c polls, resends and give-ups (snmpd
// stopped with SIGSTOP), and SNMPv3 with engine discovery at every security level and protocol.
// The wall clock is set past time-outs; time passes for real so that snmpd's answers arrive.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "polling/poll_harness.h"
#include "support/shifted_clock.h"
#include "support/snmp_peers.h"

namespace quorlan {
namespace {

using testing::Fields;
using testing::PollHarness;

constexpr const char* kSysLocation = "1.3.6.1.2.1.1.6.0";
const std::string kSnmpdEngineText = "8001F8847472656E6474657374";

DateTime At(int minute, int second) {
  return DateTime::FromCivil({2026, 12, 7, 10, minute, second});
}

class SnmpdPollTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    snmpd_ = std::make_unique<testing::SnmpdPeer>(
        ".1.3.6.1.4.1.32473.2.1.0 string hello\n.1.3.6.1.4.1.32473.2.2.0 counter 42\n", true);
  }
  static void TearDownTestSuite() { snmpd_.reset(); }

  SnmpdPollTest() {
    for (SnmpManager* m : {&h_.st.snmpManager, &h_.st.snmpMgrV3}) {
      m->OnResponse = [this](const SnmpResponse& r) { Answered(r); };
      m->OnBadPacket = [this](const SnmpBadPacket& b) { bad_.push_back(b.error_text); };
    }
    h_.st.snmpMgrV3.OnDiscoveryResponse = [this](const SnmpDiscovery& d) {
      snmpMgrV3_DiscoveryResponse(h_.st, d);
    };
    h_.st.snmpMgrV3.OnReport = [this](const SnmpReport& r) { snmpMgrV3_Report(h_.st, r); };
    h_.st.DebugMode = true;
    DebugFilePrep(h_.st);
    h_.st.Ini.PollDelaySnmp = 1;  // 10 ms between requests
  }
  void TearDown() override { snmpd_->Resume(); }

  // Stands in for the response handling: records the answer and closes its request.
  void Answered(const SnmpResponse& r) {
    answers_.push_back(r);
    for (int16_t i = 1; i <= h_.st.TrendListCount; ++i) {
      TrendListEntry& e = h_.st.TrendList[i];
      if (e.PollMessId != r.request_id) continue;
      e.PollPending = false;
      CalcPollNextTime(h_.st, i);
      LowerPendingCount(r.version == 3 ? h_.st.PendingV3 : h_.st.Pending);
      e.PollMessId = 0;
      return;
    }
  }
  bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < deadline) h_.loop.RunOnce(10);
    return done();
  }
  void TickAt(DateTime t) {
    clock_.Set(t);
    timerPoll_Timer(h_.st);
  }
  TrendListEntry& AddV3Entry(const std::string& user) {
    TrendListEntry& e = h_.AddEntry(snmpd_->port(), 3);
    e.PollSnmpV3User = user;
    e.PollObjId[1] = kSysLocation;
    e.PollNextTime = At(2, 30);
    return e;
  }
  // The last row of a trace file, as fields.
  std::vector<std::string> LastRow(const char* trace) { return Fields(h_.Trace(trace).back()); }

  static inline std::unique_ptr<testing::SnmpdPeer> snmpd_;
  testing::ShiftedClock clock_{At(2, 30)};
  PollHarness h_{clock_};
  std::vector<SnmpResponse> answers_;
  std::vector<std::string> bad_;
};

TEST_F(SnmpdPollTest, APollThenAResendAndAGiveUpWhileSnmpdIsStopped) {
  TrendListEntry& e = h_.AddEntry(snmpd_->port());
  e.PollNextTime = At(2, 30);
  e.PollObjId[2] = "1.3.6.1.4.1.32473.2.2.0";
  e.PollNumObjects = 2;
  e.PollRetries = 1;
  TickAt(At(2, 30));
  ASSERT_TRUE(WaitFor([&] { return answers_.size() == 1; })) << snmpd_->Log();
  EXPECT_EQ(answers_[0].request_id, kFirstMessId);
  EXPECT_EQ(answers_[0].error_status, 0);
  EXPECT_EQ(answers_[0].ObjValue(0), "hello");
  EXPECT_EQ(answers_[0].ObjValue(1), "42");
  std::vector<std::string> row = LastRow(kTraceSnmpPoll);
  ASSERT_EQ(row.size(), 76u);
  EXPECT_EQ(row[1], " --> snmpPoll");
  EXPECT_EQ(row[9], "1000001");
  EXPECT_EQ(row[14], "1") << "Pending counts the request";

  snmpd_->Pause();
  e.PollNextTime = At(2, 40);
  TickAt(At(2, 40));
  EXPECT_EQ(e.PollMessId, 1000002);
  TickAt(At(2, 50));
  EXPECT_EQ(e.PollMessId, 1000003);
  EXPECT_EQ(e.PollRetryTimes, 1);
  EXPECT_TRUE(e.PollPending);
  EXPECT_EQ(LastRow(kTraceSnmpPoll)[1], " --> snmpResend");
  EXPECT_EQ(h_.st.Pending, 1);

  TickAt(At(3, 0));
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 0);
  EXPECT_EQ(e.PollSampledValue[1], -1);
  EXPECT_EQ(e.PollSavedValue[2], 0);
  EXPECT_EQ(e.PollNextTime, At(5, 0));
  EXPECT_EQ(h_.st.Pending, 0);
  row = LastRow(kTraceSnmpResp);
  ASSERT_EQ(row.size(), 76u);
  EXPECT_EQ(row[1], " <-- snmpNoReply");
  EXPECT_EQ(row[9], "0");
  EXPECT_EQ(row[14], "0");
  EXPECT_EQ(row[20], "-1");
  EXPECT_EQ(row[31], "0");

  // The late answers to both ids of the abandoned poll match no entry.
  snmpd_->Resume();
  ASSERT_TRUE(WaitFor([&] { return answers_.size() == 3; })) << snmpd_->Log();
  EXPECT_EQ(answers_[1].request_id, 1000002);
  EXPECT_EQ(answers_[2].request_id, 1000003);
  EXPECT_EQ(h_.st.Pending, 0);
  EXPECT_TRUE(bad_.empty());
}

TEST_F(SnmpdPollTest, SnmpV3DiscoversInsideTheSenderAndRaisesTheEngineTimeOnEveryRequest) {
  h_.st.SecProfileList[1] = {"shauser", 1, "authpass123", 2, "", 0};
  TrendListEntry& e = AddV3Entry("ShaUser");
  TickAt(At(2, 30));
  ASSERT_TRUE(WaitFor([&] { return answers_.size() == 1; })) << snmpd_->Log();
  EXPECT_EQ(answers_[0].request_id, kFirstMessId);
  EXPECT_EQ(answers_[0].error_status, 0);
  EXPECT_EQ(answers_[0].ObjValue(0), "testlab");
  EXPECT_EQ(e.PollEngineId, std::string(testing::kSnmpdEngineId, 14));
  EXPECT_EQ(e.PollEngineBoots, 1);
  const int32_t t0 = e.PollEngineTime;
  const std::vector<std::string> disc = h_.Trace(kTraceDiscEngineId);
  ASSERT_GE(disc.size(), 10u);
  EXPECT_EQ(disc[0].substr(23), " -->  Discover EngineId");
  EXPECT_EQ(disc[2].substr(23), " <--  DiscoveryResponse");
  EXPECT_EQ(disc[4].substr(23), " EngineId: " + kSnmpdEngineText);
  EXPECT_EQ(disc[7].substr(23), " User: shauser");
  EXPECT_EQ(disc[8].substr(23), " SecurityLevel: 1");
  std::vector<std::string> row = LastRow(kTraceSnmpPollV3);
  ASSERT_EQ(row.size(), 76u);
  EXPECT_EQ(row[11], kSnmpdEngineText);
  EXPECT_EQ(row[13], std::to_string(t0)) << "the engine was not known before this request";

  snmpd_->Pause();
  e.PollNextTime = At(2, 40);
  const DateTime requests[] = {At(2, 40), At(2, 50), At(3, 0)};
  for (int n = 1; n <= 3; ++n) {
    TickAt(requests[n - 1]);
    EXPECT_EQ(e.PollEngineTime, t0 + 300 * n);
    EXPECT_EQ(LastRow(kTraceSnmpPollV3)[13], std::to_string(t0 + 300 * n));
  }
  EXPECT_EQ(e.PollRetryTimes, 2);
  TickAt(At(3, 10));
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(e.PollEngineId, "") << "the next poll discovers again";
  EXPECT_EQ(h_.st.PendingV3, 0);
  EXPECT_EQ(LastRow(kTraceSnmpRespV3)[1], " <-- snmpNoReply");
}

TEST_F(SnmpdPollTest, SnmpV3PollsWithEveryProtocolCodeSnmpdSupports) {
  struct Profile {
    const char* user;
    int16_t level, auth, priv;
  };
  const Profile profiles[] = {{"noauthuser", 0, 0, 0}, {"md5user", 1, 1, 0},
                              {"shauser", 1, 2, 0},    {"sha256user", 1, 3, 0},
                              {"sha512user", 1, 4, 0}, {"md5des", 2, 1, 1},
                              {"shaaes", 2, 2, 2},     {"shaaes192", 2, 2, 4},
                              {"shaaes256", 2, 2, 5},  {"sha512aes256", 2, 4, 5}};
  int slot = 0;
  for (const Profile& p : profiles) {
    h_.st.SecProfileList[++slot] = {p.user, p.level, "authpass123", p.auth, "privpass123", p.priv};
    AddV3Entry(p.user);
  }
  for (int tick = 0; tick < 40 && answers_.size() < 10; ++tick) {
    timerPoll_Timer(h_.st);
    WaitFor([&] { return h_.st.PendingV3 == 0; }, 3000);
  }
  ASSERT_EQ(answers_.size(), 10u) << snmpd_->Log();
  std::vector<std::string> users;
  for (const SnmpResponse& r : answers_) users.push_back(r.user);
  std::vector<std::string> expected;
  for (const Profile& p : profiles) expected.push_back(p.user);
  EXPECT_EQ(users, expected) << "one answer per profile, in entry order";
  for (const SnmpResponse& r : answers_) {
    SCOPED_TRACE(r.user);
    EXPECT_EQ(r.error_status, 0);
    EXPECT_EQ(r.ObjValue(0), "testlab");
  }
  for (int16_t i = 1; i <= 10; ++i) {
    EXPECT_EQ(h_.st.TrendList[i].PollEngineId, std::string(testing::kSnmpdEngineId, 14));
    EXPECT_FALSE(h_.st.TrendList[i].PollPending);
  }
  EXPECT_TRUE(bad_.empty()) << bad_[0];
}

TEST_F(SnmpdPollTest, AReportIsTracedAndTheRequestWaitsForItsTimeOut) {
  h_.st.SecProfileList[1] = {"shauser", 1, "wrongpass123", 2, "", 0};
  TrendListEntry& e = AddV3Entry("shauser");
  TickAt(At(2, 30));
  const auto reported = [&] {
    const std::vector<std::string> disc = h_.Trace(kTraceDiscEngineId);
    return disc.size() >= 3 && disc[disc.size() - 2].find("Report: User:") != std::string::npos;
  };
  ASSERT_TRUE(WaitFor(reported)) << snmpd_->Log();
  const std::vector<std::string> disc = h_.Trace(kTraceDiscEngineId);
  EXPECT_EQ(disc[disc.size() - 3].substr(23, 54),
            " <--  Report: ErrorStatus:5, ErrorDescription:usmStats");
  EXPECT_EQ(disc[disc.size() - 2].substr(23), " <--  Report: User:shauser");
  EXPECT_TRUE(answers_.empty());
  EXPECT_TRUE(e.PollPending);
  EXPECT_EQ(h_.st.PendingV3, 1);
  EXPECT_TRUE(h_.Events().empty());
}

}  // namespace
}  // namespace quorlan
