// Drives the stateful code that hostile datagrams meet, rather than the decoders alone: the
// manager's datagram handling (the table of requests sent, engine clock learning, blocking waits,
// the resend after a notInTimeWindow Report, expiry) and the agent's request handling and answer.
// The input is a script: each step sends a request, lets a device on loopback answer the last
// request it got (an answer built from it and then bent: wrong id, version, community, object
// count, odd values, wrong key, stale clock, another port) or send raw bytes, moves the clock,
// has the console ask the agent, or delivers events, so datagrams and calls interleave; the
// agent's handler may itself pause or poll. Everything runs on a ManualClock, so nothing sleeps.
//
// What must hold: no crash, leak or undefined behaviour; every Response answers a request that was
// sent and not yet answered, from the device it went to, once, with no more objects than asked
// for, and every object up to the count asked for reads without failing; every refusal names its
// reason; every answer of the agent is a GetResponse to the console's request.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "components/snmp/snmp_agent.h"
#include "components/snmp/snmp_manager.h"
#include "components/snmp/snmp_v3.h"
#include "components/snmp/usm.h"

namespace {

using namespace quorlan;

const std::string kEngine(
    "\x80\x00\x1f\x88\x04"
    "fuzz",
    9);
const std::string kAuthPassword = "authpass123";
const std::string kPrivPassword = "privpass123";
constexpr int kMaxNesting = 3;

#define FUZZ_CHECK(ok)                                             \
  do {                                                             \
    if (!(ok)) {                                                   \
      std::fprintf(stderr, "check failed at line %d\n", __LINE__); \
      std::abort();                                                \
    }                                                              \
  } while (false)

// The harness's own sends: to a manager that is inactive (port 0) they fail, which is no finding.
void SendFrom(UdpSocket& from, int port, const std::string& wire) {
  try {
    from.SendTo("127.0.0.1", port, wire);
  } catch (const RuntimeError&) {
  }
}

// Derived keys are the same for every input; deriving them costs a 1 MiB hash each.
usm::KeyCache& Keys() {
  static usm::KeyCache keys;
  return keys;
}

// The device, the second sender and the console: opened once per process, since opening three
// sockets per input was a good share of an input's cost. Drained before each input, so nothing an
// input sent reaches the next; the manager and the agent, the state under test, are new per input
// (the manager shares Keys(), so a password is hashed once per process, not once per input).
struct Endpoints {
  Endpoints() {
    device.Open("127.0.0.1", 0);
    other.Open("127.0.0.1", 0);
    console.Open("127.0.0.1", 0);
  }
  void Drain() {
    UdpSocket::Datagram dg;
    for (UdpSocket* s : {&device, &other, &console}) {
      while (s->Receive(&dg)) {
      }
    }
  }
  UdpSocket device, other, console;
};

Endpoints& Peers() {
  static Endpoints peers;
  return peers;
}

// A request the script sent, as the manager must match its answer.
struct SentRequest {
  int version = 0;  // 1, 2, 3
  std::string community;
  int port = 0;
  int objects = 0;
};

struct Harness {
  explicit Harness(FuzzedDataProvider& in) : in(in), loop(clock), manager(loop), agent(loop) {
    Peers().Drain();
    manager.SetKeyCache(&Keys());
    manager.SetActive(true);
    agent.SetLocalPort(0);
    agent.SetActive(true);
    manager.OnResponse = [this](const SnmpResponse& r) { OnResponse(r); };
    manager.OnBadPacket = [](const SnmpBadPacket& b) { FUZZ_CHECK(!b.error_text.empty()); };
    manager.OnError = [](int, const std::string& d) { FUZZ_CHECK(!d.empty()); };
    manager.OnReport = [](const SnmpReport& r) { FUZZ_CHECK(!r.error_description.empty()); };
    manager.OnDiscoveryResponse = [](const SnmpDiscovery& d) { FUZZ_CHECK(!d.engine_id.empty()); };
    agent.OnGetRequest = [this](SnmpAgentRequest& r) { Serve(r); };
    agent.OnGetNextRequest = [this](SnmpAgentRequest& r) { Serve(r); };
    agent.OnSetRequest = [this](SnmpAgentRequest& r) { Serve(r); };
    agent.OnBadPacket = [](const SnmpBadPacket& b) { FUZZ_CHECK(!b.error_text.empty()); };
    agent.OnError = [](int, const std::string& d) { FUZZ_CHECK(!d.empty()); };
  }

