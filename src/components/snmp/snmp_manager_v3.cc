// The SNMPv3 side of the manager component: requests under the User-based Security Model, engine
// discovery, and the answers: Responses, Reports and the discovery's Report.
#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <span>

#include "components/platform/platform.h"
#include "components/snmp/snmp_manager.h"
#include "components/snmp/usm.h"

namespace quorlan {
namespace {

constexpr int64_t kMaxEngineValue = 2147483647;
constexpr size_t kMaxIdOctets = 32;
// An answer later than this no longer finds its request; requests are forgotten after it.
constexpr int64_t kRequestMemoryMs = 300'000;
constexpr size_t kMaxOutstanding = 10'000;
// The USM time window (RFC 3414): how far an engine time may be from the engine's clock.
constexpr int64_t kTimeWindowS = 150;

[[noreturn]] void Refuse(const std::string& description) {
  throw RuntimeError(err::kComponent, description);
}

const char* LevelName(int level) {
  static const char* const kNames[] = {"noAuthNoPriv", "authNoPriv", "authPriv"};
  return kNames[level < 0 || level > 2 ? 0 : level];
}

int LevelOfFlags(uint8_t flags) {
  if ((flags & snmp::msgflag::kPriv) != 0) return 2;
  return (flags & snmp::msgflag::kAuth) != 0 ? 1 : 0;
}

std::string Hex(std::string_view bytes) {
  std::string s;
  for (char c : bytes) fmt::format_to(std::back_inserter(s), "{:02x}", static_cast<uint8_t>(c));
  return s.empty() ? "(empty)" : s;
}

std::string AsText(const usm::Bytes& b) { return std::string(b.begin(), b.end()); }

// The key of what the manager learns of an engine: its dotted quad and port.
std::string TargetKey(const sockaddr_in& to) {
  return fmt::format("{}:{}", FormatIpv4(to.sin_addr), ntohs(to.sin_port));
}

int32_t RandomMsgId() {
  uint32_t v = 0;
  usm::FillRandom(reinterpret_cast<uint8_t*>(&v), sizeof v);
  return static_cast<int32_t>(v & 0x3FFFFFFF) + 1;
}

// The protocol codes a request of this level needs; checked before a send waits for a lookup.
void CheckCodes(int level, int auth_code, int priv_code) {
  if (level >= 1) usm::AuthProtocolFromCode(auth_code);
  if (level == 2) usm::PrivProtocolFromCode(priv_code);
}

// The Report counter of the first varbind: its code and name.
struct Counter {
  int code = report::kOther;
  const char* name = nullptr;
};

Counter CounterOf(const snmp::Pdu& pdu) {
  if (pdu.varbinds.empty()) return {};
  const snmp::Oid& o = pdu.varbinds[0].oid;
  static const snmp::Oid kUsmStats = {1, 3, 6, 1, 6, 3, 15, 1, 1};
  static const snmp::Oid kMpdStats = {1, 3, 6, 1, 6, 3, 11, 2, 1};
  static const snmp::Oid kTargetStats = {1, 3, 6, 1, 6, 3, 12, 1};
  auto under = [&o](const snmp::Oid& prefix) {
    return o.size() == prefix.size() + 2 && std::equal(prefix.begin(), prefix.end(), o.begin());
  };
  const uint32_t n = o.size() >= 2 ? o[o.size() - 2] : 0;
  if (under(kUsmStats) && n >= 1 && n <= 6) {
    static const char* const kNames[] = {
        "usmStatsUnsupportedSecLevels", "usmStatsNotInTimeWindows", "usmStatsUnknownUserNames",
        "usmStatsUnknownEngineIDs",     "usmStatsWrongDigests",     "usmStatsDecryptionErrors"};
    return {static_cast<int>(n), kNames[n - 1]};
  }
  if (under(kMpdStats) && n >= 1 && n <= 3) {
    static const char* const kNames[] = {"snmpUnknownSecurityModels", "snmpInvalidMsgs",
                                         "snmpUnknownPDUHandlers"};
    return {static_cast<int>(10 + n), kNames[n - 1]};
  }
  if (under(kTargetStats) && (n == 4 || n == 5)) {
    return {static_cast<int>(10 + n), n == 4 ? "snmpUnavailableContexts" : "snmpUnknownContexts"};
  }
  return {};
}

}  // namespace

// One request sent and not yet answered, with what its answer is checked against.
struct SnmpManager::V3Request {
  bool discovery = false;
  int32_t request_id = 0;
  sockaddr_in to{};
  std::string target_key;  // dotted quad and port
  std::string user;
  int level = 0;
  usm::AuthProtocol auth = usm::AuthProtocol::kHmacMd5;
  usm::PrivProtocol priv = usm::PrivProtocol::kDes;
  usm::Bytes auth_key;
  usm::Bytes priv_key;
  std::string engine_id;
  snmp::PduType type = snmp::PduType::kGetRequest;  // GetRequest or GetNextRequest
  std::vector<snmp::Oid> oids;
  bool resent = false;
  uint64_t call = 0;  // the call's token; a resend keeps it
};

// The engine values a request carries.
struct SnmpManager::EngineNow {
  std::string engine_id;
  uint32_t boots = 0;
  uint32_t time = 0;
};

struct SnmpManager::V3State {
  // An engine's clock as last learnt, and when (Clock::WorldMonotonicMs).
  struct Learnt {
    std::string engine_id;
    uint32_t boots = 0;
    uint32_t time = 0;
    int64_t at_ms = 0;
    bool authentic = false;  // taken from an authenticated message
  };

