// VBScript values: their text forms and the en-US reading of text as a number.
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "components/script/internal.h"
#include "components/script/script.h"

namespace quorlan {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view t) {
  while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
  while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
  return t;
}

// "&O17": the octal digits as the decimal text of their 16- or 32-bit pattern.
std::optional<std::string> OctalToPlain(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '7') return std::nullopt;
    v = v * 8 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  const int64_t pattern = v > 0xFFFF ? static_cast<int32_t>(static_cast<uint32_t>(v))
                                     : static_cast<int16_t>(static_cast<uint16_t>(v));
  return std::to_string(pattern);
}

// The decimal body: digits with grouping commas, an optional fraction and exponent. Appends the
// plain form to out; false when the body is not exactly that.
bool AppendDecimalBody(std::string_view t, std::string* out) {
  size_t i = 0;
  bool digits = false;
  for (; i < t.size(); ++i) {
    if (IsDigit(t[i])) {
      out->push_back(t[i]);
      digits = true;
    } else if (!(t[i] == ',' && i > 0 && IsDigit(t[i - 1]) && i + 1 < t.size() &&
                 IsDigit(t[i + 1]))) {
      break;
    }
  }
  if (i < t.size() && t[i] == '.') {
    out->push_back('.');
    for (++i; i < t.size() && IsDigit(t[i]); ++i) {
      out->push_back(t[i]);
      digits = true;
    }
  }
  if (!digits) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E' || t[i] == 'd' || t[i] == 'D')) {
    out->push_back('E');
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) out->push_back(t[i++]);
    if (i == t.size() || !IsDigit(t[i])) return false;
    for (; i < t.size() && IsDigit(t[i]); ++i) out->push_back(t[i]);
  }
  return i == t.size();
}

// Reduces VBScript's en-US forms of a number to the plain form that values.h reads ("-1234.5E3",
// "&HFF"), or nothing when the text is not one of those forms. The range is not checked here.
std::optional<std::string> ToPlain(std::string_view text) {
  std::string_view t = TrimBlanks(text);
  if (t.size() >= 2 && t[0] == '&') {
    if (t[1] == 'H' || t[1] == 'h') return std::string(t);
    if (t[1] == 'O' || t[1] == 'o') return OctalToPlain(t.substr(2));
    return std::nullopt;
  }
  bool parenthesised = false;
  if (!t.empty() && t.front() == '(') {
    if (t.size() < 2 || t.back() != ')') return std::nullopt;
    t = t.substr(1, t.size() - 2);
    parenthesised = true;
  }
  char sign = 0;
  bool currency = false;
  for (bool more = true; more && !t.empty();) {
    more = false;
    if ((t.front() == '+' || t.front() == '-') && sign == 0 && !parenthesised) {
      sign = t.front();
      more = true;
    } else if (t.front() == '$' && !currency) {
      currency = true;
      more = true;
    }
    if (more) t.remove_prefix(1);
  }
  if (!t.empty() && (t.back() == '+' || t.back() == '-') && sign == 0 && !parenthesised) {
    sign = t.back();
    t.remove_suffix(1);
  }
  std::string plain = sign == '-' || parenthesised ? "-" : "";
  if (!AppendDecimalBody(t, &plain)) return std::nullopt;
  return plain;
}

// The digits and decimal exponent of v rounded to `precision` significant digits (or, with
// precision 0, the shortest that reads back), trailing zeros removed: 1234.5 -> {"12345", 3}.
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

Decimal ToDecimal(double v, int precision, bool single) {
  char buf[64];
  std::to_chars_result r;
  if (single) {
    const float f = static_cast<float>(v);
    r = precision > 0
            ? std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific, precision - 1)
            : std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
  } else {
    r = precision > 0
            ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision - 1)
            : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  }
  std::string_view s(buf, static_cast<size_t>(r.ptr - buf));  // "-1.2345e+03"
  Decimal d;
  if (s.front() == '-') {
    d.negative = true;
    s.remove_prefix(1);
  }
  const size_t e = s.find('e');
  for (char c : s.substr(0, e)) {
    if (c != '.') d.digits.push_back(c);
  }
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  d.exponent = std::atoi(std::string(s.substr(e + 1)).c_str());
  return d;
}

// VBScript's text of a Double (precision 15) or Single (precision 7).
std::string FormatFloating(double v, int precision, bool single) {
  if (v == 0) return "0";
  const Decimal d = ToDecimal(v, precision, single);
  const int n = static_cast<int>(d.digits.size());
  std::string out = d.negative ? "-" : "";
  if (d.exponent < precision && n - 1 - d.exponent <= precision) {
    if (d.exponent >= 0) {
      const int whole = d.exponent + 1;
      out += d.digits.substr(0, static_cast<size_t>(std::min(n, whole)));
      if (n < whole) out.append(static_cast<size_t>(whole - n), '0');
      if (n > whole) out += "." + d.digits.substr(static_cast<size_t>(whole));
    } else {
      out += "0.";
      out.append(static_cast<size_t>(-d.exponent - 1), '0');
      out += d.digits;
    }
    return out;
  }
  out.push_back(d.digits[0]);
  if (n > 1) out += "." + d.digits.substr(1);
  return out + fmt::format("E{}{:02d}", d.exponent < 0 ? '-' : '+', std::abs(d.exponent));
}

}  // namespace

