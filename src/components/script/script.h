// The service's script engine: an evaluator of VBScript expressions, and the VBScript reading of
// text as a number.
//
// An evaluation expression of a trend object ("$value*8/$time" once its placeholders are replaced
// by numbers) is handed to ScriptEngine::Eval, which computes it the way VBScript's Eval does and
// returns a VBScript value; EvalNumber also converts that value to a number. The evaluator reads no
// file, calls nothing outside itself and keeps no state between calls; the text comes from the
// database, so its length and nesting are bounded and any text either evaluates or is refused with
// a RuntimeError.
//
// What an expression may contain:
// - numbers: 12, 1.5, .5, 1e3, 2.5E-3; &H1F (hexadecimal) and &O17 (octal). A whole number is an
//   Integer up to 32767, a Long up to 2147483647 and a Double above (so -32768 is the negated Long
//   32768); a number beyond the Double range is an overflow; &H and &O values up to FFFF
//   are 16-bit patterns (&HFFFF is -1), up to FFFFFFFF 32-bit patterns (&HFFFFFFFF is -1);
// - strings in double quotes, "" standing for one quote: "say ""hi""";
// - True and False;
// - operators, from the highest precedence to the lowest, all left-associative: unary - and +;
//   ^; * and /; \ (integer division); Mod; + and -; & (concatenation); the comparisons = <> < >
//   <= >= (one level; => =< >< are read as >= <= <>); Not; And; Or; Xor; Eqv; Imp. As in
//   VBScript a sign belongs to its operand before ^ is applied: -2^2 is (-2)^2 = 4, 3 * -2^2 is
//   12, 2^-2 is 0.25, 2^3^2 is 64, and -2^0.5 is refused (an invalid argument of ^). Not stands
//   only at the start of an operand of And, Or, Xor, Eqv or Imp ("1 + Not 0" is refused);
// - parentheses;
// - the functions Abs, Int, Fix, Round(x[, places]), Sqr, Exp, Log, Sin, Cos, Tan, Atn, Sgn,
//   CDbl, CSng, CLng, CInt, Hex, Len, Left, Right, Mid(text, start[, length]); names of functions
//   and keywords in any letter case.
// Blanks are spaces and tabs. Anything else (a variable or any other name, a statement, another
// function, a line break) is refused.
//
// How values combine, as in VBScript:
// - subtypes Integer (16-bit), Long (32-bit), Single, Double, String and Boolean (True is -1);
// - + - * give the wider of the operands' subtypes (Integer < Long < Single < Double; Single with
//   Long gives Double); an Integer result that does not fit becomes a Long, a Long one a Double.
//   / gives a Double (a Single when a Single meets a Single, Integer or Boolean); ^ a Double;
// - \ and Mod round both operands to whole numbers first, halves to even (4.5 \ 1 is 4), truncate
//   towards zero (-7 \ 2 is -3) and take the dividend's sign (-7 Mod 3 is -1); the result is an
//   Integer when both operands are Integers or Booleans, else a Long; an operand outside the Long
//   range is an overflow;
// - a String operand of an arithmetic operator is read as a number (VbTextToDouble) and counts as
//   a Double; + of two Strings concatenates; & joins the text forms (VbFormat) of any two values;
// - comparisons: two numbers (Booleans included) numerically, two Strings by character codes.
//   A number and a String: when the number is written in the expression (a literal, possibly
//   negated or in parentheses) the String is read as a number; else, when the String is written
//   in the expression, the number's text form is compared with it; else the number is the smaller;
// - Not, And, Or, Xor, Eqv, Imp: on two Booleans a Boolean; otherwise bitwise on the operands
//   rounded to whole numbers (an Integer when both are Integers or Booleans, else a Long);
// - Round rounds halves to even (Round(2.5) is 2, Round(3.5) is 4, Round(0.125, 2) is 0.12), on
//   the number's shortest decimal form; CInt and CLng round the same way and refuse what does not
//   fit; Hex writes an Integer or Boolean as a 16-bit pattern (Hex(-1) is "FFFF") and anything
//   else, rounded to a Long, as a 32-bit one (Hex(-32769) is "FFFF7FFF"); Left, Right, Mid and
//   Len take their first argument's text form and count characters (UTF-8 sequences; a byte that
//   starts none counts as one).
//
// Errors: every refusal is a RuntimeError whose description names the problem and the 1-based
// character position in the expression where it was found: "Division by zero at position 7",
// "Unknown function 'Foo' at position 1", "Expected ')' at position 9". Syntax errors are found
// before anything is evaluated; the others when evaluation reaches them, left to right: an unknown
// name or function, a wrong number of arguments, division by zero, 0/0 (an overflow, as in
// VBScript), an overflow of a result or a conversion, a type mismatch, an invalid argument
// (Sqr(-1), Log(0), Left("a", -1)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "components/platform/platform.h"