  usm::KeyCache own_keys;
  usm::KeyCache* keys = &own_keys;  // own_keys, or a cache shared with other managers
  usm::SaltSource salts;
  int32_t next_msg_id = RandomMsgId();
  ExpiringTable<int32_t, V3Request> outstanding{kMaxOutstanding, kRequestMemoryMs};  // by msgID
  std::map<std::string, Learnt> engines;  // by target key
  // The call of the last discovery sent to each target: answers to requests sent before it
  // belong to the engine's previous life and teach no clock.
  std::map<std::string, uint64_t> discovered;

  uint32_t TimeNow(const Learnt& l, int64_t now_ms) const {
    const int64_t t = int64_t{l.time} + (now_ms - l.at_ms) / 1000;
    return static_cast<uint32_t>(std::clamp<int64_t>(t, 0, kMaxEngineValue));
  }
};

SnmpManager::SnmpManager(EventLoop& loop)
    : loop_(loop),
      resolver_(loop),
      sent_(kMaxOutstanding, kRequestMemoryMs),
      v3_(std::make_unique<V3State>()) {}

SnmpManager::~SnmpManager() { SetActive(false); }

void SnmpManager::SetKeyCache(usm::KeyCache* keys) { v3_->keys = keys ? keys : &v3_->own_keys; }

void SnmpManager::SetRemoteEngineId(const std::string& engine_id) {
  if (engine_id.size() > kMaxIdOctets) {
    Refuse(
        fmt::format("remote engine id of {} octets: at most {}", engine_id.size(), kMaxIdOctets));
  }
  req_.engine_id = engine_id;
}

void SnmpManager::SetRemoteEngineBoots(int64_t boots) {
  if (boots < 0 || boots > kMaxEngineValue) {
    Refuse(fmt::format("remote engine boots {}: out of range 0..{}", boots, kMaxEngineValue));
  }
  req_.engine_boots = static_cast<uint32_t>(boots);
}

void SnmpManager::SetRemoteEngineTime(int64_t time) {
  if (time < 0 || time > kMaxEngineValue) {
    Refuse(fmt::format("remote engine time {}: out of range 0..{}", time, kMaxEngineValue));
  }
  req_.engine_time = static_cast<uint32_t>(time);
}

void SnmpManager::SetUser(const std::string& user) {
  if (user.size() > kMaxIdOctets) {
    Refuse(fmt::format("user name of {} octets: at most {}", user.size(), kMaxIdOctets));
  }
  req_.user = user;
}

std::optional<SnmpManager::EngineInfo> SnmpManager::KnownEngine(const std::string& host,
                                                                int port) const {
  const auto it = v3_->engines.find(fmt::format("{}:{}", host, port));
  if (it == v3_->engines.end()) return std::nullopt;
  return EngineInfo{it->second.engine_id, it->second.boots,
                    v3_->TimeNow(it->second, loop_.clock().WorldMonotonicMs())};
}

SnmpManager::EngineNow SnmpManager::EngineFor(const RequestSettings& s,
                                              const std::string& target_key) const {
  const auto it = v3_->engines.find(target_key);
  const V3State::Learnt* learnt = it == v3_->engines.end() ? nullptr : &it->second;
  EngineNow e;
  if (s.engine_id.empty()) {
    // Nothing set: what discovery and authenticated answers taught us.
    if (learnt == nullptr) return e;
    return {learnt->engine_id, learnt->boots,
            v3_->TimeNow(*learnt, loop_.clock().WorldMonotonicMs())};
  }
  e.engine_id = s.engine_id;
  const bool same = learnt != nullptr && learnt->engine_id == s.engine_id;
  const uint32_t estimate = same ? v3_->TimeNow(*learnt, loop_.clock().WorldMonotonicMs()) : 0;
  e.boots = s.engine_boots.value_or(same ? learnt->boots : 0);
  e.time = s.engine_time.value_or(estimate);
  // The program's own clock of the engine may have drifted out of the window (it advances it on
  // resends); an authenticated clock of the same engine is the better one then.
  const bool outside = same && (e.boots != learnt->boots ||
                                std::abs(int64_t{e.time} - int64_t{estimate}) > kTimeWindowS);
  if (outside && learnt->authentic) {
    e.boots = learnt->boots;
    e.time = estimate;
  }
  return e;
}

SnmpManager::V3Request SnmpManager::PrepareV3Request(const RequestSettings& s,
                                                     const sockaddr_in& to,
                                                     const std::string& what) {
  V3Request r;
  r.to = to;
  r.target_key = TargetKey(to);
  r.user = s.user;
  r.level = s.SecurityLevel();
  try {
    r.engine_id = EngineFor(s, r.target_key).engine_id;
    if (r.level >= 1) {
      r.auth = usm::AuthProtocolFromCode(s.auth_code);
      if (r.engine_id.empty()) Refuse("the engine id is not known: discover the engine first");
      r.auth_key = v3_->keys->AuthKey(r.auth, s.auth_password, usm::AsBytes(r.engine_id));
    }
    if (r.level == 2) {
      r.priv = usm::PrivProtocolFromCode(s.priv_code);
      r.priv_key = v3_->keys->PrivKey(r.auth, r.priv, s.priv_password, usm::AsBytes(r.engine_id));
    }
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(),
                       fmt::format("{} for user {}: {}", what, s.user, e.description()));
  }
  return r;
}

