#include "components/snmp/ber.h"

#include <fmt/format.h>

#include <charconv>

namespace quorlan::ber {
namespace {

// Number of octets of the shortest two's-complement form of value.
int SignedLength(int64_t value) {
  int n = 1;
  while (n < 8) {
    const int64_t min = -(int64_t{1} << (8 * n - 1));
    const int64_t max = (int64_t{1} << (8 * n - 1)) - 1;
    if (value >= min && value <= max) break;
    ++n;
  }
  return n;
}

void AppendBase128(std::string& out, uint64_t value) {
  char buf[10];
  int n = 0;
  do {
    buf[n++] = static_cast<char>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (n > 1) out.push_back(static_cast<char>(buf[--n] | 0x80));
  out.push_back(buf[0]);
}

[[noreturn]] void Fail(int code, std::string text) { throw DecodeError(code, std::move(text)); }

}  // namespace

// ---- Writer

void Writer::WriteHeader(uint8_t tag, size_t length) {
  out_.push_back(static_cast<char>(tag));
  if (length < 0x80) {
    out_.push_back(static_cast<char>(length));
    return;
  }
  int n = 0;
  for (size_t l = length; l != 0; l >>= 8) ++n;
  out_.push_back(static_cast<char>(0x80 | n));
  for (int i = n - 1; i >= 0; --i) out_.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
}

size_t Writer::Begin(uint8_t tag) {
  out_.push_back(static_cast<char>(tag));
  return out_.size();
}

void Writer::End(size_t mark) {
  const size_t length = out_.size() - mark;
  std::string header;
  if (length < 0x80) {
    header.push_back(static_cast<char>(length));
  } else {
    int n = 0;
    for (size_t l = length; l != 0; l >>= 8) ++n;
    header.push_back(static_cast<char>(0x80 | n));
    for (int i = n - 1; i >= 0; --i)
      header.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
  }
  out_.insert(mark, header);
}

void Writer::WriteSigned(uint8_t tag, int64_t value) {
  const int n = SignedLength(value);
  WriteHeader(tag, n);
  for (int i = n - 1; i >= 0; --i) {
    out_.push_back(static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF));
  }
}

void Writer::WriteUnsigned(uint8_t tag, uint64_t value) {
  int n = 1;
  while (n < 8 && (value >> (8 * n)) != 0) ++n;
  const bool pad = ((value >> (8 * (n - 1))) & 0x80) != 0;  // keep the value positive
  WriteHeader(tag, n + (pad ? 1 : 0));
  if (pad) out_.push_back('\0');
  for (int i = n - 1; i >= 0; --i) out_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void Writer::WriteBytes(uint8_t tag, std::string_view bytes) {
  WriteHeader(tag, bytes.size());
  out_.append(bytes);
}

void Writer::WriteNull(uint8_t tag) { WriteHeader(tag, 0); }

void Writer::WriteOid(const Oid& oid) {
  std::string body;
  AppendBase128(body, uint64_t{oid[0]} * 40 + oid[1]);
  for (size_t i = 2; i < oid.size(); ++i) AppendBase128(body, oid[i]);
  WriteBytes(kObjectId, body);
}

// ---- Reader

Element Reader::Read(const char* field) {
  if (AtEnd()) Fail(code::kTruncated, fmt::format("{} missing at end of data", field));
  const uint8_t tag = PeekTag();
  if ((tag & 0x1F) == 0x1F) {
    Fail(code::kBadTag, fmt::format("{}: multi-octet tag 0x{:02X} not supported", field, tag));
  }
  size_t p = pos_ + 1;
  if (p >= data_.size()) Fail(code::kTruncated, fmt::format("{} length missing", field));
  const uint8_t first = static_cast<uint8_t>(data_[p++]);
  size_t length = first;
  if (first == 0x80) Fail(code::kBadLength, fmt::format("{}: indefinite length", field));
  if (first > 0x80) {
    const int n = first & 0x7F;
    if (n > 4) Fail(code::kBadLength, fmt::format("{}: length of {} octets", field, n));
    if (data_.size() - p < static_cast<size_t>(n)) {
      Fail(code::kTruncated, fmt::format("{} length octets missing", field));
    }
    length = 0;
    for (int i = 0; i < n; ++i) length = (length << 8) | static_cast<uint8_t>(data_[p++]);
  }
  const size_t remaining = data_.size() - p;
  if (length > remaining) {
    Fail(code::kTruncated,
         fmt::format("{} length {} exceeds {} remaining bytes", field, length, remaining));
  }
  pos_ = p + length;
  return Element{tag, data_.substr(p, length)};
}

Element Reader::Expect(uint8_t tag, const char* field) {
  if (!AtEnd() && PeekTag() != tag) {
    Fail(code::kBadTag,
         fmt::format("{}: expected tag 0x{:02X}, found 0x{:02X}", field, tag, PeekTag()));
  }
  return Read(field);
}

int32_t Reader::ReadInt32(const char* field) {
  return static_cast<int32_t>(DecodeSigned(Expect(kInteger, field).contents, 4, field));
}

Oid Reader::ReadOid(const char* field) {
  return DecodeOid(Expect(kObjectId, field).contents, field);
}

void Reader::ExpectEnd(const char* what) const {
  if (!AtEnd())
    Fail(code::kTrailingData, fmt::format("{} followed by {} extra bytes", what, Remaining()));
}

// ---- Contents

int64_t DecodeSigned(std::string_view contents, int max_bytes, const char* field) {
  if (contents.empty()) Fail(code::kBadValue, fmt::format("{}: empty integer", field));
  // Redundant leading octets (0x00 before a positive, 0xFF before a negative octet) are allowed.
  size_t skip = 0;
  while (contents.size() - skip > 1) {
    const uint8_t a = static_cast<uint8_t>(contents[skip]);
    const uint8_t b = static_cast<uint8_t>(contents[skip + 1]);
    if (!((a == 0x00 && b < 0x80) || (a == 0xFF && b >= 0x80))) break;
    ++skip;
  }
  const std::string_view v = contents.substr(skip);
  if (v.size() > static_cast<size_t>(max_bytes)) {
    Fail(code::kBadValue,
         fmt::format("{}: integer of {} octets exceeds {}", field, v.size(), max_bytes));
  }
  uint64_t x = static_cast<uint8_t>(v[0]) >= 0x80 ? ~uint64_t{0} : 0;
  for (char c : v) x = (x << 8) | static_cast<uint8_t>(c);
  return static_cast<int64_t>(x);
}

uint64_t DecodeUnsigned(std::string_view contents, int bits, const char* field) {
  if (contents.empty()) Fail(code::kBadValue, fmt::format("{}: empty integer", field));
  const bool negative = static_cast<uint8_t>(contents[0]) >= 0x80;
  size_t skip = 0;
  while (contents.size() - skip > 1 && contents[skip] == (negative ? '\xFF' : '\0')) ++skip;
  const std::string_view v = contents.substr(skip);
  const size_t max_bytes = static_cast<size_t>(bits / 8);
  if (v.size() > max_bytes) {
    Fail(code::kBadValue,
         fmt::format("{}: value of {} octets exceeds {} bits", field, v.size(), bits));
  }
  uint64_t x = negative ? ~uint64_t{0} : 0;
  for (char c : v) x = (x << 8) | static_cast<uint8_t>(c);
  return bits == 64 ? x : (x & ((uint64_t{1} << bits) - 1));
}

Oid DecodeOid(std::string_view contents, const char* field) {
  if (contents.empty()) Fail(code::kBadValue, fmt::format("{}: empty object identifier", field));
  Oid oid;
  oid.reserve(contents.size() + 1);
  uint64_t sub = 0;
  int octets = 0;
  for (char ch : contents) {
    const uint8_t c = static_cast<uint8_t>(ch);
    if (octets == 0 && c == 0x80) {
      Fail(code::kBadValue,
           fmt::format("{}: sub-identifier {} has a leading 0x80 octet", field, oid.size() + 1));
    }
    sub = (sub << 7) | (c & 0x7F);
    if (++octets > 5 || sub > 0xFFFFFFFFull + 80) {
      Fail(code::kBadValue,
           fmt::format("{}: sub-identifier {} exceeds 32 bits", field, oid.size() + 1));
    }
    if (c & 0x80) continue;
    if (oid.empty()) {
      const uint32_t first = sub < 40 ? 0 : sub < 80 ? 1 : 2;
      oid.push_back(first);
      oid.push_back(static_cast<uint32_t>(sub - first * 40));
      if (sub - first * 40 > 0xFFFFFFFFull) {
        Fail(code::kBadValue, fmt::format("{}: sub-identifier 2 exceeds 32 bits", field));
      }
    } else {
      if (sub > 0xFFFFFFFFull) {
        Fail(code::kBadValue,
             fmt::format("{}: sub-identifier {} exceeds 32 bits", field, oid.size() + 1));
      }
      oid.push_back(static_cast<uint32_t>(sub));
    }
    sub = 0;
    octets = 0;
  }
  if (octets != 0) Fail(code::kBadValue, fmt::format("{}: last sub-identifier unfinished", field));
  return oid;
}

bool ParseOid(std::string_view text, Oid* out) {
  if (!text.empty() && text.front() == '.') text.remove_prefix(1);
  Oid oid;
  while (!text.empty()) {
    uint32_t arc = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), arc);
    if (ec != std::errc() || p == text.data()) return false;
    oid.push_back(arc);
    text.remove_prefix(static_cast<size_t>(p - text.data()));
    if (text.empty()) break;
    if (text.front() != '.' || text.size() == 1) return false;
    text.remove_prefix(1);
  }
  if (oid.size() < 2 || oid[0] > 2 || (oid[0] < 2 && oid[1] >= 40)) return false;
  *out = std::move(oid);
  return true;
}

std::string FormatOid(const Oid& oid) {
  std::string s;
  s.reserve(oid.size() * 4);
  for (size_t i = 0; i < oid.size(); ++i) {
    if (i) s.push_back('.');
    fmt::format_to(std::back_inserter(s), "{}", oid[i]);
  }
  return s;
}

std::string HexDump(std::string_view bytes) {
  std::string s;
  s.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) s.push_back(' ');
    fmt::format_to(std::back_inserter(s), "{:02X}", static_cast<uint8_t>(bytes[i]));
  }
  return s;
}

}  // namespace quorlan::ber
