// Feeds arbitrary datagrams to the SNMPv3 message decoder and to what the manager does with a
// decoded message: the digest check, decryption with each privacy protocol, and the scopedPDU
// decoder on the result. Nothing may crash; whatever decodes must encode and decode again to the
// same message, and msgAuthenticationParameters must lie where the decoder says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "components/platform/platform.h"
#include "components/snmp/snmp_v3.h"
#include "components/snmp/usm.h"

namespace {

using namespace quorlan;

void CheckScoped(std::string_view data) {
  try {
    const snmp::ScopedPdu s = snmp::DecodeScopedPdu(data);
    if (!(snmp::DecodeScopedPdu(snmp::EncodeScopedPdu(s)) == s)) std::abort();
  } catch (const ber::DecodeError& e) {
    if (e.text().empty()) std::abort();
  }
}

bool SameMessage(const snmp::V3Message& a, const snmp::V3Message& b) {
  return a.msg_id == b.msg_id && a.max_size == b.max_size && a.flags == b.flags &&
         a.security_model == b.security_model && a.engine_id == b.engine_id && a.boots == b.boots &&
         a.time == b.time && a.user == b.user && a.auth_params == b.auth_params &&
         a.priv_params == b.priv_params;
}

void CheckSecurity(std::string_view datagram, const snmp::V3Message& m) {
  static const usm::Bytes kAuthKey(20, 0x5A);
  try {
    usm::VerifyMessage(usm::AuthProtocol::kHmacSha, kAuthKey, usm::AsBytes(datagram), m.auth_offset,
                       m.auth_params.size());
  } catch (const RuntimeError&) {
  }
  if (!m.encrypted()) return;
  for (usm::PrivProtocol p :
       {usm::PrivProtocol::kDes, usm::PrivProtocol::kAes128, usm::PrivProtocol::kTripleDes,
        usm::PrivProtocol::kAes192, usm::PrivProtocol::kAes256}) {
    const usm::Bytes key(usm::PrivKeyLength(p), 0x3C);
    try {
      const usm::Bytes plain = usm::DecryptScopedPdu(
          p, key, m.boots, m.time, usm::AsBytes(m.priv_params), usm::AsBytes(m.data));
      CheckScoped(std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()));
    } catch (const RuntimeError&) {
    }
  }
}

void CheckMessage(std::string_view datagram) {
  snmp::V3Message m;
  const snmp::DecodeStatus st = snmp::DecodeV3Message(datagram, &m);
  if (!st.ok()) {
    if (st.text.empty()) std::abort();
    return;
  }
  if (m.auth_offset + m.auth_params.size() > datagram.size() ||
      datagram.substr(m.auth_offset, m.auth_params.size()) != m.auth_params) {
    std::abort();
  }
  snmp::V3Message copy = m;
  const std::string again = snmp::EncodeV3Message(&copy);
  snmp::V3Message m2;
  if (!snmp::DecodeV3Message(again, &m2).ok() || !SameMessage(m, m2) || m2.data != m.data) {
    std::abort();
  }
  if (!m.encrypted()) CheckScoped(m.data);
  CheckSecurity(datagram, m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckMessage(bytes);
  CheckScoped(bytes);
  return 0;
}
