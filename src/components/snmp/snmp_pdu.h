// SNMP values, PDUs and community-based messages (RFC 1157 SNMPv1, RFC 1901/3416 SNMPv2c).
//
// The PDU codec is separate from the message wrapper: EncodePdu/DecodePdu work on a BER writer
// or reader, so an SNMPv3 scopedPDU (RFC 3412) carries the same PDUs; only the community wrapper
// lives here. Decoding throws ber::DecodeError naming the PDU, the varbind and the field that
// failed ("GetResponse: varbind 3: OID length 200 exceeds 12 remaining bytes"); DecodeMessage
// turns that into a DecodeStatus. Nothing here touches the network.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "components/snmp/ber.h"

namespace quorlan::snmp {

using ber::Oid;

// Value types by their tag. The numbers below 0x80 double as the type codes the components'
// users pass (2 INTEGER, 4 OCTET STRING, 6 OBJECT IDENTIFIER, 67 TimeTicks, ...).
enum class ValueType : uint8_t {
  kInteger = 0x02,
  kOctetString = 0x04,
  kNull = 0x05,
  kObjectId = 0x06,
  kIpAddress = 0x40,
  kCounter32 = 0x41,
  kGauge32 = 0x42,
  kTimeTicks = 0x43,
  kOpaque = 0x44,
  kCounter64 = 0x46,
  kNoSuchObject = 0x80,  // SNMPv2 exceptions, in GetResponse only
  kNoSuchInstance = 0x81,
  kEndOfMibView = 0x82,
};

// The name of a type ("Counter32"), or "type 0x.." for an unknown code.
std::string TypeName(int type_code);
// True for the type codes of ValueType.
bool IsKnownType(int type_code);

// One value. Which member holds it depends on the type: integer for INTEGER; number for
// Counter32, Gauge32, TimeTicks, Counter64; bytes for OCTET STRING, Opaque and IpAddress (4
// bytes); oid for OBJECT IDENTIFIER; nothing for NULL and the exceptions.
//
// A value that arrives well framed but is not a standard SNMP value (an INTEGER of 5 octets or of
// none, a Counter32 beyond 32 bits, an IpAddress of 3 octets, an unknown type such as 0x45) is
// kept as it came: nonstandard is set, type holds its tag as received and bytes its contents. It
// is a value, not an absent one, its text never reads as a number, and it encodes back to the
// same octets, so one odd object does not cost the other objects of an answer.
struct Value {
  ValueType type = ValueType::kNull;
  int32_t integer = 0;
  uint64_t number = 0;
  std::string bytes;
  Oid oid;
  bool nonstandard = false;

  // NULL or one of the exceptions: no value.
  bool IsAbsent() const;
  // The value as text: decimal for the numbers, the raw bytes of OCTET STRING and Opaque, dotted
  // quad for IpAddress, dotted decimal for OBJECT IDENTIFIER, "" when absent. An Opaque that wraps
  // net-snmp's float or double (OpaqueNumber) gives the number ("2.5", "1e+300"; "NaN" and
  // "Infinity" for what is not a finite number). A nonstandard value gives its type and contents
  // in hexadecimal ("INTEGER: 01 00 00 00 00", "type 0x45: 0A", "Counter32: (empty)").
  std::string ToText() const;
  // The number of an Opaque that wraps net-snmp's float (9F 78 04 ...) or double (9F 79 08 ...),
  // nullopt for any other value.
  std::optional<double> OpaqueNumber() const;

  static Value Integer(int32_t v);
  static Value Unsigned(ValueType type, uint64_t v);
  static Value Bytes(ValueType type, std::string v);
  static Value ObjectId(Oid v);
  static Value Null(ValueType type = ValueType::kNull);

