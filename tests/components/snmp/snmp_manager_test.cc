#include "components/snmp/snmp_manager.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "components/platform/platform.h"
#include "support/snmp_peers.h"

namespace quorlan {
namespace {

using ::testing::HasSubstr;
using ::testing::Optional;
using ::testing::StartsWith;

constexpr const char* kValues =
    ".1.3.6.1.4.1.32473.2.1.0 counter 4294967290\n"
    ".1.3.6.1.4.1.32473.2.2.0 string hello world\n"
    ".1.3.6.1.4.1.32473.2.3.0 gauge 42\n"
    ".1.3.6.1.4.1.32473.2.4.0 integer -17\n"
    ".1.3.6.1.4.1.32473.2.5.0 timeticks 123456\n"
    ".1.3.6.1.4.1.32473.2.6.0 octet 00 3f dd 00 c6 be\n"
    ".1.3.6.1.4.1.32473.2.7.0 counter64 18446744073709551615\n"
    ".1.3.6.1.4.1.32473.2.8.0 ipaddress 192.0.2.7\n"
    ".1.3.6.1.4.1.32473.2.9.0 objectid .1.3.6.1.4.1.32473.1\n";

std::string Oid(int n) { return "1.3.6.1.4.1.32473.2." + std::to_string(n) + ".0"; }

// What a Response handler saw: the event's fields and its values, read twice.
struct Seen {
  int32_t request_id = 0;
  int error_status = -1;
  int error_index = -1;
  std::string description;
  std::vector<std::optional<std::string>> values;
  std::vector<int> types;
};

std::vector<std::optional<std::string>> ValuesOf(const SnmpResponse& r) {
  std::vector<std::optional<std::string>> v;
  for (int i = 0; i < r.ObjCount(); ++i) v.push_back(r.ObjValue(i));
  return v;
}

class SnmpManagerTest : public ::testing::Test {
 protected:
  SnmpManagerTest() : loop_(clock_), manager_(loop_) {
    manager_.OnResponse = [this](const SnmpResponse& r) {
      Seen s{r.request_id, r.error_status, r.error_index, r.error_description, ValuesOf(r), {}};
      for (int i = 0; i < r.ObjCount(); ++i) s.types.push_back(r.ObjType(i));
      responses_.push_back(s);
    };
    manager_.OnBadPacket = [this](const SnmpBadPacket& b) { bad_.push_back(b); };
    manager_.OnError = [this](int, const std::string& d) { errors_.push_back(d); };
    manager_.SetTimeout(0);
    manager_.SetLocalHost("");
    manager_.SetActive(true);
  }

  void Send(int port, int version, const std::vector<std::string>& oids, int32_t id) {
    manager_.Reset();
    manager_.SetRemoteHost("127.0.0.1");
    manager_.SetRemotePort(port);
    manager_.SetCommunity("public");
    manager_.SetSnmpVersion(version);
    manager_.SetObjCount(static_cast<int>(oids.size()));
    for (size_t i = 0; i < oids.size(); ++i) manager_.SetObjId(static_cast<int>(i), oids[i]);
    manager_.SetRequestId(id);
    manager_.SendGetRequest();
  }

  // Delivers events until n responses arrived or 5 s passed.
  void WaitForResponses(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (responses_.size() < n && std::chrono::steady_clock::now() < deadline) {
      loop_.RunOnce(20);
    }
  }

