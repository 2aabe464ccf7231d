#include "components/snmp/usm.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <optional>

#include "components/platform/platform.h"
#include "support/ci.h"
#include "support/snmpv3_capture.h"

namespace quorlan::usm {
namespace {

using ::quorlan::testing::CapturedUser;
using ::quorlan::testing::CheckCapturedMessage;
using ::quorlan::testing::FromHex;
using ::quorlan::testing::ReadHexLines;
using ::quorlan::testing::ScopedPduFields;
using ::quorlan::testing::Snmpv3FixtureDir;
using ::quorlan::testing::ToHex;
using ::quorlan::testing::V3Message;
using ::quorlan::testing::WalkScopedPdu;
using ::quorlan::testing::WalkV3Message;
using ::testing::HasSubstr;

constexpr AuthProtocol kMd5 = AuthProtocol::kHmacMd5;
constexpr AuthProtocol kSha = AuthProtocol::kHmacSha;
constexpr AuthProtocol kSha256 = AuthProtocol::kHmac192Sha256;
constexpr AuthProtocol kSha512 = AuthProtocol::kHmac384Sha512;
constexpr AuthProtocol kAllAuth[] = {kMd5, kSha, kSha256, kSha512};
constexpr PrivProtocol kAllPriv[] = {PrivProtocol::kDes, PrivProtocol::kAes128,
                                     PrivProtocol::kTripleDes, PrivProtocol::kAes192,
                                     PrivProtocol::kAes256};

// RFC 3414 A.3: password "maplesyrup", engine id 00..02.
const Bytes kRfcEngine = FromHex("000000000000000000000002");
// The net-snmp test agent (engineID "trendtest") and the pysnmp one.
const Bytes kNetSnmpEngine = FromHex("80001f88047472656e6474657374");
const Bytes kPysnmpEngine = FromHex("80004fb8047079736e6d7070656572");

// The description of the RuntimeError that fn throws; fails the test when it throws none.
template <typename Fn>
std::string ErrorOf(Fn fn) {
  try {
    fn();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kComponent);
    return e.description();
  }
  ADD_FAILURE() << "no RuntimeError thrown";
  return "";
}

TEST(UsmProtocolTest, CodesMapToProtocolsAndOthersAreRefusedByNumber) {
  for (int code = 1; code <= 4; ++code) {
    EXPECT_EQ(static_cast<int>(AuthProtocolFromCode(code)), code);
  }
  for (int code = 1; code <= 5; ++code) {
    EXPECT_EQ(static_cast<int>(PrivProtocolFromCode(code)), code);
  }
  EXPECT_EQ(AuthProtocolName(AuthProtocolFromCode(3)), "HMAC-192-SHA-256");
  EXPECT_EQ(PrivProtocolName(PrivProtocolFromCode(3)), "3DES-EDE");
  EXPECT_EQ(PrivProtocolName(PrivProtocolFromCode(5)), "CFB128-AES-256");
  for (int code : {0, 5, -1, 32767}) {
    EXPECT_THAT(ErrorOf([&] { AuthProtocolFromCode(code); }),
                HasSubstr(fmt::format("authentication protocol code {} is not supported", code)));
  }
  for (int code : {0, 6}) {
    EXPECT_THAT(ErrorOf([&] { PrivProtocolFromCode(code); }),
                HasSubstr(fmt::format("privacy protocol code {} is not supported", code)));
  }
}

TEST(UsmKeyTest, Rfc3414AppendixA3Vectors) {
  EXPECT_EQ(ToHex(PasswordToKey(kMd5, "maplesyrup")), "9faf3283884e92834ebc9847d8edd963");
  EXPECT_EQ(ToHex(LocalizedAuthKey(kMd5, "maplesyrup", kRfcEngine)),
            "526f5eed9fcce26f8964c2930787d82b");
  EXPECT_EQ(ToHex(PasswordToKey(kSha, "maplesyrup")), "9fb5cc0381497b3793528939ff788d5d79145211");
  EXPECT_EQ(ToHex(LocalizedAuthKey(kSha, "maplesyrup", kRfcEngine)),
            "6695febc9288e36282235fc7151f128497b38f3f");
}

TEST(UsmKeyTest, Sha2KeysFollowTheSameAlgorithm) {
  EXPECT_EQ(ToHex(PasswordToKey(kSha256, "maplesyrup")),
            "ab51014d1e077f6017df2b12bee5f5aa72993177e9bb569c4dff5a4ca0b4afac");
  EXPECT_EQ(ToHex(LocalizedAuthKey(kSha256, "maplesyrup", kRfcEngine)),
            "8982e0e549e866db361a6b625d84cccc11162d453ee8ce3a6445c2d6776f0f8b");
  EXPECT_EQ(ToHex(PasswordToKey(kSha512, "maplesyrup")),
            "7e4396de5aadc77be853819b98c9406265b3a9c37cc3176569847a4e4f6fba63"
            "dd3a73d04924d31a63f95a601f9385af6be4ed1b37f87d040f7c6ed6f8d38a91");
  EXPECT_EQ(ToHex(LocalizedAuthKey(kSha512, "maplesyrup", kRfcEngine)),
            "22a5a36cedfcc085807a128d7bc6c2382167ad6c0dbc5fdff856740f3d84c099"
            "ad1ea87a8db096714d9788bd544047c9021e4229ce27e4c0a69250adfcffbb0b");
}

// Keys net-snmp's own snmpd stored for its users (authpass123 / privpass123, engine "trendtest").
TEST(UsmKeyTest, MatchesNetSnmpLocalizedKeys) {
  EXPECT_EQ(ToHex(LocalizedAuthKey(kMd5, "authpass123", kNetSnmpEngine)),
            "2a99367439004ec18df998250a7d95b8");
  EXPECT_EQ(ToHex(LocalizedAuthKey(kSha, "authpass123", kNetSnmpEngine)),
            "9afa472e4f1d75a5931903e8b0960d5ea1a9574f");
  EXPECT_EQ(ToHex(LocalizedAuthKey(kSha256, "authpass123", kNetSnmpEngine)),
            "ed4ef20c125765dad890e2a8971ebdf974c042d1060590bc843c4003b357ac83");
  auto priv = [](AuthProtocol a, PrivProtocol p) {
    return ToHex(LocalizedPrivKey(a, p, "privpass123", kNetSnmpEngine));
  };
  EXPECT_EQ(priv(kSha, PrivProtocol::kAes128), "14eb8fc6a5f0b5fe16509a5a6517cc3e");
  EXPECT_EQ(priv(kSha, PrivProtocol::kDes), "14eb8fc6a5f0b5fe16509a5a6517cc3e");
  EXPECT_EQ(priv(kSha256, PrivProtocol::kAes128), "5d3cc027f78d8927d4c79b696c3f065e");
  // Blumenthal extension: K || H(K).
  EXPECT_EQ(priv(kSha, PrivProtocol::kAes192), "14eb8fc6a5f0b5fe16509a5a6517cc3e4b280dd4e57cc211");
  EXPECT_EQ(priv(kSha, PrivProtocol::kAes256),
            "14eb8fc6a5f0b5fe16509a5a6517cc3e4b280dd4e57cc21177fd7e3964d67f07");
  EXPECT_EQ(priv(kMd5, PrivProtocol::kAes192), "ab212191b4dc2d94a4d00904428447687aaff2eec58afe48");
  // A hash long enough needs no extension: plain truncation.
  EXPECT_EQ(priv(kSha512, PrivProtocol::kAes256),
            "627328d183099fd3450ad7d74b073bbd5e9211251a0c4954ac43c1d77cfe8143");
}

// The 3DES key extension (Reeder) equals pysnmp's keys and net-snmp's AES-256-C keys.
TEST(UsmKeyTest, TripleDesReederExtension) {
  auto des3 = [](AuthProtocol a, std::string_view password, const Bytes& engine) {
    return ToHex(LocalizedPrivKey(a, PrivProtocol::kTripleDes, password, engine));
  };
  EXPECT_EQ(des3(kMd5, "maplesyrup", kRfcEngine),
            "526f5eed9fcce26f8964c2930787d82b79eff44a90650ee0a3a40abfac5acc12");
  EXPECT_EQ(des3(kSha, "maplesyrup", kRfcEngine),
            "6695febc9288e36282235fc7151f128497b38f3f9b8b6d78936ba6e7d19dfd9c");
  EXPECT_EQ(des3(kSha, "privpass123", kPysnmpEngine),
            "d3f7c30891085f72253306181f83750b463142c9b428f83d6320dd9c52330a47");
  EXPECT_EQ(des3(kMd5, "privpass123", kPysnmpEngine),
            "a23f0cd85517325a57aba23de09f1ec42f4f0e2df584d35db75952e833971e13");
  EXPECT_EQ(des3(kSha, "privpass123", kNetSnmpEngine),
            "14eb8fc6a5f0b5fe16509a5a6517cc3e4b280dd496b0c30fcd97fb82cb5c1d2a");
  EXPECT_EQ(des3(kMd5, "privpass123", kNetSnmpEngine),
            "ab212191b4dc2d94a4d009044284476836cb426c78e2da4aea5a155471137b4a");
  // The pysnmp notes' intermediate values: the authentication key of the same user.
  EXPECT_EQ(ToHex(LocalizedAuthKey(kSha, "authpass123", kPysnmpEngine)),
            "e2c78dc1382f860e0c7d96e61ce094cb97177ef3");
}

TEST(UsmKeyTest, RefusesShortPasswordsAndUndiscoveredEngines) {
  EXPECT_EQ(ErrorOf([] { LocalizedAuthKey(kSha, "1234567", kRfcEngine); }),
            "authentication password of 7 characters is too short: SNMPv3 needs at least 8");
  EXPECT_EQ(ErrorOf([] { LocalizedPrivKey(kSha, PrivProtocol::kAes128, "", kRfcEngine); }),
            "privacy password of 0 characters is too short: SNMPv3 needs at least 8");
  EXPECT_EQ(LocalizedAuthKey(kMd5, "12345678", kRfcEngine).size(), 16u);
  EXPECT_THAT(ErrorOf([] { LocalizedAuthKey(kSha256, "authpass123", Bytes{}); }),
              HasSubstr("cannot localize the HMAC-192-SHA-256 key: the engine id is empty"));
  EXPECT_THAT(ErrorOf([] { LocalizeKey(kSha, Bytes(16), kRfcEngine); }),
              HasSubstr("HMAC-SHA-96 needs a 20-byte master key, got 16 bytes"));
}

TEST(UsmKeyCacheTest, DerivesEachPasswordOncePerHash) {
  KeyCache cache;
  for (int round = 0; round < 3; ++round) {
    for (AuthProtocol a : kAllAuth) {
      EXPECT_EQ(cache.AuthKey(a, "authpass123", kNetSnmpEngine),
                LocalizedAuthKey(a, "authpass123", kNetSnmpEngine));
    }
  }
  EXPECT_EQ(cache.password_hashes(), 4);
  // Another engine localizes the same Ku again: no new password hash, a different key.
  EXPECT_NE(cache.AuthKey(kSha, "authpass123", kPysnmpEngine),
            cache.AuthKey(kSha, "authpass123", kNetSnmpEngine));
  EXPECT_EQ(cache.password_hashes(), 4);
  // A privacy key with its own password hashes it once; 3DES adds the one Reeder round.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(cache.PrivKey(kMd5, PrivProtocol::kAes256, "privpass123", kNetSnmpEngine),
              LocalizedPrivKey(kMd5, PrivProtocol::kAes256, "privpass123", kNetSnmpEngine));
    EXPECT_EQ(cache.PrivKey(kMd5, PrivProtocol::kTripleDes, "privpass123", kNetSnmpEngine),
              LocalizedPrivKey(kMd5, PrivProtocol::kTripleDes, "privpass123", kNetSnmpEngine));
  }
  EXPECT_EQ(cache.password_hashes(), 6);
  // A changed password is a new key; errors are not cached.
  EXPECT_NE(cache.AuthKey(kSha, "authpass124", kNetSnmpEngine),
            cache.AuthKey(kSha, "authpass123", kNetSnmpEngine));
  EXPECT_EQ(cache.password_hashes(), 7);
  for (int round = 0; round < 2; ++round) {
    EXPECT_THAT(ErrorOf([&] { cache.PrivKey(kSha, PrivProtocol::kDes, "short", kRfcEngine); }),
                HasSubstr("privacy password of 5 characters"));
  }
  cache.Clear();
  cache.AuthKey(kSha, "authpass123", kNetSnmpEngine);
  EXPECT_EQ(cache.password_hashes(), 8);
}