namespace quorlan {

// Error numbers of the script engine's refusals, as VBScript numbers them.
namespace err {
constexpr int kInvalidProcedureCall = 5;
constexpr int kDivisionByZero = 11;
constexpr int kWrongArgumentCount = 450;
constexpr int kUndefinedName = 500;
constexpr int kSyntaxError = 1002;
}  // namespace err

// VBScript's subtypes that an expression can produce.
enum class VbType { kInteger, kLong, kSingle, kDouble, kString, kBoolean };

// One VBScript value. Invariants: a kInteger or kLong number is a whole number within 16 or 32
// bits; a kSingle number is exactly a float; a kDouble number is finite; a kBoolean number is -1
// or 0; text is empty unless the type is kString.
struct VbValue {
  VbType type = VbType::kInteger;
  double number = 0;
  std::string text;

  static VbValue Integer(int16_t v) { return {VbType::kInteger, static_cast<double>(v), {}}; }
  static VbValue Long(int32_t v) { return {VbType::kLong, static_cast<double>(v), {}}; }
  static VbValue Single(float v) { return {VbType::kSingle, static_cast<double>(v), {}}; }
  // REQUIRES: v is finite.
  static VbValue Double(double v) { return {VbType::kDouble, v, {}}; }
  static VbValue String(std::string v) { return {VbType::kString, 0, std::move(v)}; }
  static VbValue Boolean(bool v) { return {VbType::kBoolean, v ? -1.0 : 0.0, {}}; }

  bool operator==(const VbValue&) const = default;
};

// VBScript's name of the subtype: "Integer", "Long", "Single", "Double", "String", "Boolean".
const char* VbTypeName(VbType type);

// The text form of a value (VBScript's CStr): Integers and Longs in decimal; Doubles rounded to
// 15 significant digits and Singles to 7, without trailing zeros, "." as the decimal point, in
// plain decimal when that needs at most 15 (7) digits before and after the point and otherwise as
// mantissa, "E", sign and at least two exponent digits (0.5, 1E+15, 3.33333333333333E-02);
// Booleans as "True" or "False"; Strings as they are.
std::string VbFormat(const VbValue& value);

// Whether the text reads as a number under VBScript's IsNumeric with the fixed locale en-US, and
// that number (VBScript's CDbl). After blanks (space, tab, CR, LF, VT, FF) at both ends are
// removed, the text must be exactly one of:
// - "&H" and 1 or more hexadecimal digits, or "&O" and 1 or more octal digits (H and O in either
//   case), of value at most FFFFFFFF: values up to FFFF are 16-bit patterns ("&HFFFF" is -1),
//   larger ones 32-bit patterns ("&HFFFFFFFF" is -1);
// - a decimal number: digits with "," as digit grouping allowed between two digits of the whole
//   part (group sizes are not checked: "1,2345" reads 12345), optionally "." and more digits
//   (".5" and "5." read), at least one digit in all; optionally an exponent "E" or "D" (either
//   case), an optional sign and 1 or more digits. Around it: at most one sign, "+" or "-", either
//   before it or after it ("5-" is -5), optionally with the currency symbol "$" directly before or
//   after a leading sign ("$5", "-$5", "$-5"); or, without any sign, the whole in parentheses for a
//   negative number ("(5)" and "($1,000.50)" are negative).
// No blanks inside, no other currency symbol, no "," as the decimal point, no "inf" or "nan".
// A number beyond the Double range, too large or too close to 0 even for a denormal Double (1e400,
// 1e-400), does not read: VbIsNumeric is false and VbTextToDouble throws an overflow error
// (err::kOverflow); other refused text throws a type mismatch (err::kTypeMismatch).
bool VbIsNumeric(std::string_view text);
double VbTextToDouble(std::string_view text);

// The number a value stands for, as VBScript converts it with CDbl: numbers as they are, Booleans
// as -1 and 0, Strings read with VbTextToDouble. Throws RuntimeError err::kTypeMismatch for a
// String that does not read as a number, err::kOverflow for one beyond the Double range.
double VbToDouble(const VbValue& value);

// The evaluator. Stateless; any number of threads may use one instance.
class ScriptEngine {
 public:
  // Longer texts are refused before anything is read, and parentheses, function calls and unary
  // operators nest at most kMaxDepth deep, so hostile text cannot exhaust the stack.
  static constexpr size_t kMaxLength = 4096;  // bytes
  static constexpr int kMaxDepth = 64;

  // Evaluates the expression. Throws RuntimeError (see the error numbers above and in values.h)
  // with a description that names the problem and its position.
  VbValue Eval(std::string_view expression) const;

  // Eval, then VbToDouble of the result: a Boolean result gives -1 or 0, a String result must read
  // as a number. A result that is not a number throws err::kTypeMismatch ("Type mismatch: the
  // result "abc" is not a number").
  double EvalNumber(std::string_view expression) const;
};

}  // namespace quorlan
