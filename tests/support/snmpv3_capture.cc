#include "support/snmpv3_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace quorlan::testing {
namespace {

// One TLV: its tag, where it and its content start (from the start of the whole message) and the
// content's length.
struct Tlv {
  uint8_t tag = 0;
  size_t start = 0;
  size_t offset = 0;
  size_t length = 0;
};

// Reads consecutive TLVs of a region of a message.
class Walker {
 public:
  Walker(std::span<const uint8_t> all, size_t begin, size_t end)
      : all_(all), pos_(begin), end_(end) {}
  Walker(std::span<const uint8_t> all, const Tlv& outer)
      : Walker(all, outer.offset, outer.offset + outer.length) {}

  Tlv Next(uint8_t want, const char* field) {
    if (pos_ + 2 > end_) throw std::runtime_error(std::string(field) + ": truncated");
    Tlv tlv{all_[pos_], pos_, 0, all_[pos_ + 1]};
    if (tlv.tag != want) throw std::runtime_error(std::string(field) + ": unexpected tag");
    size_t header = 2;
    if (tlv.length >= 0x80) {
      size_t octets = tlv.length & 0x7f;
      if (octets == 0 || octets > 4 || pos_ + 2 + octets > end_) {
        throw std::runtime_error(std::string(field) + ": bad length");
      }
      tlv.length = 0;
      for (size_t i = 0; i < octets; ++i) tlv.length = (tlv.length << 8) | all_[pos_ + 2 + i];
      header += octets;
    }
    tlv.offset = pos_ + header;
    if (tlv.offset + tlv.length > end_) {
      throw std::runtime_error(std::string(field) + ": length past the end");
    }
    pos_ = tlv.offset + tlv.length;
    return tlv;
  }
  // The tag of the next TLV, without reading it.
  uint8_t PeekTag() const {
    if (pos_ >= end_) throw std::runtime_error("no more fields");
    return all_[pos_];
  }
  bool AtEnd() const { return pos_ >= end_; }

  Bytes Content(const Tlv& tlv) const {
    return Bytes(all_.begin() + static_cast<ptrdiff_t>(tlv.offset),
                 all_.begin() + static_cast<ptrdiff_t>(tlv.offset + tlv.length));
  }
  int64_t Integer(const Tlv& tlv) const {
    int64_t v = tlv.length > 0 && (all_[tlv.offset] & 0x80) ? -1 : 0;
    for (size_t i = 0; i < tlv.length; ++i) v = (v << 8) | all_[tlv.offset + i];
    return v;
  }

 private:
  std::span<const uint8_t> all_;
  size_t pos_;
  size_t end_;
};

constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kSequence = 0x30;

}  // namespace

Bytes FromHex(std::string_view hex) {
  auto nibble = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    throw std::runtime_error("not a hex digit");
  };
  Bytes out;
  std::string digits;
  for (char c : hex) {
    if (c != ' ' && c != '\r' && c != '\n') digits += c;
  }
  if (digits.size() % 2 != 0) throw std::runtime_error("odd number of hex digits");
  for (size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
  }
  return out;
}

std::string ToHex(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::vector<Bytes> ReadHexLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<Bytes> lines;
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \r") != std::string::npos) lines.push_back(FromHex(line));
  }
  return lines;
}

std::string Snmpv3FixtureDir() { return QUORLAN_SOURCE_DIR "/tests/fixtures/snmpv3"; }

V3Message WalkV3Message(std::span<const uint8_t> message) {
  V3Message m;
  Walker top(message, 0, message.size());
  Walker msg(message, top.Next(kSequence, "SNMPv3Message"));
  if (!top.AtEnd()) throw std::runtime_error("SNMPv3Message: bytes after its end");
  if (msg.Integer(msg.Next(kInteger, "msgVersion")) != 3) {
    throw std::runtime_error("msgVersion: not 3");
  }
  Walker global(message, msg.Next(kSequence, "msgGlobalData"));
  m.msg_id = global.Integer(global.Next(kInteger, "msgID"));
  global.Next(kInteger, "msgMaxSize");
  Bytes flags = global.Content(global.Next(kOctetString, "msgFlags"));
  if (flags.size() != 1) throw std::runtime_error("msgFlags: not one octet");
  m.flags = flags[0];
  global.Next(kInteger, "msgSecurityModel");

  Walker outer(message, msg.Next(kOctetString, "msgSecurityParameters"));
  Walker usm(message, outer.Next(kSequence, "UsmSecurityParameters"));
  m.engine_id = usm.Content(usm.Next(kOctetString, "msgAuthoritativeEngineID"));
  m.boots = static_cast<uint32_t>(usm.Integer(usm.Next(kInteger, "msgAuthoritativeEngineBoots")));
  m.time = static_cast<uint32_t>(usm.Integer(usm.Next(kInteger, "msgAuthoritativeEngineTime")));
  Bytes user = usm.Content(usm.Next(kOctetString, "msgUserName"));
  m.user.assign(user.begin(), user.end());
  Tlv auth = usm.Next(kOctetString, "msgAuthenticationParameters");
  m.auth_offset = auth.offset;
  m.auth_length = auth.length;
  m.priv_params = usm.Content(usm.Next(kOctetString, "msgPrivacyParameters"));

  bool encrypted = (m.flags & 0x02) != 0;
  Tlv data = msg.Next(encrypted ? kOctetString : kSequence, "msgData");
  if (encrypted) {
    m.data = msg.Content(data);
  } else {
    // The whole scopedPDU TLV, header included.
    m.data.assign(message.begin() + static_cast<ptrdiff_t>(data.start),
                  message.begin() + static_cast<ptrdiff_t>(data.offset + data.length));
  }
  return m;
}