// --- Captured exchanges ---------------------------------------------------------------------

struct Capture {
  const char* file;
  CapturedUser user;
};

const Capture kCaptures[] = {
    {"md5user.hex", {"md5user", kMd5, std::nullopt, kNetSnmpEngine}},
    {"shades.hex", {"shades", kSha, PrivProtocol::kDes, kNetSnmpEngine}},
    {"shaaes.hex", {"shaaes", kSha, PrivProtocol::kAes128, kNetSnmpEngine}},
    {"sha256aes.hex", {"sha256aes", kSha256, PrivProtocol::kAes128, kNetSnmpEngine}},
    {"sha512aes256.hex", {"sha512aes256", kSha512, PrivProtocol::kAes256, kNetSnmpEngine}},
    {"shaaes256.hex", {"shaaes256", kSha, PrivProtocol::kAes256, kNetSnmpEngine}},
    {"3des-sha.hex", {"sha-3des", kSha, PrivProtocol::kTripleDes, kPysnmpEngine}},
    {"3des-md5.hex", {"md5-3des", kMd5, PrivProtocol::kTripleDes, kPysnmpEngine}},
};

// The lines of a capture file, or nothing when the fixtures are not beside the repository.
std::vector<Bytes> LoadCapture(const std::string& file) {
  return ReadHexLines(Snmpv3FixtureDir() + "/" + file);
}

