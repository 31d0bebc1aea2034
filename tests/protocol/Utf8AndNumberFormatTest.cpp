#include <gtest/gtest.h>

#include "protocol/NumberFormat.h"
#include "protocol/Utf8.h"

namespace velmar {
namespace {

TEST(Utf8Test, AcceptsWellFormedAndRejectsMalformedSequences) {
  for (const char* text : {"plain ascii", "é € 𝄞"}) EXPECT_TRUE(utf8::isValid(text)) << text;
  // A stray byte, truncated, overlong, a surrogate, above U+10FFFF, cut at the end.
  for (const char* text :
       {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
    EXPECT_FALSE(utf8::isValid(text)) << text;
  }
}

TEST(Utf8Test, SanitizeReplacesOnlyTheBadBytes) {
  EXPECT_EQ(utf8::sanitize("a\xffz"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf8::sanitize("é\xc3"), "é\xEF\xBF\xBD");
  EXPECT_EQ(utf8::sanitize("fine é"), "fine é");
}

TEST(NumberFormatTest, ShortestDoubleAlwaysHasAFractionAndTwoDecimalsRound) {
  for (const auto& [value, text] :
       {std::pair{5.0, "5.0"}, {2.5, "2.5"}, {1.0, "1.0"}, {0.1, "0.1"}}) {
    EXPECT_EQ(formatShortestDouble(value), text);
  }
  EXPECT_EQ(formatTwoDecimals(0.7), "0.70");
  EXPECT_EQ(formatTwoDecimals(0.004), "0.00");
}

}  // namespace
}  // namespace velmar
