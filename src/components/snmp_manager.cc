#include "components/snmp_manager.h"

#include <fmt/format.h>

#include <utility>

#include "components/values.h"

namespace quorlan {
namespace {

constexpr int kDatagramsPerWakeUp = 64;

// A burst of hundreds of answers arrives at once; the kernel's default buffer drops part of it.
constexpr int kReceiveBufferBytes = 4 << 20;
constexpr int kMaxObjects = 128;

[[noreturn]] void Refuse(const std::string& description) {
  throw RuntimeError(err::kComponent, description);
}

const snmp::VarBind& Slot(const std::vector<snmp::VarBind>& v, int i) {
  if (i < 0 || i >= static_cast<int>(v.size())) {
    throw RuntimeError(err::kSubscriptOutOfRange, fmt::format("object index {} out of range 0..{}",
                                                              i, static_cast<int>(v.size()) - 1));
  }
  return v[i];
}

}  // namespace

std::optional<std::string> SnmpResponse::ObjValue(int i) const {
  const snmp::Value& v = Slot(varbinds, i).value;
  if (v.IsAbsent()) return std::nullopt;
  return v.ToText();
}

std::string SnmpResponse::ObjId(int i) const { return ber::FormatOid(Slot(varbinds, i).oid); }

int SnmpResponse::ObjType(int i) const { return static_cast<int>(Slot(varbinds, i).value.type); }

// The constructor and destructor live in snmp_manager_v3.cc, beside the SNMPv3 state they own.

void SnmpManager::SetActive(bool active) {
  if (active == Active()) return;
  if (!active) {
    loop_.Unwatch(watch_);
    socket_.Close();
    return;
  }
  socket_.Open(local_host_, local_port_, kReceiveBufferBytes);
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
  oids_.clear();
  request_id_ = 0;
  engine_id_.clear();
  engine_boots_.reset();
  engine_time_.reset();
  user_.clear();
  auth_password_.clear();
  auth_code_ = 0;
  priv_password_.clear();
  priv_code_ = 0;
}

void SnmpManager::SetRemotePort(int port) {
  if (port < 1 || port > 65535) Refuse(fmt::format("remote port {}: out of range 1..65535", port));
  remote_port_ = port;
}

void SnmpManager::SetSnmpVersion(int version) {
  if (version < 1 || version > 3) Refuse(fmt::format("SNMP version {}: not 1, 2 or 3", version));
  version_ = version;
}

void SnmpManager::SetObjCount(int count) {
  if (count < 0 || count > kMaxObjects) {
    Refuse(fmt::format("object count {}: out of range 0..{}", count, kMaxObjects));
  }
  oids_.resize(count);
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
  oids_[CheckedSlot(i, "object id")] = std::move(parsed);
}

std::string SnmpManager::ObjId(int i) const {
  return ber::FormatOid(oids_[CheckedSlot(i, "object id")]);
}

void SnmpManager::SendGetRequest() {
  const std::string target = fmt::format("{}:{}", remote_host_, remote_port_);
  if (!Active()) Refuse("send GET to " + target + ": manager not active");
  for (size_t i = 0; i < oids_.size(); ++i) {
    if (oids_[i].empty()) Refuse(fmt::format("send GET to {}: object {} has no id", target, i));
  }
  if (version_ == 3) {
    SendV3GetRequest(target);
    return;
  }
  snmp::CommunityMessage m;
  m.version = version_ == 1 ? snmp::version::kV1 : snmp::version::kV2c;
  m.community = community_;
  m.pdu.type = snmp::PduType::kGetRequest;
  m.pdu.request_id = request_id_;
  m.pdu.varbinds.reserve(oids_.size());
  for (const snmp::Oid& oid : oids_) m.pdu.varbinds.push_back({oid, snmp::Value::Null()});
  socket_.SendTo(remote_host_, remote_port_, snmp::EncodeMessage(m));
  if (timeout_s_ > 0) WaitForAnswer(request_id_, 0, target);
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

void SnmpManager::WaitForAnswer(int32_t request_id, uint64_t call, const std::string& target) {
  const int timeout_s = timeout_s_;
  Waiter w;
  w.request_id = request_id;
  w.call = call;
  const bool answered = Wait(w);
  const std::string what = fmt::format("GET request {} to {}", request_id, target);
  if (!w.failure.empty()) Refuse(fmt::format("{}: {}", what, w.failure));
  if (answered) return;
  if (!w.report.empty()) {
    Refuse(fmt::format("{}: {} (unauthenticated; no authenticated answer within {} s)", what,
                       w.report, timeout_s));
  }
  Refuse(fmt::format("{}: no answer within {} s", what, timeout_s));
}

std::vector<SnmpManager::Waiter*> SnmpManager::WaitersOf(uint64_t call, int32_t request_id) const {
  std::vector<Waiter*> found;
  for (Waiter* w : waiters_) {
    if (call != 0 ? w->call == call : w->call == 0 && w->request_id == request_id) {
      found.push_back(w);
    }
  }
  return found;
}

void SnmpManager::OnReadable() {
  UdpSocket::Datagram dg;
  // At most a batch per readiness, so that a flood of datagrams cannot starve timers and the
  // service host; the loop calls again while more are queued.
  for (int n = 0; n < kDatagramsPerWakeUp && Active(); ++n) {
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
  SnmpResponse r;
  r.request_id = m.pdu.request_id;
  r.error_status = m.pdu.error_status;
  r.error_index = m.pdu.error_index;
  r.error_description = snmp::ErrorStatusText(m.pdu.error_status);
  r.version = m.version == snmp::version::kV1 ? 1 : 2;
  r.community = std::move(m.community);
  r.source_host = dg.from_host;
  r.source_port = dg.from_port;
  r.varbinds = std::move(m.pdu.varbinds);
  DeliverResponse(r, 0);
}

void SnmpManager::DeliverResponse(SnmpResponse& r, uint64_t call) {
  for (Waiter* w : WaitersOf(call, r.request_id)) w->answered = true;
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
