// The cryptography of SNMPv3's User-based Security Model (RFC 3414, RFC 3826, RFC 7860).
//
// What this offers to the SNMPv3 message processing:
//  - the protocol codes the program stores in its security profiles and passes through unchanged
//    (AuthProtocol 1 to 4, PrivProtocol 1 to 5), their names and sizes;
//  - password to key, key localisation and the privacy-key extensions, and KeyCache, which keeps
//    derived keys because each derivation hashes 1 MiB of repeated password;
//  - the truncated HMAC over a whole serialized message (SignMessage, VerifyMessage);
//  - encryption and decryption of a scopedPDU with the salt carried in msgPrivacyParameters
//    (EncryptScopedPdu, DecryptScopedPdu); the salt counters live in a SaltSource.
//
// Protocol codes:
//   AuthProtocol 1 HMAC-MD5-96, 2 HMAC-SHA-96, 3 HMAC-192-SHA-256, 4 HMAC-384-SHA-512.
//   PrivProtocol 1 CBC-DES, 2 CFB128-AES-128, 3 3DES-EDE (CBC, Reeder key extension),
//                4 CFB128-AES-192 and 5 CFB128-AES-256 (Blumenthal key extension, as net-snmp's
//                "AES-192" and "AES-256").
// The privacy password is always hashed with the user's authentication hash.
//
// Every primitive comes from OpenSSL's libcrypto. CBC-DES lives in OpenSSL 3's legacy provider; the
// default and legacy providers are loaded once per process, thread-safely, on first use of any
// function here. Without the legacy provider every protocol but CBC-DES still works, and CBC-DES
// fails with an error that says so.
//
// Errors: every function that can fail throws quorlan::RuntimeError with number err::kComponent and
// a description an operator can act on; it names the protocol and what failed, e.g.
// "authentication failure: HMAC-SHA-96 digest mismatch". Callers that report a message add the
// user and the peer's address in front.
//
// Buffers: input spans are only read during the call and may be released afterwards; every result
// is returned by value and owned by the caller. Key buffers hold secrets: callers should not log
// them.
//
// Threads: the free functions may run on any thread. KeyCache and SaltSource are plain objects
// owned by one manager and are not synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace quorlan::usm {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// The bytes of a text that holds one octet per character (an engine id as the program keeps it).
inline ByteView AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

enum class AuthProtocol : int16_t {
  kHmacMd5 = 1,        // HMAC-MD5-96 (RFC 3414)
  kHmacSha = 2,        // HMAC-SHA-96 (RFC 3414)
  kHmac192Sha256 = 3,  // usmHMAC192SHA256AuthProtocol (RFC 7860)
  kHmac384Sha512 = 4,  // usmHMAC384SHA512AuthProtocol (RFC 7860)
};

enum class PrivProtocol : int16_t {
  kDes = 1,        // CBC-DES (RFC 3414)
  kAes128 = 2,     // CFB128-AES-128 (RFC 3826)
  kTripleDes = 3,  // 3DES-EDE in outer CBC mode (draft-reeder-snmpv3-usm-3desede)
  kAes192 = 4,     // CFB128-AES-192, Blumenthal key extension
  kAes256 = 5,     // CFB128-AES-256, Blumenthal key extension
};

// The code as stored in a security profile to the protocol. Throws when the code is outside 1-4
// (1-5), naming the code and the valid ones.
AuthProtocol AuthProtocolFromCode(int code);
PrivProtocol PrivProtocolFromCode(int code);

// "HMAC-MD5-96", "HMAC-SHA-96", "HMAC-192-SHA-256", "HMAC-384-SHA-512".
std::string_view AuthProtocolName(AuthProtocol protocol);
// "CBC-DES", "CFB128-AES-128", "3DES-EDE", "CFB128-AES-192", "CFB128-AES-256".
std::string_view PrivProtocolName(PrivProtocol protocol);

// Size of msgAuthenticationParameters, the truncated HMAC: 12, 12, 24, 48.
size_t DigestLength(AuthProtocol protocol);
// Size of the hash, and so of Ku and of the localized authentication key: 16, 20, 32, 64.
size_t AuthKeyLength(AuthProtocol protocol);
// Size of the privacy key material: 16 (DES key and pre-IV), 16, 32 (3DES key and pre-IV), 24, 32.
size_t PrivKeyLength(PrivProtocol protocol);

// Size of msgPrivacyParameters (the salt) for every privacy protocol.
constexpr size_t kSaltLength = 8;
// Shorter passwords are refused, as other SNMPv3 implementations refuse them.
constexpr size_t kMinPasswordLength = 8;

// --- Keys ---------------------------------------------------------------------------------------

// Ku: the hash of the password repeated to 1 MiB (RFC 3414 A.2.1). Throws when the password is
// shorter than kMinPasswordLength.
Bytes PasswordToKey(AuthProtocol protocol, std::string_view password);
// Kul = H(Ku || engineID || Ku) (RFC 3414 A.2.2). Throws when the engine id is empty (the engine
// has not been discovered) or ku is not AuthKeyLength(protocol) bytes.
Bytes LocalizeKey(AuthProtocol protocol, ByteView ku, ByteView engine_id);
// PasswordToKey then LocalizeKey.
Bytes LocalizedAuthKey(AuthProtocol protocol, std::string_view password, ByteView engine_id);
// The privacy key material of PrivKeyLength(priv) bytes: the localized key of the privacy password
// under the authentication hash, cut to size (DES, AES-128, and any protocol whose hash is long
// enough) or first extended: 3DES by the Reeder method (Kul || localize(PasswordToKey(Kul)) ...),
// AES-192/256 by the Blumenthal method (K || H(K) ...). Throws as PasswordToKey and LocalizeKey.
Bytes LocalizedPrivKey(AuthProtocol auth, PrivProtocol priv, std::string_view password,
                       ByteView engine_id);