#define SKIP_WITHOUT_FIXTURES()                                                            \
  if (!std::filesystem::exists(Snmpv3FixtureDir())) {                                      \
    SKIP_OR_FAIL_UNDER_CI("captured SNMPv3 exchanges not found in " + Snmpv3FixtureDir()); \
  }

TEST(UsmCaptureTest, VerifiesAndDecryptsEveryCapturedRequestAndResponse) {
  SKIP_WITHOUT_FIXTURES();
  for (const Capture& c : kCaptures) {
    SCOPED_TRACE(c.file);
    std::vector<Bytes> lines = LoadCapture(c.file);
    ASSERT_EQ(lines.size(), 4u);
    ScopedPduFields request = WalkScopedPdu(CheckCapturedMessage(c.user, lines[2]));
    ScopedPduFields response = WalkScopedPdu(CheckCapturedMessage(c.user, lines[3]));
    EXPECT_EQ(request.context_engine_id, c.user.engine_id);
    EXPECT_EQ(request.pdu_tag, 0xA0);
    EXPECT_EQ(response.pdu_tag, 0xA2);
    EXPECT_EQ(response.request_id, request.request_id);
    EXPECT_EQ(response.error_status, 0);
    ASSERT_FALSE(response.values.empty());
    // Both agents answer sysLocation.0 (1.3.6.1.2.1.1.6.0) with "testlab".
    EXPECT_EQ(response.oids.back(), FromHex("2b06010201010600"));
    EXPECT_EQ(std::string(response.values.back().begin(), response.values.back().end()), "testlab");
  }
}

