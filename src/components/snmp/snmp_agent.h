// The SNMP agent component: listens on a UDP port, hands each Get, GetNext and Set request to its
// handler as an editable list of objects, sends back the list as the handler left it, and sends
// SNMPv1 traps.
//
// Requests: the handler receives an SnmpAgentRequest with the version code, the community and the
// request's objects (OID, type code and value as text). It may rewrite any object, set
// error_status and error_index (0-based, in its own numbering of the objects; the wire carries
// the 1-based index of RFC 1157) and must set respond to have an answer sent; a request left
// unanswered sends nothing. The answer is a GetResponse with the request's version, community
// and request id. Requests of SNMPv1 and SNMPv2c reach the handler; the handler decides which it
// serves. Datagrams that are not such requests are dropped (and reported as bad packets). An
// object the handler left that cannot go out (a value that does not convert to its type, a
// Counter64 or an exception in an SNMPv1 answer) makes the answer a genErr at that object, with
// the request's objects, and raises OnError. A request value that is not a standard SNMP value
// reaches the handler with its tag as type code and a text that is not a number (snmp_pdu.h).
//
// Sending traps to a host name resolves it with the system's blocking resolver: the service
// sends its traps to "127.0.0.1".
//
// Traps: ResetTrapObjects, SetTrapFormat(1), Config("TrapEnterprise=..."), ..., SetObjCount,
// SetObjId/SetObjType/SetObjValue per slot, SendTrap(host, "6.N"). The trap goes from the agent's
// socket to host at the TrapPort setting, with the agent address, enterprise and community of the
// settings and the agent's own sysUpTime as its time stamp.
//
// Events run on the loop's thread and may nest (a handler that pauses gets further requests
// delivered inside it); each request has its own event object. Handlers must not destroy the
// agent. Failing operations throw RuntimeError naming the operation and the reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "components/snmp/snmp_manager.h"

namespace quorlan {

// An object of a request or a trap as text: OID in dotted decimal, the type code (tag number:
// 2 INTEGER, 4 OCTET STRING, 5 NULL, 6 OBJECT IDENTIFIER, 64 IpAddress, 65 Counter32,
// 66 Gauge32, 67 TimeTicks, 68 Opaque, 70 Counter64) and the value as text (decimal numbers,
// the bytes of a string, dotted addresses and OIDs).
struct SnmpObject {
  std::string oid;
  int type = 5;
  std::string value;
};

struct SnmpAgentRequest {
  int16_t version = 1;  // 1 SNMPv1, 2 SNMPv2c
  std::string community;
  int32_t request_id = 0;
  std::string source_host;
  int source_port = 0;
  // Out: set by the handler.
  int16_t error_index = 0;   // 0-based index of the failed object
  int16_t error_status = 0;  // 2 noSuchName, 3 badValue, 4 readOnly, ...
  bool respond = false;
  std::vector<SnmpObject> objects;

  int ObjCount() const { return static_cast<int>(objects.size()); }
  // Object i from 0; throws RuntimeError for an index out of range.
  SnmpObject& Obj(int i);
  const SnmpObject& Obj(int i) const;
};

class SnmpAgent {
 public:
  // REQUIRES: loop outlives the agent. The sysUpTime of traps counts from here and restarts at
  // each activation.
  explicit SnmpAgent(EventLoop& loop);
  ~SnmpAgent();
  SnmpAgent(const SnmpAgent&) = delete;
  SnmpAgent& operator=(const SnmpAgent&) = delete;

  bool Active() const { return socket_.IsOpen(); }
  // Activating binds to the local host and port (throws when it cannot); activating an active
  // agent does nothing. Inactive: no events, no traps.
  void SetActive(bool active);
  // "" for every local address; port 161 by default. Apply at the next activation; while active
  // they read back the bound address ("0.0.0.0") and port.
  void SetLocalHost(const std::string& host) { local_host_ = host; }
  std::string LocalHost() const;
  void SetLocalPort(int port);
  int LocalPort() const;

  // "Name=value" sets a setting and returns ""; "Name" alone returns its value. Names, compared
  // without regard to case: TrapPort (1..65535, default 162), TrapAgentAddress (dotted IPv4
  // address or "" for 0.0.0.0), TrapEnterprise (OID, default 1.3.6.1.4.1.32473.1.19),
  // TrapCommunity (default "public"). Anything else is refused.
  std::string Config(const std::string& setting);

  // Trap composition.
  void ResetTrapObjects() { trap_objects_.clear(); }
  // 1 (SNMPv1 Trap-PDU) is the only format.
  void SetTrapFormat(int format);
  int TrapFormat() const { return 1; }
  void SetObjCount(int count);
  int ObjCount() const { return static_cast<int>(trap_objects_.size()); }
  void SetObjId(int i, const std::string& oid);
  void SetObjType(int i, int type_code);
  void SetObjValue(int i, const std::string& value);
  const SnmpObject& Obj(int i) const;
  // Sends the trap to host at the trap port. trap_id is "generic.specific" ("6.2") or "generic".
  // Values that do not convert to their type refuse the trap. REQUIRES: active.
  void SendTrap(const std::string& host, const std::string& trap_id);

  // Hundredths of a second since creation or the last activation (wraps at 2^32).
  uint32_t SysUpTime() const;

  // Request events.
  std::function<void(SnmpAgentRequest&)> OnGetRequest;
  std::function<void(SnmpAgentRequest&)> OnGetNextRequest;
  std::function<void(SnmpAgentRequest&)> OnSetRequest;
  std::function<void(const SnmpBadPacket&)> OnBadPacket;
  // A failure of the component itself: receiving, answering, a handler that threw.
  std::function<void(int, const std::string&)> OnError;

 private:
  void OnReadable();
  void HandleDatagram(const UdpSocket::Datagram& dg);
  void Answer(const snmp::CommunityMessage& request, const SnmpAgentRequest& r,
              const UdpSocket::Datagram& dg);
  void RaiseBadPacket(const UdpSocket::Datagram& dg, int code, const std::string& text);
  void RaiseError(int number, const std::string& description);
  SnmpObject& TrapSlot(int i, const char* what);

  EventLoop& loop_;
  UdpSocket socket_;
  EventLoop::WatchId watch_ = 0;
  std::string local_host_;
  int local_port_ = 161;
  int64_t start_ms_;
  int trap_port_ = 162;
  std::string trap_agent_address_;
  std::string trap_enterprise_ = "1.3.6.1.4.1.32473.1.19";
  std::string trap_community_ = "public";
  std::vector<SnmpObject> trap_objects_;
};

}  // namespace quorlan
