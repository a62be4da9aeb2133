#include <gtest/gtest.h>

#include "providers/json_read.hpp"
#include "providers/text.hpp"

namespace dapplewick {
namespace {

TEST(JsonValues, ReadNumbersAndExactIntegers) {
  struct Case {
    std::string json;
    std::optional<double> number;
    std::optional<std::int64_t> integer;
  };
  const std::vector<Case> cases = {
      {"12", 12, 12},
      {"-3", -3, -3},
      {"12.0", 12, 12},
      {"12.5", 12.5, std::nullopt},
      {"9223372036854775807", 9223372036854775807.0, 9223372036854775807LL},
      {"9223372036854775808", 9223372036854775808.0, std::nullopt},
      {"-9223372036854775808", -9223372036854775808.0, std::numeric_limits<std::int64_t>::min()},
      {"1e300", 1e300, std::nullopt},
      {"true", std::nullopt, std::nullopt},
      {"\"5\"", std::nullopt, std::nullopt},
      {"null", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Json value = parseJson(c.json);
    EXPECT_EQ(numberValue(&value), c.number);
    EXPECT_EQ(integerValue(&value), c.integer);
  }
  EXPECT_FALSE(numberValue(nullptr));
  EXPECT_FALSE(integerValue(nullptr));
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
