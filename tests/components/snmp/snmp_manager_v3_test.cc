// The manager's SNMPv3 side against real agents on loopback: net-snmp's snmpd (every auth
// protocol, DES and the three AES sizes, the error Reports, the time window) and pysnmp's agent
// (3DES-EDE, which net-snmp lacks, and a second opinion on the others). A fake peer stages what
// no agent sends: forged and cut answers.
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "components/platform/platform.h"
#include "components/snmp/snmp_manager.h"
#include "components/snmp/snmp_v3.h"
#include "components/snmp/usm.h"
#include "support/ci.h"
#include "support/snmp_peers.h"

namespace quorlan {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kSysLocation = "1.3.6.1.2.1.1.6.0";
constexpr const char* kSysDescr = "1.3.6.1.2.1.1.1.0";
constexpr const char* kValues = ".1.3.6.1.4.1.32473.2.1.0 counter 4294967290\n";
constexpr const char* kCounter = "1.3.6.1.4.1.32473.2.1.0";

// One security profile as the poller passes it: level 0 user only, 1 adds authentication, 2 adds
// privacy.
struct Profile {
  std::string user;
  int auth_code = 0;
  int priv_code = 0;
  std::string auth_password = "authpass123";
  std::string priv_password = "privpass123";
};

struct Seen {
  int32_t request_id = 0;
  int error_status = 0;
  int version = 0;
  std::vector<std::optional<std::string>> values;
};

class V3Harness {
 public:
  // manual_clock: the loop runs on a ManualClock that only its idle polls and the test advance.
  explicit V3Harness(bool manual_clock = false)
      : loop_(manual_clock ? static_cast<Clock&>(manual_clock_) : clock_), manager_(loop_) {
    manager_.OnResponse = [this](const SnmpResponse& r) {
      Seen s{r.request_id, r.error_status, r.version, {}};
      for (int i = 0; i < r.ObjCount(); ++i) s.values.push_back(r.ObjValue(i));
      responses_.push_back(s);
    };
    manager_.OnDiscoveryResponse = [this](const SnmpDiscovery& d) { discoveries_.push_back(d); };
    manager_.OnReport = [this](const SnmpReport& r) { reports_.push_back(r); };
    manager_.OnBadPacket = [this](const SnmpBadPacket& b) { bad_.push_back(b); };
    manager_.OnError = [this](int, const std::string& d) { errors_.push_back(d); };
    manager_.SetTimeout(0);
    manager_.SetLocalHost("");
    manager_.SetActive(true);
  }

  // The settings in the order the poller makes them.
  void Configure(int port, const Profile& p, const std::string& engine_id = "", uint32_t boots = 0,
                 uint32_t time = 0) {
    manager_.Reset();
    manager_.SetRemoteHost("127.0.0.1");
    manager_.SetRemotePort(port);
    manager_.SetCommunity("public");
    manager_.SetSnmpVersion(3);
    manager_.SetRemoteEngineId(engine_id);
    manager_.SetRemoteEngineBoots(boots);
    manager_.SetRemoteEngineTime(time);
    manager_.SetUser(p.user);
    if (p.auth_code == 0) {
      manager_.SetAuthPassword("");
      return;
    }
    manager_.SetAuthPassword(p.auth_password);
    manager_.SetAuthProtocol(p.auth_code);
    if (p.priv_code == 0) return;
    manager_.SetPrivPassword(p.priv_password);
    manager_.SetPrivProtocol(p.priv_code);
  }

  // A discovery with the wait time the poller uses; true when it was answered.
  bool Discover() {
    const size_t before = discoveries_.size();
    manager_.SetTimeout(2);
    manager_.DiscoverEngine();
    manager_.SetTimeout(0);
    return discoveries_.size() == before + 1;
  }

  void Get(const std::vector<std::string>& oids, int32_t id) {
    manager_.SetObjCount(static_cast<int>(oids.size()));
    for (size_t i = 0; i < oids.size(); ++i) manager_.SetObjId(static_cast<int>(i), oids[i]);
    manager_.SetRequestId(id);
    manager_.SendGetRequest();
  }

  // Delivers events until done() or 5 s passed.
  bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(10);
    return done();
  }
  // Delivers events for ms milliseconds.
  void Pause(int ms) {
    WaitFor([] { return false; }, ms);
  }

  SystemClock clock_;
  ManualClock manual_clock_;
  EventLoop loop_;
  SnmpManager manager_;
  std::vector<Seen> responses_;
  std::vector<SnmpDiscovery> discoveries_;
  std::vector<SnmpReport> reports_;
  std::vector<SnmpBadPacket> bad_;
  std::vector<std::string> errors_;
};

// --- net-snmp's snmpd, started once for the suite ------------------------------------------------

class SnmpManagerV3SnmpdTest : public ::testing::Test, public V3Harness {
 protected:
  static void SetUpTestSuite() { snmpd_ = std::make_unique<testing::SnmpdPeer>(kValues, true); }
  static void TearDownTestSuite() { snmpd_.reset(); }
  int port() const { return snmpd_->port(); }

  // Discovers, polls one profile the way the poller does, and returns the response seen.
  std::optional<Seen> Poll(const Profile& p, int32_t id) {
    Configure(port(), p);
    if (!Discover()) return std::nullopt;
    Get({kSysLocation, kCounter}, id);
    if (!WaitFor([&] { return !responses_.empty() && responses_.back().request_id == id; })) {
      return std::nullopt;
    }
    return responses_.back();
  }

  static inline std::unique_ptr<testing::SnmpdPeer> snmpd_;
};

