#include "components/snmp/usm.h"

#include <fmt/format.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/provider.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <memory>
#include <random>

#include "components/platform/platform.h"

static_assert(OPENSSL_VERSION_MAJOR >= 3, "the USM cryptography is written for OpenSSL 3");

namespace quorlan::usm {
namespace {

// RFC 3414 A.2.1: the password is repeated to this many bytes before hashing.
constexpr size_t kExpandedPasswordLength = 1048576;
// Past this many cached keys the cache starts afresh (profiles x engines is far below it).
constexpr size_t kMaxCachedKeys = 4096;

[[noreturn]] void Fail(const std::string& description) {
  throw RuntimeError(err::kComponent, description);
}

// The reasons OpenSSL queued for its last failure, with their details (a module's file name and
// the loader's message), and the error queue emptied.
std::string OpenSslReason() {
  std::string reasons;
  const char* data = nullptr;
  int flags = 0;
  while (unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    const char* reason = ERR_reason_error_string(code);
    std::string text = reason != nullptr ? reason : fmt::format("error {:#x}", code);
    if (data != nullptr && *data != '\0' && (flags & ERR_TXT_STRING) != 0) {
      text += fmt::format(" ({})", data);
    }
    if (reasons.find(text) == std::string::npos) reasons += (reasons.empty() ? "" : "; ") + text;
  }
  return reasons.empty() ? "no reason given" : reasons;
}

struct AuthInfo {
  std::string_view name;
  const char* digest;  // OpenSSL's name of the hash
  size_t key_length;
  size_t digest_length;
};

constexpr std::array<AuthInfo, 4> kAuth = {{
    {"HMAC-MD5-96", "MD5", 16, 12},
    {"HMAC-SHA-96", "SHA1", 20, 12},
    {"HMAC-192-SHA-256", "SHA2-256", 32, 24},
    {"HMAC-384-SHA-512", "SHA2-512", 64, 48},
}};

struct PrivInfo {
  std::string_view name;
  const char* cipher;  // OpenSSL's name of the cipher
  size_t material;     // key material derived from the password
  size_t cipher_key;   // bytes of it that key the cipher; a CBC protocol's pre-IV follows them
  bool cbc;
};

constexpr std::array<PrivInfo, 5> kPriv = {{
    {"CBC-DES", "DES-CBC", 16, 8, true},
    {"CFB128-AES-128", "AES-128-CFB", 16, 16, false},
    {"3DES-EDE", "DES-EDE3-CBC", 32, 24, true},
    {"CFB128-AES-192", "AES-192-CFB", 24, 24, false},
    {"CFB128-AES-256", "AES-256-CFB", 32, 32, false},
}};

const AuthInfo& Info(AuthProtocol p) { return kAuth.at(static_cast<size_t>(p) - 1); }
const PrivInfo& Info(PrivProtocol p) { return kPriv.at(static_cast<size_t>(p) - 1); }

// The algorithms fetched once per process. They and the contexts made from them are never freed:
// OpenSSL tears its providers down at exit, and the handles stay reachable through the static
// pointer until then.
struct Algorithms {
  std::array<EVP_MD*, kAuth.size()> digests{};
  std::array<EVP_CIPHER*, kPriv.size()> ciphers{};
  EVP_MAC* hmac = nullptr;
  // An HMAC context per authentication protocol with its digest set and no key: a message's
  // context is a copy of it, so the digest is not looked up by name for every message.
  std::array<EVP_MAC_CTX*, kAuth.size()> hmac_of{};
  std::string legacy_failure;  // why the legacy provider (CBC-DES) is missing; empty when loaded
};

// Where OpenSSL looks for provider modules such as legacy.so.
std::string ModulesDir() {
  const char* env = getenv("OPENSSL_MODULES");
  if (env != nullptr) return fmt::format("OPENSSL_MODULES {}", env);
  std::string text = OpenSSL_version(OPENSSL_MODULES_DIR);  // MODULESDIR: "/usr/lib/..."
  size_t open = text.find('"');
  size_t close = text.rfind('"');
  return open < close ? text.substr(open + 1, close - open - 1) : text;
}

Algorithms* LoadAlgorithms() {
  auto* a = new Algorithms;
  // Loading one provider explicitly stops the default provider from loading by itself, so both
  // are loaded; single DES exists only in the legacy provider.
  OSSL_PROVIDER_load(nullptr, "default");
  if (OSSL_PROVIDER_load(nullptr, "legacy") == nullptr) {
    a->legacy_failure = fmt::format(
        "CBC-DES needs OpenSSL's legacy provider, which could not be loaded (legacy.so from {}): "
        "{}",
        ModulesDir(), OpenSslReason());
  }
  for (size_t i = 0; i < kAuth.size(); ++i) {
    a->digests[i] = EVP_MD_fetch(nullptr, kAuth[i].digest, nullptr);
  }
  for (size_t i = 0; i < kPriv.size(); ++i) {
    a->ciphers[i] = EVP_CIPHER_fetch(nullptr, kPriv[i].cipher, nullptr);
  }
  a->hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  for (size_t i = 0; a->hmac != nullptr && i < kAuth.size(); ++i) {
    std::string digest_name = kAuth[i].digest;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name.data(), 0),
        OSSL_PARAM_construct_end()};
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(a->hmac);
    if (ctx != nullptr && EVP_MAC_CTX_set_params(ctx, params) != 1) {
      EVP_MAC_CTX_free(ctx);
      ctx = nullptr;
    }
    a->hmac_of[i] = ctx;
  }
  ERR_clear_error();
  return a;
}

