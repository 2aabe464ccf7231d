// The script engine's functions, with VBScript's argument conversions and result subtypes.
#include <fmt/format.h>

#include <cfloat>
#include <cmath>

#include "components/script/internal.h"

namespace quorlan::script {

enum class FunctionId {
  kAbs,
  kInt,
  kFix,
  kRound,
  kSqr,
  kExp,
  kLog,
  kSin,
  kCos,
  kTan,
  kAtn,
  kSgn,
  kCDbl,
  kCSng,
  kCLng,
  kCInt,
  kHex,
  kLen,
  kLeft,
  kRight,
  kMid,
};

struct Function {
  const char* name;
  FunctionId id;
  size_t min_args;
  size_t max_args;
};

namespace {

constexpr Function kFunctions[] = {
    {"Abs", FunctionId::kAbs, 1, 1},   {"Int", FunctionId::kInt, 1, 1},
    {"Fix", FunctionId::kFix, 1, 1},   {"Round", FunctionId::kRound, 1, 2},
    {"Sqr", FunctionId::kSqr, 1, 1},   {"Exp", FunctionId::kExp, 1, 1},
    {"Log", FunctionId::kLog, 1, 1},   {"Sin", FunctionId::kSin, 1, 1},
    {"Cos", FunctionId::kCos, 1, 1},   {"Tan", FunctionId::kTan, 1, 1},
    {"Atn", FunctionId::kAtn, 1, 1},   {"Sgn", FunctionId::kSgn, 1, 1},
    {"CDbl", FunctionId::kCDbl, 1, 1}, {"CSng", FunctionId::kCSng, 1, 1},
    {"CLng", FunctionId::kCLng, 1, 1}, {"CInt", FunctionId::kCInt, 1, 1},
    {"Hex", FunctionId::kHex, 1, 1},   {"Len", FunctionId::kLen, 1, 1},
    {"Left", FunctionId::kLeft, 2, 2}, {"Right", FunctionId::kRight, 2, 2},
    {"Mid", FunctionId::kMid, 2, 3},
};

// The call's context: the function and where its name stands, for the errors it raises.
struct Site {
  const Function& f;
  int position;

  [[noreturn]] void Invalid() const {
    Fail(err::kInvalidProcedureCall, fmt::format("Invalid procedure call or argument '{}'", f.name),
         position);
  }
  [[noreturn]] void Overflow() const {
    Fail(err::kOverflow, fmt::format("Overflow in '{}'", f.name), position);
  }