TEST_F(SnmpManagerV3SnmpdTest, DiscoveryReturnsTheEngineIdBootsAndTime) {
  Configure(port(), {"shauser", 2, 0});
  ASSERT_TRUE(Discover()) << snmpd_->Log();
  const SnmpDiscovery& d = discoveries_[0];
  EXPECT_EQ(d.engine_id, std::string(testing::kSnmpdEngineId, 14));
  EXPECT_EQ(d.engine_boots, 1u);
  EXPECT_LT(d.engine_time, 600u);
  EXPECT_EQ(d.user, "shauser");
  EXPECT_EQ(d.security_level, 1);
  EXPECT_EQ(d.source_host, "127.0.0.1");
  EXPECT_EQ(d.source_port, port());
  const auto known = manager_.KnownEngine("127.0.0.1", port());
  ASSERT_TRUE(known.has_value());
  EXPECT_EQ(known->engine_id, d.engine_id);
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(bad_.empty());
}

TEST_F(SnmpManagerV3SnmpdTest, DiscoveryWithoutWaitTimeReturnsAtOnceAndAnswersLater) {
  Configure(port(), {"noauthuser"});
  manager_.DiscoverEngine();
  EXPECT_TRUE(discoveries_.empty());
  EXPECT_TRUE(WaitFor([&] { return discoveries_.size() == 1; }));
}

TEST_F(SnmpManagerV3SnmpdTest, GetsAtEveryLevelWithEveryAuthAndPrivProtocol) {
  const Profile profiles[] = {{"noauthuser"},        {"md5user", 1},      {"shauser", 2},
                              {"sha256user", 3},     {"sha512user", 4},   {"md5des", 1, 1},
                              {"shaaes", 2, 2},      {"shaaes192", 2, 4}, {"shaaes256", 2, 5},
                              {"sha512aes256", 4, 5}};
  int32_t id = 1000001;
  for (const Profile& p : profiles) {
    SCOPED_TRACE(p.user);
    const std::optional<Seen> r = Poll(p, id++);
    ASSERT_TRUE(r.has_value()) << snmpd_->Log();
    EXPECT_EQ(r->version, 3);
    EXPECT_EQ(r->error_status, 0);
    EXPECT_EQ(r->values, (std::vector<std::optional<std::string>>{"testlab", "4294967290"}));
  }
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(bad_.empty());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(SnmpManagerV3SnmpdTest, AStaleEngineTimeDrawsAReportAndOneResendThatSucceeds) {
  Configure(port(), {"sha256user", 3});
  ASSERT_TRUE(Discover());
  const SnmpDiscovery d = discoveries_[0];
  // A resend of the poller advances the cached time by a whole poll interval: 900 s ahead.
  Configure(port(), {"sha256user", 3}, d.engine_id, d.engine_boots, d.engine_time + 900);
  Get({kSysLocation}, 1000777);
  ASSERT_TRUE(WaitFor([&] { return !responses_.empty(); })) << snmpd_->Log();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].error_status, report::kNotInTimeWindows);
  EXPECT_EQ(reports_[0].request_id, 1000777);
  EXPECT_EQ(reports_[0].user, "sha256user");
  EXPECT_EQ(reports_[0].security_level, 1) << "snmpd authenticates this Report";
  EXPECT_THAT(reports_[0].error_description,
              StartsWith("usmStatsNotInTimeWindows: request for user sha256user outside the time "
                         "window of 127.0.0.1:"));
  EXPECT_THAT(reports_[0].error_description, HasSubstr("request resent"));
  ASSERT_EQ(responses_.size(), 1u);
  EXPECT_EQ(responses_[0].request_id, 1000777);
  EXPECT_EQ(responses_[0].values, (std::vector<std::optional<std::string>>{"testlab"}));
  EXPECT_EQ(manager_.stats().resends, 1u);
  // The next request without engine values of its own uses the corrected clock.
  Configure(port(), {"sha256user", 3});
  Get({kSysLocation}, 1000778);
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 2; }));
  EXPECT_EQ(reports_.size(), 1u);
}

TEST_F(SnmpManagerV3SnmpdTest, AStaleProgramEngineTimeCostsOneReportNotOneOnEveryRequest) {
  // The poller keeps passing its own engine time, 900 s ahead since a resend; AES-256 takes boots
  // and time into its IV, so the resend and the corrected requests must carry the same ones.
  Configure(port(), {"shaaes256", 2, 5});
  ASSERT_TRUE(Discover());
  const SnmpDiscovery d = discoveries_[0];
  for (int32_t id : {1000881, 1000882, 1000883}) {
    Configure(port(), {"shaaes256", 2, 5}, d.engine_id, d.engine_boots, d.engine_time + 900);
    Get({kSysLocation}, id);
    ASSERT_TRUE(WaitFor([&] { return !responses_.empty() && responses_.back().request_id == id; }))
        << snmpd_->Log();
    EXPECT_EQ(responses_.back().values, (std::vector<std::optional<std::string>>{"testlab"}));
  }
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].error_status, report::kNotInTimeWindows);
  EXPECT_EQ(reports_[0].request_id, 1000881);
  EXPECT_EQ(manager_.stats().resends, 1u);
  EXPECT_TRUE(bad_.empty());
}

TEST_F(SnmpManagerV3SnmpdTest, AWrongAuthPasswordDrawsAWrongDigestsReportAndNoResponse) {
  Configure(port(), {"shaaes", 2, 2, "wrongpass123"});
  ASSERT_TRUE(Discover());
  Get({kSysLocation}, 5);
  ASSERT_TRUE(WaitFor([&] { return !reports_.empty(); })) << snmpd_->Log();
  Pause(200);
  EXPECT_TRUE(responses_.empty());
  ASSERT_EQ(reports_.size(), 1u);
  const SnmpReport& r = reports_[0];
  EXPECT_EQ(r.error_status, report::kWrongDigests);
  EXPECT_EQ(r.request_id, 5);
  EXPECT_EQ(r.user, "shaaes");
  EXPECT_EQ(r.error_description,
            fmt::format("usmStatsWrongDigests: authentication failed for user shaaes at "
                        "127.0.0.1:{} (wrong authentication password or protocol)",
                        port()));
  // A wrong protocol is the same failure.
  Configure(port(), {"shauser", 1});
  Get({kSysLocation}, 6);
  ASSERT_TRUE(WaitFor([&] { return reports_.size() == 2; }));
  EXPECT_EQ(reports_[1].error_status, report::kWrongDigests);
  EXPECT_TRUE(responses_.empty());
}