  friend bool operator==(const Value&, const Value&) = default;
};

// Text to value of the given type code, the reverse of ToText. Numbers are read with the
// service's conversions (TextToDouble: blanks, sign, "&H" hex; fractions rounded halves to even)
// and must fit the type; Counter64 is read exactly as decimal digits. Throws RuntimeError
// (type mismatch, overflow, or err::kComponent for an unknown type code or a malformed OID or
// address) naming the type and the text.
Value ValueFromText(int type_code, std::string_view text);

struct VarBind {
  Oid oid;
  Value value;
  friend bool operator==(const VarBind&, const VarBind&) = default;
};

enum class PduType : uint8_t {
  kGetRequest = 0xA0,
  kGetNextRequest = 0xA1,
  kGetResponse = 0xA2,
  kSetRequest = 0xA3,
  kTrapV1 = 0xA4,
  kGetBulkRequest = 0xA5,
  kInformRequest = 0xA6,
  kTrapV2 = 0xA7,
  kReport = 0xA8,
};
std::string PduName(PduType type);

// Error status names of RFC 3416 ("noSuchName"); "" for 0, "error N" beyond the list.
std::string ErrorStatusText(int status);
namespace status {
inline constexpr int kNoError = 0;
inline constexpr int kTooBig = 1;
inline constexpr int kNoSuchName = 2;
inline constexpr int kBadValue = 3;
inline constexpr int kReadOnly = 4;
inline constexpr int kGenErr = 5;
}  // namespace status

// A PDU. For every type but the SNMPv1 Trap: request_id, error_status and error_index (for
// GetBulk the two are non-repeaters and max-repetitions) and the varbinds. For the SNMPv1 Trap:
// enterprise, agent_address, generic_trap, specific_trap, time_stamp and the varbinds.
struct Pdu {
  PduType type = PduType::kGetRequest;
  int32_t request_id = 0;
  int32_t error_status = 0;
  int32_t error_index = 0;  // as on the wire: 1-based, 0 when none
  std::vector<VarBind> varbinds;

  Oid enterprise;
  uint8_t agent_address[4] = {0, 0, 0, 0};
  int32_t generic_trap = 0;
  int32_t specific_trap = 0;
  uint32_t time_stamp = 0;  // TimeTicks

  friend bool operator==(const Pdu&, const Pdu&) = default;
};

// Appends the PDU. REQUIRES: the OIDs hold at least two valid arcs (ParseOid output).
void EncodePdu(const Pdu& pdu, ber::Writer& out);
// Reads one PDU, any of the types above. Throws ber::DecodeError.
Pdu DecodePdu(ber::Reader& in);

// Message versions as carried on the wire.
namespace version {
inline constexpr int32_t kV1 = 0;
inline constexpr int32_t kV2c = 1;
inline constexpr int32_t kV3 = 3;
}  // namespace version

struct CommunityMessage {
  int32_t version = version::kV1;  // kV1 or kV2c
  std::string community;
  Pdu pdu;
  friend bool operator==(const CommunityMessage&, const CommunityMessage&) = default;
};

struct DecodeStatus {
  int code = 0;  // ber::code, 0 when decoded
  std::string text;
  bool ok() const { return code == 0; }
};

std::string EncodeMessage(const CommunityMessage& message);
// The message EncodeMessage makes of a request of that version, community, type and id whose
// varbinds are oids[i] with values[i] (SetRequest) or NULL (other types), without building the
// message first. REQUIRES: for a SetRequest, values holds a value for every oid.
std::string EncodeRequest(int32_t version, std::string_view community, PduType type,
                          int32_t request_id, const std::vector<Oid>& oids,
                          const std::vector<Value>& values);
// Decodes a whole SNMPv1 or SNMPv2c datagram. Anything else (another version, a bad encoding,
// bytes after the message, a v2-only PDU or value in an SNMPv1 message) is refused with a code and
// a text.
DecodeStatus DecodeMessage(std::string_view datagram, CommunityMessage* out);
// The version field of a datagram that starts like an SNMP message, or nullopt. Lets a receiver
// route SNMPv3 datagrams to their own decoder.
std::optional<int32_t> PeekVersion(std::string_view datagram);

}  // namespace quorlan::snmp
