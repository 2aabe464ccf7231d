// The SNMP manager component: sends GET requests over one non-blocking UDP socket and delivers
// what comes back as events on the service's event loop.
//
// Use, in the order the pollers use it: SetTimeout(0), SetLocalHost(""), SetActive(true); per
// request Reset(), SetRemoteHost/SetRemotePort, SetCommunity, SetSnmpVersion, SetObjCount,
// SetObjId(i, oid) for each slot from 0, SetRequestId, SendGetRequest(). The answer arrives
// later as OnResponse. One socket serves every target.
//
// A SetRequest (SNMPv1 and SNMPv2c) is built the same way, with SetObjValue(i, type, text) for
// each slot, and sent with SendSetRequest(); its answer is a Response like that of a GET, whose
// error status tells whether the agent took the values (the management console uses it in
// blocking mode, SetTimeout(n) with n > 0, to control the service through its agent).
//
// Answers are matched to what was sent. The manager keeps the requests it sent for five minutes
// (at most 10,000; the oldest go first when more are sent): request id, target address and port,
// version, community and object count. An SNMPv1/v2c GetResponse is a Response only when it
// answers one of them: the same request id, from the address and port the request went to, in its
// version and with its community, with no more objects than it asked for. The request is then
// forgotten, so each is answered once. Anything else is a BadPacket (code ber::code::kNotAnAnswer)
// whose text says what did not match, e.g. "unsolicited answer from 10.1.2.3:161, request id
// 1000007" or "answer from 127.0.0.1:40001, request id 12, does not match the request sent to
// 127.0.0.1:161: another address or port". SNMPv3 requests are matched by their own msgID (below),
// never by a request id, so a v1/v2c datagram cannot answer one.
//
// An answer may carry fewer objects than its request asked for (a tooBig, a short agent): the
// Response then counts the objects that came (ObjCount) and the ones asked for (RequestedCount),
// and the missing objects read as null.
//
// Host names: a dotted quad is used at once; a name is resolved without blocking the loop
// (host_resolver.h: c-ares, a cache of five minutes refreshed in the background). A name that is
// known, or known not to resolve, is settled at once: SendGetRequest and DiscoverEngine send, or
// throw RuntimeError with "resolve host 'x': ..." as for any other failure. A name not yet known
// is looked up and the request goes out when it resolves; the call still returns at once, and a
// lookup that then fails raises OnError ("send GET to x:161: resolve host 'x': Domain name not
// found") and ends a blocking call with that error, while the name stays refused for 30 s.
//
// Events run on the loop's thread, from inside EventLoop delivery (also inside a WaitMs of
// another handler). Each event gets its own event object, which stays valid and unchanged for
// the whole handler even when the handler pauses and further events are delivered inside it.
// Handlers must not destroy the manager; they may deactivate it.
//
// Every failing operation throws RuntimeError (number err::kComponent unless a conversion says
// otherwise) whose description names the operation and the reason, e.g. "bind udp
// 0.0.0.0:1626: Address already in use".
//
// SNMPv3 (RFC 3412 message processing, RFC 3414 User-based Security Model): per request, after
// Reset(), the program sets the remote engine id, boots and time, the user name, the
// authentication password and protocol code and the privacy password and protocol code; the
// security level follows from what is set (no authentication password: noAuthNoPriv; an
// authentication password: authNoPriv; both passwords: authPriv). DiscoverEngine() asks the target
// for its engine id, boots and time; the answer arrives as OnDiscoveryResponse, and from then on
// requests to that target use what was learnt unless the program sets an engine id itself. Reports
// (usmStats...) that answer a request arrive as OnReport; an authenticated notInTimeWindow Report
// makes the manager resend the request once with the engine's clock, as other SNMPv3 managers do.
// Answers are matched to requests by msgID: an SNMPv3 message that answers no outstanding request
// of ours, fails authentication or does not decrypt is a bad packet and never a Response.
//
// Answers to an authenticated request (authNoPriv, authPriv): an unauthenticated Report is still
// raised as OnReport, but it does not end the request (anyone can forge one), so the authenticated
// answer that follows is still delivered; a request nothing authentic answered is forgotten after
// five minutes. An unauthenticated answer that does not come from the request's address and port
// is a bad packet. An authenticated message must also be timely (RFC 3414 3.2 step 7b): engine
// boots 2147483647, boots below the highest seen from that engine, or the same boots with a time
// more than 150 s behind the latest seen make it a bad packet (a replay). The engine clock learnt
// from authenticated messages only moves forward, until a discovery is sent to the engine: that
// forgets everything learnt of it, and answers to requests sent before it teach no clock, so an
// agent that restarted without raising its boots, or whose clock stepped back, is trusted again
// once rediscovered (its answers are still matched by fresh msgIDs under HMAC, so this opens no
// replay).
//
// Engine values the program sets: the engine id, boots and time the program set are sent as set,
// except when the manager has an engine clock for that target with the same engine id learnt from
// an authenticated message, and the program's boots differ from it or its time is more than 150 s
// away from the manager's estimate of the engine time now; then the learnt boots and estimate are
// sent, so a program whose own engine time has drifted (it advances it on every resend) does not
// draw a notInTimeWindow Report and a resend on every request.
//
// Protocol codes: AuthProtocol 1 HMAC-MD5-96, 2 HMAC-SHA-96, 3 HMAC-192-SHA-256,
// 4 HMAC-384-SHA-512; PrivProtocol 1 CBC-DES, 2 CFB128-AES-128, 3 3DES-EDE, 4 CFB128-AES-192,
// 5 CFB128-AES-256 (usm.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "components/platform/platform.h"
#include "components/snmp/expiring_table.h"
#include "components/snmp/host_resolver.h"
#include "components/snmp/snmp_pdu.h"
#include "components/snmp/snmp_v3.h"

