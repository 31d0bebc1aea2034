#include <gtest/gtest.h>

#include "protocol/NumberFormat.h"
#include "protocol/Utf8.h"

namespace velmar {
namespace {

TEST(Utf8Test, AcceptsWellFormedAndRejectsMalformedSequences) {
  EXPECT_TRUE(utf8::isValid("plain ascii"));
  EXPECT_TRUE(utf8::isValid("é € 𝄞"));
  EXPECT_FALSE(utf8::isValid("\xff"));
  EXPECT_FALSE(utf8::isValid("\xc3"));              // truncated
  EXPECT_FALSE(utf8::isValid("\xc0\xaf"));          // overlong
  EXPECT_FALSE(utf8::isValid("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(utf8::isValid("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(utf8::isValid("\xe2\x82"));          // truncated at end
}

TEST(Utf8Test, SanitizeReplacesOnlyTheBadBytes) {
  EXPECT_EQ(utf8::sanitize("a\xffz"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf8::sanitize("é\xc3"), "é\xEF\xBF\xBD");
  EXPECT_EQ(utf8::sanitize("fine é"), "fine é");
}

TEST(NumberFormatTest, ShortestDoubleAlwaysHasAFraction) {
  EXPECT_EQ(formatShortestDouble(5), "5.0");
  EXPECT_EQ(formatShortestDouble(2.5), "2.5");
  EXPECT_EQ(formatShortestDouble(1.0), "1.0");
  EXPECT_EQ(formatShortestDouble(0.1), "0.1");
}

TEST(NumberFormatTest, TwoDecimals) {
  EXPECT_EQ(formatTwoDecimals(0.7), "0.70");
  EXPECT_EQ(formatTwoDecimals(0.004), "0.00");
}

}  // namespace
}  // namespace velmar