void SnmpManager::SendV3GetRequest(const RequestSettings& s, uint64_t call, snmp::PduType type) {
  const std::string what = fmt::format("send {} to {}", RequestKind(type), s.Target());
  try {
    CheckCodes(s.SecurityLevel(), s.auth_code, s.priv_code);
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(),
                       fmt::format("{} for user {}: {}", what, s.user, e.description()));
  }
  WithAddress(
      SendPrefix(type), call, s.host, s.port, [this, s, what, call, type](const sockaddr_in& to) {
        V3Request r = PrepareV3Request(s, to, what);
        r.request_id = s.request_id;
        r.type = type;
        r.oids = s.oids;
        r.call = call;
        const EngineNow e = EngineFor(s, r.target_key);
        try {
          TransmitV3(std::move(r), e.boots, e.time);
        } catch (const RuntimeError& err) {
          throw RuntimeError(err.number(),
                             fmt::format("{} for user {}: {}", what, s.user, err.description()));
        }
      });
}

void SnmpManager::DiscoverEngine() {
  const std::string what = "discover engine at " + req_.Target();
  if (!Active()) Refuse(what + ": manager not active");
  // The event reports the settings the discovery was made for; the probe itself is anonymous.
  V3Request probe;
  probe.discovery = true;
  probe.user = req_.user;
  probe.level = req_.SecurityLevel();
  probe.call = next_call_++;
  Waiter w;
  w.call = probe.call;
  WithAddress("discover engine at ", probe.call, req_.host, req_.port,
              [this, probe](const sockaddr_in& to) {
                V3Request p = probe;
                p.to = to;
                p.target_key = TargetKey(to);
                // Whatever the engine there said before no longer counts: it may have restarted
                // without raising its boots, or its clock may have stepped back.
                v3_->engines.erase(p.target_key);
                v3_->discovered[p.target_key] = p.call;
                TransmitV3(std::move(p), 0, 0);
              });
  if (timeout_s_ == 0) return;
  const int timeout_s = timeout_s_;
  const bool answered = Wait(w);
  if (!w.failure.empty()) Refuse(fmt::format("{}: {}", what, w.failure));
  if (!answered) Refuse(fmt::format("{}: no answer within {} s", what, timeout_s));
}