  SystemClock clock_;
  EventLoop loop_;
  SnmpManager manager_;
  std::vector<Seen> responses_;
  std::vector<SnmpBadPacket> bad_;
  std::vector<std::string> errors_;
};

TEST_F(SnmpManagerTest, ReadsBackItsBoundAddressForTheStartTrace) {
  EXPECT_TRUE(manager_.Active());
  EXPECT_EQ(manager_.LocalHost(), "0.0.0.0");
  EXPECT_GT(manager_.LocalPort(), 0);
  manager_.SetActive(true);  // a second activation changes nothing
  EXPECT_TRUE(manager_.Active());
  manager_.SetActive(false);
  EXPECT_FALSE(manager_.Active());
}

TEST_F(SnmpManagerTest, PollsSnmpdWithV2cAndGetsEveryTypeInSlotOrder) {
  testing::SnmpdPeer snmpd(kValues);
  // Slots deliberately out of OID order.
  Send(snmpd.port(), 2, {Oid(7), Oid(4), Oid(2), Oid(1), Oid(3), Oid(5), Oid(6), Oid(8), Oid(9)},
       1000001);
  WaitForResponses(1);
  ASSERT_EQ(responses_.size(), 1u) << snmpd.Log();
  const Seen& r = responses_[0];
  EXPECT_EQ(r.request_id, 1000001);
  EXPECT_EQ(r.error_status, 0);
  EXPECT_EQ(r.description, "");
  EXPECT_EQ(r.values,
            (std::vector<std::optional<std::string>>{
                "18446744073709551615", "-17", "hello world", "4294967290", "42", "123456",
                std::string("\x00\x3f\xdd\x00\xc6\xbe", 6), "192.0.2.7", "1.3.6.1.4.1.32473.1"}));
  EXPECT_EQ(r.types, (std::vector<int>{0x46, 2, 4, 0x41, 0x42, 0x43, 4, 0x40, 6}));
  EXPECT_TRUE(bad_.empty());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(SnmpManagerTest, PollsSnmpdWithV1) {
  testing::SnmpdPeer snmpd(kValues);
  Send(snmpd.port(), 1, {Oid(4), Oid(2), Oid(1), Oid(3), Oid(5)}, 5000001);
  WaitForResponses(1);
  ASSERT_EQ(responses_.size(), 1u) << snmpd.Log();
  EXPECT_EQ(responses_[0].request_id, 5000001);
  EXPECT_EQ(responses_[0].error_status, 0);
  EXPECT_EQ(responses_[0].values, (std::vector<std::optional<std::string>>{
                                      "-17", "hello world", "4294967290", "42", "123456"}));
}

TEST_F(SnmpManagerTest, AMissingObjectIsNullWithV2cAndNoSuchNameWithV1) {
  testing::SnmpdPeer snmpd(kValues);
  const std::string missing = Oid(99);                         // inside the served subtree
  const std::string unregistered = "1.3.6.1.4.1.32473.9.1.0";  // outside every subtree
  Send(snmpd.port(), 2, {Oid(4), missing, unregistered, Oid(3)}, 1000002);
  Send(snmpd.port(), 1, {Oid(4), missing, Oid(3)}, 1000003);
  WaitForResponses(2);
  ASSERT_EQ(responses_.size(), 2u) << snmpd.Log();
  std::map<int32_t, Seen> by_id;
  for (const Seen& s : responses_) by_id[s.request_id] = s;
  const Seen& v2 = by_id.at(1000002);
  EXPECT_EQ(v2.error_status, 0);
  EXPECT_EQ(v2.values,
            (std::vector<std::optional<std::string>>{"-17", std::nullopt, std::nullopt, "42"}));
  EXPECT_EQ(v2.types[1], 0x81);  // noSuchInstance
  EXPECT_EQ(v2.types[2], 0x80);  // noSuchObject
  const Seen& v1 = by_id.at(1000003);
  EXPECT_EQ(v1.error_status, 2);
  EXPECT_EQ(v1.error_index, 2);
  EXPECT_EQ(v1.description, "noSuchName");
}

TEST_F(SnmpManagerTest, AnOddValueOfSnmpdCostsOnlyItsOwnObjectAndOpaqueFloatsAreNumbers) {
  // snmpd sends 4294967295 as an INTEGER of five octets, and net-snmp's Opaque float and double
  // as they come from its pass_persist script.
  testing::SnmpdPeer snmpd(
      ".1.3.6.1.4.1.32473.2.1.0 counter 4294967290\n"
      ".1.3.6.1.4.1.32473.2.2.0 integer 4294967295\n"
      ".1.3.6.1.4.1.32473.2.3.0 opaque 9f 78 04 40 20 00 00\n"
      ".1.3.6.1.4.1.32473.2.4.0 opaque 9f 79 08 40 09 21 fb 54 44 2d 18\n");
  Send(snmpd.port(), 2, {Oid(1), Oid(2), Oid(3), Oid(4)}, 1000009);
  WaitForResponses(1);
  ASSERT_EQ(responses_.size(), 1u) << snmpd.Log();
  EXPECT_EQ(responses_[0].values,
            (std::vector<std::optional<std::string>>{"4294967290", "INTEGER: 00 FF FF FF FF", "2.5",
                                                     "3.141592653589793"}));
  EXPECT_EQ(responses_[0].types, (std::vector<int>{0x41, 2, 0x44, 0x44}));
  EXPECT_TRUE(bad_.empty());
}

TEST_F(SnmpManagerTest, EventDataStaysStableWhileNestedEventsAreDelivered) {
  testing::SnmpdPeer snmpd(kValues);
  std::vector<std::optional<std::string>> first_read, after_nested;
  int nested_seen = 0;
  manager_.OnResponse = [&](const SnmpResponse& r) {
    if (r.request_id != 1) {
      ++nested_seen;
      return;
    }
    first_read = ValuesOf(r);
    // The handler pauses; the answer to request 2 is delivered inside the pause.
    for (int i = 0; i < 100 && nested_seen == 0; ++i) loop_.WaitMs(20);
    after_nested = ValuesOf(r);
  };
  Send(snmpd.port(), 2, {Oid(1), Oid(2)}, 1);
  Send(snmpd.port(), 2, {Oid(4)}, 2);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (after_nested.empty() && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(20);
  EXPECT_EQ(nested_seen, 1);
  EXPECT_EQ(first_read, (std::vector<std::optional<std::string>>{"4294967290", "hello world"}));
  EXPECT_EQ(after_nested, first_read);
}

TEST_F(SnmpManagerTest, ARequestToASilentPortYieldsNoEvent) {
  Send(testing::FreeUdpPort(), 2, {Oid(1)}, 77);
  for (int i = 0; i < 30; ++i) loop_.RunOnce(10);
  EXPECT_TRUE(responses_.empty());
  EXPECT_TRUE(bad_.empty());
  EXPECT_TRUE(errors_.empty());
}

// A GetResponse to request id of the request Send made to peer, with these values.
std::string AnswerTo(int32_t id, std::vector<snmp::Value> values,
                     int32_t version = snmp::version::kV2c,
                     const std::string& community = "public") {
  snmp::CommunityMessage answer;
  answer.version = version;
  answer.community = community;
  answer.pdu.type = snmp::PduType::kGetResponse;
  answer.pdu.request_id = id;
  for (size_t i = 0; i < values.size(); ++i) {
    answer.pdu.varbinds.push_back(
        {{1, 3, 6, 1, 4, 1, 32473, 2, static_cast<uint32_t>(i + 1), 0}, std::move(values[i])});
  }
  return snmp::EncodeMessage(answer);
}

TEST_F(SnmpManagerTest, AMalformedDatagramRaisesBadPacketAndChangesNothingElse) {
  UdpSocket peer;
  peer.Open("127.0.0.1", 0);
  Send(peer.LocalPort(), 2, {Oid(1)}, 1000005);
  const std::string good = AnswerTo(1000005, {snmp::Value::Integer(5)});
  peer.SendTo("127.0.0.1", manager_.LocalPort(), good.substr(0, good.size() - 3));
  peer.SendTo("127.0.0.1", manager_.LocalPort(), "not SNMP at all");
  peer.SendTo("127.0.0.1", manager_.LocalPort(), good);
  WaitForResponses(1);
  ASSERT_EQ(bad_.size(), 2u);
  EXPECT_EQ(bad_[0].error_code, ber::code::kTruncated);
  EXPECT_THAT(bad_[0].error_text, StartsWith("message length"));
  EXPECT_THAT(bad_[0].error_text, HasSubstr("(from 127.0.0.1:"));
  EXPECT_EQ(bad_[0].source_port, peer.LocalPort());
  EXPECT_EQ(bad_[1].error_code, ber::code::kBadTag);
  ASSERT_EQ(responses_.size(), 1u);
  EXPECT_EQ(responses_[0].request_id, 1000005);
  EXPECT_EQ(responses_[0].values, (std::vector<std::optional<std::string>>{"5"}));
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(manager_.stats().bad_packets, 2u);
}

TEST_F(SnmpManagerTest, OnlyAnAnswerToARequestSentIsAResponseAndOnlyOnce) {
  UdpSocket peer, other;
  peer.Open("127.0.0.1", 0);
  other.Open("127.0.0.1", 0);
  Send(peer.LocalPort(), 2, {Oid(1), Oid(2)}, 500);
  const auto i = [](int32_t v) { return snmp::Value::Integer(v); };
  const std::string to = fmt::format("127.0.0.1:{}", peer.LocalPort());
  struct Case {
    UdpSocket* from;
    std::string wire;
    std::string why;
  };
  const std::vector<Case> refused = {
      {&other, AnswerTo(500, {i(1), i(2)}), "another address or port"},
      {&peer, AnswerTo(500, {i(1), i(2)}, snmp::version::kV1), "SNMPv1 instead of SNMPv2c"},
      {&peer, AnswerTo(500, {i(1), i(2)}, snmp::version::kV2c, "private"), "another community"},
      {&peer, AnswerTo(500, {i(1), i(2), i(3)}), "3 objects for a request of 2"},
  };
  for (const Case& c : refused) c.from->SendTo("127.0.0.1", manager_.LocalPort(), c.wire);
  peer.SendTo("127.0.0.1", manager_.LocalPort(), AnswerTo(501, {i(1), i(2)}));
  for (int n = 0; n < 100 && bad_.size() < refused.size() + 1; ++n) loop_.RunOnce(10);
  ASSERT_EQ(bad_.size(), refused.size() + 1);
  for (size_t n = 0; n < refused.size(); ++n) {
    EXPECT_EQ(bad_[n].error_code, ber::code::kNotAnAnswer);
    EXPECT_EQ(bad_[n].error_text,
              fmt::format("answer from 127.0.0.1:{}, request id 500, does not match the request "
                          "sent to {}: {}",
                          refused[n].from->LocalPort(), to, refused[n].why));
  }
  EXPECT_EQ(bad_.back().error_text, "unsolicited answer from " + to + ", request id 501");
  EXPECT_TRUE(responses_.empty());

  // The genuine answer is delivered once; the same answer again is unsolicited.
  peer.SendTo("127.0.0.1", manager_.LocalPort(), AnswerTo(500, {i(1), i(2)}));
  peer.SendTo("127.0.0.1", manager_.LocalPort(), AnswerTo(500, {i(1), i(2)}));
  WaitForResponses(1);
  for (int n = 0; n < 100 && bad_.size() < refused.size() + 2; ++n) loop_.RunOnce(10);
  ASSERT_EQ(responses_.size(), 1u);
  EXPECT_EQ(responses_[0].values, (std::vector<std::optional<std::string>>{"1", "2"}));
  EXPECT_EQ(bad_.back().error_text, "unsolicited answer from " + to + ", request id 500");
}

TEST_F(SnmpManagerTest, ObjectsAnAnswerLeftOutReadAsNullAndTheCountSaysHowManyCame) {
  UdpSocket peer;
  peer.Open("127.0.0.1", 0);
  std::vector<std::vector<std::optional<std::string>>> read;
  std::vector<std::pair<int, int>> counts;
  manager_.OnResponse = [&](const SnmpResponse& r) {
    counts.emplace_back(r.ObjCount(), r.RequestedCount());
    std::vector<std::optional<std::string>> v;
    for (int k = 0; k < 6; ++k) v.push_back(r.ObjValue(k));
    read.push_back(v);
    EXPECT_EQ(r.ObjType(4), 5);
    EXPECT_EQ(r.ObjId(4), "");
  };
  Send(peer.LocalPort(), 2, {Oid(1), Oid(2), Oid(3), Oid(4), Oid(5), Oid(6)}, 77);
  peer.SendTo("127.0.0.1", manager_.LocalPort(),
              AnswerTo(77, {snmp::Value::Integer(7), snmp::Value::Null()}));
  for (int n = 0; n < 100 && read.empty(); ++n) loop_.RunOnce(10);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(counts[0], std::make_pair(2, 6));
  EXPECT_EQ(read[0],
            (std::vector<std::optional<std::string>>{"7", std::nullopt, std::nullopt, std::nullopt,
                                                     std::nullopt, std::nullopt}));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(SnmpManagerTest, ABurstOfThreeHundredAnswersIsReceivedWhole) {
  // All answers are queued before the loop runs, as when 300 agents answer at once; the
  // socket's receive buffer has to hold them all.
  UdpSocket peer;
  peer.Open("127.0.0.1", 0);
  std::vector<snmp::Value> values;
  for (uint64_t k = 1; k <= 6; ++k) {
    values.push_back(snmp::Value::Unsigned(snmp::ValueType::kCounter32, k));
  }
  for (int id = 1; id <= 300; ++id) {
    Send(peer.LocalPort(), 2, {Oid(1), Oid(2), Oid(3), Oid(4), Oid(5), Oid(6)}, id);
  }
  for (int id = 1; id <= 300; ++id) {
    peer.SendTo("127.0.0.1", manager_.LocalPort(), AnswerTo(id, values));
  }
  WaitForResponses(300);
  ASSERT_EQ(responses_.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(responses_[i].request_id, i + 1);
  EXPECT_EQ(responses_[299].values.back(), "6");
  EXPECT_TRUE(bad_.empty());
}

TEST_F(SnmpManagerTest, ABurstDrainedWhileAHandlerPausesIsHandledOnceEachInArrivalOrder) {
  // The answers are read from the system several at a time. The handler of the first pauses, and
  // the rest are handled inside its pause, in the order they came, none twice and none left over.
  // The whole burst is queued before the loop runs, which an agent cannot be made to do.
  UdpSocket peer;
  peer.Open("127.0.0.1", 0);
  constexpr int kBurst = 200;
  std::vector<int32_t> started;
  size_t seen_in_pause = 0;
  manager_.OnResponse = [&](const SnmpResponse& r) {
    started.push_back(r.request_id);
    if (r.request_id != 1) return;
    for (int i = 0; i < 100 && started.size() < kBurst; ++i) loop_.WaitMs(20);
    seen_in_pause = started.size();
  };
  for (int id = 1; id <= kBurst; ++id) Send(peer.LocalPort(), 2, {Oid(1), Oid(3)}, id);
  for (int id = 1; id <= kBurst; ++id) {
    peer.SendTo("127.0.0.1", manager_.LocalPort(),
                AnswerTo(id, {snmp::Value::Integer(id), snmp::Value::Integer(-id)}));
  }
  for (int i = 0; i < 10; ++i) loop_.RunOnce(10);
  ASSERT_EQ(started.size(), static_cast<size_t>(kBurst));
  // Datagrams already read from the system get no readiness of their own: none may wait for the
  // paused handler to return.
  EXPECT_EQ(seen_in_pause, static_cast<size_t>(kBurst));
  for (int i = 0; i < kBurst; ++i) EXPECT_EQ(started[i], i + 1);
  EXPECT_TRUE(bad_.empty());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(SnmpManagerTest, ARequestWhoseVersionWasNotSetAfterAResetIsSnmpV1) {
  UdpSocket peer;
  peer.Open("127.0.0.1", 0);
  Send(peer.LocalPort(), 2, {Oid(1)}, 1);
  manager_.Reset();
  EXPECT_EQ(manager_.SnmpVersion(), 1);
  manager_.SetObjCount(1);
  manager_.SetObjId(0, Oid(1));
  manager_.SetRequestId(2);
  manager_.SendGetRequest();
  std::vector<int32_t> versions;
  UdpSocket::Datagram dg;
  while (peer.Receive(&dg)) {
    snmp::CommunityMessage m;
    ASSERT_TRUE(snmp::DecodeMessage(dg.data, &m).ok());
    versions.push_back(m.version);
  }
  EXPECT_EQ(versions, (std::vector<int32_t>{snmp::version::kV2c, snmp::version::kV1}));
}

TEST_F(SnmpManagerTest, AnSnmpV3DatagramWithoutItsHeaderIsABadPacket) {
  UdpSocket peer;
  peer.Open("127.0.0.1", 0);
  ber::Writer w;
  const size_t m = w.Begin(ber::kSequence);
  w.WriteSigned(ber::kInteger, 3);
  w.End(m);
  peer.SendTo("127.0.0.1", manager_.LocalPort(), w.data());
  for (int i = 0; i < 20 && bad_.empty(); ++i) loop_.RunOnce(10);
  ASSERT_EQ(bad_.size(), 1u);
  EXPECT_EQ(bad_[0].error_code, ber::code::kTruncated);
  EXPECT_THAT(bad_[0].error_text, StartsWith("msgGlobalData missing"));
}

TEST_F(SnmpManagerTest, RefusesBadSettingsWithADescription) {
  auto description = [](auto&& call) {
    try {
      call();
    } catch (const RuntimeError& e) {
      return e.description();
    }
    return std::string("no error");
  };
  EXPECT_EQ(description([&] { manager_.SetSnmpVersion(4); }), "SNMP version 4: not 1, 2 or 3");
  manager_.SetObjCount(1);
  EXPECT_THAT(description([&] { manager_.SetObjId(0, "1.3.six"); }), HasSubstr("not an OID"));
  EXPECT_THAT(description([&] { manager_.SetObjId(1, "1.3.6"); }), HasSubstr("out of range"));
  EXPECT_THAT(description([&] { manager_.SendGetRequest(); }), HasSubstr("object 0 has no id"));
  manager_.SetObjId(0, "1.3.6.1");
  manager_.SetSnmpVersion(3);
  manager_.SetRemoteHost("127.0.0.1");
  manager_.SetUser("ops");
  manager_.SetAuthPassword("authpass123");
  EXPECT_THAT(description([&] { manager_.SendGetRequest(); }),
              HasSubstr("for user ops: authentication protocol code 0 is not supported"));
  manager_.SetAuthProtocol(2);
  EXPECT_THAT(description([&] { manager_.SendGetRequest(); }),
              HasSubstr("the engine id is not known: discover the engine first"));
  manager_.SetRemoteEngineId("engine");
  manager_.SetPrivPassword("privpass123");
  manager_.SetPrivProtocol(6);
  EXPECT_THAT(description([&] { manager_.SendGetRequest(); }),
              HasSubstr("privacy protocol code 6 is not supported (1 CBC-DES"));
  manager_.SetPrivPassword("short");
  manager_.SetPrivProtocol(2);
  EXPECT_THAT(description([&] { manager_.SendGetRequest(); }), HasSubstr("too short"));
  EXPECT_THAT(description([&] { manager_.SetRemoteEngineId(std::string(33, 'e')); }),
              HasSubstr("at most 32"));
  EXPECT_THAT(description([&] { manager_.SetRemoteEngineTime(-1); }), HasSubstr("out of range"));
  EXPECT_THAT(description([&] { manager_.SetRemoteEngineBoots(2147483648); }),
              HasSubstr("out of range"));
  EXPECT_EQ(manager_.SecurityLevel(), 2);
  manager_.Reset();
  EXPECT_EQ(manager_.SecurityLevel(), 0) << "a reset forgets the security settings";
  EXPECT_EQ(manager_.User(), "");
  EXPECT_EQ(manager_.RemoteEngineId(), "");
  EXPECT_EQ(manager_.ObjCount(), 0);
  EXPECT_EQ(manager_.RequestId(), 0);
  EXPECT_EQ(manager_.SnmpVersion(), 1) << "a reset makes the next request SNMPv1";
  manager_.SetActive(false);
  EXPECT_THAT(description([&] { manager_.SendGetRequest(); }), HasSubstr("not active"));
}

TEST_F(SnmpManagerTest, ActivationOnAPortInUseNamesTheCallAndTheReason) {
  SnmpManager second(loop_);
  second.SetLocalPort(manager_.LocalPort());
  try {
    second.SetActive(true);
    FAIL() << "bound twice";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kComponent);
    EXPECT_EQ(e.description(), "bind udp 0.0.0.0:" + std::to_string(manager_.LocalPort()) +
                                   ": Address already in use");
  }
  EXPECT_FALSE(second.Active());
}

TEST(SnmpManagerWaitTest, AWaitTimeMakesTheSendWaitForItsAnswer) {
  ManualClock clock;  // a silent peer: the loop's polls advance this clock by their time-out
  EventLoop loop(clock);
  SnmpManager manager(loop);
  manager.SetActive(true);
  manager.SetTimeout(2);
  manager.SetRemoteHost("127.0.0.1");
  manager.SetRemotePort(testing::FreeUdpPort());
  manager.SetObjCount(1);
  manager.SetObjId(0, "1.3.6.1.2.1.1.3.0");
  manager.SetRequestId(9);
  const int64_t start = clock.MonotonicMs();
  try {
    manager.SendGetRequest();
    FAIL() << "no answer expected";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.description(), HasSubstr("GET request 9 to 127.0.0.1:"));
    EXPECT_THAT(e.description(), HasSubstr("no answer within 2 s"));
  }
  EXPECT_GE(clock.MonotonicMs() - start, 2000);
}

TEST_F(SnmpManagerTest, ASetRequestChangesAWritableObjectAndARefusalNamesTheObject) {
  testing::SnmpdPeer snmpd(kValues);
  auto set = [&](const std::string& community, const std::string& oid, int type,
                 const std::string& value, int32_t id) {
    manager_.Reset();
    manager_.SetRemoteHost("127.0.0.1");
    manager_.SetRemotePort(snmpd.port());
    manager_.SetCommunity(community);
    manager_.SetSnmpVersion(2);
    manager_.SetObjCount(1);
    manager_.SetObjId(0, oid);
    manager_.SetObjValue(0, type, value);
    manager_.SetRequestId(id);
    manager_.SendSetRequest();
  };
  set("private", "1.3.6.1.2.1.1.4.0", 4, "noc@example.net", 7001);  // sysContact
  WaitForResponses(1);
  ASSERT_EQ(responses_.size(), 1u) << snmpd.Log();
  EXPECT_EQ(responses_[0].request_id, 7001);
  EXPECT_EQ(responses_[0].error_status, 0);
  EXPECT_EQ(responses_[0].values, (std::vector<std::optional<std::string>>{"noc@example.net"}));
  Send(snmpd.port(), 2, {"1.3.6.1.2.1.1.4.0"}, 7002);
  WaitForResponses(2);
  ASSERT_EQ(responses_.size(), 2u);
  EXPECT_EQ(responses_[1].values, (std::vector<std::optional<std::string>>{"noc@example.net"}));

  // An object the agent does not let write: the error status and index name it.
  set("private", Oid(4), 2, "5", 7003);
  WaitForResponses(3);
  ASSERT_EQ(responses_.size(), 3u);
  EXPECT_EQ(responses_[2].description, "notWritable");
  EXPECT_EQ(responses_[2].error_index, 1);

  // Refused before sending: a value that does not read as its type, a slot without a value, and
  // SNMPv3.
  EXPECT_THROW(manager_.SetObjValue(0, 2, "many"), RuntimeError);
  manager_.Reset();
  manager_.SetObjCount(1);
  manager_.SetObjId(0, "1.3.6.1.2.1.1.4.0");
  try {
    manager_.SendSetRequest();
    FAIL() << "a slot without a value was sent";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.description(), HasSubstr("object 0 has no value"));
  }
  manager_.SetObjValue(0, 4, "x");
  manager_.SetSnmpVersion(3);
  EXPECT_THROW(manager_.SendSetRequest(), RuntimeError);
  EXPECT_EQ(responses_.size(), 3u);
}

}  // namespace
}  // namespace quorlan