const Algorithms& Algo() {
  static const Algorithms* const algorithms = LoadAlgorithms();  // thread-safe initialisation
  return *algorithms;
}

const EVP_MD* Digest(AuthProtocol p) {
  const EVP_MD* md = Algo().digests.at(static_cast<size_t>(p) - 1);
  if (md == nullptr)
    Fail(fmt::format("{} unavailable: OpenSSL has no {}", Info(p).name, Info(p).digest));
  return md;
}

const EVP_CIPHER* Cipher(PrivProtocol p) {
  const EVP_CIPHER* cipher = Algo().ciphers.at(static_cast<size_t>(p) - 1);
  if (cipher == nullptr && p == PrivProtocol::kDes && !Algo().legacy_failure.empty()) {
    Fail(Algo().legacy_failure);
  }
  if (cipher == nullptr) {
    Fail(fmt::format("{} unavailable: OpenSSL has no {}", Info(p).name, Info(p).cipher));
  }
  return cipher;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// Hashes the concatenation of parts with the protocol's hash.
Bytes Hash(AuthProtocol p, std::initializer_list<ByteView> parts) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex2(ctx.get(), Digest(p), nullptr) == 1;
  for (ByteView part : parts) ok = ok && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) == 1;
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(ctx.get(), out.data(), &length) == 1;
  if (!ok) Fail(fmt::format("{}: hashing failed: {}", Info(p).name, OpenSslReason()));
  out.resize(length);
  return out;
}

// Ku without the length rule: the password (or, for the Reeder extension, a key) repeated to
// 1 MiB and hashed. REQUIRES: password not empty.
Bytes HashRepeated(AuthProtocol p, ByteView password) {
  // A block of whole repetitions; feeding it again and again continues the repetition.
  Bytes block;
  while (block.size() < 4096) block.insert(block.end(), password.begin(), password.end());
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex2(ctx.get(), Digest(p), nullptr) == 1;
  for (size_t left = kExpandedPasswordLength; ok && left > 0;) {
    size_t n = std::min(left, block.size());
    ok = EVP_DigestUpdate(ctx.get(), block.data(), n) == 1;
    left -= n;
  }
  OPENSSL_cleanse(block.data(), block.size());
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(ctx.get(), out.data(), &length) == 1;
  if (!ok) Fail(fmt::format("{}: password hashing failed: {}", Info(p).name, OpenSslReason()));
  out.resize(length);
  return out;
}

Bytes HashPassword(AuthProtocol p, std::string_view password, std::string_view what) {
  if (password.size() < kMinPasswordLength) {
    Fail(fmt::format("{} of {} characters is too short: SNMPv3 needs at least {}", what,
                     password.size(), kMinPasswordLength));
  }
  return HashRepeated(p, AsBytes(password));
}

// The privacy key material from the localized privacy key: cut to size, or extended first.
// Counts the 1 MiB hashes of the Reeder extension in *password_hashes.
Bytes ExtendPrivKey(AuthProtocol a, PrivProtocol p, Bytes kul, ByteView engine_id,
                    int* password_hashes) {
  const size_t need = Info(p).material;
  Bytes key = kul;
  while (key.size() < need) {
    if (p == PrivProtocol::kTripleDes) {
      // Reeder: the previous localized key serves as the next password.
      kul = LocalizeKey(a, HashRepeated(a, kul), engine_id);
      ++*password_hashes;
      key.insert(key.end(), kul.begin(), kul.end());
    } else {
      // Blumenthal: K = K || H(K).
      Bytes more = Hash(a, {key});
      key.insert(key.end(), more.begin(), more.end());
    }
  }
  key.resize(need);
  return key;
}

