// Reading captured SNMPv3 messages in tests: hex lines from a fixture file and a small BER walk
// that finds the fields the security model works on. Test-only: it trusts its input far more than
// a wire decoder may, and throws std::runtime_error naming the field when a capture is malformed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "components/snmp/usm.h"

namespace quorlan::testing {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(std::string_view hex);
std::string ToHex(std::span<const uint8_t> bytes);  // lower case, no separators
// Every non-empty line of the file decoded from hex; empty when the file cannot be read.
std::vector<Bytes> ReadHexLines(const std::string& path);

// The folder of the captured SNMPv3 exchanges (tests/fixtures/snmpv3).
std::string Snmpv3FixtureDir();

// The fields of one SNMPv3 message (RFC 3412 msgGlobalData, RFC 3414 UsmSecurityParameters).
struct V3Message {
  int64_t msg_id = 0;
  uint8_t flags = 0;
  Bytes engine_id;
  uint32_t boots = 0;
  uint32_t time = 0;
  std::string user;
  size_t auth_offset = 0;  // of msgAuthenticationParameters' content, from the message's start
  size_t auth_length = 0;
  Bytes priv_params;
  // The scopedPDU when the message is not encrypted, else the encryptedPDU's content.
  Bytes data;
};
V3Message WalkV3Message(std::span<const uint8_t> message);

// The parts of a scopedPDU a test compares.
struct ScopedPduFields {
  Bytes context_engine_id;
  uint8_t pdu_tag = 0;  // 0xA0 GetRequest, 0xA2 Response, 0xA8 Report, ...
  int64_t request_id = 0;
  int64_t error_status = 0;
  std::vector<Bytes> oids;    // each varbind's OID, content octets
  std::vector<Bytes> values;  // each varbind's value, content octets
};
ScopedPduFields WalkScopedPdu(std::span<const uint8_t> scoped_pdu);

// A user of a captured or live exchange; its passwords are authpass123 and privpass123.
struct CapturedUser {
  std::string name;
  usm::AuthProtocol auth;
  std::optional<usm::PrivProtocol> priv;  // none for authNoPriv
  Bytes engine_id;
};

// Checks one authenticated message of the user with our USM and returns its scopedPDU (decrypted
// if need be), recording gtest failures: the digest must verify and signing again must reproduce
// it; an encrypted message, encrypted again with its own salt, must give the captured ciphertext
// (every block that the sender's padding does not touch).
Bytes CheckCapturedMessage(const CapturedUser& user, std::span<const uint8_t> message);

}  // namespace quorlan::testing
