// Run-time errors and the value conversions that every part of the service relies on.
//
// Procedures catch RuntimeError at their end and report its description as an application event;
// the conversions below are the one place where text becomes a number or a flag, so that every
// reader of the configuration file, the database and SNMP values converts the same way.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorlan {

// Error numbers, kept compatible with the numbers operators know from the service's event logs.
namespace err {
constexpr int kOverflow = 6;
constexpr int kSubscriptOutOfRange = 9;
constexpr int kTypeMismatch = 13;
constexpr int kFileNotFound = 53;
constexpr int kFileAlreadyOpen = 55;
constexpr int kDiskFull = 61;
constexpr int kPathFileAccess = 75;
constexpr int kPathNotFound = 76;
constexpr int kInvalidUseOfNull = 94;
constexpr int kDatabase = 3146;    // a driver or database failure
constexpr int kComponent = 20000;  // a failure reported by a platform component
}  // namespace err

// A failure that a procedure reports and survives: an error number and a description that names
// what failed ("Overflow: 40000 does not fit a 16-bit integer"). what() is the description.
class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int number() const { return number_; }
  std::string description() const { return what(); }

 private:
  int number_;
};

// Text to number. The text may have blanks around it, a sign, a decimal point (always "."), an
// exponent, or be hexadecimal in the form "&H1F". Anything else, the empty text included, is a
// type-mismatch error. Whole-number conversions round a fraction to the nearest whole number,
// halves to the even neighbour (2.5 -> 2, 3.5 -> 4); a result outside the type's range is an
// overflow error.
int16_t TextToInt16(std::string_view text);
int32_t TextToInt32(std::string_view text);
float TextToSingle(std::string_view text);
double TextToDouble(std::string_view text);
// "True" or "False" in any letter case, or a number (non-zero is true).
bool TextToBool(std::string_view text);
// True when TextToDouble would succeed.
bool IsNumeric(std::string_view text);

// Number to whole number with the same rounding and range rules as above.
int16_t ToInt16(double value);
int32_t ToInt32(double value);
// Checked 16-bit arithmetic, for the places where a product must fit 16 bits.
int16_t MulInt16(int32_t a, int32_t b);

// The pattern "0": rounded to a whole number, halves away from zero (2.5 -> "3", -2.5 -> "-3"),
// a minus sign when negative, no separators. -0.4 gives "0".
std::string FormatWholeNumber(double value);
// Rounds halves away from zero. REQUIRES: the result fits 64 bits.
int64_t RoundHalfAway(double value);
// "True" or "False".
const char* FormatBool(bool value);
// The shortest text of a single-precision number that reads back to the same float, in plain
// decimal for magnitudes from 1e-5 to below 1e15 and with an exponent otherwise
// (-1, 0, 1500, 0.25, 1.5E+15).
std::string FormatSinglePrecision(float value);

// The bytes of a value or expression that a message quotes at most.
inline constexpr size_t kQuotedBytes = 100;
// The text in double quotes, for messages that quote a value from the network, the database or a
// file: whole when it has at most kQuotedBytes bytes, else its first kQuotedBytes bytes (never
// half a UTF-8 character), "..." and its length: "abc...abc..." (65000 bytes). So a long value
// cannot make a long line in the event log.
std::string QuotedExcerpt(std::string_view text);

// length characters of [0-9a-z] drawn from the kernel's random source (getrandom), for secrets
// such as a community made at installation. Throws RuntimeError when the source fails.
std::string RandomToken(size_t length);

// Text helpers used by readers that compare without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Trim(std::string_view text);  // blanks (spaces and tabs) at both ends removed

}  // namespace quorlan
