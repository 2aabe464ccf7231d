// Inside the script engine: the operators and functions that the evaluator applies, and the text
// helpers they share. Not for use outside src/components/script/.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "components/script/script.h"

namespace quorlan::script {

// Throws RuntimeError(number, "<problem> at position <position>").
[[noreturn]] void Fail(int number, std::string_view problem, int position);

// Runs f, a conversion that may throw RuntimeError (those of values.h), and adds the position to
// the description of what it throws.
template <typename F>
auto Located(int position, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const RuntimeError& e) {
    Fail(e.number(), e.description(), position);
  }
}

// The text shown in an error: at most 40 bytes (whole UTF-8 sequences), control characters as
// "?", "..." when cut.
std::string Echo(std::string_view text);

// Bytes of the UTF-8 sequence that starts at s[i]; 1 for a byte that starts no valid sequence,
// so that any text splits into characters. REQUIRES: i < s.size().
size_t Utf8Length(std::string_view s, size_t i);
size_t CharCount(std::string_view s);
// The byte offset after the first `chars` characters (s.size() when there are fewer).
size_t ByteOffset(std::string_view s, size_t chars);

// v rounded to `places` decimal places, halves to even, on v's shortest decimal form (as a float
// when `single`). REQUIRES: places >= 0.
double RoundHalfEven(double v, int places, bool single);

// An operand with whether it is written in the expression as a constant (a literal, possibly
// negated or in parentheses), which decides how a number and a String compare.
struct Operand {
  VbValue value;
  bool constant = false;
};

enum class Op {
  kPow,
  kMul,
  kDiv,
  kIntDiv,
  kMod,
  kAdd,
  kSub,
  kConcat,
  kEq,
  kNe,
  kLt,
  kGt,
  kLe,
  kGe,
  kAnd,
  kOr,
  kXor,
  kEqv,
  kImp,
};

// The binary operator applied to two evaluated operands; `position` is the operator's.
VbValue Binary(Op op, const Operand& a, const Operand& b, int position);
VbValue Negate(const VbValue& v, int position);
VbValue LogicalNot(const VbValue& v, int position);

struct Function;
// The function of that name (any letter case), or nullptr.
const Function* FindFunction(std::string_view name);
const char* FunctionName(const Function& f);
// Whether the function takes that many arguments.
bool AcceptsArgumentCount(const Function& f, size_t count);
// Calls the function; `position` is that of its name. REQUIRES: AcceptsArgumentCount.
VbValue Call(const Function& f, const std::vector<VbValue>& args, int position);

}  // namespace quorlan::script
