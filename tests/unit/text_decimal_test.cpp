#include <limits>

#include <gtest/gtest.h>

#include "providers/text.hpp"

namespace dapplewick {
namespace {

TEST(FormatDecimal, RoundsTheShortestDecimalHalfToEven) {
  struct Case {
    double value;
    int digits;
    bool grouping;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {12.25, 1, true, "12.2"},
      {12.75, 1, true, "12.8"},
      {2.675, 2, true, "2.68"},  // the binary value lies below 2.675; the decimal text decides
      {0.5, 0, true, "0"},
      {1.5, 0, true, "2"},
      {2.5, 0, true, "2"},
      {0.05, 1, true, "0"},
      {0.051, 1, true, "0.1"},
      {9.96, 1, true, "10"},
      {99999.5, 0, true, "100,000"},
      {12.3456789, 4, false, "12.3457"},
      {12.5, 4, false, "12.5"},
      {1234567.125, 4, false, "1234567.125"},
      {1234567.125, 2, true, "1,234,567.12"},
      {-0.00001, 4, true, "0"},
      {-0.0, 1, true, "0"},
      {123, 0, true, "123"},
      {1234, 0, true, "1,234"},
      {123456, 0, true, "123,456"},
      {5e-324, 2, true, "0"},
      {std::numeric_limits<double>::max(), 0, false, std::string("17976931348623157") + std::string(292, '0')},
      {std::numeric_limits<double>::quiet_NaN(), 1, true, std::nullopt},
      {-std::numeric_limits<double>::infinity(), 1, true, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.value << " digits " << c.digits);
    EXPECT_EQ(formatDecimal(c.value, c.digits, c.grouping), c.want);
  }
}

TEST(CapitalizeWords, UppersEachWordStartAndLowersTheRest) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"gold plan", "Gold Plan"},
      {"GOLD  PLAN", "Gold  Plan"},
      {"pro\tteam\nplus", "Pro\tTeam\nPlus"},
      {"gold-plan", "Gold-plan"},
      {"2x turbo", "2x Turbo"},
      {"", ""},
      {"\u00E9t\u00E9 PASS", "\u00E9t\u00E9 Pass"},
      {"a\u00A0b", "A\u00A0B"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(capitalizeWords(c.text), c.want);
  }
}

}  // namespace
}  // namespace dapplewick