void CheckKey(std::string_view protocol, std::string_view kind, ByteView key, size_t want) {
  if (key.size() != want) {
    Fail(fmt::format("{} needs a {}-byte {} key, got {} bytes", protocol, want, kind, key.size()));
  }
}

void PutBe32(uint32_t v, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The length of the BER SEQUENCE at the start of data, header included; 0 when data does not
// start with a SEQUENCE whose length fits inside it.
size_t SequenceLength(ByteView data) {
  if (data.size() < 2 || data[0] != 0x30) return 0;
  size_t header = 2;
  size_t length = data[1];
  if (length >= 0x80) {
    size_t octets = length & 0x7f;
    if (octets == 0 || octets > 4 || data.size() < 2 + octets) return 0;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | data[2 + i];
    header += octets;
  }
  return length <= data.size() - header ? header + length : 0;
}

// The IV of a message: CBC protocols XOR the pre-IV (after the cipher key) with the salt; AES
// takes boots, time and salt.
std::array<uint8_t, 16> MakeIv(PrivProtocol p, ByteView priv_key, uint32_t boots, uint32_t time,
                               ByteView salt) {
  std::array<uint8_t, 16> iv{};
  if (Info(p).cbc) {
    for (size_t i = 0; i < kSaltLength; ++i) iv[i] = priv_key[Info(p).cipher_key + i] ^ salt[i];
  } else {
    PutBe32(boots, iv.data());
    PutBe32(time, iv.data() + 4);
    std::copy(salt.begin(), salt.end(), iv.begin() + 8);
  }
  return iv;
}

Bytes RunCipher(PrivProtocol p, ByteView priv_key, const std::array<uint8_t, 16>& iv,
                ByteView input, bool encrypt) {
  const char* action = encrypt ? "encryption" : "decryption";
  if (input.size() > INT_MAX / 2)
    Fail(fmt::format("{} failure: {} bytes is too long", action, input.size()));
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  Bytes out(input.size() + EVP_MAX_BLOCK_LENGTH);
  int n1 = 0;
  int n2 = 0;
  bool ok = ctx &&
            EVP_CipherInit_ex2(ctx.get(), Cipher(p), priv_key.data(), iv.data(), encrypt ? 1 : 0,
                               nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
            EVP_CipherUpdate(ctx.get(), out.data(), &n1, input.data(),
                             static_cast<int>(input.size())) == 1 &&
            EVP_CipherFinal_ex(ctx.get(), out.data() + n1, &n2) == 1;
  if (!ok) Fail(fmt::format("{} failure: {}: {}", action, Info(p).name, OpenSslReason()));
  out.resize(static_cast<size_t>(n1 + n2));
  if (out.size() != input.size()) {
    Fail(fmt::format("{} failure: {} gave {} bytes for {}", action, Info(p).name, out.size(),
                     input.size()));
  }
  return out;
}

}  // namespace

// --- Protocol codes -----------------------------------------------------------------------------

AuthProtocol AuthProtocolFromCode(int code) {
  if (code < 1 || code > static_cast<int>(kAuth.size())) {
    Fail(fmt::format("authentication protocol code {} is not supported (1 {}, 2 {}, 3 {}, 4 {})",
                     code, kAuth[0].name, kAuth[1].name, kAuth[2].name, kAuth[3].name));
  }
  return static_cast<AuthProtocol>(code);
}

PrivProtocol PrivProtocolFromCode(int code) {
  if (code < 1 || code > static_cast<int>(kPriv.size())) {
    Fail(fmt::format("privacy protocol code {} is not supported (1 {}, 2 {}, 3 {}, 4 {}, 5 {})",
                     code, kPriv[0].name, kPriv[1].name, kPriv[2].name, kPriv[3].name,
                     kPriv[4].name));
  }
  return static_cast<PrivProtocol>(code);
}

std::string_view AuthProtocolName(AuthProtocol p) { return Info(p).name; }
std::string_view PrivProtocolName(PrivProtocol p) { return Info(p).name; }
size_t DigestLength(AuthProtocol p) { return Info(p).digest_length; }
size_t AuthKeyLength(AuthProtocol p) { return Info(p).key_length; }
size_t PrivKeyLength(PrivProtocol p) { return Info(p).material; }

// --- Keys ---------------------------------------------------------------------------------------

Bytes PasswordToKey(AuthProtocol p, std::string_view password) {
  return HashPassword(p, password, "password");
}

Bytes LocalizeKey(AuthProtocol p, ByteView ku, ByteView engine_id) {
  if (engine_id.empty()) {
    Fail(
        fmt::format("cannot localize the {} key: the engine id is empty (the remote engine has "
                    "not been discovered)",
                    Info(p).name));
  }
  CheckKey(Info(p).name, "master", ku, Info(p).key_length);
  return Hash(p, {ku, engine_id, ku});
}

Bytes LocalizedAuthKey(AuthProtocol p, std::string_view password, ByteView engine_id) {
  return LocalizeKey(p, HashPassword(p, password, "authentication password"), engine_id);
}

Bytes LocalizedPrivKey(AuthProtocol auth, PrivProtocol priv, std::string_view password,
                       ByteView engine_id) {
  int hashes = 0;
  Bytes kul = LocalizeKey(auth, HashPassword(auth, password, "privacy password"), engine_id);
  return ExtendPrivKey(auth, priv, std::move(kul), engine_id, &hashes);
}

Bytes KeyCache::Ku(AuthProtocol p, std::string_view password, std::string_view what) {
  auto key = std::make_tuple(p, std::string(password));
  auto it = ku_.find(key);
  if (it != ku_.end()) return it->second;
  Bytes ku = HashPassword(p, password, what);
  ++password_hashes_;
  Bound();
  ku_.emplace(std::move(key), ku);
  return ku;
}

Bytes KeyCache::AuthKey(AuthProtocol p, std::string_view password, ByteView engine_id) {
  std::string engine(engine_id.begin(), engine_id.end());
  auto key = std::make_tuple(0, p, std::string(password), engine);
  auto it = keys_.find(key);
  if (it != keys_.end()) return it->second;
  Bytes kul = LocalizeKey(p, Ku(p, password, "authentication password"), engine_id);
  Bound();
  keys_.emplace(std::move(key), kul);
  return kul;
}

Bytes KeyCache::PrivKey(AuthProtocol auth, PrivProtocol priv, std::string_view password,
                        ByteView engine_id) {
  std::string engine(engine_id.begin(), engine_id.end());
  auto key = std::make_tuple(static_cast<int>(priv), auth, std::string(password), engine);
  auto it = keys_.find(key);
  if (it != keys_.end()) return it->second;
  Bytes kul = LocalizeKey(auth, Ku(auth, password, "privacy password"), engine_id);
  Bytes material = ExtendPrivKey(auth, priv, std::move(kul), engine_id, &password_hashes_);
  Bound();
  keys_.emplace(std::move(key), material);
  return material;
}

void KeyCache::Bound() {
  if (ku_.size() + keys_.size() >= kMaxCachedKeys) Clear();
}

void KeyCache::Clear() {
  ku_.clear();
  keys_.clear();
}

// --- Authentication -----------------------------------------------------------------------------

Bytes ComputeDigest(AuthProtocol p, ByteView auth_key, ByteView message, size_t auth_offset) {
  const AuthInfo& info = Info(p);
  CheckKey(info.name, "localized authentication", auth_key, info.key_length);
  if (auth_offset > message.size() || message.size() - auth_offset < info.digest_length) {
    Fail(
        fmt::format("{}: msgAuthenticationParameters at offset {} ({} bytes) lies outside the "
                    "{}-byte message",
                    info.name, auth_offset, info.digest_length, message.size()));
  }
  const std::array<uint8_t, 64> zeros{};
  const EVP_MAC_CTX* keyless = Algo().hmac_of.at(static_cast<size_t>(p) - 1);
  if (keyless == nullptr) {
    Fail(fmt::format("{} unavailable: OpenSSL has no HMAC with {}", info.name, info.digest));
  }
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_dup(keyless));
  const size_t after = auth_offset + info.digest_length;
  Bytes out(EVP_MAX_MD_SIZE);
  size_t length = 0;
  bool ok = ctx && EVP_MAC_init(ctx.get(), auth_key.data(), auth_key.size(), nullptr) == 1 &&
            EVP_MAC_update(ctx.get(), message.data(), auth_offset) == 1 &&
            EVP_MAC_update(ctx.get(), zeros.data(), info.digest_length) == 1 &&
            EVP_MAC_update(ctx.get(), message.data() + after, message.size() - after) == 1 &&
            EVP_MAC_final(ctx.get(), out.data(), &length, out.size()) == 1;
  if (!ok || length < info.digest_length) {
    Fail(fmt::format("{}: HMAC failed: {}", info.name, OpenSslReason()));
  }
  out.resize(info.digest_length);
  return out;
}