void SnmpManager::TransmitV3(V3Request r, uint32_t boots, uint32_t time) {
  const int32_t msg_id = v3_->next_msg_id;
  v3_->next_msg_id = msg_id >= 0x7FFFFFFF ? 1 : msg_id + 1;
  // A discovery probe carries no engine id, no user and no objects, and is never secured.
  const int level = r.discovery ? 0 : r.level;
  snmp::ScopedPdu sp;
  sp.context_engine_id = r.discovery ? "" : r.engine_id;
  sp.pdu.type = r.discovery ? snmp::PduType::kGetRequest : r.type;
  sp.pdu.request_id = r.discovery ? msg_id : r.request_id;
  for (const snmp::Oid& oid : r.oids) sp.pdu.varbinds.push_back({oid, snmp::Value::Null()});
  snmp::V3Message m;
  m.msg_id = msg_id;
  m.flags = snmp::msgflag::kReportable | (level >= 1 ? snmp::msgflag::kAuth : 0) |
            (level == 2 ? snmp::msgflag::kPriv : 0);
  m.engine_id = r.discovery ? "" : r.engine_id;
  m.boots = boots;
  m.time = time;
  m.user = r.discovery ? "" : r.user;
  m.data = snmp::EncodeScopedPdu(sp);
  if (level >= 1) m.auth_params.assign(usm::DigestLength(r.auth), '\0');
  if (level == 2) {
    usm::EncryptedPdu enc =
        usm::EncryptScopedPdu(r.priv, r.priv_key, boots, time, usm::AsBytes(m.data), v3_->salts);
    m.data = AsText(enc.ciphertext);
    m.priv_params = AsText(enc.priv_params);
  }
  std::string wire = snmp::EncodeV3Message(&m);
  if (level >= 1) {
    usm::SignMessage(r.auth, r.auth_key,
                     std::span<uint8_t>(reinterpret_cast<uint8_t*>(wire.data()), wire.size()),
                     m.auth_offset);
  }
  socket_.SendTo(r.to, wire);
  v3_->outstanding.Insert(msg_id, std::move(r), loop_.clock().MonotonicMs());
}

void SnmpManager::HandleV3Datagram(const UdpSocket::Datagram& dg) {
  snmp::V3Message m;
  const snmp::DecodeStatus st = snmp::DecodeV3Message(dg.data, &m);
  if (!st.ok()) {
    RaiseBadPacket(dg, st.code, st.text);
    return;
  }
  const std::vector<V3Request*> found =
      v3_->outstanding.Find(m.msg_id, loop_.clock().MonotonicMs());
  if (found.empty()) {
    RaiseBadPacket(dg, ber::code::kNotAnAnswer,
                   fmt::format("SNMPv3 message with msgID {} answers no outstanding request "
                               "(a late answer, or not meant for this manager)",
                               m.msg_id));
    return;
  }
  // A copy: the events below may send requests and change the table.
  const V3Request req = *found.back();
  HandleV3Answer(dg, m, req);
}