TEST_F(SnmpManagerV3SnmpdTest, AnUnknownUserDrawsAnUnknownUserNamesReport) {
  Configure(port(), {"nosuchuser", 2});
  ASSERT_TRUE(Discover());
  Get({kSysLocation}, 7);
  ASSERT_TRUE(WaitFor([&] { return !reports_.empty(); })) << snmpd_->Log();
  Pause(200);
  EXPECT_TRUE(responses_.empty());
  EXPECT_EQ(reports_[0].error_status, report::kUnknownUserNames);
  EXPECT_EQ(reports_[0].user, "nosuchuser");
  EXPECT_EQ(
      reports_[0].error_description,
      fmt::format("usmStatsUnknownUserNames: user nosuchuser unknown at 127.0.0.1:{}", port()));
}

TEST_F(SnmpManagerV3SnmpdTest, AWaitedGetReturnsWithItsAnswerOrFailsWithItsReport) {
  Configure(port(), {"md5des", 1, 1});
  ASSERT_TRUE(Discover());
  manager_.SetTimeout(2);
  Get({kSysLocation}, 8);
  ASSERT_EQ(responses_.size(), 1u);
  EXPECT_EQ(responses_[0].request_id, 8);

  // snmpd's wrongDigests Report is unauthenticated: it cannot end the request before its wait
  // time, but the failure names it.
  Configure(port(), {"md5des", 1, 1, "wrongpass123"});
  manager_.SetTimeout(1);
  try {
    Get({kSysLocation}, 9);
    FAIL() << "a Report was expected";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description(),
              fmt::format("GET request 9 to 127.0.0.1:{0}: usmStatsWrongDigests: authentication "
                          "failed for user md5des at 127.0.0.1:{0} (wrong authentication password "
                          "or protocol) (unauthenticated; no authenticated answer within 1 s)",
                          port()));
  }
  EXPECT_EQ(reports_.size(), 1u);
  EXPECT_EQ(responses_.size(), 1u);
}

TEST_F(SnmpManagerV3SnmpdTest, ABlockingGetMadeInsideAnotherOnesWaitDoesNotEndIt) {
  Configure(port(), {"shauser", 2});
  ASSERT_TRUE(Discover());
  UdpSocket silent;  // an agent that never answers
  silent.Open("127.0.0.1", 0);
  std::vector<std::string> inner_errors;
  loop_.Post([&] {
    // A handler delivered during the outer wait polls two other devices, blocking too.
    try {
      Configure(port(), {"shauser", 2});
      Get({kSysLocation}, 602);
      manager_.Reset();
      manager_.SetSnmpVersion(2);
      Get({kSysLocation}, 603);
    } catch (const RuntimeError& e) {
      inner_errors.push_back(e.description());
    }
  });
  Configure(silent.LocalPort(), {"noauthuser"}, std::string(testing::kSnmpdEngineId, 14), 0, 0);
  manager_.SetTimeout(1);
  try {
    Get({kSysLocation}, 601);
    ADD_FAILURE() << "the outer GET was never answered";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description(), fmt::format("GET request 601 to 127.0.0.1:{}: no answer within 1 s",
                                           silent.LocalPort()));
  }
  EXPECT_TRUE(inner_errors.empty()) << inner_errors[0];
  ASSERT_EQ(responses_.size(), 2u) << snmpd_->Log();
  EXPECT_EQ(responses_[0].request_id, 602);
  EXPECT_EQ(responses_[0].version, 3);
  EXPECT_EQ(responses_[1].request_id, 603);
  EXPECT_EQ(responses_[1].version, 2);
}

TEST_F(SnmpManagerV3SnmpdTest, ALevelBelowTheUsersIsAnAuthorizationErrorFromSnmpd) {
  const std::optional<Seen> r = Poll({"shaaes", 2}, 11);
  ASSERT_TRUE(r.has_value()) << snmpd_->Log();
  EXPECT_EQ(r->error_status, 16);  // authorizationError
  EXPECT_TRUE(reports_.empty());
}

TEST_F(SnmpManagerV3SnmpdTest, NoAuthNoPrivWithTheEngineValuesOfALevelZeroProfile) {
  // A level-0 profile passes the cached engine id with boots and time 0.
  Configure(port(), {"noauthuser"});
  ASSERT_TRUE(Discover());
  Configure(port(), {"noauthuser"}, discoveries_[0].engine_id, 0, 0);
  Get({kSysLocation}, 10);
  ASSERT_TRUE(WaitFor([&] { return !responses_.empty(); }));
  EXPECT_EQ(responses_[0].values, (std::vector<std::optional<std::string>>{"testlab"}));
  EXPECT_TRUE(reports_.empty());
}

// --- pysnmp's agent: 3DES-EDE and a second implementation of the others --------------------------

