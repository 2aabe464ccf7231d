#include "components/platform/values.h"

#include <gtest/gtest.h>

namespace quorlan {
namespace {

int ErrorNumberOf(void (*f)()) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

TEST(ConversionTest, WholeNumbersRoundHalvesToEven) {
  EXPECT_EQ(TextToInt16("2.5"), 2);
  EXPECT_EQ(TextToInt16("3.5"), 4);
  EXPECT_EQ(TextToInt16("-2.5"), -2);
  EXPECT_EQ(TextToInt16(" 17 "), 17);
  EXPECT_EQ(TextToInt16("+4"), 4);
  EXPECT_EQ(TextToInt16("1e3"), 1000);
  EXPECT_EQ(TextToInt16("&H10"), 16);
  EXPECT_EQ(TextToInt16("32767.4"), 32767);
  EXPECT_EQ(TextToInt16("-32768.5"), -32768);
  EXPECT_EQ(TextToInt32("2147483647"), 2147483647);
  EXPECT_EQ(TextToInt32("1625.5"), 1626);
  EXPECT_EQ(ToInt32(1626.5), 1626);
}

TEST(ConversionTest, OutOfRangeIsAnOverflowAndNonNumbersAMismatch) {
  EXPECT_EQ(ErrorNumberOf([] { TextToInt16("32767.5"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { TextToInt16("40000"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { TextToInt32("2147483648"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { TextToSingle("1e39"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { TextToDouble("1e999"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { MulInt16(2, 16384); }), err::kOverflow);
  EXPECT_EQ(MulInt16(2, 16383), 32766);
  for (const char* bad : {"", " ", "abc", "12abc", "1.2.3", "inf", "nan", "- 1", "&Hzz"}) {
    try {
      TextToInt32(bad);
      ADD_FAILURE() << "accepted \"" << bad << "\"";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kTypeMismatch);
      EXPECT_NE(e.description().find(bad), std::string::npos) << "the text is named";
    }
  }
  try {
    TextToInt16("40000");
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description(), "Overflow: 40000 does not fit a 16-bit integer");
  }
  // A long text is named by its first 100 bytes (never half a character) and its length.
  const std::string long_text = std::string(99, 'a') + "\xc3\xa9" + std::string(200, 'b');
  try {
    TextToDouble(long_text);
    ADD_FAILURE() << "accepted";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description(),
              "Type mismatch: \"" + std::string(99, 'a') + "...\" (301 bytes) is not a number");
  }
}

TEST(ConversionTest, BooleansAndFloatingPoint) {
  EXPECT_TRUE(TextToBool("True"));
  EXPECT_TRUE(TextToBool("TRUE"));
  EXPECT_FALSE(TextToBool("false"));
  EXPECT_TRUE(TextToBool("-1"));
  EXPECT_TRUE(TextToBool("1"));
  EXPECT_FALSE(TextToBool("0"));
  EXPECT_EQ(ErrorNumberOf([] { TextToBool("yes"); }), err::kTypeMismatch);
  EXPECT_FLOAT_EQ(TextToSingle("0.25"), 0.25f);
  EXPECT_DOUBLE_EQ(TextToDouble("-1.5e2"), -150.0);
  EXPECT_TRUE(IsNumeric(" 42 "));
  EXPECT_FALSE(IsNumeric("42x"));
  EXPECT_FALSE(IsNumeric(""));
}

TEST(FormatTest, PatternZeroRoundsHalvesAwayFromZero) {
  EXPECT_EQ(FormatWholeNumber(2.5), "3");
  EXPECT_EQ(FormatWholeNumber(-2.5), "-3");
  EXPECT_EQ(FormatWholeNumber(120.6), "121");
  EXPECT_EQ(FormatWholeNumber(-0.4), "0");
  EXPECT_EQ(FormatWholeNumber(-1), "-1");
  EXPECT_EQ(FormatWholeNumber(0), "0");
  EXPECT_EQ(FormatWholeNumber(4294967295.0), "4294967295");
}

TEST(FormatTest, SinglesUseTheShortestTextThatReadsBack) {
  EXPECT_EQ(FormatSinglePrecision(-1), "-1");
  EXPECT_EQ(FormatSinglePrecision(0), "0");
  EXPECT_EQ(FormatSinglePrecision(1500), "1500");
  EXPECT_EQ(FormatSinglePrecision(0.25f), "0.25");
  EXPECT_EQ(FormatSinglePrecision(2e9f), "2000000000");
  EXPECT_EQ(FormatSinglePrecision(1.5e15f), "1.5E+15");
  EXPECT_EQ(FormatSinglePrecision(1e-6f), "1E-06");
  EXPECT_STREQ(FormatBool(true), "True");
  EXPECT_STREQ(FormatBool(false), "False");
}

}  // namespace
}  // namespace quorlan