namespace quorlan {

namespace usm {
class KeyCache;
}  // namespace usm

// A GetResponse as delivered by the Response event.
struct SnmpResponse {
  int32_t request_id = 0;
  int error_status = 0;           // 0 none, 2 noSuchName, ...
  int error_index = 0;            // as in the PDU: 1-based position of the failed object, 0 none
  std::string error_description;  // the status's name ("noSuchName"), "" for 0
  int version = 0;        // 1 SNMPv1, 2 SNMPv2c, 3 SNMPv3 (the version codes of the settings)
  std::string community;  // SNMPv1/v2c
  std::string user;       // SNMPv3: the request's user name
  std::string source_host;
  int source_port = 0;
  int requested = 0;  // objects the request asked for (never fewer than came)
  std::vector<snmp::VarBind> varbinds;

  // The objects that came: at most RequestedCount().
  int ObjCount() const { return static_cast<int>(varbinds.size()); }
  int RequestedCount() const { return requested; }
  // The value of object i (from 0) as text; nullopt when the object has no value (NULL,
  // noSuchObject, noSuchInstance, endOfMibView) and for every i from ObjCount() on, the objects
  // the answer left out. Throws RuntimeError for a negative i.
  std::optional<std::string> ObjValue(int i) const;
  // OID and type code (tag) of object i; "" and 5 (NULL) for an object the answer left out.
  std::string ObjId(int i) const;
  int ObjType(int i) const;
};

// The answer to an engine discovery, as delivered by the DiscoveryResponse event.
struct SnmpDiscovery {
  std::string engine_id;  // the text of its raw octets
  uint32_t engine_boots = 0;
  uint32_t engine_time = 0;
  std::string user;        // the user name set when the discovery was started
  int security_level = 0;  // the security level those settings implied (0, 1, 2)
  std::string source_host;
  int source_port = 0;
};

// Error status of the Report event: which counter the Report carries.
namespace report {
inline constexpr int kOther = 0;  // a counter not listed here (see the description)
inline constexpr int kUnsupportedSecLevels = 1;
inline constexpr int kNotInTimeWindows = 2;
inline constexpr int kUnknownUserNames = 3;
inline constexpr int kUnknownEngineIds = 4;
inline constexpr int kWrongDigests = 5;
inline constexpr int kDecryptionErrors = 6;
inline constexpr int kUnknownSecurityModels = 11;
inline constexpr int kInvalidMsgs = 12;
inline constexpr int kUnknownPduHandlers = 13;
inline constexpr int kUnavailableContexts = 14;
inline constexpr int kUnknownContexts = 15;
}  // namespace report

// An SNMPv3 Report that answered one of our requests, as delivered by the Report event.
struct SnmpReport {
  int32_t request_id = 0;  // the request's id as the program set it; 0 for a discovery
  std::string user;        // the user of the request
  int security_level = 0;  // of the Report message (0, 1, 2)
  int error_status = 0;    // report:: code
  // Names the counter, the user and the peer, and what it usually means, e.g.
  // "usmStatsWrongDigests: authentication failed for user X at 127.0.0.1:16161 (wrong
  // authentication password or protocol)".
  std::string error_description;
  std::string engine_id;  // the Report's msgAuthoritativeEngineID, boots and time
  uint32_t engine_boots = 0;
  uint32_t engine_time = 0;
  std::string source_host;
  int source_port = 0;
  std::vector<snmp::VarBind> varbinds;
};

// A datagram that did not decode, or that is not an answer.
struct SnmpBadPacket {
  std::string packet;  // the bytes received
  std::string source_host;
  int source_port = 0;
  int error_code = 0;  // ber::code
  std::string error_text;
};

// The components' event raising, shared by the manager and the agent: a handler's own failure
// never escapes into the event loop. A failing BadPacket handler is reported through on_error; a
// failing Error handler has nowhere left to go.
using SnmpErrorHandler = std::function<void(int number, const std::string& description)>;
void RaiseSnmpError(const SnmpErrorHandler& on_error, int number, const std::string& description);
void RaiseSnmpBadPacket(const std::function<void(const SnmpBadPacket&)>& on_bad_packet,
                        const SnmpErrorHandler& on_error, const SnmpBadPacket& bad);

class SnmpManager {
 public:
  // REQUIRES: loop outlives the manager.
  explicit SnmpManager(EventLoop& loop);
  ~SnmpManager();
  SnmpManager(const SnmpManager&) = delete;
  SnmpManager& operator=(const SnmpManager&) = delete;

