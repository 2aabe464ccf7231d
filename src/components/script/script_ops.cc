// The script engine's operators, with VBScript's subtype rules.
#include <fmt/format.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "components/script/internal.h"

namespace quorlan::script {

void Fail(int number, std::string_view problem, int position) {
  throw RuntimeError(number, fmt::format("{} at position {}", problem, position));
}

namespace {

// A number operand ranked by its subtype; Booleans count as Integers, Strings as Doubles.
enum class Rank { kInteger, kLong, kSingle, kDouble };

struct Num {
  Rank rank;
  double v;
};

Num ToNum(const VbValue& x, int position) {
  switch (x.type) {
    case VbType::kInteger:
    case VbType::kBoolean:
      return {Rank::kInteger, x.number};
    case VbType::kLong:
      return {Rank::kLong, x.number};
    case VbType::kSingle:
      return {Rank::kSingle, x.number};
    case VbType::kDouble:
      return {Rank::kDouble, x.number};
    case VbType::kString:
      break;
  }
  return {Rank::kDouble, Located(position, [&] { return VbTextToDouble(x.text); })};
}

// The value of the rank, or of the next wider one where it does not fit, as VBScript promotes.
VbValue FromNum(Rank rank, double v, int position) {
  if (rank == Rank::kInteger) {
    if (v >= INT16_MIN && v <= INT16_MAX) return VbValue::Integer(static_cast<int16_t>(v));
    rank = Rank::kLong;
  }
  if (rank == Rank::kLong) {
    if (v >= INT32_MIN && v <= INT32_MAX) return VbValue::Long(static_cast<int32_t>(v));
    rank = Rank::kDouble;
  }
  if (rank == Rank::kSingle && std::fabs(v) <= FLT_MAX) {
    return VbValue::Single(static_cast<float>(v));
  }
  if (!std::isfinite(v)) Fail(err::kOverflow, "Overflow", position);
  return VbValue::Double(v);
}

Rank Wider(Rank a, Rank b) {
  if ((a == Rank::kSingle && b == Rank::kLong) || (a == Rank::kLong && b == Rank::kSingle)) {
    return Rank::kDouble;
  }
  return std::max(a, b);
}

VbValue Arithmetic(Op op, const VbValue& x, const VbValue& y, int position) {
  const Num a = ToNum(x, position);
  const Num b = ToNum(y, position);
  switch (op) {
    case Op::kAdd:
      return FromNum(Wider(a.rank, b.rank), a.v + b.v, position);
    case Op::kSub:
      return FromNum(Wider(a.rank, b.rank), a.v - b.v, position);
    case Op::kMul:
      return FromNum(Wider(a.rank, b.rank), a.v * b.v, position);
    case Op::kDiv: {
      if (b.v == 0) {
        // 0/0 has no value at all; VBScript calls it an overflow.
        Fail(a.v == 0 ? err::kOverflow : err::kDivisionByZero,
             a.v == 0 ? "Overflow" : "Division by zero", position);
      }
      const bool single = (a.rank == Rank::kSingle || b.rank == Rank::kSingle) &&
                          a.rank != Rank::kLong && a.rank != Rank::kDouble &&
                          b.rank != Rank::kLong && b.rank != Rank::kDouble;
      return FromNum(single ? Rank::kSingle : Rank::kDouble, a.v / b.v, position);
    }
    default: {  // Op::kPow
      if (a.v == 0 && b.v < 0) Fail(err::kDivisionByZero, "Division by zero", position);
      const double r = std::pow(a.v, b.v);
      if (std::isnan(r)) {
        Fail(err::kInvalidProcedureCall, "Invalid procedure call or argument '^'", position);
      }
      return FromNum(Rank::kDouble, r, position);
    }
  }
}

// An operand of \, Mod and the bitwise operators: rounded to a whole number, halves to even.
struct Whole {
  bool integer;  // an Integer or Boolean, so a 16-bit operand
  int64_t v;
};

Whole ToWhole(const VbValue& x, int position) {
  if (x.type == VbType::kInteger || x.type == VbType::kBoolean) {
    return {true, static_cast<int64_t>(x.number)};
  }
  const double v = ToNum(x, position).v;
  return {false, Located(position, [&] { return ToInt32(v); })};
}

VbValue WholeResult(bool integer, int64_t v, int position) {
  if (integer && v >= INT16_MIN && v <= INT16_MAX) return VbValue::Integer(static_cast<int16_t>(v));
  if (v < INT32_MIN || v > INT32_MAX) Fail(err::kOverflow, "Overflow", position);
  return VbValue::Long(static_cast<int32_t>(v));
}

VbValue IntegerDivision(Op op, const VbValue& x, const VbValue& y, int position) {
  const Whole a = ToWhole(x, position);
  const Whole b = ToWhole(y, position);
  if (b.v == 0) Fail(err::kDivisionByZero, "Division by zero", position);
  return WholeResult(a.integer && b.integer, op == Op::kIntDiv ? a.v / b.v : a.v % b.v, position);
}

VbValue Logical(Op op, const VbValue& x, const VbValue& y, int position) {
  if (x.type == VbType::kBoolean && y.type == VbType::kBoolean) {
    const bool a = x.number != 0;
    const bool b = y.number != 0;
    switch (op) {
      case Op::kAnd:
        return VbValue::Boolean(a && b);
      case Op::kOr:
        return VbValue::Boolean(a || b);
      case Op::kXor:
        return VbValue::Boolean(a != b);
      case Op::kEqv:
        return VbValue::Boolean(a == b);
      default:  // Op::kImp
        return VbValue::Boolean(!a || b);
    }
  }
  const Whole a = ToWhole(x, position);
  const Whole b = ToWhole(y, position);
  int64_t r = 0;
  switch (op) {
    case Op::kAnd:
      r = a.v & b.v;
      break;
    case Op::kOr:
      r = a.v | b.v;
      break;
    case Op::kXor:
      r = a.v ^ b.v;
      break;
    case Op::kEqv:
      r = ~(a.v ^ b.v);
      break;
    default:  // Op::kImp
      r = ~a.v | b.v;
      break;
  }
  return WholeResult(a.integer && b.integer, r, position);
}

int Sign(double d) { return (d > 0) - (d < 0); }

int CompareText(const std::string& a, const std::string& b) {
  const int c = a.compare(b);  // by unsigned character codes
  return (c > 0) - (c < 0);
}

// -1, 0 or 1 as a is below, equal to or above b.
int Compare(const Operand& a, const Operand& b, int position) {
  const bool a_text = a.value.type == VbType::kString;
  const bool b_text = b.value.type == VbType::kString;
  if (!a_text && !b_text) return Sign(a.value.number - b.value.number);
  if (a_text && b_text) return CompareText(a.value.text, b.value.text);
  const Operand& num = a_text ? b : a;
  const Operand& text = a_text ? a : b;
  int r = -1;  // a number is below a String
  if (num.constant) {
    r = Sign(num.value.number - ToNum(text.value, position).v);
  } else if (text.constant) {
    r = CompareText(VbFormat(num.value), text.value.text);
  }
  return a_text ? -r : r;
}

bool Holds(Op op, int c) {
  switch (op) {
    case Op::kEq:
      return c == 0;
    case Op::kNe:
      return c != 0;
    case Op::kLt:
      return c < 0;
    case Op::kGt:
      return c > 0;
    case Op::kLe:
      return c <= 0;
    default:  // Op::kGe
      return c >= 0;
  }
}

}  // namespace

VbValue Binary(Op op, const Operand& a, const Operand& b, int position) {
  switch (op) {
    case Op::kConcat:
      return VbValue::String(VbFormat(a.value) + VbFormat(b.value));
    case Op::kAdd:
      if (a.value.type == VbType::kString && b.value.type == VbType::kString) {
        return VbValue::String(a.value.text + b.value.text);
      }
      return Arithmetic(op, a.value, b.value, position);
    case Op::kPow:
    case Op::kMul:
    case Op::kDiv:
    case Op::kSub:
      return Arithmetic(op, a.value, b.value, position);
    case Op::kIntDiv:
    case Op::kMod:
      return IntegerDivision(op, a.value, b.value, position);
    case Op::kEq:
    case Op::kNe:
    case Op::kLt:
    case Op::kGt:
    case Op::kLe:
    case Op::kGe:
      return VbValue::Boolean(Holds(op, Compare(a, b, position)));
    case Op::kAnd:
    case Op::kOr:
    case Op::kXor:
    case Op::kEqv:
    case Op::kImp:
      return Logical(op, a.value, b.value, position);
  }
  return {};
}

VbValue Negate(const VbValue& v, int position) {
  const Num n = ToNum(v, position);
  return FromNum(n.rank, -n.v, position);
}

VbValue LogicalNot(const VbValue& v, int position) {
  if (v.type == VbType::kBoolean) return VbValue::Boolean(v.number == 0);
  const Whole w = ToWhole(v, position);
  return WholeResult(w.integer, ~w.v, position);
}

}  // namespace quorlan::script
