// Host names in the SNMP manager: resolved on the event loop through c-ares, against a name server
// staged on loopback, never holding up the loop.
#include "components/snmp/host_resolver.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "components/platform/platform.h"
#include "components/snmp/snmp_agent.h"
#include "components/snmp/snmp_manager.h"
#include "support/name_server.h"
#include "support/snmp_peers.h"

namespace quorlan {
namespace {

using ::testing::ElementsAre;

constexpr const char* kSysUpTime = "1.3.6.1.2.1.1.3.0";

class HostNameTest : public ::testing::Test {
 protected:
  HostNameTest() : loop_(clock_), dns_(loop_), manager_(loop_) {
    peer_.Open("127.0.0.1", 0);
    manager_.OnResponse = [this](const SnmpResponse& r) { responses_.push_back(r.request_id); };
    manager_.OnError = [this](int, const std::string& d) { errors_.push_back(d); };
    manager_.SetActive(true);
    manager_.SetNameServers(dns_.Address());
  }

  void Send(const std::string& host, int32_t id) {
    manager_.Reset();
    manager_.SetRemoteHost(host);
    manager_.SetRemotePort(peer_.LocalPort());
    manager_.SetSnmpVersion(2);
    manager_.SetObjCount(1);
    manager_.SetObjId(0, kSysUpTime);
    manager_.SetRequestId(id);
    manager_.SendGetRequest();
  }

  // Delivers events until done() or 5 s passed.
  bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(10);
    return done();
  }

  // The peer answers every request queued for it; returns the ids of all it has received.
  const std::vector<int32_t>& AnswerAll() {
    UdpSocket::Datagram dg;
    while (peer_.Receive(&dg)) {
      snmp::CommunityMessage m;
      if (!snmp::DecodeMessage(dg.data, &m).ok()) continue;
      received_.push_back(m.pdu.request_id);
      m.pdu.type = snmp::PduType::kGetResponse;
      m.pdu.varbinds[0].value = snmp::Value::Unsigned(snmp::ValueType::kTimeTicks, 1);
      peer_.SendTo(dg.from_host, dg.from_port, snmp::EncodeMessage(m));
    }
    return received_;
  }

  SystemClock clock_;
  EventLoop loop_;
  testing::FakeNameServer dns_;
  SnmpManager manager_;
  UdpSocket peer_;
  std::vector<int32_t> received_;
  std::vector<int32_t> responses_;
  std::vector<std::string> errors_;
};

TEST_F(HostNameTest, ARequestToANameGoesOutWhenItResolvesAndLaterOnesAtOnce) {
  dns_.Add("device.test", "127.0.0.1");
  Send("device.test", 1);
  EXPECT_TRUE(AnswerAll().empty()) << "the name server has not been asked yet";
  ASSERT_TRUE(WaitFor([&] { return AnswerAll().size() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 1; }));
  // Known now: the next request is on the wire when the call returns.
  Send("device.test", 2);
  EXPECT_THAT(AnswerAll(), ElementsAre(1, 2));
  ASSERT_TRUE(WaitFor([&] { return responses_.size() == 2; }));
  EXPECT_THAT(dns_.Queries(), ElementsAre("device.test"));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(HostNameTest, ANameThatDoesNotResolveFailsTheSend) {
  Send("gone.test", 1);  // not known yet: the call returns, the lookup fails later
  ASSERT_TRUE(WaitFor([&] { return !errors_.empty(); }));
  const std::string why = "resolve host 'gone.test': Domain name not found";
  EXPECT_EQ(errors_[0], fmt::format("send GET to gone.test:{}: {}", peer_.LocalPort(), why));
  // Known not to resolve: the send fails at once, as any other failing send.
  try {
    Send("gone.test", 2);
    ADD_FAILURE() << "the send went out";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description(), fmt::format("send GET to gone.test:{}: {}", peer_.LocalPort(), why));
  }
  // A blocking send ends with the lookup's failure.
  manager_.SetTimeout(2);
  try {
    Send("gone-too.test", 3);
    ADD_FAILURE() << "the send went out";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description(),
              fmt::format("GET request 3 to gone-too.test:{}: resolve host 'gone-too.test': "
                          "Domain name not found",
                          peer_.LocalPort()));
  }
  EXPECT_TRUE(AnswerAll().empty());
}