  // Activating binds the socket to the local host and port and starts delivering events;
  // activating an active manager does nothing. Deactivating closes the socket.
  bool Active() const { return socket_.IsOpen(); }
  void SetActive(bool active);

  // Local address: "" for every local address; applies at the next activation. While active,
  // LocalHost/LocalPort read the bound address and port ("0.0.0.0", the port chosen).
  void SetLocalHost(const std::string& host) { local_host_ = host; }
  std::string LocalHost() const;
  void SetLocalPort(int port);
  int LocalPort() const;

  // Wait time in seconds. 0: SendGetRequest returns at once. Above 0: SendGetRequest keeps
  // delivering events until the answer to its request has been delivered and throws
  // RuntimeError when none came within that many seconds, when the target's name did not resolve,
  // or (SNMPv3) when a Report ended the request; the error then carries the Report's description
  // (also when only an unauthenticated Report answered an authenticated request within the wait
  // time). Blocking calls may nest (a handler run during the wait sends and waits itself): each
  // waits for its own answer only.
  void SetTimeout(int seconds);
  int Timeout() const { return timeout_s_; }

  // Name servers for host names, "address[:port]" separated by commas; "" (the default) takes
  // those of /etc/resolv.conf. Forgets the names resolved so far. Throws RuntimeError for a text
  // the resolver does not take, or while names are being resolved.
  void SetNameServers(const std::string& servers) { resolver_.SetServers(servers); }

  // SNMPv3 keys derived from passwords come from keys instead of the manager's own cache, so that
  // managers of one process that share it hash each password once (a 1 MiB hash per key); nullptr
  // goes back to the manager's own. REQUIRES: keys outlives the manager.
  void SetKeyCache(usm::KeyCache* keys);