void SignMessage(AuthProtocol p, ByteView auth_key, std::span<uint8_t> message,
                 size_t auth_offset) {
  Bytes digest = ComputeDigest(p, auth_key, message, auth_offset);
  std::copy(digest.begin(), digest.end(), message.begin() + static_cast<ptrdiff_t>(auth_offset));
}

void VerifyMessage(AuthProtocol p, ByteView auth_key, ByteView message, size_t auth_offset,
                   size_t auth_length) {
  const AuthInfo& info = Info(p);
  if (auth_length != info.digest_length) {
    Fail(
        fmt::format("authentication failure: msgAuthenticationParameters has {} bytes, {} "
                    "needs {}",
                    auth_length, info.name, info.digest_length));
  }
  Bytes digest = ComputeDigest(p, auth_key, message, auth_offset);
  if (CRYPTO_memcmp(digest.data(), message.data() + auth_offset, digest.size()) != 0) {
    Fail(fmt::format("authentication failure: {} digest mismatch", info.name));
  }
}

// --- Privacy ------------------------------------------------------------------------------------

void FillRandom(uint8_t* out, size_t size) {
  // The kernel's generator, not OpenSSL's: a process that never polls with SNMPv3 then never
  // initialises OpenSSL, whose start alone makes several MiB of its library resident.
  if (getrandom(out, size, 0) == static_cast<ssize_t>(size)) return;
  std::random_device device;
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(device());
}