  void OnResponse(const SnmpResponse& r) {
    // An answer to something sent and not yet answered, from where it was sent, with no more
    // objects than it asked for.
    FUZZ_CHECK(r.ObjCount() <= r.RequestedCount());
    auto [from, to] = sent.equal_range(r.request_id);
    auto match = from;
    for (; match != to; ++match) {
      const SentRequest& s = match->second;
      const bool same_peer =
          s.version == 3 || (r.source_port == s.port && r.community == s.community);
      if (s.version == r.version && s.objects == r.RequestedCount() && same_peer) break;
    }
    FUZZ_CHECK(match != to);
    sent.erase(match);
    for (int i = 0; i < r.RequestedCount() + 2; ++i) {
      r.ObjValue(i);
      r.ObjType(i);
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0 && nesting < kMaxNesting) {
      ++nesting;
      Step();
      --nesting;
    }
  }

  // The agent's handler: answers or not, bends the objects, and may pause or poll meanwhile.
  void Serve(SnmpAgentRequest& r) {
    ++nesting;
    if (in.ConsumeBool() && r.ObjCount() > 0) {
      SnmpObject& o = r.Obj(in.ConsumeIntegralInRange(0, r.ObjCount() - 1));
      o.type = in.PickValueInArray({2, 4, 5, 6, 0x40, 0x41, 0x43, 0x46, 99});
      o.value = in.ConsumeRandomLengthString(24);
    }
    if (in.ConsumeIntegralInRange(0, 5) == 0) {
      r.error_status = in.ConsumeIntegralInRange<int16_t>(0, 5);
      r.error_index = in.ConsumeIntegralInRange<int16_t>(-1, 8);
    }
    if (nesting < kMaxNesting && in.ConsumeIntegralInRange(0, 3) == 0) Step();  // a poll
    if (in.ConsumeIntegralInRange(0, 5) == 0)
      loop.WaitMs(in.ConsumeIntegralInRange<int16_t>(0, 60));
    r.respond = in.ConsumeIntegralInRange(0, 4) != 0;
    --nesting;
  }

  void SendCommunity() {
    const int version = in.ConsumeBool() ? 1 : 2;
    const std::string community = in.ConsumeBool() ? "public" : "private";
    const int count = in.ConsumeIntegralInRange(0, 6);
    const int32_t id = in.ConsumeIntegralInRange(1, 12);
    UdpSocket& to = in.ConsumeIntegralInRange(0, 7) == 0 ? other : device;
    manager.Reset();
    manager.SetRemoteHost("127.0.0.1");
    manager.SetRemotePort(to.LocalPort());
    manager.SetCommunity(community);
    if (version == 2 || in.ConsumeBool()) manager.SetSnmpVersion(version);
    manager.SetObjCount(count);
    for (int i = 0; i < count; ++i) manager.SetObjId(i, "1.3.6.1.2.1.1." + std::to_string(i + 1));
    manager.SetRequestId(id);
    Send({version, community, to.LocalPort(), count}, id);
  }