TEST(SnmpManagerV3PysnmpTest, GetsWith3DesAndTheOtherProtocolsFromPysnmp) {
  const std::string why = testing::PysnmpPeer::Unavailable();
  if (!why.empty()) {
    SKIP_OR_FAIL_UNDER_CI("pysnmp peer unavailable (install python3-pysnmp4): " + why);
  }
  const Profile profiles[] = {
      {"sha-3des", 2, 3},   {"md5-3des", 1, 3},    {"sha512-3des", 4, 3}, {"md5-des", 1, 1},
      {"sha-aes128", 2, 2}, {"sha-aes192b", 2, 4}, {"md5-aes256b", 1, 5}, {"sha256-aes256b", 3, 5},
      {"noauth"},           {"sha512-none", 4}};
  std::string users;
  for (const Profile& p : profiles) users += (users.empty() ? "" : ",") + p.user;
  testing::PysnmpPeer agent(users);
  V3Harness h;
  int32_t id = 2000001;
  for (const Profile& p : profiles) {
    SCOPED_TRACE(p.user);
    h.Configure(agent.port(), p);
    ASSERT_TRUE(h.Discover()) << agent.Log();
    EXPECT_EQ(h.discoveries_.back().engine_id, std::string(testing::kPysnmpEngineId, 15));
    h.Get({kSysDescr, kSysLocation}, id);
    ASSERT_TRUE(h.WaitFor([&] {
      return !h.responses_.empty() && h.responses_.back().request_id == id;
    })) << agent.Log();
    EXPECT_EQ(h.responses_.back().values,
              (std::vector<std::optional<std::string>>{"pysnmp test agent", "testlab"}));
    ++id;
  }
  // A privacy user asked at authNoPriv: pysnmp reports usmStatsUnsupportedSecLevels.
  h.Configure(agent.port(), {"sha-aes128", 2});
  ASSERT_TRUE(h.Discover());
  h.Get({kSysLocation}, id++);
  ASSERT_TRUE(h.WaitFor([&] { return !h.reports_.empty(); })) << agent.Log();
  EXPECT_EQ(h.reports_[0].error_status, report::kUnsupportedSecLevels);
  EXPECT_THAT(h.reports_[0].error_description,
              StartsWith("usmStatsUnsupportedSecLevels: security level authNoPriv not supported "
                         "for user sha-aes128 at 127.0.0.1:"));
  h.reports_.clear();

  // pysnmp too answers a stale engine time with an authenticated notInTimeWindow Report. A fresh
  // manager: this one has the engine's authenticated clock and would send that instead.
  V3Harness fresh;
  fresh.Configure(agent.port(), {"sha-3des", 2, 3});
  ASSERT_TRUE(fresh.Discover());
  const SnmpDiscovery d = fresh.discoveries_.back();
  fresh.Configure(agent.port(), {"sha-3des", 2, 3}, d.engine_id, d.engine_boots,
                  d.engine_time + 900);
  fresh.Get({kSysLocation}, id);
  ASSERT_TRUE(fresh.WaitFor([&] {
    return !fresh.responses_.empty() && fresh.responses_.back().request_id == id;
  })) << agent.Log();
  ASSERT_EQ(fresh.reports_.size(), 1u);
  EXPECT_EQ(fresh.reports_[0].error_status, report::kNotInTimeWindows);
  EXPECT_EQ(fresh.manager_.stats().resends, 1u);
  EXPECT_TRUE(fresh.bad_.empty());
  EXPECT_TRUE(fresh.errors_.empty());
  EXPECT_TRUE(h.bad_.empty());
  EXPECT_TRUE(h.errors_.empty());
}

// --- a fake agent: forged, cut and stray answers
// ---------------------------------------------------

class SnmpManagerV3FakePeerTest : public ::testing::Test, public V3Harness {
 protected:
  explicit SnmpManagerV3FakePeerTest(bool manual_clock = false) : V3Harness(manual_clock) {
    peer_.Open("127.0.0.1", 0);
  }

  // Receives the manager's next request.
  snmp::V3Message Receive(std::string* wire = nullptr) {
    UdpSocket::Datagram dg;
    bool got = false;
    EXPECT_TRUE(WaitFor([&] { return got = got || peer_.Receive(&dg); }));
    from_port_ = dg.from_port;
    snmp::V3Message m;
    EXPECT_TRUE(snmp::DecodeV3Message(dg.data, &m).ok());
    if (wire != nullptr) *wire = dg.data;
    return m;
  }

  // An authNoPriv answer to request m, signed with the key of password.
  std::string Answer(const snmp::V3Message& m, snmp::PduType type, int32_t request_id,
                     const std::string& password, uint8_t flags = snmp::msgflag::kAuth,
                     uint32_t boots = 3, uint32_t time = 5000) {
    snmp::ScopedPdu s;
    s.context_engine_id = kEngine;
    s.pdu.type = type;
    s.pdu.request_id = request_id;
    s.pdu.varbinds.push_back({type == snmp::PduType::kReport
                                  ? snmp::Oid{1, 3, 6, 1, 6, 3, 15, 1, 1, 2, 0}
                                  : snmp::Oid{1, 3, 6, 1, 2, 1, 1, 6, 0},
                              type == snmp::PduType::kReport
                                  ? snmp::Value::Unsigned(snmp::ValueType::kCounter32, 1)
                                  : snmp::Value::Bytes(snmp::ValueType::kOctetString, "forged")});
    snmp::V3Message a;
    a.msg_id = m.msg_id;
    a.flags = flags;
    a.engine_id = kEngine;
    a.boots = boots;
    a.time = time;
    a.user = m.user;
    if (flags & snmp::msgflag::kAuth) a.auth_params.assign(12, '\0');
    a.data = snmp::EncodeScopedPdu(s);
    std::string wire = snmp::EncodeV3Message(&a);
    if (flags & snmp::msgflag::kAuth) {
      const usm::Bytes key =
          usm::LocalizedAuthKey(usm::AuthProtocol::kHmacSha, password, usm::AsBytes(kEngine));
      usm::SignMessage(usm::AuthProtocol::kHmacSha, key,
                       std::span<uint8_t>(reinterpret_cast<uint8_t*>(wire.data()), wire.size()),
                       a.auth_offset);
    }
    return wire;
  }

  void Send(const std::string& wire) { peer_.SendTo("127.0.0.1", manager_.LocalPort(), wire); }

  const std::string kEngine = std::string(
      "\x80\x00\x1f\x88\x04"
      "fake",
      9);
  UdpSocket peer_;
  int from_port_ = 0;
};

