#include "components/snmp/snmp_pdu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "components/platform/platform.h"

namespace quorlan::snmp {
namespace {

using ::testing::HasSubstr;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

Oid O(const std::string& text) {
  Oid oid;
  EXPECT_TRUE(ber::ParseOid(text, &oid)) << text;
  return oid;
}

// The SNMPv1 Trap-PDU that net-snmp's snmptrap sends for
// snmptrap -v 1 -c public ... 1.3.6.1.4.1.32473.1.19.5 127.0.0.1 6 2 100 ...5.1 i 42 ...5.2 s abc
const std::string kNetSnmpTrap =
    Bytes({0x30, 0x53, 0x02, 0x01, 0x00, 0x04, 0x06, 0x70, 0x75, 0x62, 0x6C, 0x69, 0x63, 0xA4, 0x46,
           0x06, 0x0B, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x01, 0x13, 0x05, 0x40, 0x04,
           0x7F, 0x00, 0x00, 0x01, 0x02, 0x01, 0x06, 0x02, 0x01, 0x02, 0x43, 0x01, 0x64, 0x30, 0x28,
           0x30, 0x11, 0x06, 0x0C, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x01, 0x13, 0x05,
           0x01, 0x02, 0x01, 0x2A, 0x30, 0x13, 0x06, 0x0C, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD,
           0x59, 0x01, 0x13, 0x05, 0x02, 0x04, 0x03, 0x61, 0x62, 0x63});

CommunityMessage ReferenceTrap() {
  CommunityMessage m;
  m.version = version::kV1;
  m.community = "public";
  m.pdu.type = PduType::kTrapV1;
  m.pdu.enterprise = O("1.3.6.1.4.1.32473.1.19.5");
  m.pdu.agent_address[0] = 127;
  m.pdu.agent_address[3] = 1;
  m.pdu.generic_trap = 6;
  m.pdu.specific_trap = 2;
  m.pdu.time_stamp = 100;
  m.pdu.varbinds = {
      {O("1.3.6.1.4.1.32473.1.19.5.1"), Value::Integer(42)},
      {O("1.3.6.1.4.1.32473.1.19.5.2"), Value::Bytes(ValueType::kOctetString, "abc")}};
  return m;
}

// A v2c GetResponse holding every value type.
CommunityMessage EveryType() {
  CommunityMessage m;
  m.version = version::kV2c;
  m.community = "public";
  m.pdu.type = PduType::kGetResponse;
  m.pdu.request_id = 1000001;
  const std::string p = "1.3.6.1.4.1.32473.2.";
  m.pdu.varbinds = {
      {O(p + "1.0"), Value::Integer(-17)},
      {O(p + "2.0"), Value::Bytes(ValueType::kOctetString, std::string("\0\x3f\xdd\0", 4))},
      {O(p + "3.0"), Value::Null()},
      {O(p + "4.0"), Value::ObjectId(O("2.999.4294967295"))},
      {O(p + "5.0"), Value::Bytes(ValueType::kIpAddress, Bytes({192, 0, 2, 7}))},
      {O(p + "6.0"), Value::Unsigned(ValueType::kCounter32, 4294967295u)},
      {O(p + "7.0"), Value::Unsigned(ValueType::kGauge32, 42)},
      {O(p + "8.0"), Value::Unsigned(ValueType::kTimeTicks, 123456)},
      {O(p + "9.0"), Value::Bytes(ValueType::kOpaque, Bytes({0x9f, 0x78, 0x04, 0, 0, 0, 0}))},
      {O(p + "10.0"), Value::Unsigned(ValueType::kCounter64, 18446744073709551615ull)},
      {O(p + "11.0"), Value::Null(ValueType::kNoSuchObject)},
      {O(p + "12.0"), Value::Null(ValueType::kNoSuchInstance)},
      {O(p + "13.0"), Value::Null(ValueType::kEndOfMibView)},
  };
  return m;
}

TEST(SnmpPduTest, EncodesTheTrapNetSnmpSendsByteForByte) {
  EXPECT_EQ(ber::HexDump(EncodeMessage(ReferenceTrap())), ber::HexDump(kNetSnmpTrap));
  CommunityMessage decoded;
  const DecodeStatus st = DecodeMessage(kNetSnmpTrap, &decoded);
  ASSERT_TRUE(st.ok()) << st.text;
  EXPECT_EQ(decoded, ReferenceTrap());
  EXPECT_EQ(ber::FormatOid(decoded.pdu.enterprise), "1.3.6.1.4.1.32473.1.19.5");
}

TEST(SnmpPduTest, EveryValueTypeRoundTripsAndReadsAsText) {
  const CommunityMessage m = EveryType();
  const std::string wire = EncodeMessage(m);
  CommunityMessage decoded;
  ASSERT_TRUE(DecodeMessage(wire, &decoded).ok());
  EXPECT_EQ(decoded, m);
  EXPECT_EQ(EncodeMessage(decoded), wire);
  std::vector<std::string> texts;
  for (const VarBind& vb : decoded.pdu.varbinds) texts.push_back(vb.value.ToText());
  EXPECT_EQ(texts, (std::vector<std::string>{"-17", std::string("\0\x3f\xdd\0", 4), "",
                                             "2.999.4294967295", "192.0.2.7", "4294967295", "42",
                                             "123456", "0", "18446744073709551615", "", "", ""}));
  for (size_t i = 0; i < decoded.pdu.varbinds.size(); ++i) {
    const bool absent = i == 2 || i >= 10;
    EXPECT_EQ(decoded.pdu.varbinds[i].value.IsAbsent(), absent) << i;
  }
}

// A well-framed value that is not standard is kept as a non-numeric value and the other objects
// of the answer stay usable; net-snmp's Opaque float and double read as numbers; a value whose
// framing is broken still refuses the message.
TEST(SnmpPduTest, OddValuesAreKeptAsNonNumbersAndOpaqueFloatsAreNumbers) {
  struct Case {
    std::string encoded;  // tag, length, contents
    std::string text;
    bool nonstandard;
  };
  const Case cases[] = {
      {Bytes({0x02, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}), "INTEGER: 00 FF FF FF FF", true},
      {Bytes({0x02, 0x00}), "INTEGER: (empty)", true},
      {Bytes({0x41, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}), "Counter32: 01 00 00 00 00", true},
      {Bytes({0x45, 0x02, 0x0A, 0x01}), "type 0x45: 0A 01", true},
      {Bytes({0x47, 0x01, 0x07}), "type 0x47: 07", true},
      {Bytes({0x40, 0x03, 10, 1, 2}), "IpAddress: 0A 01 02", true},
      {Bytes({0x05, 0x01, 0x00}), "NULL: 00", true},
      {Bytes({0x44, 0x07, 0x9F, 0x78, 0x04, 0x40, 0x20, 0x00, 0x00}), "2.5", false},
      {Bytes({0x44, 0x0B, 0x9F, 0x79, 0x08, 0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18}),
       "3.141592653589793", false},
      {Bytes({0x44, 0x07, 0x9F, 0x78, 0x04, 0x7F, 0xC0, 0x00, 0x00}), "NaN", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ber::HexDump(c.encoded));
    CommunityMessage m = EveryType();
    m.pdu.varbinds.resize(1);
    std::string wire = EncodeMessage(m);
    // Replace the first value (INTEGER -17: 02 01 EF) and fix the three enclosing lengths.
    const size_t at = wire.find(Bytes({0x02, 0x01, 0xEF}));
    wire.replace(at, 3, c.encoded);
    const int grow = static_cast<int>(c.encoded.size()) - 3;
    for (size_t len_at : {size_t{1}, wire.find(static_cast<char>(0xA2)) + 1,
                          wire.find(static_cast<char>(0x30), 20) + 1, at - 14}) {
      wire[len_at] = static_cast<char>(static_cast<uint8_t>(wire[len_at]) + grow);
    }
    CommunityMessage out;
    const DecodeStatus st = DecodeMessage(wire, &out);
    ASSERT_TRUE(st.ok()) << st.text;
    const Value& v = out.pdu.varbinds[0].value;
    EXPECT_EQ(v.nonstandard, c.nonstandard);
    EXPECT_FALSE(v.IsAbsent());
    EXPECT_EQ(v.ToText(), c.text);
    EXPECT_EQ(IsNumeric(v.ToText()), !c.nonstandard && c.text != "NaN");
    EXPECT_EQ(EncodeMessage(out), wire) << "kept as it came";
    // Cut framing is refused as before.
    wire[at + 1] = static_cast<char>(c.encoded.size());
    EXPECT_EQ(DecodeMessage(wire, &out).code, ber::code::kTruncated);
  }
}

// Datagrams captured from net-snmp's tools and snmpd (the fuzzer's seeds): every SNMPv1 and
// SNMPv2c one decodes, and re-encodes to the very same bytes.
TEST(SnmpPduTest, DatagramsOfNetSnmpDecodeAndReencodeIdentically) {
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(QUORLAN_SOURCE_DIR) +
                                                               "/fuzz/corpus/snmp_message")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string wire = bytes.str();
    CommunityMessage m;
    const DecodeStatus st = DecodeMessage(wire, &m);
    if (PeekVersion(wire) == version::kV3) {
      EXPECT_EQ(st.code, ber::code::kBadVersion);
      continue;
    }
    ASSERT_TRUE(st.ok()) << entry.path() << ": " << st.text;
    EXPECT_EQ(ber::HexDump(EncodeMessage(m)), ber::HexDump(wire)) << entry.path();
    ++checked;
  }
  EXPECT_GE(checked, 20);
}