TEST_F(HostNameTest, ASilentNameServerHoldsUpNeitherATickNorAnAgentAnswer) {
  dns_.SetSilent(true);
  SnmpAgent agent(loop_);
  agent.SetLocalPort(0);
  agent.OnGetRequest = [](SnmpAgentRequest& r) {
    r.Obj(0) = SnmpObject{r.Obj(0).oid, 67, "42"};
    r.respond = true;
  };
  agent.SetActive(true);
  UdpSocket console;
  console.Open("127.0.0.1", 0);
  int ticks = 0;
  int64_t send_ms = -1;
  Timer& timer = loop_.AddTimer("timerPoll", [&] {
    if (++ticks > 1) return;
    // The first tick polls a device by a name nobody answers for, then the console asks the
    // agent something.
    const int64_t start = clock_.MonotonicMs();
    Send("silent.test", 9);
    send_ms = clock_.MonotonicMs() - start;
    snmp::CommunityMessage get;
    get.community = "public";
    get.pdu.request_id = 5;
    get.pdu.varbinds.push_back({{1, 3, 6, 1, 2, 1, 1, 3, 0}, snmp::Value::Null()});
    console.SendTo("127.0.0.1", agent.LocalPort(), snmp::EncodeMessage(get));
  });
  timer.SetInterval(20);
  timer.SetEnabled(true);
  UdpSocket::Datagram answer;
  bool answered = false;
  ASSERT_TRUE(
      WaitFor([&] { return (answered = answered || console.Receive(&answer)) && ticks > 5; }));
  timer.SetEnabled(false);
  EXPECT_GE(send_ms, 0);
  EXPECT_LT(send_ms, 500) << "a lookup takes seconds to give up; the send must not wait for it";
  snmp::CommunityMessage m;
  ASSERT_TRUE(snmp::DecodeMessage(answer.data, &m).ok());
  EXPECT_EQ(m.pdu.varbinds[0].value.ToText(), "42");
  EXPECT_THAT(dns_.Queries(), ::testing::Contains("silent.test")) << "the lookup was under way";
  EXPECT_TRUE(AnswerAll().empty());
}

TEST(HostResolverTest, DottedQuadsNeedNoLookupAndTheCacheIsBounded) {
  SystemClock clock;
  EventLoop loop(clock);
  testing::FakeNameServer dns(loop);
  HostResolver resolver(loop);
  resolver.SetServers(dns.Address());
  const HostResolver::Result numeric = resolver.Lookup("192.0.2.7");
  EXPECT_EQ(numeric.status, HostResolver::Status::kResolved);
  EXPECT_EQ(FormatIpv4(numeric.address), "192.0.2.7");
  EXPECT_EQ(resolver.CacheSize(), 0u);
  for (size_t n = 0; n < HostResolver::kMaxNames + 10; ++n) {
    const std::string name = fmt::format("d{}.test", n);
    dns.Add(name, "127.0.0.2");
    if (resolver.Lookup(name).status != HostResolver::Status::kPending) continue;
    while (resolver.PendingLookups() > 0) loop.RunOnce(10);
  }
  EXPECT_EQ(resolver.CacheSize(), HostResolver::kMaxNames);
  const HostResolver::Result last =
      resolver.Lookup(fmt::format("d{}.test", HostResolver::kMaxNames + 9));
  EXPECT_EQ(last.status, HostResolver::Status::kResolved);
  EXPECT_EQ(FormatIpv4(last.address), "127.0.0.2");
  EXPECT_EQ(resolver.Lookup("d0.test").status, HostResolver::Status::kPending) << "dropped first";
}

}  // namespace
}  // namespace quorlan
