#include "components/snmp/snmp_manager.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "components/platform/platform.h"

namespace quorlan {
namespace {

constexpr int kDatagramsPerWakeUp = 64;
// Datagrams read with one system call when a burst of answers is queued.
constexpr int kReceiveBatch = 32;

// A burst of hundreds of answers arrives at once; the kernel's default buffer drops part of it.
constexpr int kReceiveBufferBytes = 4 << 20;
constexpr int kMaxObjects = 128;

[[noreturn]] void Refuse(const std::string& description) {
  throw RuntimeError(err::kComponent, description);
}

// Object i of an answer, or null when the answer left it out. Throws for a negative i.
const snmp::VarBind* Slot(const std::vector<snmp::VarBind>& v, int i) {
  if (i < 0) {
    throw RuntimeError(err::kSubscriptOutOfRange, fmt::format("object index {} is negative", i));
  }
  return i < static_cast<int>(v.size()) ? &v[i] : nullptr;
}

std::string VersionName(int32_t wire_version) {
  return wire_version == snmp::version::kV1 ? "SNMPv1" : "SNMPv2c";
}

}  // namespace

std::optional<std::string> SnmpResponse::ObjValue(int i) const {
  const snmp::VarBind* b = Slot(varbinds, i);
  if (b == nullptr || b->value.IsAbsent()) return std::nullopt;
  return b->value.ToText();
}

std::string SnmpResponse::ObjId(int i) const {
  const snmp::VarBind* b = Slot(varbinds, i);
  return b == nullptr ? "" : ber::FormatOid(b->oid);
}

int SnmpResponse::ObjType(int i) const {
  const snmp::VarBind* b = Slot(varbinds, i);
  return static_cast<int>(b == nullptr ? snmp::ValueType::kNull : b->value.type);
}

int SnmpManager::RequestSettings::SecurityLevel() const {
  if (auth_password.empty()) return 0;
  return priv_password.empty() ? 1 : 2;
}

std::string SnmpManager::RequestSettings::Target() const {
  return fmt::format("{}:{}", host, port);
}

// The constructor and destructor live in snmp_manager_v3.cc, beside the SNMPv3 state they own
// and the bounds of the tables of requests sent.

void SnmpManager::SetActive(bool active) {
  if (active == Active()) return;
  if (!active) {
    loop_.Unwatch(watch_);
    socket_.Close();
    queued_.clear();
    failed_.clear();
    return;
  }
  socket_.Open(local_host_, local_port_, kReceiveBufferBytes);
  socket_.SetReceiveBatch(kReceiveBatch);
  watch_ = loop_.WatchReadable(socket_.fd(), [this] { OnReadable(); });
}

std::string SnmpManager::LocalHost() const { return Active() ? socket_.LocalHost() : local_host_; }

void SnmpManager::SetLocalPort(int port) {
  if (port < 0 || port > 65535) Refuse(fmt::format("local port {}: out of range 0..65535", port));
  local_port_ = port;
}

int SnmpManager::LocalPort() const { return Active() ? socket_.LocalPort() : local_port_; }

void SnmpManager::SetTimeout(int seconds) {
  if (seconds < 0) Refuse(fmt::format("wait time {}: negative", seconds));
  timeout_s_ = seconds;
}

void SnmpManager::Reset() {
  RequestSettings fresh;
  fresh.host = std::move(req_.host);
  fresh.port = req_.port;
  fresh.community = std::move(req_.community);
  req_ = std::move(fresh);
}

void SnmpManager::SetRemotePort(int port) {
  if (port < 1 || port > 65535) Refuse(fmt::format("remote port {}: out of range 1..65535", port));
  req_.port = port;
}

void SnmpManager::SetSnmpVersion(int version) {
  if (version < 1 || version > 3) Refuse(fmt::format("SNMP version {}: not 1, 2 or 3", version));
  req_.version = version;
}

void SnmpManager::SetObjCount(int count) {
  if (count < 0 || count > kMaxObjects) {
    Refuse(fmt::format("object count {}: out of range 0..{}", count, kMaxObjects));
  }
  req_.oids.resize(count);
  req_.values.resize(count);
}

int SnmpManager::CheckedSlot(int i, const char* what) const {
  if (i < 0 || i >= ObjCount()) {
    throw RuntimeError(
        err::kSubscriptOutOfRange,
        fmt::format("{} {}: object index out of range 0..{}", what, i, ObjCount() - 1));
  }
  return i;
}

void SnmpManager::SetObjId(int i, const std::string& oid) {
  snmp::Oid parsed;
  if (!ber::ParseOid(oid, &parsed)) Refuse(fmt::format("object id {}: '{}' is not an OID", i, oid));
  req_.oids[CheckedSlot(i, "object id")] = std::move(parsed);
}

std::string SnmpManager::ObjId(int i) const {
  return ber::FormatOid(req_.oids[CheckedSlot(i, "object id")]);
}

void SnmpManager::SetObjValue(int i, int type_code, const std::string& text) {
  const int slot = CheckedSlot(i, "object value");
  try {
    req_.values[slot] = snmp::ValueFromText(type_code, text);
  } catch (const RuntimeError& e) {
    Refuse(fmt::format("object value {}: {}", i, e.description()));
  }
}

const char* SnmpManager::RequestKind(snmp::PduType type) {
  if (type == snmp::PduType::kSetRequest) return "SET";
  return type == snmp::PduType::kGetNextRequest ? "GETNEXT" : "GET";
}

const char* SnmpManager::SendPrefix(snmp::PduType type) {
  if (type == snmp::PduType::kSetRequest) return "send SET to ";
  return type == snmp::PduType::kGetNextRequest ? "send GETNEXT to " : "send GET to ";
}

void SnmpManager::SendGetRequest() { SendReadRequest(snmp::PduType::kGetRequest); }

void SnmpManager::SendGetNextRequest() { SendReadRequest(snmp::PduType::kGetNextRequest); }

void SnmpManager::SendReadRequest(snmp::PduType type) {
  const char* kind = RequestKind(type);
  // The target's text is made only for a refusal: a request that goes out needs none.
  if (!Active()) Refuse(fmt::format("{}{}: manager not active", SendPrefix(type), req_.Target()));
  for (size_t i = 0; i < req_.oids.size(); ++i) {
    if (req_.oids[i].empty()) {
      Refuse(fmt::format("{}{}: object {} has no id", SendPrefix(type), req_.Target(), i));
    }
  }
  const uint64_t call = next_call_++;
  if (req_.version == 3) {
    SendQueued();
    SendV3GetRequest(req_, call, type);
  } else {
    SendCommunityRequest(req_, call, type);
  }
  if (timeout_s_ > 0) WaitForAnswer(call, req_, kind);
}

void SnmpManager::SendSetRequest() {
  const std::string target = req_.Target();
  if (!Active()) Refuse("send SET to " + target + ": manager not active");
  if (req_.version == 3)
    Refuse("send SET to " + target + ": SNMPv3 Set requests are not supported");
  for (size_t i = 0; i < req_.oids.size(); ++i) {
    if (req_.oids[i].empty()) Refuse(fmt::format("send SET to {}: object {} has no id", target, i));
    if (req_.values[i].IsAbsent()) {
      Refuse(fmt::format("send SET to {}: object {} has no value", target, i));
    }
  }
  const uint64_t call = next_call_++;
  SendCommunityRequest(req_, call, snmp::PduType::kSetRequest);
  if (timeout_s_ > 0) WaitForAnswer(call, req_, "SET");
}

void SnmpManager::SendCommunityRequest(const RequestSettings& s, uint64_t call,
                                       snmp::PduType type) {
  const int32_t version = s.version == 1 ? snmp::version::kV1 : snmp::version::kV2c;
  std::string wire =
      snmp::EncodeRequest(version, s.community, type, s.request_id, s.oids, s.values);
  Sent sent{{}, s.port, version, s.community, static_cast<int>(s.oids.size()), call};
  sockaddr_in to{};
  const bool dotted = DottedQuad(s.host, s.port, &to);
  if (dotted && batching_ && timeout_s_ == 0 && type == snmp::PduType::kGetRequest) {
    queued_.push_back({to, std::move(wire), s.request_id, std::move(sent)});
    return;
  }
  SendQueued();  // what was queued before goes out first
  // A dotted quad goes out at once, without wrapping the send for the resolver's callback.
  if (dotted) {
    SendCommunity(to, wire, s.request_id, sent);
    return;
  }
  WithAddress(SendPrefix(type), call, s.host, s.port,
              [this, wire = std::move(wire), id = s.request_id, sent = std::move(sent)](
                  const sockaddr_in& to) mutable { SendCommunity(to, wire, id, sent); });
}

void SnmpManager::SendCommunity(const sockaddr_in& to, const std::string& wire, int32_t id,
                                Sent& sent) {
  socket_.SendTo(to, wire);
  sent.address = to.sin_addr;
  sent_.Insert(id, std::move(sent), loop_.clock().MonotonicMs());
}

void SnmpManager::SetBatching(bool on) {
  if (!on) {
    for (const FailedSend& f : FlushBatch()) RaiseError(err::kComponent, f.error);
  }
  batching_ = on;
}

std::vector<SnmpManager::FailedSend> SnmpManager::FlushBatch() {
  SendQueued();
  return std::exchange(failed_, {});
}

void SnmpManager::SendQueued() {
  if (queued_.empty()) return;
  outgoing_.clear();
  for (const Queued& q : queued_) outgoing_.push_back({q.to, q.wire});
  const std::vector<UdpSocket::Refused> refused = socket_.SendMany(outgoing_);
  const int64_t now = loop_.clock().MonotonicMs();
  size_t r = 0;
  for (size_t k = 0; k < queued_.size(); ++k) {
    Queued& q = queued_[k];
    if (r < refused.size() && refused[r].index == k) {
      failed_.push_back({q.id, refused[r++].error, q.sent.version == snmp::version::kV1 ? 1 : 2});
      continue;
    }
    q.sent.address = q.to.sin_addr;
    sent_.Insert(q.id, std::move(q.sent), now);
  }
  queued_.clear();
  outgoing_.clear();
}

bool SnmpManager::DottedQuad(const std::string& host, int port, sockaddr_in* to) {
  to->sin_family = AF_INET;
  to->sin_port = htons(static_cast<uint16_t>(port));
  return !host.empty() && inet_pton(AF_INET, host.c_str(), &to->sin_addr) == 1;
}

void SnmpManager::WithAddress(std::string_view action, uint64_t call, const std::string& host,
                              int port, std::function<void(const sockaddr_in&)> send) {
  sockaddr_in to{};
  if (DottedQuad(host, port, &to)) {
    send(to);
    return;
  }
  const std::string what = fmt::format("{}{}:{}", action, host, port);
  auto later = [this, what, call, to, send](const HostResolver::Result& r) mutable {
    try {
      if (r.status != HostResolver::Status::kResolved) Refuse(r.error);
      to.sin_addr = r.address;
      send(to);
    } catch (const RuntimeError& e) {
      FailCall(call, what, e.description());
    }
  };
  HostResolver::Result now;
  try {
    now = resolver_.Lookup(host, std::move(later));
  } catch (const RuntimeError& e) {
    throw RuntimeError(e.number(), fmt::format("{}: {}", what, e.description()));
  }
  if (now.status == HostResolver::Status::kPending) return;
  if (now.status == HostResolver::Status::kFailed) Refuse(fmt::format("{}: {}", what, now.error));
  to.sin_addr = now.address;
  send(to);
}

void SnmpManager::FailCall(uint64_t call, const std::string& what, const std::string& failure) {
  for (Waiter* w : WaitersOf(call)) {
    w->failure = failure;
    w->answered = true;
  }
  RaiseError(err::kComponent, fmt::format("{}: {}", what, failure));
}

bool SnmpManager::Wait(Waiter& w) {
  // Listed for exactly the duration of the wait, also when a handler throws through it.
  struct Listing {
    std::vector<Waiter*>& list;
    Waiter* w;
    ~Listing() { std::erase(list, w); }
  } listing{waiters_, &w};
  waiters_.push_back(&w);
  Clock& clock = loop_.clock();
  const int64_t deadline = clock.MonotonicMs() + int64_t{timeout_s_} * 1000;
  while (!w.answered && clock.MonotonicMs() < deadline && Active()) {
    loop_.RunOnce(static_cast<int>(deadline - clock.MonotonicMs()));
  }
  return w.answered;
}

void SnmpManager::WaitForAnswer(uint64_t call, const RequestSettings& s, const char* kind) {
  const int timeout_s = timeout_s_;
  const std::string what = fmt::format("{} request {} to {}", kind, s.request_id, s.Target());
  Waiter w;
  w.call = call;
  const bool answered = Wait(w);
  if (!w.failure.empty()) Refuse(fmt::format("{}: {}", what, w.failure));
  if (answered) return;
  if (!w.report.empty()) {
    Refuse(fmt::format("{}: {} (unauthenticated; no authenticated answer within {} s)", what,
                       w.report, timeout_s));
  }
  Refuse(fmt::format("{}: no answer within {} s", what, timeout_s));
}

std::vector<SnmpManager::Waiter*> SnmpManager::WaitersOf(uint64_t call) const {
  std::vector<Waiter*> found;
  for (Waiter* w : waiters_) {
    if (w->call == call) found.push_back(w);
  }
  return found;
}

void SnmpManager::OnReadable() {
  UdpSocket::Datagram dg;
  // At most kDatagramsPerWakeUp per readiness, so that a flood of datagrams cannot starve timers
  // and the service host; the loop calls again while more are queued in the system. Those the
  // socket has taken already are handled before returning: no readiness would report them.
  // A handler that pauses runs this again inside its pause, which goes on with the next datagram.
  // A read that took less than a batch emptied the system's queue: the next waits for readiness.
  for (int n = 0; (n < kDatagramsPerWakeUp || socket_.Taken() > 0) && Active(); ++n) {
    if (n > 0 && socket_.Drained()) return;
    try {
      if (!socket_.Receive(&dg)) return;
    } catch (const RuntimeError& e) {
      RaiseError(e.number(), e.description());
      return;
    }
    ++stats_.received;
    HandleDatagram(dg);
  }
}

void SnmpManager::HandleDatagram(const UdpSocket::Datagram& dg) {
  if (dg.truncated) {
    ++stats_.truncated;
    RaiseBadPacket(dg, ber::code::kDatagramTruncated,
                   fmt::format("datagram larger than {} bytes", dg.data.size()));
    return;
  }
  if (snmp::PeekVersion(dg.data) == snmp::version::kV3) {
    HandleV3Datagram(dg);
    return;
  }
  snmp::CommunityMessage m;
  const snmp::DecodeStatus st = snmp::DecodeMessage(dg.data, &m);
  if (!st.ok()) {
    RaiseBadPacket(dg, st.code, st.text);
    return;
  }
  if (m.pdu.type != snmp::PduType::kGetResponse) {
    RaiseBadPacket(dg, ber::code::kBadPduType, snmp::PduName(m.pdu.type) + " is not an answer");
    return;
  }
  HandleCommunityAnswer(dg, std::move(m));
}

std::string SnmpManager::Mismatch(const Sent& s, const UdpSocket::Datagram& dg,
                                  const snmp::CommunityMessage& m) {
  if (dg.from_address.s_addr != s.address.s_addr || dg.from_port != s.port) {
    return "another address or port";
  }
  if (m.version != s.version) {
    return fmt::format("{} instead of {}", VersionName(m.version), VersionName(s.version));
  }
  if (m.community != s.community) return "another community";
  const int n = static_cast<int>(m.pdu.varbinds.size());
  if (n > s.objects) return fmt::format("{} objects for a request of {}", n, s.objects);
  return "";
}

void SnmpManager::HandleCommunityAnswer(const UdpSocket::Datagram& dg, snmp::CommunityMessage m) {
  const int32_t id = m.pdu.request_id;
  const int64_t now = loop_.clock().MonotonicMs();
  Sent* match = sent_.FindFirst(id, now, [&](const Sent& s) { return Mismatch(s, dg, m).empty(); });
  if (match == nullptr) {
    const std::vector<Sent*> sent = sent_.Find(id, now);
    const std::string peer = fmt::format("{}:{}", dg.from_host, dg.from_port);
    const std::string text =
        sent.empty() ? fmt::format("unsolicited answer from {}, request id {}", peer, id)
                     : fmt::format(
                           "answer from {}, request id {}, does not match the request sent to "
                           "{}:{}: {}",
                           peer, id, FormatIpv4(sent.back()->address), sent.back()->port,
                           Mismatch(*sent.back(), dg, m));
    RaiseBadPacketText(dg, ber::code::kNotAnAnswer, text);
    return;
  }
  const int objects = match->objects;
  const uint64_t call = match->call;
  sent_.Erase(id, match);
  SnmpResponse r;
  r.request_id = id;
  r.error_status = m.pdu.error_status;
  r.error_index = m.pdu.error_index;
  r.error_description = snmp::ErrorStatusText(m.pdu.error_status);
  r.version = m.version == snmp::version::kV1 ? 1 : 2;
  r.community = std::move(m.community);
  r.source_host = dg.from_host;
  r.source_port = dg.from_port;
  r.requested = objects;
  r.varbinds = std::move(m.pdu.varbinds);
  DeliverResponse(r, call);
}

void SnmpManager::DeliverResponse(SnmpResponse& r, uint64_t call) {
  for (Waiter* w : WaitersOf(call)) w->answered = true;
  if (!OnResponse) return;
  try {
    OnResponse(r);
  } catch (const std::exception& e) {
    RaiseError(err::kComponent, fmt::format("Response handler: {}", e.what()));
  }
}

void SnmpManager::RaiseBadPacket(const UdpSocket::Datagram& dg, int code, const std::string& text) {
  RaiseBadPacketText(dg, code, fmt::format("{} (from {}:{})", text, dg.from_host, dg.from_port));
}

void SnmpManager::RaiseBadPacketText(const UdpSocket::Datagram& dg, int code,
                                     const std::string& text) {
  ++stats_.bad_packets;
  RaiseSnmpBadPacket(OnBadPacket, OnError,
                     SnmpBadPacket{dg.data, dg.from_host, dg.from_port, code, text});
}

void SnmpManager::RaiseError(int number, const std::string& description) {
  RaiseSnmpError(OnError, number, description);
}

void RaiseSnmpError(const SnmpErrorHandler& on_error, int number, const std::string& description) {
  if (!on_error) return;
  try {
    on_error(number, description);
  } catch (const std::exception&) {
    // The error handler's own failure has nowhere left to go.
  }
}

void RaiseSnmpBadPacket(const std::function<void(const SnmpBadPacket&)>& on_bad_packet,
                        const SnmpErrorHandler& on_error, const SnmpBadPacket& bad) {
  if (!on_bad_packet) return;
  try {
    on_bad_packet(bad);
  } catch (const std::exception& e) {
    RaiseSnmpError(on_error, err::kComponent, fmt::format("BadPacket handler: {}", e.what()));
  }
}

}  // namespace quorlan
