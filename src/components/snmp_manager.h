// The SNMP manager component: sends GET requests over one non-blocking UDP socket and delivers
// what comes back as events on the service's event loop.
//
// Use, in the order the pollers use it: SetTimeout(0), SetLocalHost(""), SetActive(true); per
// request Reset(), SetRemoteHost/SetRemotePort, SetCommunity, SetSnmpVersion, SetObjCount,
// SetObjId(i, oid) for each slot from 0, SetRequestId, SendGetRequest(). The answer arrives
// later as OnResponse. One socket serves every target; answers are not matched to requests here:
// every GetResponse that arrives is delivered with its request id.
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
// SNMPv3: version 3, the security settings, engine discovery and the DiscoveryResponse and Report
// events belong to the SNMPv3 side, which plugs in at the places marked "SNMPv3" below and in
// snmp_manager.cc; until it exists a version-3 send is refused and a version-3 datagram is
// reported as a bad packet.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "components/event_loop.h"
#include "components/snmp_pdu.h"
#include "components/udp_socket.h"

namespace quorlan {

// A GetResponse as delivered by the Response event.
struct SnmpResponse {
  int32_t request_id = 0;
  int error_status = 0;           // 0 none, 2 noSuchName, ...
  int error_index = 0;            // as in the PDU: 1-based position of the failed object, 0 none
  std::string error_description;  // the status's name ("noSuchName"), "" for 0
  int version = 0;                // 1 SNMPv1, 2 SNMPv2c (the SNMP version codes of the settings)
  std::string community;
  std::string source_host;
  int source_port = 0;
  std::vector<snmp::VarBind> varbinds;

  int ObjCount() const { return static_cast<int>(varbinds.size()); }
  // The value of object i (from 0) as text; nullopt when the object has no value (NULL,
  // noSuchObject, noSuchInstance, endOfMibView). Throws RuntimeError for i out of range.
  std::optional<std::string> ObjValue(int i) const;
  std::string ObjId(int i) const;
  int ObjType(int i) const;  // the type code (tag) of object i
};

// A datagram that did not decode, or that is not an answer.
struct SnmpBadPacket {
  std::string packet;  // the bytes received
  std::string source_host;
  int source_port = 0;
  int error_code = 0;  // ber::code
  std::string error_text;
};

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
  // delivering events until the answer to its request id has been delivered and throws
  // RuntimeError when none came within that many seconds.
  void SetTimeout(int seconds);
  int Timeout() const { return timeout_s_; }

  // Forgets the objects and the request id of the previous request. Remote host and port,
  // community and version stay.
  void Reset();
  void SetRemoteHost(const std::string& host) { remote_host_ = host; }
  const std::string& RemoteHost() const { return remote_host_; }
  void SetRemotePort(int port);
  int RemotePort() const { return remote_port_; }
  void SetCommunity(const std::string& community) { community_ = community; }
  const std::string& Community() const { return community_; }
  // 1 SNMPv1, 2 SNMPv2c (the default), 3 SNMPv3. Anything else is refused.
  void SetSnmpVersion(int version);
  int SnmpVersion() const { return version_; }
  // Number of object slots of the request, 0..128. Slots kept keep their OID.
  void SetObjCount(int count);
  int ObjCount() const { return static_cast<int>(oids_.size()); }
  // OID of slot i (from 0) as numeric text; refused unless it is a valid OID.
  void SetObjId(int i, const std::string& oid);
  std::string ObjId(int i) const;
  void SetRequestId(int32_t id) { request_id_ = id; }
  int32_t RequestId() const { return request_id_; }

  // Sends a GetRequest with the slots in order, each with a NULL value. REQUIRES: active.
  void SendGetRequest();

  // SNMPv3: the security settings (engine id, boots, time, user, authentication and privacy
  // passwords and protocol codes), DiscoverEngine() and the events OnDiscoveryResponse and
  // OnReport go here. SendGetRequest then encodes version 3 through them, and HandleV3Datagram
  // decodes the answers; the request slots, the request id and OnResponse stay shared.

  // Events.
  std::function<void(const SnmpResponse&)> OnResponse;
  std::function<void(const SnmpBadPacket&)> OnBadPacket;
  // A failure of the component itself (receiving, a handler that threw): number, description.
  std::function<void(int, const std::string&)> OnError;

  // Counters since construction.
  struct Stats {
    uint64_t received = 0;
    uint64_t bad_packets = 0;
    uint64_t truncated = 0;
  };
  const Stats& stats() const { return stats_; }

 private:
  void OnReadable();
  void HandleDatagram(const UdpSocket::Datagram& dg);
  // SNMPv3: decodes and delivers a version-3 datagram (Response, Report, discovery).
  void HandleV3Datagram(const UdpSocket::Datagram& dg);
  void RaiseBadPacket(const UdpSocket::Datagram& dg, int code, const std::string& text);
  void RaiseError(int number, const std::string& description);
  void WaitForAnswer(int32_t request_id);
  int CheckedSlot(int i, const char* what) const;

  EventLoop& loop_;
  UdpSocket socket_;
  EventLoop::WatchId watch_ = 0;
  std::string local_host_;
  int local_port_ = 0;
  int timeout_s_ = 0;
  std::string remote_host_;
  int remote_port_ = 161;
  std::string community_ = "public";
  int version_ = 2;
  std::vector<snmp::Oid> oids_;  // empty Oid: slot not set
  int32_t request_id_ = 0;
  // Request id a blocking send waits for, and whether its answer came.
  std::optional<int32_t> awaited_;
  bool awaited_answered_ = false;
  Stats stats_;
};

}  // namespace quorlan