  // Forgets the objects, the request id and the SNMPv3 security settings (engine id, boots and
  // time as set, user, passwords, protocol codes) of the previous request, and sets the version
  // back to 1 (SNMPv1), so a request whose version is not set is an SNMPv1 request. Remote host
  // and port and community stay, and so does what discoveries learnt.
  void Reset();
  void SetRemoteHost(const std::string& host) { req_.host = host; }
  const std::string& RemoteHost() const { return req_.host; }
  void SetRemotePort(int port);
  int RemotePort() const { return req_.port; }
  void SetCommunity(const std::string& community) { req_.community = community; }
  const std::string& Community() const { return req_.community; }
  // 1 SNMPv1 (the default, and the version after Reset), 2 SNMPv2c, 3 SNMPv3. Anything else is
  // refused.
  void SetSnmpVersion(int version);
  int SnmpVersion() const { return req_.version; }
  // Number of object slots of the request, 0..128. Slots kept keep their OID and value.
  void SetObjCount(int count);
  int ObjCount() const { return static_cast<int>(req_.oids.size()); }
  // OID of slot i (from 0) as numeric text; refused unless it is a valid OID.
  void SetObjId(int i, const std::string& oid);
  std::string ObjId(int i) const;
  // Value of slot i for a SetRequest: the text read as the type code's value (2 INTEGER,
  // 4 OCTET STRING, 6 OBJECT IDENTIFIER, 0x40 IpAddress, 0x41 Counter32, 0x42 Gauge32,
  // 0x43 TimeTicks, 0x46 Counter64; see snmp::ValueFromText). Refused, with the slot, type and
  // text named, when the text does not read as that type. A GetRequest ignores the values.
  void SetObjValue(int i, int type_code, const std::string& text);
  void SetRequestId(int32_t id) { req_.request_id = id; }
  int32_t RequestId() const { return req_.request_id; }

  // Sends a GetRequest with the slots in order, each with a NULL value. REQUIRES: active.
  void SendGetRequest();
  // Batched sending. While batching is on and the wait time is 0, an SNMPv1/v2c GetRequest to a
  // dotted-quad target is queued instead of sent; FlushBatch sends the queue in order with as
  // few system calls as the system allows (sendmmsg) and returns the requests that could not go
  // out, each with the error SendGetRequest would have thrown. A queued request is matched to its
  // answer from its flush on. Any other request sends the queue first, so datagrams leave in the
  // order their requests were made (a request to a host name leaves when its lookup ends, after
  // requests made during the lookup). Deactivating the manager drops the queue. Batching stays off
  // unless turned on; turning it off flushes the queue and reports its failures through OnError.
  struct FailedSend {
    int32_t request_id;
    std::string error;
    int version = 0;  // the request's SNMP version, as SnmpVersion() (1 or 2)
  };
  void SetBatching(bool on);
  std::vector<FailedSend> FlushBatch();
  size_t Batched() const { return queued_.size(); }
  // Sends a GetNextRequest with the slots in order, each with a NULL value, and waits as
  // SendGetRequest does: the answer names, for each slot, the object that follows its OID in the
  // agent's order (endOfMibView past the last; SNMPv1: noSuchName). A walk's step, in every
  // version. REQUIRES: active.
  void SendGetNextRequest();
  // Sends a SetRequest with the slots in order, each with the value SetObjValue gave it, and
  // waits as SendGetRequest does. The answer (a Response) repeats the objects; a non-zero
  // error status (noSuchName, badValue, readOnly, notWritable...) with its error index names the
  // object the agent refused, and the agent then changed nothing of the request (RFC 1157,
  // RFC 3416). SNMPv1 and SNMPv2c only: an SNMPv3 request, a slot without an id or without a
  // value are refused before anything is sent. REQUIRES: active.
  void SendSetRequest();

  // SNMPv3 security settings. The engine id is the text of its raw octets, up to 32; empty means
  // "the one discovery learnt for the target". Boots and time (0..2147483647) apply together with
  // an engine id the program set; without them the learnt clock of that engine (or 0) is used.
  // User names have up to 32 octets. Protocol codes are checked when a request needs them: a
  // code outside 1-4 (1-5) fails that send with an error that lists the valid codes.
  void SetRemoteEngineId(const std::string& engine_id);
  const std::string& RemoteEngineId() const { return req_.engine_id; }
  void SetRemoteEngineBoots(int64_t boots);
  void SetRemoteEngineTime(int64_t time);
  void SetUser(const std::string& user);
  const std::string& User() const { return req_.user; }
  void SetAuthPassword(const std::string& password) { req_.auth_password = password; }
  void SetAuthProtocol(int code) { req_.auth_code = code; }
  int AuthProtocol() const { return req_.auth_code; }
  void SetPrivPassword(const std::string& password) { req_.priv_password = password; }
  void SetPrivProtocol(int code) { req_.priv_code = code; }
  int PrivProtocol() const { return req_.priv_code; }
  // 0 noAuthNoPriv, 1 authNoPriv, 2 authPriv, as implied by the passwords set.
  int SecurityLevel() const { return req_.SecurityLevel(); }

