#include <gtest/gtest.h>

#include <string>

#include "components/script/script.h"

namespace quorlan {
namespace {

struct Result {
  const char* expression;
  VbType type;
  const char* text;  // the result's text form
};

// Results as VBScript gives them, with their subtypes.
const Result kResults[] = {
    // A sign belongs to its operand before ^ is applied; ^ is left-associative.
    {"-2^2", VbType::kDouble, "4"},
    {"-3 ^ 2", VbType::kDouble, "9"},
    {"3 * -2^2", VbType::kDouble, "12"},
    {"-5^2", VbType::kDouble, "25"},
    {"1 - -2^3", VbType::kDouble, "9"},
    {"-(2^2)", VbType::kDouble, "-4"},
    {"(-3) ^ 2", VbType::kDouble, "9"},
    {"2^-2", VbType::kDouble, "0.25"},
    {"2^-2^2", VbType::kDouble, "0.0625"},
    {"2^3^2", VbType::kDouble, "64"},
    // Precedence: * / above \ above Mod above + - above & above comparisons above Not, And...
    {"1 + 2 * 3", VbType::kInteger, "7"},
    {"2 * 3 Mod 4", VbType::kInteger, "2"},
    {"7 \\ 2 * 2", VbType::kInteger, "1"},
    {"10 Mod 4 \\ 2", VbType::kInteger, "0"},
    {"1 + 2 & 3", VbType::kString, "33"},
    {"Not 1 = 2", VbType::kBoolean, "True"},
    {"1 = 1 And 2 = 2", VbType::kBoolean, "True"},
    {"1 Or 2 And 0", VbType::kInteger, "1"},
    // \ and Mod truncate towards zero, take the dividend's sign, round operands halves to even.
    {"-7 \\ 2", VbType::kInteger, "-3"},
    {"-7 Mod 3", VbType::kInteger, "-1"},
    {"7 Mod -3", VbType::kInteger, "1"},
    {"4.5 \\ 1", VbType::kLong, "4"},
    {"-2.5 \\ 1", VbType::kLong, "-2"},
    {"5.5 Mod 2", VbType::kLong, "0"},
    {"-32768 \\ -1", VbType::kLong, "32768"},
    // Subtypes widen instead of overflowing.
    {"32767 + 1", VbType::kLong, "32768"},
    {"2147483647 + 1", VbType::kDouble, "2147483648"},
    {"True + True", VbType::kInteger, "-2"},
    {"CSng(0.1) + 0", VbType::kSingle, "0.1"},
    {"CSng(1) / 3", VbType::kSingle, "0.3333333"},
    {"CSng(0.01) + 0.01", VbType::kDouble, "1.99999997764826E-02"},
    // Text forms of Doubles: 15 significant digits, exponent form beyond them.
    {"1/3", VbType::kDouble, "0.333333333333333"},
    {"1/30", VbType::kDouble, "3.33333333333333E-02"},
    {"9.2 * 100", VbType::kDouble, "920"},
    {"10^15", VbType::kDouble, "1E+15"},
    {"1e-15", VbType::kDouble, "0.000000000000001"},
    {"1500*8/300", VbType::kDouble, "40"},
    // Literals.
    {"&HFFFF", VbType::kInteger, "-1"},
    {"&H10000", VbType::kLong, "65536"},
    {"&HFFFFFFFF", VbType::kLong, "-1"},
    {"&O17", VbType::kInteger, "15"},
    {".5", VbType::kDouble, "0.5"},
    {"\"say \"\"hi\"\"\"", VbType::kString, "say \"hi\""},
    // Strings and numbers.
    {"1 & 2", VbType::kString, "12"},
    {"1.5 & True", VbType::kString, "1.5True"},
    {"\"1\" + 2", VbType::kDouble, "3"},
    {"\"1\" + \"2\"", VbType::kString, "12"},
    {"\"3\" * \"4\"", VbType::kDouble, "12"},
    {"\"1,000\" + 1", VbType::kDouble, "1001"},
    // Comparisons: a constant number reads the String; a constant String compares with the
    // number's text; otherwise a number is below any String.
    {"\"a\" < \"b\"", VbType::kBoolean, "True"},
    {"\"B\" < \"a\"", VbType::kBoolean, "True"},
    {"\"10\" > 9", VbType::kBoolean, "True"},
    {"Len(\"ab\") = \"2\"", VbType::kBoolean, "True"},
    {"Len(\"abc\") > \"10\"", VbType::kBoolean, "True"},
    {"Len(\"ab\") < Left(\"1\", 1)", VbType::kBoolean, "True"},
    {"1 < 2 < 3", VbType::kBoolean, "True"},
    // VBScript's other spellings of >=, <= and <>.
    {"2 => 2", VbType::kBoolean, "True"},
    {"3 =< 2", VbType::kBoolean, "False"},
    {"1 >< 2", VbType::kBoolean, "True"},
    // Logical operators: Boolean on Booleans, bitwise otherwise.
    {"Not 0", VbType::kInteger, "-1"},
    {"Not True", VbType::kBoolean, "False"},
    {"5 And 3", VbType::kInteger, "1"},
    {"5 Or 3", VbType::kInteger, "7"},
    {"5 Xor 3", VbType::kInteger, "6"},
    {"True Eqv False", VbType::kBoolean, "False"},
    {"False Imp True", VbType::kBoolean, "True"},
    {"0 Imp 0", VbType::kInteger, "-1"},
    {"True And 40000", VbType::kLong, "40000"},
    // Functions.
    {"Round(2.5)", VbType::kDouble, "2"},
    {"Round(3.5)", VbType::kDouble, "4"},
    {"Round(-2.5)", VbType::kDouble, "-2"},
    {"Round(0.125, 2)", VbType::kDouble, "0.12"},
    {"Round(2.675, 2)", VbType::kDouble, "2.68"},
    {"Round(0.005, 2)", VbType::kDouble, "0"},
    {"Round(7)", VbType::kInteger, "7"},
    {"round(CSng(2.5))", VbType::kSingle, "2"},
    {"Abs(-32768)", VbType::kLong, "32768"},
    {"ABS(\"-5\")", VbType::kDouble, "5"},
    {"Int(-2.5)", VbType::kDouble, "-3"},
    {"Fix(-2.5)", VbType::kDouble, "-2"},
    {"Sgn(-0.5)", VbType::kInteger, "-1"},
    {"Sqr(16) + Log(Exp(2))", VbType::kDouble, "6"},
    {"Atn(1) * 4 - Sin(0) + Cos(0) + Tan(0)", VbType::kDouble, "4.14159265358979"},
    {"CDbl(True)", VbType::kDouble, "-1"},
    {"CInt(2.5) + CInt(3.5)", VbType::kInteger, "6"},
    {"CInt(-32768.5)", VbType::kInteger, "-32768"},
    {"CLng(-2.5)", VbType::kLong, "-2"},
    {"Hex(-1)", VbType::kString, "FFFF"},
    {"Hex(-32769)", VbType::kString, "FFFF7FFF"},
    {"Hex(&H8000)", VbType::kString, "8000"},
    {"Hex(255.5)", VbType::kString, "100"},
    {"Len(-1.5)", VbType::kLong, "4"},
    {"Len(\"h\xC3\xA9llo\")", VbType::kLong, "5"},
    {"Mid(\"h\xC3\xA9llo\", 2, 2)", VbType::kString, "\xC3\xA9l"},
    {"Mid(\"abcdef\", 2, 3)", VbType::kString, "bcd"},
    {"Mid(\"abcdef\", 4)", VbType::kString, "def"},
    {"Mid(\"abc\", 5)", VbType::kString, ""},
    {"Left(\"abc\", 5)", VbType::kString, "abc"},
    {"Left(\"abc\", 0)", VbType::kString, ""},
    {"Right(\"abcdef\", 2)", VbType::kString, "ef"},
    {"Right(12345, 2) + 1", VbType::kDouble, "46"},
};

TEST(ScriptEngineTest, GivesVbScriptResults) {
  const ScriptEngine engine;
  for (const Result& r : kResults) {
    try {
      const VbValue v = engine.Eval(r.expression);
      EXPECT_EQ(VbTypeName(v.type), std::string(VbTypeName(r.type))) << r.expression;
      EXPECT_EQ(VbFormat(v), r.text) << r.expression;
    } catch (const RuntimeError& e) {
      ADD_FAILURE() << r.expression << ": " << e.description();
    }
  }
}

struct Refusal {
  const char* expression;
  int number;
  const char* description;
};

const Refusal kRefusals[] = {
    {"1 + 10 / 0", err::kDivisionByZero, "Division by zero at position 8"},
    {"0/0", err::kOverflow, "Overflow at position 2"},
    {"5 \\ 0", err::kDivisionByZero, "Division by zero at position 3"},
    {"5 Mod 0.4", err::kDivisionByZero, "Division by zero at position 3"},
    {"0 ^ -1", err::kDivisionByZero, "Division by zero at position 3"},
    {"2147483647 * 2147483647 * 1e300", err::kOverflow, "Overflow at position 25"},
    {"-2147483648 \\ -1", err::kOverflow, "Overflow at position 13"},
    {"CInt(32767.5)", err::kOverflow,
     "Overflow: 32767.5 does not fit a 16-bit integer at position 1"},
    {"1 + CLng(2147483648)", err::kOverflow,
     "Overflow: 2147483648 does not fit a 32-bit integer at position 5"},
    {"3000000000 Mod 7", err::kOverflow,
     "Overflow: 3000000000 does not fit a 32-bit integer at position 12"},
    {"Exp(710)", err::kOverflow, "Overflow in 'Exp' at position 1"},
    {"CSng(1e39)", err::kOverflow, "Overflow in 'CSng' at position 1"},
    {"1e400", err::kOverflow, "Overflow at position 1"},
    {"&H100000000", err::kOverflow, "Overflow at position 1"},
    {"Foo(1)", err::kUndefinedName, "Unknown function 'Foo' at position 1"},
    {"2 * value", err::kUndefinedName, "Unknown name 'value' at position 5"},
    {"1/0 + Foo(1)", err::kDivisionByZero, "Division by zero at position 2"},
    {"Left(\"a\")", err::kWrongArgumentCount, "Wrong number of arguments for 'Left' at position 1"},
    {"abs", err::kWrongArgumentCount, "Wrong number of arguments for 'Abs' at position 1"},
    {"\"a\" * 2", err::kTypeMismatch, "Type mismatch: \"a\" is not a number at position 5"},
    {"1 + \"1 2\"", err::kTypeMismatch, "Type mismatch: \"1 2\" is not a number at position 3"},
    {"\"abc\" = 1", err::kTypeMismatch, "Type mismatch: \"abc\" is not a number at position 7"},
    {"Sqr(-1)", err::kInvalidProcedureCall,
     "Invalid procedure call or argument 'Sqr' at position 1"},
    {"1 + Log(0)", err::kInvalidProcedureCall,
     "Invalid procedure call or argument 'Log' at position 5"},
    {"Mid(\"abc\", 0)", err::kInvalidProcedureCall,
     "Invalid procedure call or argument 'Mid' at position 1"},
    {"Right(\"abc\", -1)", err::kInvalidProcedureCall,
     "Invalid procedure call or argument 'Right' at position 1"},
    {"Round(1.5, -1)", err::kInvalidProcedureCall,
     "Invalid procedure call or argument 'Round' at position 1"},
    {"(-8) ^ (1/3)", err::kInvalidProcedureCall,
     "Invalid procedure call or argument '^' at position 6"},
    {"-2^0.5", err::kInvalidProcedureCall, "Invalid procedure call or argument '^' at position 3"},
    {"1 = > 2", err::kSyntaxError, "Expected expression at position 5"},
    // Syntax errors win over anything evaluation would find.
    {"1/0 +", err::kSyntaxError, "Expected expression at position 6"},
    {"", err::kSyntaxError, "Expected expression at position 1"},
    {"(1", err::kSyntaxError, "Expected ')' at position 3"},
    {"Abs(1, 2", err::kSyntaxError, "Expected ')' at position 9"},
    {"1 2", err::kSyntaxError, "Expected end of expression at position 3"},
    {"x = 1 : y", err::kSyntaxError, "Invalid character ':' at position 7"},
    {"1 + Not 0", err::kSyntaxError, "Expected expression at position 5"},
    {"\"abc", err::kSyntaxError, "Unterminated string at position 1"},
    {"$Value*8/300", err::kSyntaxError, "Invalid character '$' at position 1"},
    {"\"\xC3\xA9\" + [x]", err::kSyntaxError, "Invalid character '[' at position 7"},
    {"1\n+ 2", err::kSyntaxError, "Invalid character 0x0A at position 2"},
    {"2 \xC3\x97 3", err::kSyntaxError, "Invalid character '\xC3\x97' at position 3"},
};

TEST(ScriptEngineTest, RefusesWithTheProblemAndItsPosition) {
  const ScriptEngine engine;
  for (const Refusal& r : kRefusals) {
    try {
      const VbValue v = engine.Eval(r.expression);
      ADD_FAILURE() << r.expression << " gave " << VbFormat(v);
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), r.number) << r.expression;
      EXPECT_EQ(e.description(), r.description) << r.expression;
    }
  }
}