// The plaintexts and fields the notes on the peers give for individual messages.
TEST(UsmCaptureTest, MatchesPublishedPlaintextsAndDigests) {
  SKIP_WITHOUT_FIXTURES();
  Capture shaaes = kCaptures[2];
  Bytes request = LoadCapture(shaaes.file).at(2);
  V3Message m = WalkV3Message(request);
  EXPECT_EQ(ToHex(m.priv_params), "2657477bc3a6395c");
  EXPECT_EQ(m.boots, 1u);
  EXPECT_EQ(m.time, 29u);
  EXPECT_EQ(ToHex(Bytes(request.begin() + static_cast<ptrdiff_t>(m.auth_offset),
                        request.begin() + static_cast<ptrdiff_t>(m.auth_offset + 12))),
            "c68c7f2be0e340017ee29b61");
  EXPECT_EQ(ToHex(CheckCapturedMessage(shaaes.user, request)),
            "3030040e80001f88047472656e64746573740400a01c020414ccfde5020100020100300e300c06082b"
            "060102010106000500");

  Bytes sha256_response = LoadCapture("sha256aes.hex").at(3);
  V3Message m256 = WalkV3Message(sha256_response);
  Bytes key = LocalizedAuthKey(kSha256, "authpass123", kNetSnmpEngine);
  EXPECT_EQ(ToHex(ComputeDigest(kSha256, key, sha256_response, m256.auth_offset)),
            "6a42d5e048b054ca871d81658b2f38a87a65bf23fba003b0");

  const char* kGet =
      "304d040f80004fb8047079736e6d70706565720400a038020400{}020100020100302a300c06082b06010201"
      "0101000500300c06082b060102010103000500300c06082b060102010106000500";
  const char* kResponse =
      "3067040f80004fb8047079736e6d70706565720400a252020400{}0201000201003044301d06082b06010201"
      "01010004117079736e6d702074657374206167656e74300e06082b0601020101030043{}301306082b0601"
      "02010106000407746573746c6162";
  for (const Capture& c : {kCaptures[6], kCaptures[7]}) {
    SCOPED_TRACE(c.file);
    std::vector<Bytes> lines = LoadCapture(c.file);
    bool sha = c.user.auth == kSha;
    std::string id = sha ? "e3329a" : "a2d565";
    EXPECT_EQ(ToHex(CheckCapturedMessage(c.user, lines.at(2))),
              fmt::format(fmt::runtime(kGet), id));
    EXPECT_EQ(ToHex(CheckCapturedMessage(c.user, lines.at(3))),
              fmt::format(fmt::runtime(kResponse), id, sha ? "02245b" : "022570"));
  }
}