  void SendV3() {
    const int level = in.ConsumeIntegralInRange(0, 2);
    const int auth = in.ConsumeIntegralInRange(1, 4);
    const int priv = in.ConsumeIntegralInRange(1, 5);
    const int count = in.ConsumeIntegralInRange(0, 3);
    const int32_t id = in.ConsumeIntegralInRange(1, 12);
    manager.Reset();
    manager.SetRemoteHost("127.0.0.1");
    manager.SetRemotePort(device.LocalPort());
    manager.SetSnmpVersion(3);
    if (in.ConsumeBool()) {
      manager.SetRemoteEngineId(kEngine);
      manager.SetRemoteEngineBoots(in.ConsumeIntegralInRange(0, 5));
      manager.SetRemoteEngineTime(in.ConsumeIntegralInRange(0, 2000));
    }
    manager.SetUser("u" + std::to_string(auth) + std::to_string(priv));
    if (level >= 1) {
      manager.SetAuthPassword(kAuthPassword);
      manager.SetAuthProtocol(auth);
    }
    if (level == 2) {
      manager.SetPrivPassword(kPrivPassword);
      manager.SetPrivProtocol(priv);
    }
    manager.SetObjCount(count);
    for (int i = 0; i < count; ++i) manager.SetObjId(i, "1.3.6.1.2.1.1." + std::to_string(i + 1));
    manager.SetRequestId(id);
    Send({3, "", device.LocalPort(), count}, id);
  }

  // Sends what the manager was set up for, waiting for the answer when the script says so.
  void Send(const SentRequest& s, int32_t id) {
    manager.SetTimeout(in.ConsumeIntegralInRange(0, 7) == 0 ? 1 : 0);
    // Ids are reused on purpose. A send that fails may have gone out before it failed (a wait
    // that ran out), so every send is kept: the check is that nothing else is ever answered.
    sent.emplace(id, s);
    try {
      manager.SendGetRequest();
    } catch (const RuntimeError& e) {
      FUZZ_CHECK(!e.description().empty());
    }
    manager.SetTimeout(0);
  }

  void Discover() {
    manager.SetTimeout(in.ConsumeIntegralInRange(0, 3) == 0 ? 1 : 0);
    try {
      manager.DiscoverEngine();
    } catch (const RuntimeError& e) {
      FUZZ_CHECK(!e.description().empty());
    }
    manager.SetTimeout(0);
  }

  // The device answers the oldest request queued for it, bent as the script says.
  void Answer() {
    UdpSocket::Datagram dg;
    if (!device.Receive(&dg)) return;
    const std::optional<int32_t> version = snmp::PeekVersion(dg.data);
    const std::string wire =
        version == snmp::version::kV3 ? AnswerV3(dg.data) : AnswerCommunity(dg.data);
    if (wire.empty()) return;
    UdpSocket& from = in.ConsumeIntegralInRange(0, 7) == 0 ? other : device;
    SendFrom(from, manager.LocalPort(), wire);
  }

  snmp::Value OddValue() {
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0:
        return snmp::Value::Integer(in.ConsumeIntegral<int32_t>());
      case 1:
        return snmp::Value::Unsigned(snmp::ValueType::kCounter32, in.ConsumeIntegral<uint32_t>());
      case 2:
        return snmp::Value::Bytes(snmp::ValueType::kOctetString, in.ConsumeRandomLengthString(8));
      case 3:
        return snmp::Value::Null(snmp::ValueType::kNoSuchInstance);
      default: {
        // A well-framed value of any of these tags and any contents, standard or not.
        snmp::Value v;
        v.type = static_cast<snmp::ValueType>(
            in.PickValueInArray<uint8_t>({0x02, 0x04, 0x05, 0x06, 0x30, 0x40, 0x41, 0x42, 0x43,
                                          0x44, 0x45, 0x46, 0x47, 0x80, 0x81, 0x82, 0x83, 0x1F}));
        v.bytes = in.ConsumeRandomLengthString(12);
        v.nonstandard = true;
        return v;
      }
    }
  }