TEST(ScriptEngineTest, BoundsLengthAndNesting) {
  const ScriptEngine engine;
  const auto nested = [](int depth) {
    return std::string(static_cast<size_t>(depth), '(') + "1" +
           std::string(static_cast<size_t>(depth), ')');
  };
  EXPECT_EQ(VbFormat(engine.Eval(nested(ScriptEngine::kMaxDepth - 1))), "1");
  for (const std::string& deep : {nested(ScriptEngine::kMaxDepth), std::string(5000, '-') + "1",
                                  "Abs(" + nested(ScriptEngine::kMaxDepth)}) {
    try {
      engine.Eval(deep);
      ADD_FAILURE() << "accepted " << deep.size() << " bytes of nesting";
    } catch (const RuntimeError& e) {
      EXPECT_NE(e.description().find("Expression "), std::string::npos) << e.description();
    }
  }
  // A long chain is no nesting.
  std::string sum = "1";
  while (sum.size() + 2 <= ScriptEngine::kMaxLength) sum += "+1";
  EXPECT_EQ(VbFormat(engine.Eval(sum)), std::to_string((ScriptEngine::kMaxLength + 1) / 2));
}

TEST(ScriptEngineTest, EvalNumberConvertsTheResult) {
  const ScriptEngine engine;
  EXPECT_DOUBLE_EQ(engine.EvalNumber("1500*8/300"), 40.0);
  EXPECT_DOUBLE_EQ(engine.EvalNumber("90 > 100"), 0.0);
  EXPECT_DOUBLE_EQ(engine.EvalNumber("120 > 100"), -1.0);
  EXPECT_DOUBLE_EQ(engine.EvalNumber("\"1\" & \"5\""), 15.0);
  try {
    engine.EvalNumber("\"abc\"");
    ADD_FAILURE() << "a text result was taken as a number";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);
    EXPECT_EQ(e.description(), "Type mismatch: the result \"abc\" is not a number");
  }
}