void SnmpManager::HandleV3Answer(const UdpSocket::Datagram& dg, const snmp::V3Message& m,
                                 const V3Request& req) {
  const std::string peer = fmt::format("{}:{}", dg.from_host, dg.from_port);
  const std::string user = req.user;
  std::string scoped = m.data;
  if (!m.authenticated() && peer != req.target_key) {
    // Nothing but the address vouches for an unauthenticated answer.
    RaiseBadPacketText(dg, ber::code::kNotAnAnswer,
                       fmt::format("unauthenticated SNMPv3 message with msgID {} from {} answers a "
                                   "request sent to {} (not meant for this manager, or forged)",
                                   m.msg_id, peer, req.target_key));
    return;
  }
  if (m.authenticated()) {
    // Only an answer under the request's own user and engine can carry a digest we can check.
    const bool ours =
        !req.discovery && req.level >= 1 && m.user == req.user && m.engine_id == req.engine_id;
    try {
      if (!ours) {
        Refuse(fmt::format("message for user {} of engine {} answers a {} request of engine {}",
                           m.user, Hex(m.engine_id), LevelName(req.level), Hex(req.engine_id)));
      }
      usm::VerifyMessage(req.auth, req.auth_key, usm::AsBytes(dg.data), m.auth_offset,
                         m.auth_params.size());
    } catch (const RuntimeError& e) {
      RaiseBadPacketText(dg, ber::code::kAuthFailure,
                         fmt::format("authentication failure for user {} from {} ({}; wrong "
                                     "authentication password or protocol, or a forged message)",
                                     user, peer, e.description()));
      return;
    }
    const std::string late = Untimely(req.target_key, m);
    if (!late.empty()) {
      RaiseBadPacketText(dg, ber::code::kAuthFailure,
                         fmt::format("untimely message for user {} from {} ({}; a replayed or "
                                     "delayed message)",
                                     user, peer, late));
      return;
    }
    const auto discovered = v3_->discovered.find(req.target_key);
    if (discovered == v3_->discovered.end() || req.call > discovered->second) {
      Learn(req.target_key, m, true);
    }
  }
  if (m.encrypted()) {
    try {
      if (req.level != 2) Refuse("encrypted answer to a request without privacy");
      scoped = AsText(usm::DecryptScopedPdu(req.priv, req.priv_key, m.boots, m.time,
                                            usm::AsBytes(m.priv_params), usm::AsBytes(m.data)));
    } catch (const RuntimeError& e) {
      RaiseBadPacketText(
          dg, ber::code::kDecryptFailure,
          fmt::format("decryption failure for user {} from {} ({})", user, peer, e.description()));
      return;
    }
  }
  snmp::ScopedPdu sp;
  try {
    sp = snmp::DecodeScopedPdu(scoped);
  } catch (const ber::DecodeError& e) {
    RaiseBadPacket(dg, e.code(), e.text());
    return;
  }
  if (sp.pdu.type == snmp::PduType::kReport) {
    HandleV3Report(dg, m, req, std::move(sp.pdu));
  } else if (sp.pdu.type == snmp::PduType::kGetResponse) {
    HandleV3Response(dg, m, req, std::move(sp.pdu));
  } else {
    RaiseBadPacket(dg, ber::code::kBadPduType, snmp::PduName(sp.pdu.type) + " is not an answer");
  }
}

