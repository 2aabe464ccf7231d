#include "components/snmp/snmp_pdu.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <bit>
#include <charconv>
#include <cmath>

#include "components/platform/platform.h"

namespace quorlan::snmp {
namespace {

[[noreturn]] void Fail(int code, std::string text) {
  throw ber::DecodeError(code, std::move(text));
}

[[noreturn]] void BadText(int type_code, std::string_view text, const char* why) {
  throw RuntimeError(err::kTypeMismatch,
                     fmt::format("{} value {}: {}", TypeName(type_code), QuotedExcerpt(text), why));
}

uint64_t UnsignedFromText(int type_code, std::string_view text) {
  const double v = TextToDouble(text);
  const double r = std::nearbyint(v);  // halves to even, like the other conversions
  if (!(r >= 0 && r <= 4294967295.0)) {
    throw RuntimeError(err::kOverflow, fmt::format("Overflow: {} value {} exceeds 0..4294967295",
                                                   TypeName(type_code), QuotedExcerpt(text)));
  }
  return static_cast<uint64_t>(r);
}

uint64_t Counter64FromText(std::string_view text) {
  const std::string t = Trim(text);
  uint64_t v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec == std::errc::result_out_of_range) BadText(0x46, text, "exceeds 64 bits");
  if (ec != std::errc() || p != t.data() + t.size() || t.empty()) {
    BadText(0x46, text, "not a whole number");
  }
  return v;
}

// The value of a standard type with standard contents. Throws ber::DecodeError for anything else.
Value StandardValue(const ber::Element& e, const char* field) {
  Value v;
  v.type = static_cast<ValueType>(e.tag);
  switch (v.type) {
    case ValueType::kInteger:
      v.integer = static_cast<int32_t>(ber::DecodeSigned(e.contents, 4, field));
      break;
    case ValueType::kCounter32:
    case ValueType::kGauge32:
    case ValueType::kTimeTicks:
      v.number = ber::DecodeUnsigned(e.contents, 32, field);
      break;
    case ValueType::kCounter64:
      v.number = ber::DecodeUnsigned(e.contents, 64, field);
      break;
    case ValueType::kOctetString:
    case ValueType::kOpaque:
      v.bytes.assign(e.contents);
      break;
    case ValueType::kIpAddress:
      if (e.contents.size() != 4) {
        Fail(ber::code::kBadValue,
             fmt::format("{}: IpAddress of {} octets", field, e.contents.size()));
      }
      v.bytes.assign(e.contents);
      break;
    case ValueType::kObjectId:
      v.oid = ber::DecodeOid(e.contents, field);
      break;
    case ValueType::kNull:
    case ValueType::kNoSuchObject:
    case ValueType::kNoSuchInstance:
    case ValueType::kEndOfMibView:
      if (!e.contents.empty()) {
        Fail(ber::code::kBadValue, fmt::format("{}: {} with {} content bytes", field,
                                               TypeName(e.tag), e.contents.size()));
      }
      break;
    default:
      Fail(ber::code::kBadTag, fmt::format("{}: unknown value type 0x{:02X}", field, e.tag));
  }
  return v;
}

// Devices send values that are well framed but not standard; such a value is kept as it came
// instead of refusing the whole message (see Value).
Value ValueFromContents(const ber::Element& e, const char* field) {
  try {
    return StandardValue(e, field);
  } catch (const ber::DecodeError&) {
    Value v;
    v.type = static_cast<ValueType>(e.tag);
    v.bytes.assign(e.contents);
    v.nonstandard = true;
    return v;
  }
}

// net-snmp's Opaque wrappings of a float and a double: an extension tag 9F 78 or 9F 79, the
// length and the IEEE 754 number in network order.
constexpr uint8_t kOpaqueFloat = 0x78;
constexpr uint8_t kOpaqueDouble = 0x79;

std::string NumberText(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

void EncodeValue(const Value& v, ber::Writer& out) {
  const uint8_t tag = static_cast<uint8_t>(v.type);
  if (v.nonstandard) {
    out.WriteBytes(tag, v.bytes);
    return;
  }
  switch (v.type) {
    case ValueType::kInteger:
      out.WriteSigned(tag, v.integer);
      break;
    case ValueType::kCounter32:
    case ValueType::kGauge32:
    case ValueType::kTimeTicks:
      out.WriteUnsigned(tag, v.number & 0xFFFFFFFFu);
      break;
    case ValueType::kCounter64:
      out.WriteUnsigned(tag, v.number);
      break;
    case ValueType::kOctetString:
    case ValueType::kOpaque:
    case ValueType::kIpAddress:
      out.WriteBytes(tag, v.bytes);
      break;
    case ValueType::kObjectId:
      out.WriteOid(v.oid);
      break;
    default:
      out.WriteNull(tag);
  }
}

std::vector<VarBind> DecodeVarBinds(ber::Reader& in) {
  ber::Reader list = in.Enter(ber::kSequence, "varbind list");
  std::vector<VarBind> out;
  for (int n = 1; !list.AtEnd(); ++n) {
    try {
      ber::Reader vb = list.Enter(ber::kSequence, "varbind");
      VarBind b;
      b.oid = vb.ReadOid("OID");
      b.value = ValueFromContents(vb.Read("value"), "value");
      vb.ExpectEnd("value");
      out.push_back(std::move(b));
    } catch (const ber::DecodeError& e) {
      throw e.Within(fmt::format("varbind {}", n));
    }
  }
  return out;
}

void DecodeTrapHeader(ber::Reader& in, Pdu* pdu) {
  pdu->enterprise = in.ReadOid("enterprise");
  const ber::Element addr = in.Expect(static_cast<uint8_t>(ValueType::kIpAddress), "agent-addr");
  if (addr.contents.size() != 4) {
    Fail(ber::code::kBadValue, fmt::format("agent-addr of {} octets", addr.contents.size()));
  }
  for (int i = 0; i < 4; ++i) pdu->agent_address[i] = static_cast<uint8_t>(addr.contents[i]);
  pdu->generic_trap = in.ReadInt32("generic-trap");
  pdu->specific_trap = in.ReadInt32("specific-trap");
  const ber::Element ts = in.Expect(static_cast<uint8_t>(ValueType::kTimeTicks), "time-stamp");
  pdu->time_stamp = static_cast<uint32_t>(ber::DecodeUnsigned(ts.contents, 32, "time-stamp"));
}

bool IsV1Pdu(PduType t) { return t <= PduType::kTrapV1; }

void CheckV1Values(const Pdu& pdu) {
  for (size_t i = 0; i < pdu.varbinds.size(); ++i) {
    const ValueType t = pdu.varbinds[i].value.type;
    if (t == ValueType::kCounter64 || t >= ValueType::kNoSuchObject) {
      Fail(ber::code::kBadValue, fmt::format("{}: varbind {}: {} in an SNMPv1 message",
                                             PduName(pdu.type), i + 1, TypeName(int(t))));
    }
  }
}

}  // namespace

std::string TypeName(int type_code) {
  switch (type_code) {
    case 0x02:
      return "INTEGER";
    case 0x04:
      return "OCTET STRING";
    case 0x05:
      return "NULL";
    case 0x06:
      return "OBJECT IDENTIFIER";
    case 0x40:
      return "IpAddress";
    case 0x41:
      return "Counter32";
    case 0x42:
      return "Gauge32";
    case 0x43:
      return "TimeTicks";
    case 0x44:
      return "Opaque";
    case 0x46:
      return "Counter64";
    case 0x80:
      return "noSuchObject";
    case 0x81:
      return "noSuchInstance";
    case 0x82:
      return "endOfMibView";
    default:
      return fmt::format("type 0x{:02X}", type_code & 0xFF);
  }
}

bool IsKnownType(int type_code) { return TypeName(type_code).rfind("type 0x", 0) != 0; }

bool Value::IsAbsent() const {
  return !nonstandard && (type == ValueType::kNull || type >= ValueType::kNoSuchObject);
}

std::optional<double> Value::OpaqueNumber() const {
  if (type != ValueType::kOpaque || nonstandard || bytes.size() < 3) return std::nullopt;
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  if (b[0] != 0x9F) return std::nullopt;
  if (b[1] == kOpaqueFloat && b[2] == 4 && bytes.size() == 7) {
    uint32_t bits = 0;
    for (int i = 3; i < 7; ++i) bits = (bits << 8) | b[i];
    return static_cast<double>(std::bit_cast<float>(bits));
  }
  if (b[1] == kOpaqueDouble && b[2] == 8 && bytes.size() == 11) {
    uint64_t bits = 0;
    for (int i = 3; i < 11; ++i) bits = (bits << 8) | b[i];
    return std::bit_cast<double>(bits);
  }
  return std::nullopt;
}

std::string Value::ToText() const {
  if (nonstandard) {
    return fmt::format("{}: {}", TypeName(static_cast<int>(type)),
                       bytes.empty() ? "(empty)" : ber::HexDump(bytes));
  }
  if (const std::optional<double> n = OpaqueNumber()) return NumberText(*n);
  switch (type) {
    case ValueType::kInteger:
      return fmt::format("{}", integer);
    case ValueType::kCounter32:
    case ValueType::kGauge32:
    case ValueType::kTimeTicks:
    case ValueType::kCounter64:
      return fmt::format("{}", number);
    case ValueType::kOctetString:
    case ValueType::kOpaque:
      return bytes;
    case ValueType::kIpAddress:
      return bytes.size() == 4 ? fmt::format("{}.{}.{}.{}", uint8_t(bytes[0]), uint8_t(bytes[1]),
                                             uint8_t(bytes[2]), uint8_t(bytes[3]))
                               : "";
    case ValueType::kObjectId:
      return ber::FormatOid(oid);
    default:
      return "";
  }
}

Value Value::Integer(int32_t v) {
  Value x;
  x.type = ValueType::kInteger;
  x.integer = v;
  return x;
}

Value Value::Unsigned(ValueType type, uint64_t v) {
  Value x;
  x.type = type;
  x.number = v;
  return x;
}

Value Value::Bytes(ValueType type, std::string v) {
  Value x;
  x.type = type;
  x.bytes = std::move(v);
  return x;
}

Value Value::ObjectId(Oid v) {
  Value x;
  x.type = ValueType::kObjectId;
  x.oid = std::move(v);
  return x;
}

Value Value::Null(ValueType type) {
  Value x;
  x.type = type;
  return x;
}

Value ValueFromText(int type_code, std::string_view text) {
  if (!IsKnownType(type_code)) {
    throw RuntimeError(err::kComponent, fmt::format("unknown SNMP type code {}", type_code));
  }
  const ValueType type = static_cast<ValueType>(type_code);
  switch (type) {
    case ValueType::kInteger:
      return Value::Integer(TextToInt32(text));
    case ValueType::kCounter32:
    case ValueType::kGauge32:
    case ValueType::kTimeTicks:
      return Value::Unsigned(type, UnsignedFromText(type_code, text));
    case ValueType::kCounter64:
      return Value::Unsigned(type, Counter64FromText(text));
    case ValueType::kOctetString:
    case ValueType::kOpaque:
      return Value::Bytes(type, std::string(text));
    case ValueType::kIpAddress: {
      in_addr a{};
      const std::string t = Trim(text);
      if (inet_pton(AF_INET, t.c_str(), &a) != 1) BadText(type_code, text, "not a dotted address");
      return Value::Bytes(type, std::string(reinterpret_cast<const char*>(&a), 4));
    }
    case ValueType::kObjectId: {
      Oid oid;
      if (!ber::ParseOid(Trim(text), &oid)) BadText(type_code, text, "not a numeric OID");
      return Value::ObjectId(std::move(oid));
    }
    case ValueType::kNull:
    case ValueType::kNoSuchObject:
    case ValueType::kNoSuchInstance:
    case ValueType::kEndOfMibView:
      return Value::Null(type);
  }
  throw RuntimeError(err::kComponent, fmt::format("unknown SNMP type code {}", type_code));
}

std::string PduName(PduType type) {
  switch (type) {
    case PduType::kGetRequest:
      return "GetRequest";
    case PduType::kGetNextRequest:
      return "GetNextRequest";
    case PduType::kGetResponse:
      return "GetResponse";
    case PduType::kSetRequest:
      return "SetRequest";
    case PduType::kTrapV1:
      return "Trap";
    case PduType::kGetBulkRequest:
      return "GetBulkRequest";
    case PduType::kInformRequest:
      return "InformRequest";
    case PduType::kTrapV2:
      return "SNMPv2-Trap";
    case PduType::kReport:
      return "Report";
  }
  return fmt::format("PDU 0x{:02X}", static_cast<int>(type));
}

std::string ErrorStatusText(int status) {
  static const char* const kNames[] = {"",
                                       "tooBig",
                                       "noSuchName",
                                       "badValue",
                                       "readOnly",
                                       "genErr",
                                       "noAccess",
                                       "wrongType",
                                       "wrongLength",
                                       "wrongEncoding",
                                       "wrongValue",
                                       "noCreation",
                                       "inconsistentValue",
                                       "resourceUnavailable",
                                       "commitFailed",
                                       "undoFailed",
                                       "authorizationError",
                                       "notWritable",
                                       "inconsistentName"};
  if (status >= 0 && status < static_cast<int>(std::size(kNames))) return kNames[status];
  return fmt::format("error {}", status);
}

void EncodePdu(const Pdu& pdu, ber::Writer& out) {
  const size_t mark = out.Begin(static_cast<uint8_t>(pdu.type));
  if (pdu.type == PduType::kTrapV1) {
    out.WriteOid(pdu.enterprise);
    out.WriteBytes(static_cast<uint8_t>(ValueType::kIpAddress),
                   std::string_view(reinterpret_cast<const char*>(pdu.agent_address), 4));
    out.WriteSigned(ber::kInteger, pdu.generic_trap);
    out.WriteSigned(ber::kInteger, pdu.specific_trap);
    out.WriteUnsigned(static_cast<uint8_t>(ValueType::kTimeTicks), pdu.time_stamp);
  } else {
    out.WriteSigned(ber::kInteger, pdu.request_id);
    out.WriteSigned(ber::kInteger, pdu.error_status);
    out.WriteSigned(ber::kInteger, pdu.error_index);
  }
  const size_t list = out.Begin(ber::kSequence);
  for (const VarBind& vb : pdu.varbinds) {
    const size_t m = out.Begin(ber::kSequence);
    out.WriteOid(vb.oid);
    EncodeValue(vb.value, out);
    out.End(m);
  }
  out.End(list);
  out.End(mark);
}

Pdu DecodePdu(ber::Reader& in) {
  if (in.AtEnd()) Fail(ber::code::kTruncated, "PDU missing");
  const uint8_t tag = in.PeekTag();
  if (tag < 0xA0 || tag > 0xA8) {
    Fail(ber::code::kBadPduType, fmt::format("unknown PDU type 0x{:02X}", tag));
  }
  Pdu pdu;
  pdu.type = static_cast<PduType>(tag);
  const std::string name = PduName(pdu.type);
  try {
    ber::Reader body = in.Enter(tag, "PDU");
    if (pdu.type == PduType::kTrapV1) {
      DecodeTrapHeader(body, &pdu);
    } else {
      pdu.request_id = body.ReadInt32("request-id");
      pdu.error_status = body.ReadInt32("error-status");
      pdu.error_index = body.ReadInt32("error-index");
    }
    pdu.varbinds = DecodeVarBinds(body);
    body.ExpectEnd("varbind list");
  } catch (const ber::DecodeError& e) {
    throw e.Within(name);
  }
  return pdu;
}

std::string EncodeMessage(const CommunityMessage& message) {
  ber::Writer w;
  const size_t mark = w.Begin(ber::kSequence);
  w.WriteSigned(ber::kInteger, message.version);
  w.WriteBytes(ber::kOctetString, message.community);
  EncodePdu(message.pdu, w);
  w.End(mark);
  return w.Take();
}

std::string EncodeRequest(int32_t version, std::string_view community, PduType type,
                          int32_t request_id, const std::vector<Oid>& oids,
                          const std::vector<Value>& values) {
  static const Value kNull = Value::Null();
  ber::Writer w;
  const size_t mark = w.Begin(ber::kSequence);
  w.WriteSigned(ber::kInteger, version);
  w.WriteBytes(ber::kOctetString, community);
  const size_t pdu = w.Begin(static_cast<uint8_t>(type));
  w.WriteSigned(ber::kInteger, request_id);
  w.WriteSigned(ber::kInteger, 0);
  w.WriteSigned(ber::kInteger, 0);
  const size_t list = w.Begin(ber::kSequence);
  for (size_t i = 0; i < oids.size(); ++i) {
    const size_t m = w.Begin(ber::kSequence);
    w.WriteOid(oids[i]);
    EncodeValue(type == PduType::kSetRequest ? values[i] : kNull, w);
    w.End(m);
  }
  w.End(list);
  w.End(pdu);
  w.End(mark);
  return w.Take();
}

DecodeStatus DecodeMessage(std::string_view datagram, CommunityMessage* out) {
  try {
    ber::Reader top(datagram);
    ber::Reader msg = top.Enter(ber::kSequence, "message");
    top.ExpectEnd("message");
    CommunityMessage m;
    m.version = msg.ReadInt32("version");
    if (m.version != version::kV1 && m.version != version::kV2c) {
      Fail(ber::code::kBadVersion, fmt::format("unsupported SNMP version {}", m.version));
    }
    m.community.assign(msg.ReadOctetString("community"));
    m.pdu = DecodePdu(msg);
    msg.ExpectEnd(PduName(m.pdu.type).c_str());
    if (m.version == version::kV1) {
      if (!IsV1Pdu(m.pdu.type)) {
        Fail(ber::code::kBadPduType, PduName(m.pdu.type) + " in an SNMPv1 message");
      }
      CheckV1Values(m.pdu);
    } else if (m.pdu.type == PduType::kTrapV1) {
      Fail(ber::code::kBadPduType, "SNMPv1 Trap in an SNMPv2c message");
    }
    *out = std::move(m);
    return {};
  } catch (const ber::DecodeError& e) {
    return {e.code(), e.text()};
  }
}

std::optional<int32_t> PeekVersion(std::string_view datagram) {
  try {
    ber::Reader top(datagram);
    ber::Reader msg = top.Enter(ber::kSequence, "message");
    return msg.ReadInt32("version");
  } catch (const ber::DecodeError&) {
    return std::nullopt;
  }
}

}  // namespace quorlan::snmp
