#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "common/numbers.hpp"
#include "common/text.hpp"

namespace dapplewick {
namespace {

TEST(FormatDecimal, RoundsTheShortestDecimalHalfToEven) {
  const double max = std::numeric_limits<double>::max();
  const std::vector<std::tuple<double, int, bool, std::optional<std::string>>> cases = {
      {12.25, 1, true, "12.2"},
      {2.675, 2, true, "2.68"},  // the binary value lies below 2.675; the decimal text decides
      {1.5, 0, true, "2"},
      {2.5, 0, true, "2"},
      {0.051, 1, true, "0.1"},
      {9.96, 1, true, "10"},
      {99999.5, 0, true, "100,000"},
      {1234567.125, 4, false, "1234567.125"},
      {1234567.125, 2, true, "1,234,567.12"},
      {-0.00001, 4, true, "0"},
      {5e-324, 2, true, "0"},
      {max, 0, false, std::string("17976931348623157") + std::string(292, '0')},
      {std::nan(""), 1, true, std::nullopt},
      {-std::numeric_limits<double>::infinity(), 1, true, std::nullopt},
  };
  for (const auto& [value, digits, grouping, want] : cases) {
    EXPECT_EQ(formatDecimal(value, digits, grouping), want) << value << " digits " << digits;
  }
}

TEST(CapitalizeWords, UppersEachWordStartAndLowersTheRest) {
  EXPECT_EQ(capitalizeWords("GOLD  PLAN\tpro\nplus"), "Gold  Plan\tPro\nPlus");
  EXPECT_EQ(capitalizeWords("gold-plan 2x"), "Gold-plan 2x");
  EXPECT_EQ(capitalizeWords("\u00E9t\u00E9 PASS a\u00A0b"), "\u00E9t\u00E9 Pass A\u00A0B");
}

}  // namespace
}  // namespace dapplewick
