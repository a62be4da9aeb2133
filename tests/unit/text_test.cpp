#include "common/text.hpp"
#include "common/excerpt.hpp"
#include "common/numbers.hpp"
#include "common/url.hpp"
#include "model/credential_kind.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace dapplewick {
namespace {

TEST(CredentialPrefix, DropsOnePrefixThenTrims) {
  struct Case {
    std::string stored;
    std::string stripped;
    std::string prepared;
  };
  const Case cases[] = {
      {"web:abc", "abc", "abc"},
      {"api:  key\n", "  key\n", "key"},
      {"api:web:x", "web:x", "web:x"},
      {"web:api:x", "api:x", "api:x"},
      {" web:x", " web:x", "web:x"},
      {"WEB:x", "WEB:x", "WEB:x"},
      {"web:", "", ""},
      {"\u00A0\u3000token\u2028", "\u00A0\u3000token\u2028", "token"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(stripKindPrefix(c.stored), c.stripped);
    EXPECT_EQ(prepareCredential(c.stored), c.prepared);
  }
}

TEST(Trim, UnicodeWhitespaceAndLineBreaks) {
  EXPECT_EQ(trimWhitespace(" \t\r\n x y \u00A0\u2003\u3000\u0085"), "x y");
  EXPECT_EQ(trimWhitespace("\u200Bx"), "\u200Bx");  // zero-width space is not white space
  EXPECT_EQ(trimSpacesAndTabs(" \tx\n"), "x\n");
  EXPECT_EQ(trimSpacesAndTabs("\u00A0x\u3000"), "x");
  // Invalid bytes are not white space and are never split.
  EXPECT_EQ(trimWhitespace(" \xff "), "\xff");
  EXPECT_EQ(trimWhitespace("   "), "");
}

TEST(CaseFolding, ASCIIOnly) {
  EXPECT_TRUE(equalsIgnoringASCIICase("Content-Type", "content-type"));
  EXPECT_FALSE(equalsIgnoringASCIICase("\u00C9", "\u00E9"));
  EXPECT_TRUE(containsIgnoringASCIICase("my COOKIE jar", "cookie"));
  EXPECT_FALSE(containsIgnoringASCIICase("coo", "cookie"));
  EXPECT_EQ(toLowerASCII("AbC\u00C9"), "abc\u00C9");
}

TEST(UTF8, RepairCountAndCut) {
  EXPECT_TRUE(isValidUTF8("h\u00E9llo \U0001F600"));
  EXPECT_FALSE(isValidUTF8("a\xC3"));
  EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a surrogate
  EXPECT_FALSE(isValidUTF8("\xC0\xAF"));      // overlong
  EXPECT_EQ(repairUTF8("a\xff" "b"), "a\uFFFD" "b");
  EXPECT_EQ(codePointCount("h\u00E9\U0001F600"), 3u);
  EXPECT_EQ(prefixCodePoints("h\u00E9\U0001F600x", 3), "h\u00E9\U0001F600");
  const std::string longText(300, 'x');
  EXPECT_EQ(errorExcerpt(longText).size(), 200u);
  std::string accents;
  for (int i = 0; i < 250; ++i) accents += "\u00E9";
  EXPECT_EQ(codePointCount(errorExcerpt(accents)), 200u);
  EXPECT_TRUE(isValidUTF8(errorExcerpt(accents)));
}

TEST(FormatFixed, MatchesPrintfWithoutLocale) {
  struct Case {
    double value;
    int digits;
    std::string want;
  };
  const Case cases[] = {
      {42.3, 0, "42"}, {42.5, 0, "42"}, {43.5, 0, "44"}, {0.125, 2, "0.12"}, {2.675, 2, "2.67"},
      {-0.4, 0, "-0"}, {1234567.891, 1, "1234567.9"}, {1e21, 0, "1000000000000000000000"}, {7, 2, "7.00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(formatFixed(c.value, c.digits), c.want);
  }
  EXPECT_EQ(formatFixed(std::numeric_limits<double>::quiet_NaN(), 2), "nan");
}

TEST(Notes, JoinedWithMiddleDot) {
  EXPECT_EQ(joinNotes({}), std::nullopt);
  EXPECT_EQ(joinNotes({"Pro"}), "Pro");
  EXPECT_EQ(joinNotes({"Pro", "", "x"}), "Pro \u00B7  \u00B7 x");
}

TEST(ParseDecimal, StrictGrammar) {
  struct Case {
    std::string text;
    std::optional<double> want;
  };
  const Case cases[] = {
      {"12.5", 12.5}, {"-3", -3}, {"+4", 4}, {".5", 0.5}, {"5.", 5}, {"1e3", 1000}, {"1E-2", 0.01},
      {"0", 0}, {"", std::nullopt}, {"-", std::nullopt}, {".", std::nullopt}, {"1e", std::nullopt},
      {" 1", std::nullopt}, {"1 ", std::nullopt}, {"0x10", std::nullopt}, {"inf", std::nullopt},
      {"NaN", std::nullopt}, {"+Inf", std::nullopt}, {"1e400", std::nullopt}, {"1,5", std::nullopt},
      {"1.2.3", std::nullopt}, {"--1", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseDecimal(c.text), c.want);
  }
}

TEST(ParseInteger, DigitsOnlyAndOverflowRejected) {
  EXPECT_EQ(parseInteger("9223372036854775807"), std::numeric_limits<long long>::max());
  EXPECT_EQ(parseInteger("-9223372036854775808"), std::numeric_limits<long long>::min());
  EXPECT_EQ(parseInteger("9223372036854775808"), std::nullopt);
  EXPECT_EQ(parseInteger("+12"), 12);
  EXPECT_EQ(parseInteger("1.0"), std::nullopt);
  EXPECT_EQ(parseInteger(""), std::nullopt);
  EXPECT_EQ(parseInteger("+"), std::nullopt);
}

TEST(CheckedArithmetic, OverflowGivesNothing) {
  constexpr long long max = std::numeric_limits<long long>::max();
  EXPECT_EQ(checkedAdd(max, 1), std::nullopt);
  EXPECT_EQ(checkedSub(-max, 2), std::nullopt);
  EXPECT_EQ(checkedMul(max / 2 + 1, 2), std::nullopt);
  EXPECT_EQ(checkedMul(5, 10080), 50400);
}

TEST(ASCIICase, FindGivesTheFirstOffset) {
  EXPECT_EQ(findIgnoringASCIICase("x BONUS Credits bonus credits", "bonus credits"), 2u);
  EXPECT_EQ(findIgnoringASCIICase("\u00E9Bonus", "bonus"), 2u);
  EXPECT_EQ(findIgnoringASCIICase("bonus", "bonus credits"), std::string_view::npos);
  EXPECT_EQ(findIgnoringASCIICase("abc", ""), 0u);
}

TEST(PercentEncode, OnlyUnreservedStay) {
  EXPECT_EQ(percentEncode("a-b_c.d~e"), "a-b_c.d~e");
  EXPECT_EQ(percentEncode("a/b ?#%\u00E9"), "a%2Fb%20%3F%23%25%C3%A9");
}

TEST(BodyExcerpt, KeepsValidTextOnly) {
  std::string accents;
  for (int i = 0; i < 201; ++i) accents += "\u00E9";
  EXPECT_EQ(bodyExcerpt("oops"), "oops");
  EXPECT_EQ(bodyExcerpt(accents), accents.substr(0, 400));
  EXPECT_EQ(bodyExcerpt("ok\xFF"), "");
  EXPECT_EQ(bodyExcerpt(""), "");
}

}  // namespace
}  // namespace dapplewick