const char* VbTypeName(VbType type) {
  switch (type) {
    case VbType::kInteger:
      return "Integer";
    case VbType::kLong:
      return "Long";
    case VbType::kSingle:
      return "Single";
    case VbType::kDouble:
      return "Double";
    case VbType::kString:
      return "String";
    case VbType::kBoolean:
      return "Boolean";
  }
  return "?";
}

std::string VbFormat(const VbValue& value) {
  switch (value.type) {
    case VbType::kInteger:
    case VbType::kLong:
      return fmt::format("{}", static_cast<int32_t>(value.number));
    case VbType::kSingle:
      return FormatFloating(value.number, 7, true);
    case VbType::kDouble:
      return FormatFloating(value.number, 15, false);
    case VbType::kString:
      return value.text;
    case VbType::kBoolean:
      return FormatBool(value.number != 0);
  }
  return {};
}

bool VbIsNumeric(std::string_view text) {
  const std::optional<std::string> plain = ToPlain(text);
  return plain && IsNumeric(*plain);
}

double VbTextToDouble(std::string_view text) {
  const std::optional<std::string> plain = ToPlain(text);
  if (!plain) {
    throw RuntimeError(err::kTypeMismatch,
                       fmt::format("Type mismatch: \"{}\" is not a number", script::Echo(text)));
  }
  if (!IsNumeric(*plain) && (*plain)[0] == '&') {
    // Hexadecimal beyond 32 bits or with a stray character: name the text as it was written.
    throw RuntimeError(err::kTypeMismatch,
                       fmt::format("Type mismatch: \"{}\" is not a number", script::Echo(text)));
  }
  return TextToDouble(*plain);
}

double VbToDouble(const VbValue& value) {
  return value.type == VbType::kString ? VbTextToDouble(value.text) : value.number;
}

namespace script {

std::string Echo(std::string_view text) {
  constexpr size_t kShown = 40;
  std::string out;
  size_t i = 0;
  while (i < text.size() && i < kShown) {
    const size_t n = Utf8Length(text, i);
    for (size_t k = 0; k < n; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + k]);
      out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    i += n;
  }
  if (i < text.size()) out += "...";
  return out;
}

size_t Utf8Length(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const size_t n = c < 0x80                 ? 1
                   : c >= 0xC2 && c <= 0xDF ? 2
                   : c >= 0xE0 && c <= 0xEF ? 3
                   : c >= 0xF0 && c <= 0xF4 ? 4
                                            : 1;
  if (i + n > s.size()) return 1;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

size_t CharCount(std::string_view s) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); i += Utf8Length(s, i)) ++count;
  return count;
}

size_t ByteOffset(std::string_view s, size_t chars) {
  size_t i = 0;
  for (; i < s.size() && chars > 0; --chars) i += Utf8Length(s, i);
  return i;
}

double RoundHalfEven(double v, int places, bool single) {
  if (v == 0 || !std::isfinite(v)) return v;
  const Decimal d = ToDecimal(v, 0, single);
  const int n = static_cast<int>(d.digits.size());
  if (n - 1 - d.exponent <= places) return v;  // no digit beyond the place
  const int keep = d.exponent + 1 + places;    // digits kept, the last at 10^-places
  std::string kept = keep > 0 ? d.digits.substr(0, static_cast<size_t>(keep)) : "";
  bool up = false;
  if (keep >= 0) {
    const char next = d.digits[static_cast<size_t>(keep)];
    const bool rest =
        d.digits.find_first_not_of('0', static_cast<size_t>(keep) + 1) != std::string::npos;
    const bool odd = !kept.empty() && (kept.back() - '0') % 2 == 1;
    up = next > '5' || (next == '5' && (rest || odd));
  }
  if (kept.empty()) kept = "0";
  if (up) {
    size_t k = kept.size();
    while (k > 0 && kept[k - 1] == '9') kept[--k] = '0';
    if (k == 0) {
      kept.insert(kept.begin(), '1');
    } else {
      ++kept[k - 1];
    }
  }
  const std::string text = fmt::format("{}{}e{}", d.negative ? "-" : "", kept, -places);
  if (single) {
    float f = 0;
    std::from_chars(text.data(), text.data() + text.size(), f);
    return f;
  }
  double r = 0;
  std::from_chars(text.data(), text.data() + text.size(), r);
  return r;
}

}  // namespace script
}  // namespace quorlan