// pysnmp's full exchange: a first request with boots 0, the authenticated notInTimeWindows Report,
// the resend and the response, each digest verified and each encrypted PDU decrypted.
TEST(UsmCaptureTest, PysnmpExchangeWithTimeWindowReport) {
  SKIP_WITHOUT_FIXTURES();
  for (auto [file, capture] : {std::pair{"3des-sha-full.hex", kCaptures[6]},
                               std::pair{"3des-md5-full.hex", kCaptures[7]}}) {
    SCOPED_TRACE(file);
    std::vector<Bytes> lines = LoadCapture(file);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(WalkV3Message(lines[2]).boots, 0u);
    ScopedPduFields first = WalkScopedPdu(CheckCapturedMessage(capture.user, lines[2]));
    ScopedPduFields report = WalkScopedPdu(CheckCapturedMessage(capture.user, lines[3]));
    EXPECT_EQ(WalkV3Message(lines[3]).flags, 0x01);
    EXPECT_EQ(report.pdu_tag, 0xA8);
    ASSERT_EQ(report.oids.size(), 1u);
    EXPECT_EQ(report.oids[0], FromHex("2b060106030f01010200"));  // usmStatsNotInTimeWindows.0
    ScopedPduFields resend = WalkScopedPdu(CheckCapturedMessage(capture.user, lines[4]));
    ScopedPduFields response = WalkScopedPdu(CheckCapturedMessage(capture.user, lines[5]));
    EXPECT_EQ(resend.request_id, first.request_id);
    EXPECT_EQ(response.request_id, first.request_id);
    EXPECT_NE(WalkV3Message(lines[2]).priv_params, WalkV3Message(lines[4]).priv_params);
  }
}

// net-snmp's AES-256-C uses the Reeder extension, which is not one of our codes: its messages
// authenticate, but our AES-256 key (Blumenthal) must not decrypt them into a PDU. The Reeder
// key material is the same as the 3DES key's, and with it the message decrypts.
TEST(UsmCaptureTest, ReederAes256MessagesAreRefusedByBlumenthalKeys) {
  SKIP_WITHOUT_FIXTURES();
  Bytes message = LoadCapture("shaaes256c.hex").at(2);
  V3Message m = WalkV3Message(message);
  VerifyMessage(kSha, LocalizedAuthKey(kSha, "authpass123", kNetSnmpEngine), message, m.auth_offset,
                m.auth_length);
  Bytes blumenthal = LocalizedPrivKey(kSha, PrivProtocol::kAes256, "privpass123", kNetSnmpEngine);
  EXPECT_THAT(ErrorOf([&] {
                DecryptScopedPdu(PrivProtocol::kAes256, blumenthal, m.boots, m.time, m.priv_params,
                                 m.data);
              }),
              HasSubstr("decryption failure: the CFB128-AES-256 plaintext is not a scopedPDU"));
  Bytes reeder = LocalizedPrivKey(kSha, PrivProtocol::kTripleDes, "privpass123", kNetSnmpEngine);
  Bytes plain =
      DecryptScopedPdu(PrivProtocol::kAes256, reeder, m.boots, m.time, m.priv_params, m.data);
  EXPECT_EQ(WalkScopedPdu(plain).pdu_tag, 0xA0);
}