// Derived keys of (protocols, password, engine id), kept for the life of the cache so that a user
// polled every minute costs one derivation, not one per request. Ku is kept per (hash, password),
// so a user on many engines hashes the password once. The cache holds the passwords it was given;
// it is bounded and starts afresh when it grows past a few thousand entries.
class KeyCache {
 public:
  // As LocalizedAuthKey and LocalizedPrivKey; throw the same errors and cache nothing on error.
  Bytes AuthKey(AuthProtocol protocol, std::string_view password, ByteView engine_id);
  Bytes PrivKey(AuthProtocol auth, PrivProtocol priv, std::string_view password,
                ByteView engine_id);

  // How many 1 MiB password hashes this cache has run (the cost it saves).
  int password_hashes() const { return password_hashes_; }
  // Forgets every key (for instance when the security profiles were reloaded).
  void Clear();

 private:
  Bytes Ku(AuthProtocol protocol, std::string_view password, std::string_view what);
  void Bound();

  // (hash, password) -> Ku
  std::map<std::tuple<AuthProtocol, std::string>, Bytes> ku_;
  // (priv code or 0 for the authentication key, hash, password, engine id) -> key
  std::map<std::tuple<int, AuthProtocol, std::string, std::string>, Bytes> keys_;
  int password_hashes_ = 0;
};

// --- Authentication -----------------------------------------------------------------------------

// The truncated HMAC (DigestLength bytes) of a whole serialized message, keyed with the localized
// authentication key, computed as if the DigestLength bytes of msgAuthenticationParameters at
// auth_offset were zero (their actual content is ignored).
// Throws when the key is not AuthKeyLength bytes or the field does not lie inside the message.
Bytes ComputeDigest(AuthProtocol protocol, ByteView auth_key, ByteView message, size_t auth_offset);

// Writes the digest of the message into its msgAuthenticationParameters field, DigestLength bytes
// at auth_offset, whatever those bytes held before. Throws as ComputeDigest.
void SignMessage(AuthProtocol protocol, ByteView auth_key, std::span<uint8_t> message,
                 size_t auth_offset);

// Checks a received message's msgAuthenticationParameters (auth_length bytes at auth_offset) in
// constant time. Throws "authentication failure: <protocol> digest mismatch" when it does not
// match, and a failure naming the sizes when auth_length is not DigestLength.
void VerifyMessage(AuthProtocol protocol, ByteView auth_key, ByteView message, size_t auth_offset,
                   size_t auth_length);

// --- Privacy ------------------------------------------------------------------------------------

// Fills out with size random bytes from the kernel (getrandom), or from std::random_device when
// that fails.
void FillRandom(uint8_t* out, size_t size);

// The local counters behind msgPrivacyParameters. Every call gives the next value, so no two
// messages of one SaltSource share a salt (until a counter wraps: 2^32 CBC messages per boot of
// the remote engine, 2^64 CFB messages).
class SaltSource {
 public:
  // Both counters start from random values (FillRandom), so salts differ between processes.
  SaltSource();
  // Fixed starting values, for reproducible messages in tests.
  SaltSource(uint32_t cbc_start, uint64_t cfb_start) : cbc_(cbc_start), cfb_(cfb_start) {}

  // For CBC-DES and 3DES-EDE: the low half of the salt (the high half is the engine boots).
  uint32_t NextCbc() { return cbc_++; }
  // For the AES protocols: the whole 64-bit salt.
  uint64_t NextCfb() { return cfb_++; }

 private:
  uint32_t cbc_;
  uint64_t cfb_;
};

struct EncryptedPdu {
  Bytes ciphertext;   // the encryptedPDU OCTET STRING's content
  Bytes priv_params;  // msgPrivacyParameters: the kSaltLength-byte salt
};

// Encrypts a serialized scopedPDU for a message that carries boots and time as its
// msgAuthoritativeEngineBoots/Time. CBC-DES: key = priv_key[0:8], IV = priv_key[8:16] XOR salt,
// salt = boots || NextCbc(). 3DES-EDE: key = priv_key[0:24], IV = priv_key[24:32] XOR salt, same
// salt. AES: key = priv_key, IV = boots || time || salt, salt = NextCfb(). The CBC protocols pad
// with zero bytes to a multiple of 8 (receivers ignore what follows the scopedPDU's length).
// For the CBC protocols boots only fills the salt's high half, which receivers take as it comes;
// the message's boots serves (net-snmp puts its own engine's boots there).
// Throws when priv_key is not PrivKeyLength(protocol) bytes, the scopedPDU is empty, or the cipher
// is unavailable (CBC-DES without OpenSSL's legacy provider).
EncryptedPdu EncryptScopedPdu(PrivProtocol protocol, ByteView priv_key, uint32_t boots,
                              uint32_t time, ByteView scoped_pdu, SaltSource& salts);

// Decrypts an encryptedPDU with the salt (priv_params) and the boots and time carried in the same
// message. Returns the scopedPDU alone: the plaintext is cut after the outer SEQUENCE's BER length,
// so CBC padding never reaches the caller. Throws "decryption failure: ..." when the salt is not
// kSaltLength bytes, the ciphertext is empty, a CBC one is not a multiple of 8, the plaintext does
// not start with a SEQUENCE that fits it (the usual sign of a wrong privacy password or protocol),
// or the cipher is unavailable. The SEQUENCE's content is not checked: that is the decoder's work.
Bytes DecryptScopedPdu(PrivProtocol protocol, ByteView priv_key, uint32_t boots, uint32_t time,
                       ByteView priv_params, ByteView ciphertext);

}  // namespace quorlan::usm