TEST(SnmpPduTest, IntegersUseTheShortestTwosComplementForm) {
  struct Case {
    int64_t value;
    std::string hex;
  };
  for (const Case& c : std::vector<Case>{{0, "02 01 00"},
                                         {127, "02 01 7F"},
                                         {128, "02 02 00 80"},
                                         {-128, "02 01 80"},
                                         {-129, "02 02 FF 7F"},
                                         {2147483647, "02 04 7F FF FF FF"},
                                         {-2147483648LL, "02 04 80 00 00 00"}}) {
    ber::Writer w;
    w.WriteSigned(ber::kInteger, c.value);
    EXPECT_EQ(ber::HexDump(w.data()), c.hex) << c.value;
    ber::Reader r(w.data());
    EXPECT_EQ(r.ReadInt32("x"), c.value);
  }
  ber::Writer w;
  w.WriteUnsigned(0x41, 4294967295u);
  w.WriteUnsigned(0x46, 18446744073709551615ull);
  EXPECT_EQ(ber::HexDump(w.data()), "41 05 00 FF FF FF FF 46 09 00 FF FF FF FF FF FF FF FF");
}

TEST(SnmpPduTest, LenientIntegerFormsOfRealAgentsAreAccepted) {
  // A Counter32 sent as a negative 4-byte number and an INTEGER with a redundant leading zero.
  EXPECT_EQ(ber::DecodeUnsigned(Bytes({0xFF, 0xFF, 0xFF, 0xFA}), 32, "c"), 4294967290u);
  EXPECT_EQ(ber::DecodeSigned(Bytes({0x00, 0x00, 0x05}), 4, "i"), 5);
  EXPECT_THROW(ber::DecodeSigned(Bytes({0x01, 0, 0, 0, 0}), 4, "i"), ber::DecodeError);
  EXPECT_THROW(ber::DecodeUnsigned(Bytes({0x01, 0, 0, 0, 0}), 32, "c"), ber::DecodeError);
}