  // The argument as a number, and rounded (halves to even) to a Long or an Integer.
  double Number(const VbValue& v) const {
    return Located(position, [&] { return VbToDouble(v); });
  }
  int32_t Long(const VbValue& v) const {
    return Located(position, [&] { return ToInt32(VbToDouble(v)); });
  }
  int16_t Integer(const VbValue& v) const {
    return Located(position, [&] { return ToInt16(VbToDouble(v)); });
  }
};

// Abs, Int, Fix and Round keep the subtype of their argument: Booleans become Integers, Strings
// Doubles, and an Integer or Long that no longer fits widens.
VbValue SameSubtype(const VbValue& like, double v, const Site& site) {
  switch (like.type) {
    case VbType::kInteger:
    case VbType::kBoolean:
      if (v >= INT16_MIN && v <= INT16_MAX) return VbValue::Integer(static_cast<int16_t>(v));
      [[fallthrough]];
    case VbType::kLong:
      if (v >= INT32_MIN && v <= INT32_MAX) return VbValue::Long(static_cast<int32_t>(v));
      break;
    case VbType::kSingle:
      return VbValue::Single(static_cast<float>(v));
    case VbType::kDouble:
    case VbType::kString:
      break;
  }
  if (!std::isfinite(v)) site.Overflow();
  return VbValue::Double(v);
}

VbValue RoundCall(const std::vector<VbValue>& args, const Site& site) {
  const int32_t places = args.size() > 1 ? site.Long(args[1]) : 0;
  if (places < 0) site.Invalid();
  const VbValue& x = args[0];
  const double v = site.Number(x);
  if (x.type != VbType::kSingle && x.type != VbType::kDouble && x.type != VbType::kString) {
    return SameSubtype(x, v, site);  // whole numbers already
  }
  return SameSubtype(x, RoundHalfEven(v, places, x.type == VbType::kSingle), site);
}

VbValue MathCall(FunctionId id, const VbValue& x, const Site& site) {
  const double v = site.Number(x);
  double r = 0;
  switch (id) {
    case FunctionId::kSqr:
      if (v < 0) site.Invalid();
      r = std::sqrt(v);
      break;
    case FunctionId::kExp:
      r = std::exp(v);
      if (!std::isfinite(r)) site.Overflow();
      break;
    case FunctionId::kLog:
      if (v <= 0) site.Invalid();
      r = std::log(v);
      break;
    case FunctionId::kSin:
      r = std::sin(v);
      break;
    case FunctionId::kCos:
      r = std::cos(v);
      break;
    case FunctionId::kTan:
      r = std::tan(v);
      break;
    default:  // FunctionId::kAtn
      r = std::atan(v);
      break;
  }
  return VbValue::Double(r);
}

VbValue HexCall(const VbValue& x, const Site& site) {
  if (x.type == VbType::kInteger || x.type == VbType::kBoolean) {
    return VbValue::String(
        fmt::format("{:X}", static_cast<uint16_t>(static_cast<int16_t>(x.number))));
  }
  return VbValue::String(fmt::format("{:X}", static_cast<uint32_t>(site.Long(x))));
}

VbValue TextCall(FunctionId id, const std::vector<VbValue>& args, const Site& site) {
  const std::string text = VbFormat(args[0]);
  if (id == FunctionId::kLen) return VbValue::Long(static_cast<int32_t>(CharCount(text)));
  size_t from = 0;
  size_t to = text.size();
  if (id == FunctionId::kMid) {
    const int32_t start = site.Long(args[1]);
    if (start < 1) site.Invalid();
    from = ByteOffset(text, static_cast<size_t>(start) - 1);
    if (args.size() > 2) {
      const int32_t length = site.Long(args[2]);
      if (length < 0) site.Invalid();
      to = from + ByteOffset(std::string_view(text).substr(from), static_cast<size_t>(length));
    }
  } else {
    const int32_t length = site.Long(args[1]);
    if (length < 0) site.Invalid();
    if (id == FunctionId::kLeft) {
      to = ByteOffset(text, static_cast<size_t>(length));
    } else {
      const size_t chars = CharCount(text);
      from = ByteOffset(text, chars - std::min(chars, static_cast<size_t>(length)));
    }
  }
  return VbValue::String(text.substr(from, to - from));
}

}  // namespace

const Function* FindFunction(std::string_view name) {
  for (const Function& f : kFunctions) {
    if (EqualsNoCase(f.name, name)) return &f;
  }
  return nullptr;
}

const char* FunctionName(const Function& f) { return f.name; }

bool AcceptsArgumentCount(const Function& f, size_t count) {
  return count >= f.min_args && count <= f.max_args;
}

VbValue Call(const Function& f, const std::vector<VbValue>& args, int position) {
  const Site site{f, position};
  const VbValue& x = args[0];
  switch (f.id) {
    case FunctionId::kAbs:
      return SameSubtype(x, std::fabs(site.Number(x)), site);
    case FunctionId::kInt:
      return SameSubtype(x, std::floor(site.Number(x)), site);
    case FunctionId::kFix:
      return SameSubtype(x, std::trunc(site.Number(x)), site);
    case FunctionId::kRound:
      return RoundCall(args, site);
    case FunctionId::kSgn: {
      const double v = site.Number(x);
      return VbValue::Integer(static_cast<int16_t>((v > 0) - (v < 0)));
    }
    case FunctionId::kCDbl:
      return VbValue::Double(site.Number(x));
    case FunctionId::kCSng: {
      const double v = site.Number(x);
      if (std::fabs(v) > FLT_MAX) site.Overflow();
      return VbValue::Single(static_cast<float>(v));
    }
    case FunctionId::kCLng:
      return VbValue::Long(site.Long(x));
    case FunctionId::kCInt:
      return VbValue::Integer(site.Integer(x));
    case FunctionId::kHex:
      return HexCall(x, site);
    case FunctionId::kLen:
    case FunctionId::kLeft:
    case FunctionId::kRight:
    case FunctionId::kMid:
      return TextCall(f.id, args, site);
    default:
      return MathCall(f.id, x, site);
  }
}

}  // namespace quorlan::script