  // Sends an engine discovery to the remote host and port (noAuthNoPriv, reportable, empty engine
  // id, user and varbind list) and forgets what was learnt of the engine there. Wait time 0:
  // returns at once. Above 0: delivers events until the answer came (OnDiscoveryResponse, or
  // OnReport) and throws RuntimeError when none came within that many seconds. REQUIRES: active.
  void DiscoverEngine();
  // What the manager knows of the engine at host:port (host as a dotted quad): engine id, boots
  // and its estimate of the engine time now; nullopt when it knows nothing.
  struct EngineInfo {
    std::string engine_id;
    uint32_t boots = 0;
    uint32_t time = 0;
  };
  std::optional<EngineInfo> KnownEngine(const std::string& host, int port) const;

  // Events.
  std::function<void(const SnmpResponse&)> OnResponse;
  std::function<void(const SnmpBadPacket&)> OnBadPacket;
  std::function<void(const SnmpDiscovery&)> OnDiscoveryResponse;
  std::function<void(const SnmpReport&)> OnReport;
  // A failure of the component itself (receiving, a handler that threw, a send that waited for
  // its target's name and could not go out): number, description.
  std::function<void(int, const std::string&)> OnError;

  // Counters since construction.
  struct Stats {
    uint64_t received = 0;
    uint64_t bad_packets = 0;
    uint64_t truncated = 0;
    uint64_t resends = 0;  // SNMPv3 requests resent after a notInTimeWindow Report
  };
  const Stats& stats() const { return stats_; }

 private:
  // The settings of the request being built; a send copies them, so a request that waits for its
  // target's name goes out as it was asked for.
  struct RequestSettings {
    std::string host;
    int port = 161;
    std::string community = "public";
    int version = 1;
    std::vector<snmp::Oid> oids;      // empty Oid: slot not set
    std::vector<snmp::Value> values;  // SetRequest values, parallel to oids; NULL: not set
    int32_t request_id = 0;
    std::string engine_id;
    std::optional<uint32_t> engine_boots;
    std::optional<uint32_t> engine_time;
    std::string user;
    std::string auth_password;
    int auth_code = 0;
    std::string priv_password;
    int priv_code = 0;

    int SecurityLevel() const;
    std::string Target() const;  // "host:port" as set
  };
  // An SNMPv1/v2c request sent and not yet answered: what its answer must match.
  struct Sent {
    in_addr address{};
    int port = 0;
    int32_t version = 0;  // as on the wire
    std::string community;
    int objects = 0;
    uint64_t call = 0;
  };

