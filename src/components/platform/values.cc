#include "components/platform/values.h"

#include <fmt/format.h>
#include <sys/random.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace quorlan {
namespace {

[[noreturn]] void Mismatch(std::string_view text) {
  throw RuntimeError(err::kTypeMismatch,
                     fmt::format("Type mismatch: {} is not a number", QuotedExcerpt(text)));
}

[[noreturn]] void Overflow(double value, const char* type) {
  throw RuntimeError(err::kOverflow, fmt::format("Overflow: {} does not fit {}", value, type));
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimView(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Parses "&H..." hexadecimal text (up to 32 bits, read as a signed 32-bit pattern).
bool ParseHex(std::string_view t, double* out) {
  if (t.size() < 3 || t[0] != '&' || (t[1] != 'H' && t[1] != 'h')) return false;
  uint64_t v = 0;
  auto [p, ec] = std::from_chars(t.data() + 2, t.data() + t.size(), v, 16);
  if (ec != std::errc() || p != t.data() + t.size() || v > 0xFFFFFFFFu) return false;
  *out = v > 0xFFFF ? static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(v)))
                    : static_cast<double>(static_cast<int16_t>(static_cast<uint16_t>(v)));
  return true;
}

bool ParseNumber(std::string_view text, double* out) {
  std::string_view t = TrimView(text);
  if (t.empty()) return false;
  if (ParseHex(t, out)) return true;
  bool negative = false;
  if (t.front() == '+' || t.front() == '-') {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  // from_chars accepts "inf" and "nan"; a number here starts with a digit or a point.
  if (t.empty() || !(std::isdigit(static_cast<unsigned char>(t.front())) || t.front() == '.')) {
    return false;
  }
  double v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (p != t.data() + t.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    v = std::numeric_limits<double>::infinity();
  } else if (ec != std::errc()) {
    return false;
  }
  *out = negative ? -v : v;
  return true;
}

double ParseOrThrow(std::string_view text) {
  double v;
  if (!ParseNumber(text, &v)) Mismatch(text);
  return v;
}

// Rounds to the nearest whole number, halves to even, and checks the range.
template <typename T>
T RoundChecked(double value, const char* type) {
  if (!std::isfinite(value)) Overflow(value, type);
  const double r = std::nearbyint(value);  // the default rounding mode rounds halves to even
  if (r < static_cast<double>(std::numeric_limits<T>::min()) ||
      r > static_cast<double>(std::numeric_limits<T>::max())) {
    Overflow(value, type);
  }
  return static_cast<T>(r);
}

}  // namespace

int16_t ToInt16(double value) { return RoundChecked<int16_t>(value, "a 16-bit integer"); }
int32_t ToInt32(double value) { return RoundChecked<int32_t>(value, "a 32-bit integer"); }

int16_t MulInt16(int32_t a, int32_t b) {
  const int64_t p = static_cast<int64_t>(a) * b;
  if (p < std::numeric_limits<int16_t>::min() || p > std::numeric_limits<int16_t>::max()) {
    throw RuntimeError(err::kOverflow,
                       fmt::format("Overflow: {} * {} does not fit a 16-bit integer", a, b));
  }
  return static_cast<int16_t>(p);
}

int16_t TextToInt16(std::string_view text) { return ToInt16(ParseOrThrow(text)); }
int32_t TextToInt32(std::string_view text) { return ToInt32(ParseOrThrow(text)); }

double TextToDouble(std::string_view text) {
  const double v = ParseOrThrow(text);
  if (!std::isfinite(v)) Overflow(v, "a double-precision number");
  return v;
}

float TextToSingle(std::string_view text) {
  const double v = ParseOrThrow(text);
  if (!std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max()) {
    Overflow(v, "a single-precision number");
  }
  return static_cast<float>(v);
}

bool TextToBool(std::string_view text) {
  const std::string_view t = TrimView(text);
  if (EqualsNoCase(t, "True")) return true;
  if (EqualsNoCase(t, "False")) return false;
  double v;
  if (!ParseNumber(t, &v)) {
    throw RuntimeError(
        err::kTypeMismatch,
        fmt::format("Type mismatch: {} is not True, False or a number", QuotedExcerpt(text)));
  }
  return v != 0;
}

bool IsNumeric(std::string_view text) {
  double v;
  return ParseNumber(text, &v) && std::isfinite(v);
}

int64_t RoundHalfAway(double value) { return static_cast<int64_t>(std::llround(value)); }

std::string FormatWholeNumber(double value) {
  const double r = std::round(value);  // halves away from zero
  if (r == 0) return "0";
  return fmt::format("{:.0f}", r);
}

const char* FormatBool(bool value) { return value ? "True" : "False"; }

std::string FormatSinglePrecision(float value) {
  if (value == 0) return "0";
  const float magnitude = std::fabs(value);
  char buf[64];
  if (magnitude >= 1e-5f && magnitude < 1e15f) {
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
  }
  // Exponent form: the shortest round-trip mantissa, "E", sign and at least two exponent digits.
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string s(buf, res.ptr);
  const size_t e = s.find('e');
  const std::string mantissa = s.substr(0, e);
  const int exponent = std::stoi(s.substr(e + 1));
  return fmt::format("{}E{}{:02d}", mantissa, exponent < 0 ? '-' : '+', std::abs(exponent));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::string QuotedExcerpt(std::string_view text) {
  if (text.size() <= kQuotedBytes) return fmt::format("\"{}\"", text);
  size_t cut = kQuotedBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return fmt::format("\"{}...\" ({} bytes)", text.substr(0, cut), text.size());
}

std::string RandomToken(size_t length) {
  static constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string out;
  while (out.size() < length) {
    unsigned char bytes[64];
    const ssize_t n = getrandom(bytes, sizeof bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw RuntimeError(err::kComponent, fmt::format("getrandom: {}", std::strerror(errno)));
    }
    // 252 = 7 x 36: bytes above it are dropped, so that every character is equally likely.
    for (ssize_t i = 0; i < n && out.size() < length; ++i) {
      if (bytes[i] < 252) out += kAlphabet[bytes[i] % kAlphabet.size()];
    }
  }
  return out;
}

}  // namespace quorlan
