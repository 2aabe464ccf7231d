// The SNMPv3 message codec against whole exchanges captured from net-snmp (and pysnmp for
// 3DES-EDE): our decoder finds the fields, our USM verifies the digests and decrypts the scopedPDUs
// it hands over, and forged or cut messages are refused with a reason.
#include "components/snmp/snmp_v3.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "components/snmp/usm.h"
#include "support/ci.h"
#include "support/snmpv3_capture.h"

namespace quorlan::snmp {
namespace {

using ::quorlan::testing::FromHex;
using ::quorlan::testing::ReadHexLines;
using ::quorlan::testing::Snmpv3FixtureDir;
using ::testing::HasSubstr;
using usm::AuthProtocol;
using usm::PrivProtocol;

std::string Text(const usm::Bytes& b) { return std::string(b.begin(), b.end()); }

struct Capture {
  const char* file;
  const char* user;
  AuthProtocol auth;
  std::optional<PrivProtocol> priv;
  const char* engine_hex;
  const char* location;  // sysLocation.0 in the Response
};

const char* const kNetSnmp = "80001f88047472656e6474657374";
const char* const kPysnmp = "80004fb8047079736e6d7070656572";

const Capture kCaptures[] = {
    {"md5user.hex", "md5user", AuthProtocol::kHmacMd5, std::nullopt, kNetSnmp, "testlab"},
    {"shades.hex", "shades", AuthProtocol::kHmacSha, PrivProtocol::kDes, kNetSnmp, "testlab"},
    {"shaaes.hex", "shaaes", AuthProtocol::kHmacSha, PrivProtocol::kAes128, kNetSnmp, "testlab"},
    {"sha256aes.hex", "sha256aes", AuthProtocol::kHmac192Sha256, PrivProtocol::kAes128, kNetSnmp,
     "testlab"},
    {"sha512aes256.hex", "sha512aes256", AuthProtocol::kHmac384Sha512, PrivProtocol::kAes256,
     kNetSnmp, "testlab"},
    {"shaaes256.hex", "shaaes256", AuthProtocol::kHmacSha, PrivProtocol::kAes256, kNetSnmp,
     "testlab"},
    {"3des-sha.hex", "sha-3des", AuthProtocol::kHmacSha, PrivProtocol::kTripleDes, kPysnmp,
     "testlab"},
    {"3des-md5.hex", "md5-3des", AuthProtocol::kHmacMd5, PrivProtocol::kTripleDes, kPysnmp,
     "testlab"},
};

const Oid kUnknownEngineIds = {1, 3, 6, 1, 6, 3, 15, 1, 1, 4, 0};
const Oid kNotInTimeWindows = {1, 3, 6, 1, 6, 3, 15, 1, 1, 2, 0};
const Oid kSysLocation = {1, 3, 6, 1, 2, 1, 1, 6, 0};

#define REQUIRE_FIXTURES()                                                                 \
  if (!std::filesystem::exists(Snmpv3FixtureDir())) {                                      \
    SKIP_OR_FAIL_UNDER_CI("captured SNMPv3 exchanges not found in " + Snmpv3FixtureDir()); \
  }

std::vector<std::string> Lines(const char* file) {
  std::vector<std::string> out;
  for (const usm::Bytes& b : ReadHexLines(Snmpv3FixtureDir() + "/" + file)) out.push_back(Text(b));
  return out;
}

V3Message Decoded(const std::string& datagram) {
  V3Message m;
  const DecodeStatus st = DecodeV3Message(datagram, &m);
  EXPECT_TRUE(st.ok()) << st.text;
  return m;
}

// Verifies and decrypts an authenticated message of the capture's user with our decoder's view
// of it, and returns its scopedPDU.
ScopedPdu Open(const Capture& c, const std::string& datagram, bool encrypted = true) {
  const V3Message m = Decoded(datagram);
  const usm::Bytes engine = FromHex(c.engine_hex);
  EXPECT_EQ(m.engine_id, Text(engine));
  EXPECT_EQ(m.user, c.user);
  EXPECT_TRUE(m.authenticated());
  const usm::Bytes auth_key = usm::LocalizedAuthKey(c.auth, "authpass123", engine);
  usm::VerifyMessage(c.auth, auth_key, usm::AsBytes(datagram), m.auth_offset, m.auth_params.size());
  std::string scoped = m.data;
  EXPECT_EQ(m.encrypted(), encrypted && c.priv.has_value());
  if (m.encrypted() && c.priv) {
    const usm::Bytes key = usm::LocalizedPrivKey(c.auth, *c.priv, "privpass123", engine);
    scoped = Text(usm::DecryptScopedPdu(*c.priv, key, m.boots, m.time, usm::AsBytes(m.priv_params),
                                        usm::AsBytes(m.data)));
  }
  return DecodeScopedPdu(scoped);
}

TEST(SnmpV3CodecTest, DecodesTheDiscoveryExchangeOfEveryCapture) {
  REQUIRE_FIXTURES();
  for (const Capture& c : kCaptures) {
    SCOPED_TRACE(c.file);
    const std::vector<std::string> lines = Lines(c.file);
    ASSERT_EQ(lines.size(), 4u);
    const V3Message probe = Decoded(lines[0]);
    EXPECT_EQ(probe.flags, msgflag::kReportable);
    EXPECT_EQ(probe.max_size, kMaxMessageSize);
    EXPECT_EQ(probe.engine_id, "");
    EXPECT_EQ(probe.user, "");
    const ScopedPdu probe_pdu = DecodeScopedPdu(probe.data);
    EXPECT_EQ(probe_pdu.pdu.type, PduType::kGetRequest);
    EXPECT_TRUE(probe_pdu.pdu.varbinds.empty());

    const V3Message report = Decoded(lines[1]);
    EXPECT_EQ(report.msg_id, probe.msg_id);
    EXPECT_EQ(report.flags, 0);
    EXPECT_EQ(report.engine_id, Text(FromHex(c.engine_hex)));
    EXPECT_EQ(report.boots, 1u);
    EXPECT_GT(report.time, 0u);
    const ScopedPdu r = DecodeScopedPdu(report.data);
    EXPECT_EQ(r.pdu.type, PduType::kReport);
    ASSERT_EQ(r.pdu.varbinds.size(), 1u);
    EXPECT_EQ(r.pdu.varbinds[0].oid, kUnknownEngineIds);
    EXPECT_EQ(r.pdu.varbinds[0].value.type, ValueType::kCounter32);
  }
}

TEST(SnmpV3CodecTest, VerifiesAndDecryptsEveryCapturedRequestAndResponse) {
  REQUIRE_FIXTURES();
  for (const Capture& c : kCaptures) {
    SCOPED_TRACE(c.file);
    const std::vector<std::string> lines = Lines(c.file);
    ASSERT_EQ(lines.size(), 4u);
    const ScopedPdu request = Open(c, lines[2]);
    const ScopedPdu response = Open(c, lines[3]);
    EXPECT_EQ(request.context_engine_id, Text(FromHex(c.engine_hex)));
    EXPECT_EQ(request.context_name, "");
    EXPECT_EQ(request.pdu.type, PduType::kGetRequest);
    EXPECT_EQ(response.pdu.type, PduType::kGetResponse);
    EXPECT_EQ(response.pdu.request_id, request.pdu.request_id);
    EXPECT_EQ(response.pdu.error_status, 0);
    bool found = false;
    for (const VarBind& vb : response.pdu.varbinds) {
      if (vb.oid == kSysLocation) found = vb.value.ToText() == c.location;
    }
    EXPECT_TRUE(found) << "sysLocation.0 = " << c.location << " missing";
  }
}

TEST(SnmpV3CodecTest, DecodesTheAuthenticatedNotInTimeWindowReport) {
  REQUIRE_FIXTURES();
  const Capture& c = kCaptures[6];  // sha-3des, pysnmp
  const std::vector<std::string> lines = Lines("3des-sha-full.hex");
  ASSERT_EQ(lines.size(), 6u);
  const V3Message request = Decoded(lines[2]);
  EXPECT_EQ(request.boots, 0u);
  EXPECT_EQ(request.time, 0u);
  const V3Message m = Decoded(lines[3]);
  EXPECT_EQ(m.msg_id, request.msg_id);
  EXPECT_EQ(m.flags, msgflag::kAuth);
  EXPECT_EQ(m.boots, 1u);
  EXPECT_EQ(m.time, 93u);
  const ScopedPdu report = Open(c, lines[3], false);
  EXPECT_EQ(report.pdu.type, PduType::kReport);
  ASSERT_EQ(report.pdu.varbinds.size(), 1u);
  EXPECT_EQ(report.pdu.varbinds[0].oid, kNotInTimeWindows);
  // The resend: same request id, new msgID and salt, the Report's boots and time.
  const V3Message again = Decoded(lines[4]);
  EXPECT_NE(again.msg_id, request.msg_id);
  EXPECT_NE(again.priv_params, request.priv_params);
  EXPECT_EQ(again.boots, 1u);
  EXPECT_EQ(again.time, 93u);
  EXPECT_EQ(Open(c, lines[4]).pdu.request_id, Open(c, lines[2]).pdu.request_id);
}

TEST(SnmpV3CodecTest, EncodesWhatItDecodesAndPointsAtTheDigest) {
  ScopedPdu s;
  s.context_engine_id = Text(FromHex(kNetSnmp));
  s.pdu.type = PduType::kGetRequest;
  s.pdu.request_id = 1000001;
  s.pdu.varbinds.push_back({kSysLocation, Value::Null()});
  V3Message m;
  m.msg_id = 2147483647;
  m.flags = msgflag::kAuth | msgflag::kReportable;
  m.engine_id = s.context_engine_id;
  m.boots = 7;
  m.time = 2147483647;
  m.user = std::string(32, 'u');
  m.auth_params.assign(48, '\0');
  m.data = EncodeScopedPdu(s);
  std::string wire = EncodeV3Message(&m);
  wire.replace(m.auth_offset, 48, 48, '\x5A');

  const V3Message d = Decoded(wire);
  EXPECT_EQ(d.msg_id, m.msg_id);
  EXPECT_EQ(d.flags, m.flags);
  EXPECT_EQ(d.security_model, 3);
  EXPECT_EQ(d.engine_id, m.engine_id);
  EXPECT_EQ(d.boots, 7u);
  EXPECT_EQ(d.time, 2147483647u);
  EXPECT_EQ(d.user, m.user);
  EXPECT_EQ(d.auth_params, std::string(48, '\x5A'));
  EXPECT_EQ(d.auth_offset, m.auth_offset);
  EXPECT_EQ(DecodeScopedPdu(d.data), s);
}

// A captured message with one field rewritten by hand.
std::string Patched(std::string wire, const std::string& from, const std::string& to) {
  const size_t at = wire.find(from);
  EXPECT_NE(at, std::string::npos);
  return at == std::string::npos ? wire : wire.replace(at, from.size(), to);
}

TEST(SnmpV3CodecTest, RefusesForgedHeadersWithTheFieldNamed) {
  REQUIRE_FIXTURES();
  const std::string response = Lines("shaaes.hex")[3];
  V3Message m = Decoded(response);
  auto refusal = [](const std::string& wire) {
    V3Message out;
    const DecodeStatus st = DecodeV3Message(wire, &out);
    return st.ok() ? std::string("decoded") : st.text;
  };
  // msgFlags 0x03 -> 0x02: privacy without authentication.
  EXPECT_EQ(
      refusal(Patched(response, std::string("\x04\x01\x03", 3), std::string("\x04\x01\x02", 3))),
      "msgFlags: privacy without authentication");
  // msgSecurityModel 3 -> 2.
  EXPECT_THAT(refusal(Patched(response, std::string("\x04\x01\x03\x02\x01\x03", 6),
                              std::string("\x04\x01\x03\x02\x01\x02", 6))),
              HasSubstr("msgSecurityModel 2 is not the User-based Security Model"));
  // msgMaxSize below 484.
  EXPECT_THAT(refusal(Patched(response, std::string("\x02\x03\x00\xFF\xE3", 5),
                              std::string("\x02\x03\x00\x01\x00", 5))),
              HasSubstr("msgMaxSize 256 outside 484..2147483647"));
  // Bytes after the message.
  EXPECT_THAT(refusal(response + "x"), HasSubstr("followed by 1 extra bytes"));
  EXPECT_EQ(m.flags, msgflag::kAuth | msgflag::kPriv);
}

TEST(SnmpV3CodecTest, EveryPrefixIsRefusedAndNoCorruptionBreaksTheDecoder) {
  REQUIRE_FIXTURES();
  for (const char* file : {"shaaes.hex", "md5user.hex", "3des-sha-full.hex"}) {
    for (const std::string& wire : Lines(file)) {
      for (size_t n = 0; n < wire.size(); ++n) {
        V3Message m;
        const DecodeStatus st = DecodeV3Message(wire.substr(0, n), &m);
        EXPECT_FALSE(st.ok()) << file << " cut to " << n;
        EXPECT_FALSE(st.text.empty());
      }
      for (size_t i = 0; i < wire.size(); ++i) {
        for (uint8_t x : {0x01, 0x80, 0xFF}) {
          std::string forged = wire;
          forged[i] = static_cast<char>(forged[i] ^ x);
          V3Message m;
          const DecodeStatus st = DecodeV3Message(forged, &m);
          if (!st.ok()) {
            EXPECT_FALSE(st.text.empty());
            continue;
          }
          EXPECT_LE(m.auth_offset + m.auth_params.size(), forged.size());
          if (!m.encrypted()) {
            try {
              DecodeScopedPdu(m.data);
            } catch (const ber::DecodeError& e) {
              EXPECT_FALSE(e.text().empty());
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorlan::snmp
