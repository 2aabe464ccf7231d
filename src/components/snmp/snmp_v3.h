// SNMPv3 messages (RFC 3412) with the User-based Security Model's parameters (RFC 3414).
//
// This is the wire format only: the message header, the USM security parameters and the
// scopedPDU, which carries the same PDUs as the community messages (snmp_pdu.h). Authentication
// and privacy are usm.h's work; the decoder tells where msgAuthenticationParameters lie so that the
// digest can be checked over the datagram as received, and hands over the encryptedPDU as it came.
//
// Decoding never trusts a length: every field is checked against the bytes that remain, the
// values against their ranges (msgID, msgMaxSize, boots and time 0..2^31-1, engine id and user
// name up to 32 octets, msgFlags one octet and not privacy without authentication, security model
// 3), and failures come back as a DecodeStatus whose text names the field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "components/snmp/snmp_pdu.h"

namespace quorlan::snmp {

namespace msgflag {
inline constexpr uint8_t kAuth = 0x01;
inline constexpr uint8_t kPriv = 0x02;
inline constexpr uint8_t kReportable = 0x04;
}  // namespace msgflag

inline constexpr int32_t kUsmSecurityModel = 3;
// The largest message this side accepts (the largest UDP payload over IPv4), as net-snmp says.
inline constexpr int32_t kMaxMessageSize = 65507;

// A scopedPDU: the context and the PDU.
struct ScopedPdu {
  std::string context_engine_id;  // raw octets
  std::string context_name;
  Pdu pdu;
  friend bool operator==(const ScopedPdu&, const ScopedPdu&) = default;
};

std::string EncodeScopedPdu(const ScopedPdu& scoped);
// Decodes one whole scopedPDU (bytes after it are refused). Throws ber::DecodeError.
ScopedPdu DecodeScopedPdu(std::string_view data);

// An SNMPv3 message with USM security parameters. Texts hold raw octets.
struct V3Message {
  int32_t msg_id = 0;
  int32_t max_size = kMaxMessageSize;
  uint8_t flags = 0;  // msgflag bits
  int32_t security_model = kUsmSecurityModel;
  std::string engine_id;  // msgAuthoritativeEngineID
  uint32_t boots = 0;     // msgAuthoritativeEngineBoots
  uint32_t time = 0;      // msgAuthoritativeEngineTime
  std::string user;       // msgUserName
  std::string auth_params;
  std::string priv_params;
  // The serialized scopedPDU, or with msgflag::kPriv the encryptedPDU's content.
  std::string data;

  // Where msgAuthenticationParameters' content starts in the encoded datagram (set by the
  // encoder and the decoder).
  size_t auth_offset = 0;

  bool authenticated() const { return (flags & msgflag::kAuth) != 0; }
  bool encrypted() const { return (flags & msgflag::kPriv) != 0; }
};

// Encodes the message and sets message->auth_offset. REQUIRES: data is an encoded scopedPDU
// unless the message is encrypted; boots and time below 2^31.
std::string EncodeV3Message(V3Message* message);
// Decodes a whole SNMPv3 datagram. Nothing in it is verified or decrypted here.
DecodeStatus DecodeV3Message(std::string_view datagram, V3Message* out);

}  // namespace quorlan::snmp