// --- Authentication -------------------------------------------------------------------------

TEST(UsmAuthTest, DigestLengthsFollowTheProtocol) {
  const size_t expected[] = {12, 12, 24, 48};
  const size_t key_lengths[] = {16, 20, 32, 64};
  Bytes message(200, 0x5A);
  for (size_t i = 0; i < 4; ++i) {
    AuthProtocol a = kAllAuth[i];
    EXPECT_EQ(DigestLength(a), expected[i]);
    EXPECT_EQ(AuthKeyLength(a), key_lengths[i]);
    Bytes key = LocalizedAuthKey(a, "authpass123", kNetSnmpEngine);
    EXPECT_EQ(key.size(), key_lengths[i]);
    Bytes digest = ComputeDigest(a, key, message, 40);
    EXPECT_EQ(digest.size(), expected[i]);
    // The content of the authentication field does not enter the digest.
    Bytes other = message;
    std::fill_n(other.begin() + 40, expected[i], 0x00);
    EXPECT_EQ(ComputeDigest(a, key, other, 40), digest);
    other[40 + expected[i]] ^= 1;  // the byte just after the field does
    EXPECT_NE(ComputeDigest(a, key, other, 40), digest);
    SignMessage(a, key, message, 40);
    EXPECT_NO_THROW(VerifyMessage(a, key, message, 40, expected[i]));
    EXPECT_THAT(ErrorOf([&] { ComputeDigest(a, key, message, 200 - expected[i] + 1); }),
                HasSubstr("lies outside the 200-byte message"));
  }
}

TEST(UsmAuthTest, EveryFlippedBitAndWrongPasswordFailVerification) {
  SKIP_WITHOUT_FIXTURES();
  Bytes message = LoadCapture("shaaes.hex").at(3);
  V3Message m = WalkV3Message(message);
  Bytes key = LocalizedAuthKey(kSha, "authpass123", kNetSnmpEngine);
  VerifyMessage(kSha, key, message, m.auth_offset, m.auth_length);
  for (size_t i = 0; i < message.size(); ++i) {
    Bytes bad = message;
    bad[i] ^= static_cast<uint8_t>(1u << (i % 8));
    EXPECT_EQ(ErrorOf([&] { VerifyMessage(kSha, key, bad, m.auth_offset, m.auth_length); }),
              "authentication failure: HMAC-SHA-96 digest mismatch")
        << "byte " << i;
  }
  Bytes wrong = LocalizedAuthKey(kSha, "authpass124", kNetSnmpEngine);
  EXPECT_EQ(ErrorOf([&] { VerifyMessage(kSha, wrong, message, m.auth_offset, m.auth_length); }),
            "authentication failure: HMAC-SHA-96 digest mismatch");
  EXPECT_EQ(ErrorOf([&] { VerifyMessage(kSha, key, message, m.auth_offset, 11); }),
            "authentication failure: msgAuthenticationParameters has 11 bytes, HMAC-SHA-96 "
            "needs 12");
  Bytes md5_key = LocalizedAuthKey(kMd5, "authpass123", kNetSnmpEngine);
  EXPECT_THAT(ErrorOf([&] { VerifyMessage(kSha, md5_key, message, m.auth_offset, 12); }),
              HasSubstr("HMAC-SHA-96 needs a 20-byte localized authentication key, got 16"));
}

// --- Privacy --------------------------------------------------------------------------------

// A SEQUENCE of n content bytes, as a scopedPDU looks to the cipher.
Bytes Sequence(size_t n) {
  Bytes out(n < 0x80 ? 2 : 4);
  out[0] = 0x30;
  if (n < 0x80) {
    out[1] = static_cast<uint8_t>(n);
  } else {
    out[1] = 0x82;
    out[2] = static_cast<uint8_t>(n >> 8);
    out[3] = static_cast<uint8_t>(n);
  }
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(i * 7 + 3));
  return out;
}

