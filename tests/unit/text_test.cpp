#include "common/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/excerpt.hpp"
#include "common/numbers.hpp"
#include "model/credential_kind.hpp"

namespace dapplewick {
namespace {

TEST(CredentialPrefix, DropsOnePrefixThenTrims) {
  struct Case {
    std::string stored, stripped, prepared;
  };
  const Case cases[] = {
      {"api:  key\n", "  key\n", "key"},
      {"api:web:x", "web:x", "web:x"},
      {" web:x", " web:x", "web:x"},
      {"WEB:x", "WEB:x", "WEB:x"},
      {"web:", "", ""},
      {"\u00A0\u3000token\u2028", "\u00A0\u3000token\u2028", "token"},
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
  EXPECT_EQ(trimWhitespace(" \xff "), "\xff");      // an invalid byte is neither white space nor split
  EXPECT_EQ(trimWhitespace("   "), "");
  EXPECT_EQ(trimSpacesAndTabs("\u00A0\tx\n\u3000"), "x\n");
}

TEST(LetterCase, ComparisonsFoldASCIIOnlyWhileWordsCapitaliseBeyond) {
  EXPECT_TRUE(equalsIgnoringASCIICase("Content-Type", "content-type"));
  EXPECT_FALSE(equalsIgnoringASCIICase("\u00C9", "\u00E9"));
  EXPECT_TRUE(containsIgnoringASCIICase("my COOKIE jar", "cookie"));
  EXPECT_FALSE(containsIgnoringASCIICase("coo", "cookie"));
  EXPECT_EQ(toLowerASCII("AbC\u00C9"), "abc\u00C9");
  EXPECT_EQ(findIgnoringASCIICase("\u00E9 BONUS Credits bonus credits", "bonus credits"), 3u);
  EXPECT_EQ(findIgnoringASCIICase("abc", ""), 0u);
  EXPECT_EQ(capitalizeWords("GOLD  PLAN\tpro\nplus-x 2x"), "Gold  Plan\tPro\nPlus-x 2x");
  // Letters beyond ASCII too, whatever the locale; one without a one-letter capital (ß) and a bad byte stay.
  EXPECT_EQ(capitalizeWords("\u00E9lite MAX \u00DF\u00C9 \u00FF\u0178 \u03C2\u03A3 \u0444\u0416 \u0111\u0130"),
            "\u00C9lite Max \u00DF\u00E9 \u0178\u00FF \u03A3\u03C3 \u0424\u0436 \u0110\u0130");
  EXPECT_EQ(capitalizeWords("a\u00A0b \xff\u00C9"), "A\u00A0B \xff\u00E9");
  // Both ends of every range of capitals, as {capital, small}: a small letter first becomes capital, and back;
  // ÿ pairs out of order; beside the ranges ×, ÷, ß, ĸ and an unassigned point stay.
  const std::pair<char32_t, char32_t> ends[] = {
      {0xC0, 0xE0},   {0xD6, 0xF6},   {0xD8, 0xF8},   {0xDE, 0xFE},   {0x100, 0x101}, {0x12E, 0x12F}, {0x132, 0x133},
      {0x136, 0x137}, {0x139, 0x13A}, {0x147, 0x148}, {0x14A, 0x14B}, {0x176, 0x177}, {0x179, 0x17A}, {0x17D, 0x17E},
      {0x386, 0x3AC}, {0x388, 0x3AD}, {0x38A, 0x3AF}, {0x38C, 0x3CC}, {0x38E, 0x3CD}, {0x38F, 0x3CE}, {0x391, 0x3B1},
      {0x3A1, 0x3C1}, {0x3A3, 0x3C3}, {0x3AB, 0x3CB}, {0x400, 0x450}, {0x40F, 0x45F}, {0x410, 0x430}, {0x42F, 0x44F},
      {0x460, 0x461}, {0x480, 0x481}, {0x48A, 0x48B}, {0x4BE, 0x4BF}, {0x4C1, 0x4C2}, {0x4CD, 0x4CE}, {0x4D0, 0x4D1},
      {0x52E, 0x52F}, {0x178, 0xFF},  {0xD7, 0xD7},   {0xF7, 0xF7},   {0xDF, 0xDF},   {0x138, 0x138}, {0x3A2, 0x3A2}};
  const auto utf8 = [](std::initializer_list<char32_t> codePoints) {
    std::string out;
    for (const char32_t c : codePoints) appendUTF8(out, c);
    return out;
  };
  for (const auto& [capital, small] : ends) {
    EXPECT_EQ(capitalizeWords(utf8({small, capital})), utf8({capital, small}))
        << std::hex << static_cast<unsigned>(capital);
  }
}

TEST(UTF8, ValidateRepairCountCutAndExcerpt) {
  EXPECT_TRUE(isValidUTF8("h\u00E9llo \U0001F600"));
  EXPECT_FALSE(isValidUTF8("a\xC3"));
  EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a surrogate
  EXPECT_FALSE(isValidUTF8("\xC0\xAF"));      // overlong
  EXPECT_EQ(repairUTF8("a\xff"
                       "b"),
            "a\uFFFD"
            "b");
  EXPECT_EQ(codePointCount("h\u00E9\U0001F600"), 3u);
  EXPECT_EQ(prefixCodePoints("h\u00E9\U0001F600x", 3), "h\u00E9\U0001F600");
  std::string accents;
  for (int i = 0; i < 250; ++i) accents += "\u00E9";
  EXPECT_EQ(errorExcerpt(accents), accents.substr(0, 400));
  EXPECT_EQ(bodyExcerpt(accents), accents.substr(0, 400));
  EXPECT_EQ(bodyExcerpt("ok\xFF"), "");
}

// Text quoted from a file: each control or reordering character is one U+FFFD, and the cut falls after 200 code
// points whatever they were.
TEST(UTF8, PrintableExcerptFiltersAndCuts) {
  EXPECT_EQ(printableExcerpt("a\x1b]0;t\x07\u009b\u202E\xff\u00E9"), "a\uFFFD]0;t\uFFFD\uFFFD\uFFFD\uFFFD\u00E9");
  std::string controls;
  for (int i = 0; i < 100'000; ++i) controls += "\x1b\u2066";
  std::string replaced;
  for (std::size_t i = 0; i < kMaxErrorTextCodePoints; ++i) replaced += "\uFFFD";
  EXPECT_EQ(printableExcerpt(controls), replaced);
}

TEST(Notes, JoinedWithMiddleDot) {
  EXPECT_EQ(joinNotes({}), std::nullopt);
  EXPECT_EQ(joinNotes({"Pro", "", "x"}), "Pro \u00B7  \u00B7 x");
}

// printf's rounding of the binary value against the half-to-even rounding of the shortest decimal text. Unlike
// printf, neither shows the sign of a result that rounds to zero.
TEST(Formatting, FixedAndDecimal) {
  struct Case {
    double value;
    int digits;
    std::string fixed;
    std::optional<std::string> decimal;
  };
  const double max = std::numeric_limits<double>::max();
  // clang-format off
  const Case cases[] = {
      {2.675, 2, "2.67", "2.68"},  // the binary value lies below 2.675
      {12.25, 1, "12.2", "12.2"}, {42.5, 0, "42", "42"}, {43.5, 0, "44", "44"}, {9.96, 1, "10.0", "10"},
      {7, 2, "7.00", "7"}, {99999.5, 0, "100000", "100,000"}, {-0.4, 0, "0", "0"}, {-0.00001, 4, "0.0000", "0"},
      {-0.00005, 4, "-0.0001", "0"}, {5e-324, 2, "0.00", "0"},
      {1234567.125, 2, "1234567.12", "1,234,567.12"},
      {1e21, 0, "1000000000000000000000", "1,000,000,000,000,000,000,000"},
      {std::nan(""), 1, "nan", std::nullopt}, {-std::numeric_limits<double>::infinity(), 1, "-inf", std::nullopt},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(formatFixed(c.value, c.digits), c.fixed);
    EXPECT_EQ(formatDecimal(c.value, c.digits), c.decimal);
  }
  EXPECT_EQ(formatDecimal(1234567.125, 4, false), "1234567.125");
  EXPECT_EQ(formatDecimal(max, 0, false), std::string("17976931348623157") + std::string(292, '0'));
}

// One strict grammar, the whole text consumed; an integer is digits only, within 64 bits.
TEST(Parsing, DecimalsAndIntegers) {
  struct Case {
    std::string text;
    std::optional<double> decimal;
    std::optional<long long> integer;
  };
  const long long max = std::numeric_limits<long long>::max();
  const long long min = std::numeric_limits<long long>::min();
  // clang-format off
  const Case cases[] = {
      {"+12", 12, 12}, {"-3", -3, -3}, {"12.5", 12.5, {}}, {".5", 0.5, {}}, {"5.", 5, {}}, {"1E-2", 0.01, {}},
      {"9223372036854775807", 9223372036854775807.0, max}, {"9223372036854775808", 9223372036854775808.0, {}},
      {"-9223372036854775808", -9223372036854775808.0, min}, {"", {}, {}}, {"-", {}, {}}, {".", {}, {}},
      {"1e", {}, {}}, {" 1", {}, {}}, {"1 ", {}, {}}, {"0x10", {}, {}}, {"inf", {}, {}}, {"NaN", {}, {}},
      {"1e400", {}, {}}, {"1,5", {}, {}}, {"1.2.3", {}, {}}, {"--1", {}, {}},
      // Underflow reads as zero or the subnormal, as strtod reads it; overflow stays unreadable.
      {"1e-400", 0, {}}, {"-0.001e-999", 0, {}}, {"4e-320", 4e-320, {}}, {"0.0000000001e-320", 0, {}},
      {"100000000000e-330", 1e-319, {}}, {"0.001e311", 1e308, {}}, {"0.01e311", {}, {}}, {"1000e306", {}, {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseDecimal(c.text), c.decimal);
    EXPECT_EQ(parseInteger(c.text), c.integer);
  }
  EXPECT_EQ(checkedAdd(max, 1), std::nullopt);
  EXPECT_EQ(checkedSub(-max, 2), std::nullopt);
  EXPECT_EQ(checkedMul(max / 2 + 1, 2), std::nullopt);
  EXPECT_EQ(checkedMul(5, 10080), 50400);
}

}  // namespace
}  // namespace dapplewick