TEST(SnmpPduTest, OidTextIsCheckedAndFormatted) {
  Oid oid;
  ASSERT_TRUE(ber::ParseOid(".1.3.6.1.2.1.1.3.0", &oid));
  EXPECT_EQ(ber::FormatOid(oid), "1.3.6.1.2.1.1.3.0");
  for (const char* bad : {"", "1", "1.", "1..3", "3.1", "1.40", "1.3.x", "1.3.4294967296", " 1.3",
                          "1.3.-1", "+1.3"}) {
    EXPECT_FALSE(ber::ParseOid(bad, &oid)) << bad;
  }
  EXPECT_EQ(ber::FormatOid(ber::DecodeOid(Bytes({0x2B, 0x06, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), "o")),
            "1.3.6.4294967295");
  EXPECT_THROW(ber::DecodeOid(Bytes({0x2B, 0x06, 0x90, 0x80, 0x80, 0x80, 0x00}), "o"),
               ber::DecodeError);
  EXPECT_THROW(ber::DecodeOid(Bytes({0x2B, 0x80, 0x01}), "o"), ber::DecodeError);
  EXPECT_THROW(ber::DecodeOid(Bytes({0x2B, 0x86}), "o"), ber::DecodeError);
}

TEST(SnmpPduTest, EveryDecodableOidReadsBackFromItsText) {
  // Under the first arc 2 the second arc takes the whole 32-bit range: an OID value that the
  // decoder accepts must convert back from its text (the fuzzer found the gap once).
  Oid big;
  ASSERT_TRUE(ber::ParseOid("2.4294967295", &big));
  ber::Writer w;
  w.WriteOid(big);
  ber::Reader r(w.data());
  EXPECT_EQ(r.ReadOid("o"), big);
  const snmp::Value v = snmp::Value::ObjectId(big);
  EXPECT_EQ(snmp::ValueFromText(6, v.ToText()), v);
}

TEST(SnmpPduTest, ValuesFromTextUseTheServiceConversions) {
  EXPECT_EQ(ValueFromText(2, " 42 ").integer, 42);
  EXPECT_EQ(ValueFromText(2, "2.5").integer, 2);
  EXPECT_EQ(ValueFromText(67, "123456").number, 123456u);
  EXPECT_EQ(ValueFromText(0x46, "18446744073709551615").number, 18446744073709551615ull);
  EXPECT_EQ(ValueFromText(6, ".1.3.6.1.4.1.32473.1").ToText(), "1.3.6.1.4.1.32473.1");
  EXPECT_EQ(ValueFromText(0x40, "10.1.2.3").ToText(), "10.1.2.3");
  EXPECT_EQ(ValueFromText(4, "any text").bytes, "any text");
  auto number = [](int type, const char* text) {
    try {
      ValueFromText(type, text);
    } catch (const RuntimeError& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(number(2, "abc"), err::kTypeMismatch);
  EXPECT_EQ(number(2, "2147483648"), err::kOverflow);
  EXPECT_EQ(number(67, "-1"), err::kOverflow);
  EXPECT_EQ(number(0x41, "4294967296"), err::kOverflow);
  EXPECT_EQ(number(0x46, "18446744073709551616"), err::kTypeMismatch);
  EXPECT_EQ(number(6, "1.3.x"), err::kTypeMismatch);
  EXPECT_EQ(number(0x40, "300.1.1.1"), err::kTypeMismatch);
  EXPECT_EQ(number(99, "1"), err::kComponent);
}

TEST(SnmpPduTest, AMalformedVarbindIsNamedWithItsPositionAndField) {
  CommunityMessage m = EveryType();
  m.pdu.varbinds.resize(3);
  m.pdu.varbinds[2] = {O("1.3.6.1.4.1.32473.2.0"), Value::Null()};  // 06 0A <10 bytes> 05 00
  std::string wire = EncodeMessage(m);
  const size_t oid_len = wire.rfind(Bytes({0x06, 0x0A, 0x2B})) + 1;
  wire[oid_len] = static_cast<char>(100);
  CommunityMessage out;
  const DecodeStatus st = DecodeMessage(wire, &out);
  EXPECT_EQ(st.code, ber::code::kTruncated);
  EXPECT_EQ(st.text, "GetResponse: varbind 3: OID length 100 exceeds 12 remaining bytes");
}

TEST(SnmpPduTest, RefusesWhatIsNotAnSnmpV1OrV2cMessage) {
  auto code_of = [](const std::string& wire) {
    CommunityMessage out;
    return DecodeMessage(wire, &out).code;
  };
  CommunityMessage m = EveryType();
  EXPECT_EQ(code_of(EncodeMessage(m) + "x"), ber::code::kTrailingData);
  m.version = version::kV1;  // Counter64 and exceptions are SNMPv2 only
  EXPECT_EQ(code_of(EncodeMessage(m)), ber::code::kBadValue);
  m.version = 3;
  EXPECT_EQ(code_of(EncodeMessage(m)), ber::code::kBadVersion);
  m = ReferenceTrap();
  m.version = version::kV2c;
  EXPECT_EQ(code_of(EncodeMessage(m)), ber::code::kBadPduType);
  EXPECT_EQ(code_of(Bytes({0x30, 0x80, 0x02, 0x01, 0x00, 0x00, 0x00})), ber::code::kBadLength);
  EXPECT_EQ(code_of(Bytes({0x30, 0x85, 0, 0, 0, 0, 1})), ber::code::kBadLength);
  EXPECT_EQ(code_of(""), ber::code::kTruncated);
  EXPECT_EQ(code_of(Bytes({0x30, 0x03, 0x02, 0x01, 0x00})), ber::code::kTruncated);
  std::string bad_pdu = EncodeMessage(EveryType());
  bad_pdu[bad_pdu.find(static_cast<char>(0xA2))] = static_cast<char>(0xAF);
  EXPECT_EQ(code_of(bad_pdu), ber::code::kBadPduType);
  EXPECT_EQ(PeekVersion(EncodeMessage(m)), version::kV2c);
  EXPECT_EQ(PeekVersion("junk"), std::nullopt);
}

TEST(SnmpPduTest, EveryStrictPrefixOfAMessageIsRefused) {
  for (const std::string& wire : {kNetSnmpTrap, EncodeMessage(EveryType())}) {
    for (size_t n = 0; n < wire.size(); ++n) {
      CommunityMessage out;
      const DecodeStatus st = DecodeMessage(wire.substr(0, n), &out);
      EXPECT_EQ(st.code, ber::code::kTruncated) << n << " " << st.text;
      EXPECT_FALSE(st.text.empty());
    }
  }
}

// Whatever a damaged message decodes to must encode and decode to the same thing again; a
// refused one must say why. Under the sanitizers this also proves that no byte is read twice
// out of bounds.
void CheckDamaged(const std::string& wire) {
  CommunityMessage out;
  const DecodeStatus st = DecodeMessage(wire, &out);
  if (!st.ok()) {
    EXPECT_FALSE(st.text.empty());
    return;
  }
  CommunityMessage again;
  ASSERT_TRUE(DecodeMessage(EncodeMessage(out), &again).ok()) << ber::HexDump(wire);
  EXPECT_EQ(again, out) << ber::HexDump(wire);
}

TEST(SnmpPduTest, EveryOneByteCorruptionIsRefusedOrDecodesConsistently) {
  for (const std::string& wire : {kNetSnmpTrap, EncodeMessage(EveryType())}) {
    for (size_t i = 0; i < wire.size(); ++i) {
      for (int v : {0x00, 0x01, 0x7F, 0x80, 0x81, 0x84, 0xFF}) {
        std::string damaged = wire;
        damaged[i] = static_cast<char>(v);
        CheckDamaged(damaged);
      }
    }
  }
}

TEST(SnmpPduTest, DeterministicBitFlipsNeverBreakTheDecoder) {
  const std::vector<std::string> seeds = {kNetSnmpTrap, EncodeMessage(EveryType())};
  std::mt19937 rng(20261208);
  int refused = 0;
  for (int n = 0; n < 20000; ++n) {
    std::string wire = seeds[n % seeds.size()];
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f)
      wire[rng() % wire.size()] ^= static_cast<char>(1 << (rng() % 8));
    if (rng() % 4 == 0) wire.resize(rng() % wire.size());
    CommunityMessage out;
    if (!DecodeMessage(wire, &out).ok()) ++refused;
    CheckDamaged(wire);
  }
  EXPECT_GT(refused, 1000);  // the damage did reach the checks
}

}  // namespace
}  // namespace quorlan::snmp