TEST_F(SnmpManagerV3FakePeerTest, ForgedCutAndStrayAnswersNeverReachTheResponseEvent) {
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 31);
  const snmp::V3Message req = Receive();
  EXPECT_EQ(req.flags, snmp::msgflag::kAuth | snmp::msgflag::kReportable);
  EXPECT_EQ(req.boots, 3u);
  EXPECT_EQ(req.time, 5000u);
  EXPECT_EQ(req.user, "ops");
  EXPECT_EQ(req.max_size, 65507);

  const std::string good = Answer(req, snmp::PduType::kGetResponse, 31, "authpass123");
  Send(Answer(req, snmp::PduType::kGetResponse, 31, "otherpass123"));  // wrong key
  Send(good.substr(0, good.size() - 1));                               // cut
  std::string flipped = good;
  flipped[flipped.size() - 2] ^= 0x01;  // the value changed in transit
  Send(flipped);
  Send(Answer(req, snmp::PduType::kGetResponse, 31, "", 0));          // unauthenticated
  Send(Answer(req, snmp::PduType::kGetResponse, 32, "authpass123"));  // another request id
  snmp::V3Message stray = req;
  stray.msg_id = req.msg_id + 1000;
  Send(Answer(stray, snmp::PduType::kGetResponse, 31, "authpass123"));  // no such msgID
  ASSERT_TRUE(WaitFor([&] { return bad_.size() == 6; }));
  EXPECT_TRUE(responses_.empty());
  const std::string from = fmt::format("from 127.0.0.1:{}", peer_.LocalPort());
  EXPECT_EQ(bad_[0].error_code, ber::code::kAuthFailure);
  EXPECT_THAT(bad_[0].error_text, StartsWith("authentication failure for user ops " + from +
                                             " (authentication failure: HMAC-SHA-96 digest "
                                             "mismatch"));
  EXPECT_EQ(bad_[1].error_code, ber::code::kTruncated);
  EXPECT_EQ(bad_[2].error_code, ber::code::kAuthFailure);
  EXPECT_EQ(bad_[3].error_code, ber::code::kAuthFailure);
  EXPECT_THAT(bad_[3].error_text, HasSubstr("security level noAuthNoPriv instead of authNoPriv"));
  EXPECT_EQ(bad_[4].error_code, ber::code::kNotAnAnswer);
  EXPECT_THAT(bad_[4].error_text, HasSubstr("request id 32 instead of 31"));
  EXPECT_EQ(bad_[5].error_code, ber::code::kNotAnAnswer);

  // The genuine answer still gets through, once.
  Send(good);
  Send(good);
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1 && bad_.size() == 7; }));
  EXPECT_EQ(responses_[0].request_id, 31);
  EXPECT_EQ(responses_[0].values, (std::vector<std::optional<std::string>>{"forged"}));
  EXPECT_EQ(bad_[6].error_code, ber::code::kNotAnAnswer) << "a replay answers nothing";
}

TEST_F(SnmpManagerV3FakePeerTest, ASharedKeyCacheHashesEachPasswordOnceAndItsKeysAuthenticate) {
  usm::KeyCache shared;
  manager_.SetKeyCache(&shared);
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 41);
  Receive();
  Get({kSysLocation}, 42);
  const snmp::V3Message second = Receive();
  EXPECT_EQ(shared.password_hashes(), 1);
  Send(Answer(second, snmp::PduType::kGetResponse, 42, "authpass123"));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1; }));
  EXPECT_EQ(responses_[0].request_id, 42);

  manager_.SetKeyCache(nullptr);  // back to the manager's own cache
  Get({kSysLocation}, 43);
  Receive();
  EXPECT_EQ(shared.password_hashes(), 1);
}

TEST_F(SnmpManagerV3FakePeerTest, AForgedV2cAnswerWithTheIdOfAnSnmpV3RequestIsRefused) {
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 1000007);
  const snmp::V3Message req = Receive();
  // From the agent's own address and port, with the right request id, but no credentials.
  snmp::CommunityMessage forged;
  forged.version = snmp::version::kV2c;
  forged.community = "public";
  forged.pdu.type = snmp::PduType::kGetResponse;
  forged.pdu.request_id = 1000007;
  forged.pdu.varbinds.push_back(
      {{1, 3, 6, 1, 2, 1, 1, 6, 0}, snmp::Value::Bytes(snmp::ValueType::kOctetString, "forged")});
  Send(snmp::EncodeMessage(forged));
  ASSERT_TRUE(WaitFor([&] { return bad_.size() == 1; }));
  EXPECT_EQ(bad_[0].error_code, ber::code::kNotAnAnswer);
  EXPECT_EQ(
      bad_[0].error_text,
      fmt::format("unsolicited answer from 127.0.0.1:{}, request id 1000007", peer_.LocalPort()));
  EXPECT_TRUE(responses_.empty());
  // The SNMPv3 request is still outstanding: its genuine answer is delivered.
  Send(Answer(req, snmp::PduType::kGetResponse, 1000007, "authpass123"));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1; }));
  EXPECT_EQ(responses_[0].request_id, 1000007);
  EXPECT_EQ(responses_[0].version, 3);
}

TEST_F(SnmpManagerV3FakePeerTest, ARediscoveryForgetsTheClockOfAnEngineThatRestarted) {
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 71);
  snmp::V3Message req = Receive();
  Send(Answer(req, snmp::PduType::kGetResponse, 71, "authpass123", snmp::msgflag::kAuth, 3, 5000));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1; }));
  Get({kSysLocation}, 70);
  const snmp::V3Message before = Receive();
  // The agent restarts without raising its boots: its clock is at 100 now. The poller gives the
  // poll up and discovers the engine again.
  Configure(peer_.LocalPort(), {"ops", 2});
  manager_.DiscoverEngine();
  const snmp::V3Message probe = Receive();
  snmp::ScopedPdu s;
  s.context_engine_id = kEngine;
  s.pdu.type = snmp::PduType::kReport;
  s.pdu.request_id = snmp::DecodeScopedPdu(probe.data).pdu.request_id;
  s.pdu.varbinds.push_back(
      {{1, 3, 6, 1, 6, 3, 15, 1, 1, 4, 0}, snmp::Value::Unsigned(snmp::ValueType::kCounter32, 1)});
  snmp::V3Message report;
  report.msg_id = probe.msg_id;
  report.engine_id = kEngine;
  report.boots = 3;
  report.time = 100;
  report.data = snmp::EncodeScopedPdu(s);
  Send(snmp::EncodeV3Message(&report));
  ASSERT_TRUE(WaitFor([&] { return discoveries_.size() == 1; }));
  // A late answer from before the restart is still an answer, but its clock is of the past.
  Send(Answer(before, snmp::PduType::kGetResponse, 70, "authpass123", snmp::msgflag::kAuth, 3,
              5010));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 2; }));
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 100);
  Get({kSysLocation}, 72);
  req = Receive();
  EXPECT_EQ(req.boots, 3u);
  EXPECT_LE(req.time, 110u);
  Send(Answer(req, snmp::PduType::kGetResponse, 72, "authpass123", snmp::msgflag::kAuth, 3, 105));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 3; }));
  EXPECT_EQ(responses_[2].request_id, 72);
  EXPECT_TRUE(bad_.empty()) << bad_[0].error_text;
}