TEST(UsmPrivacyTest, RoundTripWithFreshSaltsForEveryProtocol) {
  SaltSource salts;
  for (PrivProtocol p : kAllPriv) {
    SCOPED_TRACE(PrivProtocolName(p));
    Bytes key = LocalizedPrivKey(kSha, p, "privpass123", kNetSnmpEngine);
    EXPECT_EQ(key.size(), PrivKeyLength(p));
    for (size_t n : {0u, 5u, 6u, 14u, 127u, 128u, 1000u}) {
      Bytes pdu = Sequence(n);
      EncryptedPdu first = EncryptScopedPdu(p, key, 7, 1234, pdu, salts);
      EncryptedPdu second = EncryptScopedPdu(p, key, 7, 1234, pdu, salts);
      EXPECT_EQ(first.priv_params.size(), kSaltLength);
      EXPECT_NE(first.priv_params, second.priv_params);
      EXPECT_NE(first.ciphertext, second.ciphertext);
      bool cbc = p == PrivProtocol::kDes || p == PrivProtocol::kTripleDes;
      EXPECT_EQ(first.ciphertext.size(), cbc ? (pdu.size() + 7) / 8 * 8 : pdu.size());
      if (cbc) {
        // The salt starts with the engine boots.
        EXPECT_EQ(ToHex(Bytes(first.priv_params.begin(), first.priv_params.begin() + 4)),
                  "00000007");
      }
      EXPECT_EQ(DecryptScopedPdu(p, key, 7, 1234, first.priv_params, first.ciphertext), pdu);
      EXPECT_EQ(DecryptScopedPdu(p, key, 7, 1234, second.priv_params, second.ciphertext), pdu);
    }
  }
}

TEST(UsmPrivacyTest, FillRandomGivesFreshBytesEveryCall) {
  std::array<uint8_t, 32> zero{}, a{}, b{};
  FillRandom(a.data(), a.size());
  FillRandom(b.data(), b.size());
  EXPECT_NE(a, zero);
  EXPECT_NE(a, b);
}

TEST(UsmPrivacyTest, SaltCountersAdvanceAndWrap) {
  SaltSource a;
  SaltSource b;
  EXPECT_NE(std::make_pair(a.NextCbc(), a.NextCfb()), std::make_pair(b.NextCbc(), b.NextCfb()));
  SaltSource fixed(0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull);
  Bytes key = LocalizedPrivKey(kSha, PrivProtocol::kDes, "privpass123", kNetSnmpEngine);
  EXPECT_EQ(ToHex(EncryptScopedPdu(PrivProtocol::kDes, key, 1, 0, Sequence(3), fixed).priv_params),
            "00000001ffffffff");
  EXPECT_EQ(ToHex(EncryptScopedPdu(PrivProtocol::kDes, key, 1, 0, Sequence(3), fixed).priv_params),
            "0000000100000000");
  Bytes aes = LocalizedPrivKey(kSha, PrivProtocol::kAes128, "privpass123", kNetSnmpEngine);
  EXPECT_EQ(
      ToHex(EncryptScopedPdu(PrivProtocol::kAes128, aes, 1, 0, Sequence(3), fixed).priv_params),
      "ffffffffffffffff");
  EXPECT_EQ(
      ToHex(EncryptScopedPdu(PrivProtocol::kAes128, aes, 1, 0, Sequence(3), fixed).priv_params),
      "0000000000000000");
}