SaltSource::SaltSource() {
  std::array<uint8_t, 12> seed{};
  FillRandom(seed.data(), seed.size());
  cbc_ = 0;
  cfb_ = 0;
  for (size_t i = 0; i < 4; ++i) cbc_ = (cbc_ << 8) | seed[i];
  for (size_t i = 4; i < 12; ++i) cfb_ = (cfb_ << 8) | seed[i];
}

EncryptedPdu EncryptScopedPdu(PrivProtocol p, ByteView priv_key, uint32_t boots, uint32_t time,
                              ByteView scoped_pdu, SaltSource& salts) {
  const PrivInfo& info = Info(p);
  CheckKey(info.name, "privacy", priv_key, info.material);
  if (scoped_pdu.empty()) Fail(fmt::format("encryption failure: {}: empty scopedPDU", info.name));
  EncryptedPdu out;
  out.priv_params.resize(kSaltLength);
  Bytes plain(scoped_pdu.begin(), scoped_pdu.end());
  if (info.cbc) {
    PutBe32(boots, out.priv_params.data());
    PutBe32(salts.NextCbc(), out.priv_params.data() + 4);
    plain.resize((plain.size() + 7) / 8 * 8, 0);  // padding content does not matter
  } else {
    uint64_t salt = salts.NextCfb();
    PutBe32(static_cast<uint32_t>(salt >> 32), out.priv_params.data());
    PutBe32(static_cast<uint32_t>(salt), out.priv_params.data() + 4);
  }
  auto iv = MakeIv(p, priv_key, boots, time, out.priv_params);
  out.ciphertext = RunCipher(p, priv_key.first(info.cipher_key), iv, plain, true);
  return out;
}

Bytes DecryptScopedPdu(PrivProtocol p, ByteView priv_key, uint32_t boots, uint32_t time,
                       ByteView priv_params, ByteView ciphertext) {
  const PrivInfo& info = Info(p);
  CheckKey(info.name, "privacy", priv_key, info.material);
  if (priv_params.size() != kSaltLength) {
    Fail(fmt::format("decryption failure: msgPrivacyParameters has {} bytes, {} needs {}",
                     priv_params.size(), info.name, kSaltLength));
  }
  if (ciphertext.empty())
    Fail(fmt::format("decryption failure: {}: empty encryptedPDU", info.name));
  if (info.cbc && ciphertext.size() % 8 != 0) {
    Fail(fmt::format("decryption failure: ciphertext length {} is not a multiple of 8 for {}",
                     ciphertext.size(), info.name));
  }
  auto iv = MakeIv(p, priv_key, boots, time, priv_params);
  Bytes plain = RunCipher(p, priv_key.first(info.cipher_key), iv, ciphertext, false);
  size_t length = SequenceLength(plain);
  if (length == 0) {
    Fail(
        fmt::format("decryption failure: the {} plaintext is not a scopedPDU (wrong privacy "
                    "password or protocol?)",
                    info.name));
  }
  plain.resize(length);
  return plain;
}

}  // namespace quorlan::usm