TEST_F(SnmpManagerV3FakePeerTest, AnAnswerThatDoesNotDecryptIsABadPacket) {
  Configure(peer_.LocalPort(), {"ops", 2, 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 51);
  const snmp::V3Message req = Receive();
  EXPECT_EQ(req.flags, snmp::msgflag::kAuth | snmp::msgflag::kPriv | snmp::msgflag::kReportable);
  // Authentic, but encrypted with another privacy password.
  snmp::ScopedPdu s;
  s.context_engine_id = kEngine;
  s.pdu.type = snmp::PduType::kGetResponse;
  s.pdu.request_id = 51;
  const usm::Bytes priv =
      usm::LocalizedPrivKey(usm::AuthProtocol::kHmacSha, usm::PrivProtocol::kAes128, "otherpriv123",
                            usm::AsBytes(kEngine));
  usm::SaltSource salts(1, 1);
  const std::string plain = snmp::EncodeScopedPdu(s);
  const usm::EncryptedPdu enc =
      usm::EncryptScopedPdu(usm::PrivProtocol::kAes128, priv, 3, 5000, usm::AsBytes(plain), salts);
  snmp::V3Message a;
  a.msg_id = req.msg_id;
  a.flags = snmp::msgflag::kAuth | snmp::msgflag::kPriv;
  a.engine_id = kEngine;
  a.boots = 3;
  a.time = 5000;
  a.user = "ops";
  a.auth_params.assign(12, '\0');
  a.priv_params.assign(enc.priv_params.begin(), enc.priv_params.end());
  a.data.assign(enc.ciphertext.begin(), enc.ciphertext.end());
  std::string wire = snmp::EncodeV3Message(&a);
  usm::SignMessage(
      usm::AuthProtocol::kHmacSha,
      usm::LocalizedAuthKey(usm::AuthProtocol::kHmacSha, "authpass123", usm::AsBytes(kEngine)),
      std::span<uint8_t>(reinterpret_cast<uint8_t*>(wire.data()), wire.size()), a.auth_offset);
  Send(wire);
  ASSERT_TRUE(WaitFor([&] { return bad_.size() == 1; }));
  EXPECT_EQ(bad_[0].error_code, ber::code::kDecryptFailure);
  EXPECT_THAT(bad_[0].error_text,
              StartsWith(fmt::format("decryption failure for user ops from 127.0.0.1:{} "
                                     "(decryption failure: ",
                                     peer_.LocalPort())));
  EXPECT_TRUE(responses_.empty());
}

TEST_F(SnmpManagerV3FakePeerTest, NoCutOrAlteredCopyOfAGenuineAnswerIsEverAResponse) {
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 41);
  const snmp::V3Message req = Receive();
  const std::string good = Answer(req, snmp::PduType::kGetResponse, 41, "authpass123");
  size_t sent = 0;
  for (size_t n = 0; n < good.size(); ++n, ++sent) Send(good.substr(0, n));
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t x : {0x01, 0x04, 0x80}) {
      std::string forged = good;
      forged[i] = static_cast<char>(forged[i] ^ x);
      Send(forged);
      ++sent;
    }
    if (i % 64 == 63) Pause(5);  // keep the socket buffer from overflowing
  }
  ASSERT_TRUE(WaitFor([&] { return bad_.size() == sent; }))
      << bad_.size() << " of " << sent << " refused";
  EXPECT_TRUE(responses_.empty());
  EXPECT_TRUE(errors_.empty());
  Send(good);
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1; }));
  EXPECT_EQ(responses_[0].request_id, 41);
}