  std::string AnswerCommunity(const std::string& request) {
    snmp::CommunityMessage m;
    if (!snmp::DecodeMessage(request, &m).ok()) return "";
    m.pdu.type = snmp::PduType::kGetResponse;
    if (in.ConsumeIntegralInRange(0, 5) == 0) m.pdu.request_id += in.ConsumeIntegralInRange(-1, 1);
    if (in.ConsumeIntegralInRange(0, 7) == 0) m.version ^= 1;
    if (in.ConsumeIntegralInRange(0, 7) == 0) m.community = "other";
    const int count = static_cast<int>(m.pdu.varbinds.size()) + in.ConsumeIntegralInRange(-2, 1);
    m.pdu.varbinds.resize(count < 0 ? 0 : count, {{1, 3, 6, 1, 2, 1, 1, 9}, snmp::Value::Null()});
    for (snmp::VarBind& vb : m.pdu.varbinds) vb.value = OddValue();
    if (in.ConsumeIntegralInRange(0, 5) == 0) m.pdu.error_status = in.ConsumeIntegralInRange(1, 5);
    return snmp::EncodeMessage(m);
  }

  std::string AnswerV3(const std::string& request) {
    snmp::V3Message req;
    if (!snmp::DecodeV3Message(request, &req).ok()) return "";
    const bool probe = req.user.empty() && !req.authenticated();
    if (!probe && req.user.size() != 3) return "";
    const int auth_code = probe ? 2 : req.user[1] - '0';
    const int priv_code = probe ? 2 : req.user[2] - '0';
    const auto auth = usm::AuthProtocolFromCode(auth_code);
    const auto priv = usm::PrivProtocolFromCode(priv_code);
    const usm::Bytes auth_key = Keys().AuthKey(auth, kAuthPassword, usm::AsBytes(kEngine));
    const usm::Bytes priv_key = Keys().PrivKey(auth, priv, kPrivPassword, usm::AsBytes(kEngine));
    std::string scoped = req.data;
    if (req.encrypted()) {
      try {
        const usm::Bytes plain =
            usm::DecryptScopedPdu(priv, priv_key, req.boots, req.time,
                                  usm::AsBytes(req.priv_params), usm::AsBytes(req.data));
        scoped.assign(plain.begin(), plain.end());
      } catch (const RuntimeError&) {
        return "";  // sent under another engine id the device does not have
      }
    }
    snmp::ScopedPdu s;
    try {
      s = snmp::DecodeScopedPdu(scoped);
    } catch (const ber::DecodeError&) {
      return "";
    }
    snmp::V3Message a;
    a.msg_id = req.msg_id;
    a.engine_id = in.ConsumeIntegralInRange(0, 9) == 0 ? "other" : kEngine;
    a.boots = in.ConsumeIntegralInRange<uint32_t>(0, 5);
    a.time = in.ConsumeBool() ? req.time : in.ConsumeIntegralInRange<uint32_t>(0, 3000);
    a.user = req.user;
    s.context_engine_id = kEngine;
    const bool report = probe || in.ConsumeIntegralInRange(0, 3) == 0;
    if (report) {
      const uint32_t counter = probe ? 4 : in.ConsumeIntegralInRange<uint32_t>(1, 6);
      s.pdu.type = snmp::PduType::kReport;
      s.pdu.varbinds = {{{1, 3, 6, 1, 6, 3, 15, 1, 1, counter, 0},
                         snmp::Value::Unsigned(snmp::ValueType::kCounter32, 1)}};
    } else {
      s.pdu.type = snmp::PduType::kGetResponse;
      const int count = static_cast<int>(s.pdu.varbinds.size()) + in.ConsumeIntegralInRange(-1, 1);
      s.pdu.varbinds.resize(count < 0 ? 0 : count, {{1, 3, 6, 1, 2, 1, 1, 9}, snmp::Value::Null()});
      for (snmp::VarBind& vb : s.pdu.varbinds) vb.value = OddValue();
    }
    if (in.ConsumeIntegralInRange(0, 5) == 0) s.pdu.request_id += 1;
    int level = probe ? 0 : in.ConsumeIntegralInRange(0, 2);
    if (!req.authenticated() && level > 0) level = 0;
    if (!req.encrypted() && level > 1) level = 1;
    a.flags = (level >= 1 ? snmp::msgflag::kAuth : 0) | (level == 2 ? snmp::msgflag::kPriv : 0);
    a.data = snmp::EncodeScopedPdu(s);
    if (level == 2) {
      try {
        const usm::EncryptedPdu enc =
            usm::EncryptScopedPdu(priv, priv_key, a.boots, a.time, usm::AsBytes(a.data), salts);
        a.data.assign(enc.ciphertext.begin(), enc.ciphertext.end());
        a.priv_params.assign(enc.priv_params.begin(), enc.priv_params.end());
      } catch (const RuntimeError&) {
        return "";  // CBC-DES without OpenSSL's legacy provider
      }
    }
    if (level >= 1) a.auth_params.assign(usm::DigestLength(auth), '\0');
    std::string wire = snmp::EncodeV3Message(&a);
    if (level >= 1 && in.ConsumeIntegralInRange(0, 7) != 0) {
      usm::SignMessage(auth, auth_key,
                       std::span<uint8_t>(reinterpret_cast<uint8_t*>(wire.data()), wire.size()),
                       a.auth_offset);
    }
    return wire;
  }

