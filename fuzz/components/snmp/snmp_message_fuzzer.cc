// Feeds arbitrary datagrams to the SNMP message decoder, as the manager and the agent receive
// them. Whatever decodes must encode and decode again to the same message; the PDU decoder is
// also run on the raw bytes, the way an SNMPv3 scopedPDU hands it a PDU, and the value texts the
// components convert are fed through the text-to-value conversions. Values kept as they came
// (not standard) must not read as numbers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "components/platform/platform.h"
#include "components/snmp/snmp_pdu.h"

namespace {

using namespace quorlan;

void CheckMessage(std::string_view data) {
  snmp::CommunityMessage m;
  const snmp::DecodeStatus st = snmp::DecodeMessage(data, &m);
  if (!st.ok()) {
    if (st.text.empty()) std::abort();  // every refusal names its reason
    return;
  }
  const std::string again = snmp::EncodeMessage(m);
  snmp::CommunityMessage m2;
  if (!snmp::DecodeMessage(again, &m2).ok() || !(m2 == m)) std::abort();
  if (snmp::EncodeMessage(m2) != again) std::abort();
  for (const snmp::VarBind& vb : m.pdu.varbinds) {
    const std::string text = vb.value.ToText();
    // A value kept as it came never reads as a number.
    if (vb.value.nonstandard && IsNumeric(text)) std::abort();
    if (vb.value.IsAbsent() || vb.value.nonstandard || vb.value.OpaqueNumber()) continue;
    // The agent hands values to its handler as text and converts them back.
    const snmp::Value back = snmp::ValueFromText(static_cast<int>(vb.value.type), text);
    if (!(back == vb.value)) std::abort();
  }
}

void CheckPdu(std::string_view data) {
  try {
    ber::Reader in(data);
    snmp::Pdu pdu = snmp::DecodePdu(in);
    ber::Writer w;
    snmp::EncodePdu(pdu, w);
    ber::Reader again(w.data());
    if (!(snmp::DecodePdu(again) == pdu)) std::abort();
  } catch (const ber::DecodeError& e) {
    if (e.text().empty()) std::abort();
  }
}

void CheckTexts(std::string_view data) {
  for (int type : {2, 4, 6, 0x40, 0x41, 0x43, 0x46}) {
    try {
      snmp::ValueFromText(type, data);
    } catch (const RuntimeError&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckMessage(bytes);
  CheckPdu(bytes);
  if (size < 64) CheckTexts(bytes);
  snmp::PeekVersion(bytes);
  return 0;
}