TEST(SnmpManagerV3ClockTest, DiscoveryIsAnonymousAndWhatItLearntKeepsTheEngineTimeMoving) {
  ManualClock clock;
  EventLoop loop(clock);
  SnmpManager manager(loop);
  std::vector<SnmpDiscovery> found;
  manager.OnDiscoveryResponse = [&](const SnmpDiscovery& d) { found.push_back(d); };
  manager.SetActive(true);
  UdpSocket peer;
  peer.Open("127.0.0.1", 0);
  auto receive = [&] {
    UdpSocket::Datagram dg;
    for (int i = 0; i < 500 && !peer.Receive(&dg); ++i) loop.RunOnce(10);
    snmp::V3Message m;
    EXPECT_TRUE(snmp::DecodeV3Message(dg.data, &m).ok());
    return m;
  };
  manager.SetRemoteHost("127.0.0.1");
  manager.SetRemotePort(peer.LocalPort());
  manager.SetSnmpVersion(3);
  manager.SetUser("ops");
  manager.SetAuthPassword("authpass123");
  manager.SetAuthProtocol(2);
  manager.DiscoverEngine();
  const snmp::V3Message probe = receive();
  EXPECT_EQ(probe.flags, snmp::msgflag::kReportable);
  EXPECT_EQ(probe.engine_id, "");
  EXPECT_EQ(probe.user, "");
  EXPECT_EQ(probe.boots, 0u);
  EXPECT_EQ(probe.time, 0u);
  const snmp::ScopedPdu probe_pdu = snmp::DecodeScopedPdu(probe.data);
  EXPECT_EQ(probe_pdu.context_engine_id, "");
  EXPECT_TRUE(probe_pdu.pdu.varbinds.empty());

  // The agent's Report: its engine id, boots 3, time 5000.
  const std::string engine(
      "\x80\x00\x1f\x88\x04"
      "fake",
      9);
  snmp::ScopedPdu s;
  s.context_engine_id = engine;
  s.pdu.type = snmp::PduType::kReport;
  s.pdu.request_id = probe_pdu.pdu.request_id;
  s.pdu.varbinds.push_back(
      {{1, 3, 6, 1, 6, 3, 15, 1, 1, 4, 0}, snmp::Value::Unsigned(snmp::ValueType::kCounter32, 1)});
  snmp::V3Message report;
  report.msg_id = probe.msg_id;
  report.engine_id = engine;
  report.boots = 3;
  report.time = 5000;
  report.data = snmp::EncodeScopedPdu(s);
  peer.SendTo("127.0.0.1", manager.LocalPort(), snmp::EncodeV3Message(&report));
  for (int i = 0; i < 500 && found.empty(); ++i) loop.RunOnce(10);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].engine_id, engine);
  EXPECT_EQ(found[0].engine_boots, 3u);
  EXPECT_EQ(found[0].engine_time, 5000u);
  EXPECT_EQ(found[0].user, "ops");
  EXPECT_EQ(found[0].security_level, 1);

  // Two minutes later a request without engine values of its own carries the engine's time now.
  clock.Advance(120'000);
  manager.SetObjCount(1);
  manager.SetObjId(0, kSysLocation);
  manager.SetRequestId(12);
  manager.SendGetRequest();
  const snmp::V3Message get = receive();
  EXPECT_EQ(get.engine_id, engine);
  EXPECT_EQ(get.user, "ops");
  EXPECT_EQ(get.boots, 3u);
  EXPECT_GE(get.time, 5120u);
  EXPECT_LE(get.time, 5130u);
}

TEST(SnmpManagerV3WaitTest, ADiscoveryThatGetsNoAnswerFailsAfterTheWaitTime) {
  ManualClock clock;  // a silent peer: the loop's polls advance this clock by their time-out
  EventLoop loop(clock);
  SnmpManager manager(loop);
  manager.SetActive(true);
  manager.SetRemoteHost("127.0.0.1");
  const int port = testing::FreeUdpPort();
  manager.SetRemotePort(port);
  manager.SetSnmpVersion(3);
  manager.SetTimeout(2);
  const int64_t start = clock.MonotonicMs();
  try {
    manager.DiscoverEngine();
    FAIL() << "no answer expected";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description(),
              fmt::format("discover engine at 127.0.0.1:{}: no answer within 2 s", port));
  }
  EXPECT_GE(clock.MonotonicMs() - start, 2000);
  EXPECT_FALSE(manager.KnownEngine("127.0.0.1", port).has_value());
}

TEST_F(SnmpManagerV3FakePeerTest, AnAuthenticatedNotInTimeWindowReportResendsOnceWithItsClock) {
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 9999);
  Get({kSysLocation}, 77);
  std::string first_wire;
  const snmp::V3Message first = Receive(&first_wire);
  Send(Answer(first, snmp::PduType::kReport, 0, "authpass123"));
  const snmp::V3Message again = Receive();
  EXPECT_NE(again.msg_id, first.msg_id);
  EXPECT_EQ(again.boots, 3u);
  EXPECT_EQ(again.time, 5000u);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].request_id, 77);
  EXPECT_EQ(reports_[0].error_status, report::kNotInTimeWindows);
  // A second notInTimeWindow Report for the resend does not resend again.
  Send(Answer(again, snmp::PduType::kReport, 0, "authpass123"));
  ASSERT_TRUE(WaitFor([&] { return reports_.size() == 2; }));
  UdpSocket::Datagram dg;
  Pause(100);
  EXPECT_FALSE(peer_.Receive(&dg));
  EXPECT_EQ(manager_.stats().resends, 1u);
  // An unauthenticated one never moves the clock or resends.
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 9999);
  Get({kSysLocation}, 78);
  const snmp::V3Message third = Receive();
  Send(Answer(third, snmp::PduType::kReport, 0, "", 0));
  ASSERT_TRUE(WaitFor([&] { return reports_.size() == 3; }));
  Pause(100);
  EXPECT_FALSE(peer_.Receive(&dg));
  EXPECT_TRUE(responses_.empty());
}

TEST_F(SnmpManagerV3FakePeerTest, AForgedUnauthenticatedReportDoesNotEndAnAuthenticatedRequest) {
  // The agent answers each request with a Report anyone could have sent, then the true answer.
  const EventLoop::WatchId watch = loop_.WatchReadable(peer_.fd(), [&] {
    UdpSocket::Datagram dg;
    while (peer_.Receive(&dg)) {
      snmp::V3Message req;
      ASSERT_TRUE(snmp::DecodeV3Message(dg.data, &req).ok());
      const int32_t id = snmp::DecodeScopedPdu(req.data).pdu.request_id;
      Send(Answer(req, snmp::PduType::kReport, id, "", 0));
      Send(Answer(req, snmp::PduType::kGetResponse, id, "authpass123"));
    }
  });
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  manager_.SetTimeout(2);
  EXPECT_NO_THROW(Get({kSysLocation}, 61));
  ASSERT_EQ(responses_.size(), 1u);
  EXPECT_EQ(responses_[0].request_id, 61);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].security_level, 0);
  EXPECT_EQ(manager_.stats().resends, 0u) << "an unauthenticated clock is never taken";
  EXPECT_TRUE(bad_.empty());
  loop_.Unwatch(watch);

  // An unauthenticated answer from another address or port answers nothing.
  manager_.SetTimeout(0);
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 62);
  const snmp::V3Message req = Receive();
  UdpSocket other;
  other.Open("127.0.0.1", 0);
  other.SendTo("127.0.0.1", manager_.LocalPort(), Answer(req, snmp::PduType::kReport, 62, "", 0));
  ASSERT_TRUE(WaitFor([&] { return bad_.size() == 1; }));
  EXPECT_EQ(bad_[0].error_code, ber::code::kNotAnAnswer);
  EXPECT_EQ(bad_[0].error_text,
            fmt::format("unauthenticated SNMPv3 message with msgID {} from 127.0.0.1:{} answers a "
                        "request sent to 127.0.0.1:{} (not meant for this manager, or forged)",
                        req.msg_id, other.LocalPort(), peer_.LocalPort()));
  EXPECT_EQ(reports_.size(), 1u);
  // The authenticated answer from elsewhere (a device with several addresses) is proven by its
  // digest.
  other.SendTo("127.0.0.1", manager_.LocalPort(),
               Answer(req, snmp::PduType::kGetResponse, 62, "authpass123"));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 2; }));
  EXPECT_EQ(responses_[1].request_id, 62);
}