ScopedPduFields WalkScopedPdu(std::span<const uint8_t> scoped_pdu) {
  ScopedPduFields f;
  Walker top(scoped_pdu, 0, scoped_pdu.size());
  Walker spdu(scoped_pdu, top.Next(kSequence, "ScopedPDU"));
  if (!top.AtEnd()) throw std::runtime_error("ScopedPDU: bytes after its end");
  f.context_engine_id = spdu.Content(spdu.Next(kOctetString, "contextEngineID"));
  spdu.Next(kOctetString, "contextName");
  f.pdu_tag = spdu.PeekTag();
  Walker pdu(scoped_pdu, spdu.Next(f.pdu_tag, "PDU"));
  f.request_id = pdu.Integer(pdu.Next(kInteger, "request-id"));
  f.error_status = pdu.Integer(pdu.Next(kInteger, "error-status"));
  pdu.Next(kInteger, "error-index");
  Walker list(scoped_pdu, pdu.Next(kSequence, "variable-bindings"));
  while (!list.AtEnd()) {
    Walker vb(scoped_pdu, list.Next(kSequence, "VarBind"));
    f.oids.push_back(vb.Content(vb.Next(0x06, "name")));
    f.values.push_back(vb.Content(vb.Next(vb.PeekTag(), "value")));
  }
  return f;
}

Bytes CheckCapturedMessage(const CapturedUser& c, std::span<const uint8_t> message) {
  using usm::PrivProtocol;
  V3Message m = WalkV3Message(message);
  EXPECT_EQ(m.user, c.name);
  EXPECT_EQ(m.engine_id, c.engine_id);
  EXPECT_EQ(m.flags & 0x01, 0x01);
  EXPECT_EQ(m.auth_length, usm::DigestLength(c.auth));
  Bytes auth_key = usm::LocalizedAuthKey(c.auth, "authpass123", c.engine_id);
  EXPECT_NO_THROW(usm::VerifyMessage(c.auth, auth_key, message, m.auth_offset, m.auth_length));
  // Signing the message again reproduces the captured digest.
  Bytes copy(message.begin(), message.end());
  std::fill_n(copy.begin() + static_cast<ptrdiff_t>(m.auth_offset), m.auth_length, 0xEE);
  usm::SignMessage(c.auth, auth_key, copy, m.auth_offset);
  EXPECT_EQ(ToHex(copy), ToHex(message));
  if ((m.flags & 0x02) == 0) return m.data;

  if (!c.priv.has_value()) {
    ADD_FAILURE() << "encrypted message for " << c.name << ", who has no privacy protocol";
    return {};
  }
  Bytes priv_key = usm::LocalizedPrivKey(c.auth, *c.priv, "privpass123", c.engine_id);
  Bytes plain = usm::DecryptScopedPdu(*c.priv, priv_key, m.boots, m.time, m.priv_params, m.data);
  const Bytes& salt = m.priv_params;
  uint64_t salt64 = 0;
  for (uint8_t b : salt) salt64 = salt64 << 8 | b;
  usm::SaltSource same_salt(static_cast<uint32_t>(salt64), salt64);
  // A CBC salt starts with the boots of the sender's own engine, which is not always the boots
  // in the message (net-snmp's manager uses its local boots); it enters nothing else.
  bool cbc = *c.priv == PrivProtocol::kDes || *c.priv == PrivProtocol::kTripleDes;
  uint32_t boots = cbc ? static_cast<uint32_t>(salt64 >> 32) : m.boots;
  usm::EncryptedPdu again =
      usm::EncryptScopedPdu(*c.priv, priv_key, boots, m.time, plain, same_salt);
  EXPECT_EQ(again.priv_params, salt);
  size_t unpadded = cbc ? plain.size() / 8 * 8 : plain.size();
  EXPECT_GE(m.data.size(), unpadded);
  EXPECT_EQ(ToHex(Bytes(again.ciphertext.begin(), again.ciphertext.begin() + unpadded)),
            ToHex(Bytes(m.data.begin(), m.data.begin() + unpadded)));
  return plain;
}

}  // namespace quorlan::testing