TEST(UsmPrivacyTest, DecryptionFailuresNameTheProblem) {
  Bytes des = LocalizedPrivKey(kSha, PrivProtocol::kDes, "privpass123", kNetSnmpEngine);
  Bytes aes = LocalizedPrivKey(kSha, PrivProtocol::kAes128, "privpass123", kNetSnmpEngine);
  Bytes salt(8, 1);
  EXPECT_EQ(ErrorOf([&] { DecryptScopedPdu(PrivProtocol::kDes, des, 1, 2, salt, Bytes(13)); }),
            "decryption failure: ciphertext length 13 is not a multiple of 8 for CBC-DES");
  EXPECT_EQ(
      ErrorOf([&] { DecryptScopedPdu(PrivProtocol::kAes128, aes, 1, 2, Bytes(7), Bytes(9)); }),
      "decryption failure: msgPrivacyParameters has 7 bytes, CFB128-AES-128 needs 8");
  EXPECT_EQ(ErrorOf([&] { DecryptScopedPdu(PrivProtocol::kAes128, aes, 1, 2, salt, Bytes{}); }),
            "decryption failure: CFB128-AES-128: empty encryptedPDU");
  EXPECT_THAT(ErrorOf([&] { DecryptScopedPdu(PrivProtocol::kAes256, aes, 1, 2, salt, Bytes(9)); }),
              HasSubstr("CFB128-AES-256 needs a 32-byte privacy key, got 16 bytes"));

  // A wrong privacy password gives no scopedPDU.
  SaltSource salts(5, 5);
  for (PrivProtocol p : kAllPriv) {
    SCOPED_TRACE(PrivProtocolName(p));
    Bytes key = LocalizedPrivKey(kSha, p, "privpass123", kNetSnmpEngine);
    Bytes wrong = LocalizedPrivKey(kSha, p, "privpass124", kNetSnmpEngine);
    EncryptedPdu e = EncryptScopedPdu(p, key, 1, 100, Sequence(40), salts);
    EXPECT_THAT(ErrorOf([&] { DecryptScopedPdu(p, wrong, 1, 100, e.priv_params, e.ciphertext); }),
                HasSubstr("plaintext is not a scopedPDU (wrong privacy password or protocol?)"));
    // A truncated ciphertext leaves the SEQUENCE longer than the plaintext.
    Bytes cut(e.ciphertext.begin(), e.ciphertext.end() - 8);
    EXPECT_THAT(ErrorOf([&] { DecryptScopedPdu(p, key, 1, 100, e.priv_params, cut); }),
                HasSubstr("is not a scopedPDU"));
  }
}

// Whatever arrives as ciphertext and salt, decryption gives a whole SEQUENCE or an error, and
// never reads or returns bytes beyond the plaintext (the sanitizer build watches the reads).
TEST(UsmPrivacyTest, ArbitraryCiphertextGivesASequenceOrAnError) {
  uint32_t state = 12345;
  auto next = [&state] {
    return static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 16);
  };
  for (PrivProtocol p : kAllPriv) {
    Bytes key = LocalizedPrivKey(kMd5, p, "privpass123", kRfcEngine);
    int decrypted = 0;
    for (size_t n = 1; n <= 80; ++n) {
      for (int round = 0; round < 8; ++round) {
        Bytes salt(kSaltLength);
        Bytes cipher(n);
        for (uint8_t& b : salt) b = next();
        for (uint8_t& b : cipher) b = next();
        try {
          Bytes plain = DecryptScopedPdu(p, key, 1, 2, salt, cipher);
          ASSERT_GE(plain.size(), 2u);
          ASSERT_LE(plain.size(), n);
          EXPECT_EQ(plain[0], 0x30);
          ++decrypted;
        } catch (const RuntimeError& e) {
          EXPECT_THAT(e.description(), HasSubstr("decryption failure"));
        }
      }
    }
    // About one garbage plaintext in 256 starts with a SEQUENCE that fits; most are refused.
    EXPECT_LT(decrypted, 20) << PrivProtocolName(p);
  }
}

// Without OpenSSL's legacy provider CBC-DES says why, and every other protocol still works. Runs
// in a fresh process, since the providers are loaded once per process.
TEST(UsmPrivacyDeathTest, DesWithoutLegacyProviderSaysWhy) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("OPENSSL_MODULES", "/nonexistent/ossl-modules", 1);
        SaltSource salts;
        Bytes key = LocalizedPrivKey(kSha, PrivProtocol::kAes128, "privpass123", kRfcEngine);
        EncryptScopedPdu(PrivProtocol::kAes128, key, 1, 1, Sequence(10), salts);
        key = LocalizedPrivKey(kSha, PrivProtocol::kTripleDes, "privpass123", kRfcEngine);
        EncryptScopedPdu(PrivProtocol::kTripleDes, key, 1, 1, Sequence(10), salts);
        key = LocalizedPrivKey(kSha, PrivProtocol::kDes, "privpass123", kRfcEngine);
        try {
          EncryptScopedPdu(PrivProtocol::kDes, key, 1, 1, Sequence(10), salts);
        } catch (const RuntimeError& e) {
          fprintf(stderr, "%s\n", e.what());
          exit(3);
        }
        exit(0);
      },
      ::testing::ExitedWithCode(3),
      "CBC-DES needs OpenSSL's legacy provider, which could not be loaded \\(legacy.so from "
      "OPENSSL_MODULES /nonexistent/ossl-modules\\)");
}

}  // namespace
}  // namespace quorlan::usm