TEST(VbNumericTextTest, ReadsTheEnUsFormsOfVbScript) {
  const std::pair<const char*, double> numbers[] = {
      {" 12 ", 12},
      {"\t7\r\n", 7},
      {"+5", 5},
      {"5-", -5},
      {"-1.5e3", -1500},
      {"1.5D2", 150},
      {".5", 0.5},
      {"5.", 5},
      {"1,234.5", 1234.5},
      {"1,2345", 12345},
      {"$5", 5},
      {"-$5", -5},
      {"$-5", -5},
      {"(5)", -5},
      {"($1,000.50)", -1000.5},
      {"&HFF", 255},
      {"&hffff", -1},
      {"&H10000", 65536},
      {"&O17", 15},
      {"&o37777777777", -1},
  };
  for (const auto& [text, value] : numbers) {
    EXPECT_TRUE(VbIsNumeric(text)) << text;
    EXPECT_DOUBLE_EQ(VbTextToDouble(text), value) << text;
  }
  for (const char* text : {"",
                           " ",
                           "abc",
                           "1.2.3",
                           ",1",
                           "1,",
                           "1,,2",
                           "1,000.5,0",
                           "1e",
                           "--1",
                           "+-1",
                           "-5-",
                           "(-5)",
                           "-(5)",
                           "( 5)",
                           "$$5",
                           "5$",
                           "1 2",
                           "&H",
                           "&HG",
                           "&O8",
                           "&H100000000",
                           "0x10",
                           "inf",
                           "nan",
                           "1e400",
                           "\xE2\x82\xAC"
                           "5"}) {
    EXPECT_FALSE(VbIsNumeric(text)) << text;
    try {
      VbTextToDouble(text);
      ADD_FAILURE() << "read \"" << text << "\"";
    } catch (const RuntimeError& e) {
      const bool out_of_range = std::string(text) == "1e400" || std::string(text) == "1e-400";
      EXPECT_EQ(e.number(), out_of_range ? err::kOverflow : err::kTypeMismatch) << text;
    }
  }
}

}  // namespace
}  // namespace quorlan
