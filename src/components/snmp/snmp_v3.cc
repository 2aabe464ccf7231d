#include "components/snmp/snmp_v3.h"

#include <fmt/format.h>

namespace quorlan::snmp {
namespace {

constexpr size_t kMaxIdLength = 32;  // SnmpEngineID and SnmpAdminString (user) sizes
constexpr int64_t kMaxInt = 2147483647;
constexpr int64_t kMinMaxSize = 484;

[[noreturn]] void Fail(int code, std::string text) {
  throw ber::DecodeError(code, std::move(text));
}

int64_t ReadRanged(ber::Reader& in, const char* field, int64_t min) {
  const int64_t v = ber::DecodeSigned(in.Expect(ber::kInteger, field).contents, 5, field);
  if (v < min || v > kMaxInt) {
    Fail(ber::code::kBadValue, fmt::format("{} {} outside {}..{}", field, v, min, kMaxInt));
  }
  return v;
}

std::string ReadShortText(ber::Reader& in, const char* field) {
  const std::string_view v = in.ReadOctetString(field);
  if (v.size() > kMaxIdLength) {
    Fail(ber::code::kBadValue,
         fmt::format("{} of {} octets exceeds {}", field, v.size(), kMaxIdLength));
  }
  return std::string(v);
}

void DecodeHeader(ber::Reader& msg, V3Message* m) {
  ber::Reader h = msg.Enter(ber::kSequence, "msgGlobalData");
  m->msg_id = static_cast<int32_t>(ReadRanged(h, "msgID", 0));
  m->max_size = static_cast<int32_t>(ReadRanged(h, "msgMaxSize", kMinMaxSize));
  const std::string_view flags = h.ReadOctetString("msgFlags");
  if (flags.size() != 1) {
    Fail(ber::code::kBadValue, fmt::format("msgFlags of {} octets", flags.size()));
  }
  m->flags = static_cast<uint8_t>(flags[0]);
  if ((m->flags & (msgflag::kAuth | msgflag::kPriv)) == msgflag::kPriv) {
    Fail(ber::code::kBadValue, "msgFlags: privacy without authentication");
  }
  m->security_model = static_cast<int32_t>(ReadRanged(h, "msgSecurityModel", 1));
  if (m->security_model != kUsmSecurityModel) {
    Fail(ber::code::kBadValue,
         fmt::format("msgSecurityModel {} is not the User-based Security Model (3)",
                     m->security_model));
  }
  h.ExpectEnd("msgSecurityModel");
}

void DecodeSecurityParameters(std::string_view datagram, std::string_view octets, V3Message* m) {
  ber::Reader outer(octets);
  ber::Reader u = outer.Enter(ber::kSequence, "UsmSecurityParameters");
  outer.ExpectEnd("UsmSecurityParameters");
  m->engine_id = ReadShortText(u, "msgAuthoritativeEngineID");
  m->boots = static_cast<uint32_t>(ReadRanged(u, "msgAuthoritativeEngineBoots", 0));
  m->time = static_cast<uint32_t>(ReadRanged(u, "msgAuthoritativeEngineTime", 0));
  m->user = ReadShortText(u, "msgUserName");
  const std::string_view auth = u.ReadOctetString("msgAuthenticationParameters");
  m->auth_params.assign(auth);
  m->auth_offset = static_cast<size_t>(auth.data() - datagram.data());
  m->priv_params.assign(u.ReadOctetString("msgPrivacyParameters"));
  u.ExpectEnd("msgPrivacyParameters");
}

}  // namespace

std::string EncodeScopedPdu(const ScopedPdu& scoped) {
  ber::Writer w;
  const size_t mark = w.Begin(ber::kSequence);
  w.WriteBytes(ber::kOctetString, scoped.context_engine_id);
  w.WriteBytes(ber::kOctetString, scoped.context_name);
  EncodePdu(scoped.pdu, w);
  w.End(mark);
  return w.Take();
}

ScopedPdu DecodeScopedPdu(std::string_view data) {
  try {
    ber::Reader top(data);
    ber::Reader s = top.Enter(ber::kSequence, "scopedPDU");
    top.ExpectEnd("scopedPDU");
    ScopedPdu out;
    out.context_engine_id = ReadShortText(s, "contextEngineID");
    out.context_name = ReadShortText(s, "contextName");
    out.pdu = DecodePdu(s);
    s.ExpectEnd(PduName(out.pdu.type).c_str());
    if (out.pdu.type == PduType::kTrapV1) {
      Fail(ber::code::kBadPduType, "SNMPv1 Trap in an SNMPv3 message");
    }
    return out;
  } catch (const ber::DecodeError& e) {
    throw e.Within("scopedPDU");
  }
}

std::string EncodeV3Message(V3Message* m) {
  ber::Writer usm;
  const size_t u = usm.Begin(ber::kSequence);
  usm.WriteBytes(ber::kOctetString, m->engine_id);
  usm.WriteSigned(ber::kInteger, m->boots);
  usm.WriteSigned(ber::kInteger, m->time);
  usm.WriteBytes(ber::kOctetString, m->user);
  usm.WriteBytes(ber::kOctetString, m->auth_params);
  usm.WriteBytes(ber::kOctetString, m->priv_params);
  usm.End(u);

  ber::Writer w;
  const size_t top = w.Begin(ber::kSequence);
  w.WriteSigned(ber::kInteger, version::kV3);
  const size_t header = w.Begin(ber::kSequence);
  w.WriteSigned(ber::kInteger, m->msg_id);
  w.WriteSigned(ber::kInteger, m->max_size);
  w.WriteBytes(ber::kOctetString, std::string_view(reinterpret_cast<const char*>(&m->flags), 1));
  w.WriteSigned(ber::kInteger, m->security_model);
  w.End(header);
  w.WriteBytes(ber::kOctetString, usm.data());
  if (m->encrypted()) {
    w.WriteBytes(ber::kOctetString, m->data);
  } else {
    w.WriteEncoded(m->data);
  }
  w.End(top);
  std::string out = w.Take();
  // The digest goes where the authentication parameters landed once every length was inserted.
  V3Message check;
  const DecodeStatus st = DecodeV3Message(out, &check);
  if (!st.ok()) throw ber::DecodeError(st.code, "encoded SNMPv3 message: " + st.text);
  m->auth_offset = check.auth_offset;
  return out;
}

DecodeStatus DecodeV3Message(std::string_view datagram, V3Message* out) {
  try {
    ber::Reader top(datagram);
    const std::string_view body = top.Expect(ber::kSequence, "message").contents;
    top.ExpectEnd("message");
    ber::Reader msg(body);
    const int32_t v = msg.ReadInt32("version");
    if (v != version::kV3) Fail(ber::code::kBadVersion, fmt::format("SNMP version {} not 3", v));
    V3Message m;
    DecodeHeader(msg, &m);
    DecodeSecurityParameters(datagram, msg.ReadOctetString("msgSecurityParameters"), &m);
    if (m.encrypted()) {
      m.data.assign(msg.ReadOctetString("encryptedPDU"));
    } else {
      const std::string_view rest = body.substr(body.size() - msg.Remaining());
      msg.Expect(ber::kSequence, "scopedPDU");
      m.data.assign(rest.substr(0, rest.size() - msg.Remaining()));
    }
    msg.ExpectEnd(m.encrypted() ? "encryptedPDU" : "scopedPDU");
    *out = std::move(m);
    return {};
  } catch (const ber::DecodeError& e) {
    return {e.code(), e.text()};
  }
}

}  // namespace quorlan::snmp