std::string SnmpManager::Untimely(const std::string& target_key, const snmp::V3Message& m) const {
  if (m.boots >= kMaxEngineValue) {
    return fmt::format("engine boots {}: the engine's clock ran out", m.boots);
  }
  const auto it = v3_->engines.find(target_key);
  if (it == v3_->engines.end() || !it->second.authentic || it->second.engine_id != m.engine_id) {
    return "";
  }
  const V3State::Learnt& l = it->second;
  if (m.boots < l.boots) {
    return fmt::format("engine boots {} below the {} seen before", m.boots, l.boots);
  }
  if (m.boots == l.boots && int64_t{m.time} + kTimeWindowS < int64_t{l.time}) {
    return fmt::format("engine time {} more than {} s behind the {} seen before (boots {})", m.time,
                       kTimeWindowS, l.time, m.boots);
  }
  return "";
}

void SnmpManager::Learn(const std::string& target_key, const snmp::V3Message& m, bool authentic) {
  auto [it, fresh] = v3_->engines.try_emplace(target_key);
  V3State::Learnt& l = it->second;
  const bool same = !fresh && l.engine_id == m.engine_id;
  // Of the same engine, an unauthenticated message never overrides an authenticated clock, and
  // messages of equal standing only move the clock forward (RFC 3414 3.2 step 7b).
  if (same && l.authentic && !authentic) return;
  const bool forward = m.boots > l.boots || (m.boots == l.boots && m.time > l.time);
  if (same && l.authentic == authentic && !forward) return;
  l = {m.engine_id, m.boots, m.time, loop_.clock().WorldMonotonicMs(), authentic};
}

void SnmpManager::HandleV3Response(const UdpSocket::Datagram& dg, const snmp::V3Message& m,
                                   const V3Request& req, snmp::Pdu pdu) {
  const std::string peer = fmt::format("{}:{}", dg.from_host, dg.from_port);
  if (req.discovery) {
    // Some agents answer the probe itself; what counts is the engine id they name.
    if (!m.engine_id.empty()) RaiseDiscovery(dg, m, req);
    return;
  }
  const int objects = static_cast<int>(pdu.varbinds.size());
  const int asked = static_cast<int>(req.oids.size());
  std::string why;
  int code = ber::code::kNotAnAnswer;
  if (pdu.request_id != req.request_id) {
    why = fmt::format("request id {} instead of {}", pdu.request_id, req.request_id);
  } else if (LevelOfFlags(m.flags) != req.level) {
    why = fmt::format("security level {} instead of {}", LevelName(LevelOfFlags(m.flags)),
                      LevelName(req.level));
    code = ber::code::kAuthFailure;
  } else if (objects > asked) {
    why = fmt::format("{} objects for a request of {}", objects, asked);
  }
  if (!why.empty()) {
    RaiseBadPacketText(
        dg, code, fmt::format("Response for user {} from {} refused: {}", req.user, peer, why));
    return;
  }
  v3_->outstanding.Erase(m.msg_id);
  SnmpResponse r;
  r.request_id = req.request_id;
  r.error_status = pdu.error_status;
  r.error_index = pdu.error_index;
  r.error_description = snmp::ErrorStatusText(pdu.error_status);
  r.version = 3;
  r.user = req.user;
  r.source_host = dg.from_host;
  r.source_port = dg.from_port;
  r.requested = asked;
  r.varbinds = std::move(pdu.varbinds);
  DeliverResponse(r, req.call);
}

void SnmpManager::RaiseDiscovery(const UdpSocket::Datagram& dg, const snmp::V3Message& m,
                                 const V3Request& req) {
  v3_->outstanding.Erase(m.msg_id);
  Learn(req.target_key, m, m.authenticated());
  for (Waiter* w : WaitersOf(req.call)) w->answered = true;
  if (!OnDiscoveryResponse) return;
  SnmpDiscovery d{m.engine_id, m.boots, m.time, req.user, req.level, dg.from_host, dg.from_port};
  try {
    OnDiscoveryResponse(d);
  } catch (const std::exception& e) {
    RaiseError(err::kComponent, fmt::format("DiscoveryResponse handler: {}", e.what()));
  }
}