TEST_F(SnmpManagerV3FakePeerTest, TheProgramsOwnEngineValuesAreUsedUnlessTheyLeftTheWindow) {
  // Nothing authenticated learnt yet: the values go out as the program set them.
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 4000);
  Get({kSysLocation}, 81);
  snmp::V3Message req = Receive();
  EXPECT_EQ(req.engine_id, kEngine);
  EXPECT_EQ(req.boots, 3u);
  EXPECT_EQ(req.time, 4000u);
  Send(Answer(req, snmp::PduType::kGetResponse, 81, "authpass123"));  // boots 3, time 5000
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1; }));

  // Inside the window of the engine's authenticated clock: still the program's own.
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5120);
  Get({kSysLocation}, 82);
  req = Receive();
  EXPECT_EQ(req.boots, 3u);
  EXPECT_EQ(req.time, 5120u);
  // Another engine id: the program's own, whatever was learnt of this target.
  const std::string other_engine("\x80\x00\x1f\x88\x04other", 10);
  Configure(peer_.LocalPort(), {"ops", 2}, other_engine, 7, 100);
  Get({kSysLocation}, 83);
  req = Receive();
  EXPECT_EQ(req.engine_id, other_engine);
  EXPECT_EQ(req.boots, 7u);
  EXPECT_EQ(req.time, 100u);
  // A time that left the window, or other boots: the learnt clock instead.
  for (const auto& [boots, time] : {std::pair<uint32_t, uint32_t>{3, 5900}, {3, 4800}, {2, 5000}}) {
    SCOPED_TRACE(fmt::format("boots {} time {}", boots, time));
    Configure(peer_.LocalPort(), {"ops", 2}, kEngine, boots, time);
    Get({kSysLocation}, 84);
    req = Receive();
    EXPECT_EQ(req.engine_id, kEngine);
    EXPECT_EQ(req.boots, 3u);
    EXPECT_GE(req.time, 5000u);
    EXPECT_LE(req.time, 5030u);
  }
}

class SnmpManagerV3TimelinessTest : public SnmpManagerV3FakePeerTest {
 protected:
  SnmpManagerV3TimelinessTest() : SnmpManagerV3FakePeerTest(true) {}
};

TEST_F(SnmpManagerV3TimelinessTest, AnAuthenticatedAnswerWithAnOldClockIsARefusedReplay) {
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5000);
  Get({kSysLocation}, 91);
  snmp::V3Message req = Receive();
  Send(Answer(req, snmp::PduType::kGetResponse, 91, "authpass123", snmp::msgflag::kAuth, 3, 5000));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1; }));

  manual_clock_.Advance(100'000);
  Configure(peer_.LocalPort(), {"ops", 2}, kEngine, 3, 5100);
  Get({kSysLocation}, 92);
  req = Receive();
  const auto answer = [&](uint32_t boots, uint32_t time) {
    Send(Answer(req, snmp::PduType::kGetResponse, 92, "authpass123", snmp::msgflag::kAuth, boots,
                time));
  };
  answer(2, 9000);        // an earlier life of the engine
  answer(3, 4849);        // more than 150 s behind the latest time seen
  answer(2147483647, 1);  // a clock that ran out
  ASSERT_TRUE(WaitFor([&] { return bad_.size() == 3; }));
  EXPECT_EQ(responses_.size(), 1u);
  const std::string head =
      fmt::format("untimely message for user ops from 127.0.0.1:{} (", peer_.LocalPort());
  const std::string tail = "; a replayed or delayed message)";
  EXPECT_EQ(bad_[0].error_code, ber::code::kAuthFailure);
  EXPECT_EQ(bad_[0].error_text, head + "engine boots 2 below the 3 seen before" + tail);
  EXPECT_EQ(bad_[1].error_text,
            head + "engine time 4849 more than 150 s behind the 5000 seen before (boots 3)" + tail);
  EXPECT_EQ(bad_[2].error_text,
            head + "engine boots 2147483647: the engine's clock ran out" + tail);

  // 150 s behind is still inside the window, but does not turn the learnt clock back.
  answer(3, 4850);
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 2; }));
  EXPECT_EQ(responses_[1].request_id, 92);
  const auto known = manager_.KnownEngine("127.0.0.1", peer_.LocalPort());
  ASSERT_TRUE(known.has_value());
  EXPECT_EQ(known->boots, 3u);
  EXPECT_GE(known->time, 5100u);
  EXPECT_LE(known->time, 5110u);
  // A later time moves it forward.
  Get({kSysLocation}, 93);
  req = Receive();
  Send(Answer(req, snmp::PduType::kGetResponse, 93, "authpass123", snmp::msgflag::kAuth, 3, 7000));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 3; }));
  EXPECT_EQ(manager_.KnownEngine("127.0.0.1", peer_.LocalPort())->time, 7000u);
  EXPECT_EQ(bad_.size(), 3u);
}

}  // namespace
}  // namespace quorlan