  void OnReadable();
  void HandleDatagram(const UdpSocket::Datagram& dg);
  void HandleCommunityAnswer(const UdpSocket::Datagram& dg, snmp::CommunityMessage m);
  // Why m does not answer the request s; "" when it does.
  static std::string Mismatch(const Sent& s, const UdpSocket::Datagram& dg,
                              const snmp::CommunityMessage& m);
  // "GET", "GETNEXT" or "SET": the request's kind in errors.
  static const char* RequestKind(snmp::PduType type);
  // "send GET to " and the like: how a request's error texts begin, before its target.
  static const char* SendPrefix(snmp::PduType type);
  // Sends a GetRequest or GetNextRequest in the request's version, and waits when blocking.
  void SendReadRequest(snmp::PduType type);
  // Sends a GetRequest, GetNextRequest or SetRequest of SNMPv1/v2c.
  void SendCommunityRequest(const RequestSettings& s, uint64_t call, snmp::PduType type);
  // A request queued while batching.
  struct Queued {
    sockaddr_in to;
    std::string wire;
    int32_t id;
    Sent sent;
  };
  // Sends the queued requests; those the system refused wait in failed_ for FlushBatch.
  void SendQueued();
  // Sends wire to `to` and keeps sent (moved from) as request id's, to match its answer.
  void SendCommunity(const sockaddr_in& to, const std::string& wire, int32_t id, Sent& sent);
  // `to` as host:port when host is a dotted quad (family and port are set either way).
  static bool DottedQuad(const std::string& host, int port, sockaddr_in* to);
  // Runs send with the address of host:port, now when the address is known (a failure throws) or
  // once its name resolves; a lookup or a send that fails then ends the call (FailCall). Failures
  // are named "<action>host:port: reason" (action "send GET to ", say).
  void WithAddress(std::string_view action, uint64_t call, const std::string& host, int port,
                   std::function<void(const sockaddr_in&)> send);
  // A call that could not go out after its lookup: its waiters end with failure, and OnError.
  void FailCall(uint64_t call, const std::string& what, const std::string& failure);
  // SNMPv3 (snmp_manager_v3.cc).
  struct V3Request;
  struct V3State;
  struct EngineNow;
  void SendV3GetRequest(const RequestSettings& s, uint64_t call, snmp::PduType type);
  V3Request PrepareV3Request(const RequestSettings& s, const sockaddr_in& to,
                             const std::string& what);
  EngineNow EngineFor(const RequestSettings& s, const std::string& target_key) const;
  void TransmitV3(V3Request request, uint32_t boots, uint32_t time);
  void HandleV3Datagram(const UdpSocket::Datagram& dg);
  void HandleV3Answer(const UdpSocket::Datagram& dg, const snmp::V3Message& m,
                      const V3Request& req);
  void HandleV3Report(const UdpSocket::Datagram& dg, const snmp::V3Message& m, const V3Request& req,
                      snmp::Pdu pdu);
  void HandleV3Response(const UdpSocket::Datagram& dg, const snmp::V3Message& m,
                        const V3Request& req, snmp::Pdu pdu);
  void RaiseDiscovery(const UdpSocket::Datagram& dg, const snmp::V3Message& m,
                      const V3Request& req);
  // Why an authenticated message from the engine at target_key is not timely; "" when it is.
  std::string Untimely(const std::string& target_key, const snmp::V3Message& m) const;
  // Takes the engine's clock from m: authentic tells whether m was authenticated.
  void Learn(const std::string& target_key, const snmp::V3Message& m, bool authentic);
  static std::string ReportText(int code, const V3Request& req, const snmp::V3Message& m,
                                const std::string& peer);
  // call: the request answered.
  void DeliverResponse(SnmpResponse& r, uint64_t call);
  void RaiseBadPacket(const UdpSocket::Datagram& dg, int code, const std::string& text);
  // As RaiseBadPacket, with a text that already names the peer.
  void RaiseBadPacketText(const UdpSocket::Datagram& dg, int code, const std::string& text);
  void RaiseError(int number, const std::string& description);
  // One blocking call's wait: what it waits for and how it ended. Lives on the waiting call's
  // stack and is listed in waiters_ while it waits, so nested blocking calls never mix.
  struct Waiter {
    uint64_t call = 0;  // the request (kept by an SNMPv3 resend) or the discovery
    bool answered = false;
    std::string failure;  // what ended the call without an answer (a Report, a lookup)
    std::string report;   // SNMPv3: an unauthenticated Report that could not end the request
  };
  // Waits for the answer to this call and throws RuntimeError naming the request ("GET request
  // 9 to ...", kind "GET" or "SET") when none came, its lookup failed or a Report ended it.
  void WaitForAnswer(uint64_t call, const RequestSettings& s, const char* kind);
  // Lists w as waiting and delivers events until it is answered, the wait time ran out or the
  // manager was deactivated; true when answered.
  bool Wait(Waiter& w);
  std::vector<Waiter*> WaitersOf(uint64_t call) const;
  int CheckedSlot(int i, const char* what) const;

  EventLoop& loop_;
  UdpSocket socket_;
  EventLoop::WatchId watch_ = 0;
  HostResolver resolver_;
  std::string local_host_;
  int local_port_ = 0;
  int timeout_s_ = 0;
  RequestSettings req_;
  uint64_t next_call_ = 1;
  ExpiringTable<int32_t, Sent> sent_;  // SNMPv1/v2c requests by request id
  std::vector<Waiter*> waiters_;       // the blocking calls waiting now, innermost last
  bool batching_ = false;
  std::vector<Queued> queued_;                 // requests to send at the next FlushBatch
  std::vector<FailedSend> failed_;             // queued requests refused, for FlushBatch
  std::vector<UdpSocket::Outgoing> outgoing_;  // FlushBatch's datagrams, kept for their capacity
  std::unique_ptr<V3State> v3_;
  Stats stats_;
};

}  // namespace quorlan