// What a Report of the counter code says about the request, for an operator.
std::string SnmpManager::ReportText(int code, const V3Request& req, const snmp::V3Message& m,
                                    const std::string& peer) {
  const std::string& u = req.user;
  switch (code) {
    case report::kUnsupportedSecLevels:
      return fmt::format(
          "security level {} not supported for user {} at {} (the user has another "
          "security level there)",
          LevelName(req.level), u, peer);
    case report::kNotInTimeWindows:
      return fmt::format(
          "request for user {} outside the time window of {} (its engine boots {}, "
          "time {})",
          u, peer, m.boots, m.time);
    case report::kUnknownUserNames:
      return fmt::format("user {} unknown at {}", u, peer);
    case report::kUnknownEngineIds:
      return fmt::format("engine id {} unknown at {} (its engine id is {})", Hex(req.engine_id),
                         peer, Hex(m.engine_id));
    case report::kWrongDigests:
      return fmt::format(
          "authentication failed for user {} at {} (wrong authentication password "
          "or protocol)",
          u, peer);
    case report::kDecryptionErrors:
      return fmt::format("decryption failed for user {} at {} (wrong privacy password or protocol)",
                         u, peer);
    default:
      return fmt::format("request for user {} refused by {}", u, peer);
  }
}

void SnmpManager::HandleV3Report(const UdpSocket::Datagram& dg, const snmp::V3Message& m,
                                 const V3Request& req, snmp::Pdu pdu) {
  const Counter counter = CounterOf(pdu);
  if (req.discovery && counter.code == report::kUnknownEngineIds && !m.engine_id.empty()) {
    RaiseDiscovery(dg, m, req);
    return;
  }
  // Anyone can forge an unauthenticated Report: one does not end an authenticated request, whose
  // authenticated answer may still come.
  const bool ends = req.discovery || req.level == 0 || m.authenticated();
  if (ends) v3_->outstanding.Erase(m.msg_id);
  const std::string peer = fmt::format("{}:{}", dg.from_host, dg.from_port);
  std::string text = ReportText(counter.code, req, m, peer);
  const bool resend = counter.code == report::kNotInTimeWindows && m.authenticated() &&
                      !req.discovery && !req.resent && req.level >= 1;
  bool resent = false;
  if (resend) {
    // The engine's clock, authenticated (and learnt above): try once more, as other managers do.
    V3Request again = req;
    again.resent = true;
    try {
      TransmitV3(std::move(again), m.boots, m.time);
      resent = true;
      ++stats_.resends;
      text += "; request resent with the engine's boots and time";
    } catch (const RuntimeError& e) {
      RaiseError(e.number(), fmt::format("resend to {}: {}", peer, e.description()));
    }
  }
  SnmpReport r;
  r.request_id = req.discovery ? 0 : req.request_id;
  r.user = req.user;
  r.security_level = LevelOfFlags(m.flags);
  r.error_status = counter.code;
  r.error_description =
      counter.name != nullptr
          ? fmt::format("{}: {}", counter.name, text)
          : fmt::format(
                "Report {}: {}",
                pdu.varbinds.empty() ? "without objects" : ber::FormatOid(pdu.varbinds[0].oid),
                text);
  r.engine_id = m.engine_id;
  r.engine_boots = m.boots;
  r.engine_time = m.time;
  r.source_host = dg.from_host;
  r.source_port = dg.from_port;
  r.varbinds = std::move(pdu.varbinds);
  for (Waiter* w : WaitersOf(req.call)) {
    if (req.discovery || (ends && !resent)) {
      // A blocking send ends here with the Report's reason, not after its whole wait time.
      if (!req.discovery) w->failure = r.error_description;
      w->answered = true;
    } else if (!ends) {
      w->report = r.error_description;
    }
  }
  if (!OnReport) return;
  try {
    OnReport(r);
  } catch (const std::exception& e) {
    RaiseError(err::kComponent, fmt::format("Report handler: {}", e.what()));
  }
}

}  // namespace quorlan