  // The console asks the agent: a request built from the script, or raw bytes.
  void AskAgent() {
    std::string wire;
    snmp::CommunityMessage m;
    m.version = in.ConsumeBool() ? snmp::version::kV1 : snmp::version::kV2c;
    m.community = "public";
    m.pdu.type = in.PickValueInArray({snmp::PduType::kGetRequest, snmp::PduType::kGetNextRequest,
                                      snmp::PduType::kSetRequest, snmp::PduType::kGetResponse});
    m.pdu.request_id = in.ConsumeIntegral<int32_t>();
    const int count = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < count; ++i) {
      m.pdu.varbinds.push_back(
          {{1, 3, 6, 1, 2, 1, 1, static_cast<uint32_t>(i + 1), 0}, OddValue()});
    }
    wire = in.ConsumeIntegralInRange(0, 5) == 0 ? in.ConsumeRandomLengthString(64)
                                                : snmp::EncodeMessage(m);
    asked.emplace(m.pdu.request_id, m.version);
    SendFrom(console, agent.LocalPort(), wire);
  }

  // Every answer of the agent is a GetResponse to a request the console made, in its version.
  void CheckAgentAnswers() {
    UdpSocket::Datagram dg;
    while (console.Receive(&dg)) {
      snmp::CommunityMessage m;
      FUZZ_CHECK(snmp::DecodeMessage(dg.data, &m).ok());
      FUZZ_CHECK(m.pdu.type == snmp::PduType::kGetResponse);
      FUZZ_CHECK(asked.contains({m.pdu.request_id, m.version}));
    }
  }

  void Step() {
    switch (in.ConsumeIntegralInRange(0, 11)) {
      case 0:
      case 1:
        SendCommunity();
        break;
      case 2:
        SendV3();
        break;
      case 3:
        Discover();
        break;
      case 4:
      case 5:
        Answer();
        break;
      case 6: {
        UdpSocket& from = in.ConsumeBool() ? device : other;
        SendFrom(from, manager.LocalPort(), in.ConsumeRandomLengthString(256));
        break;
      }
      case 7:
        clock.Advance(in.ConsumeIntegralInRange<int64_t>(0, 400'000));
        break;
      case 8:
        AskAgent();
        break;
      case 9:
        if (in.ConsumeIntegralInRange(0, 7) == 0) manager.SetActive(!manager.Active());
        break;
      default:
        loop.DeliverPending();
        break;
    }
  }

  FuzzedDataProvider& in;
  ManualClock clock;
  EventLoop loop;
  SnmpManager manager;
  SnmpAgent agent;
  UdpSocket& device = Peers().device;
  UdpSocket& other = Peers().other;
  UdpSocket& console = Peers().console;
  usm::SaltSource salts{1, 1};
  std::multimap<int32_t, SentRequest> sent;
  std::set<std::pair<int32_t, int32_t>> asked;  // request id and version on the wire
  int nesting = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Harness h(in);
  for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
    h.Step();
    h.CheckAgentAnswers();
  }
  h.loop.DeliverPending();
  h.CheckAgentAnswers();
  return 0;
}
