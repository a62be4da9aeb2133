#include <gtest/gtest.h>

#include <iomanip>
#include <limits>
#include <set>

#include "common/text.hpp"
#include "model/credential_kind.hpp"
#include "model/provider.hpp"
#include "model/usage_data.hpp"

namespace dapplewick {
namespace {

TEST(Provider, CatalogueOrderAndRawValues) {
  const auto& all = allProviders();
  ASSERT_EQ(all.size(), 48u);
  EXPECT_EQ(all.front(), Provider::codex);
  EXPECT_EQ(all.back(), Provider::deepgram);
  std::set<std::string_view> raws;
  for (Provider provider : all) {
    const auto raw = rawValue(provider);
    EXPECT_TRUE(raws.insert(raw).second) << raw;
    EXPECT_EQ(providerFromRawValue(raw), provider);
    EXPECT_EQ(toLowerASCII(caseName(provider)), raw);
  }
  EXPECT_EQ(providerFromRawValue("OpenAI"), std::nullopt);
  EXPECT_EQ(providerFromRawValue(""), std::nullopt);
}

TEST(UsageData, PercentageLevelAndRemaining) {
  struct Case {
    double used;
    double limit;
    int percentage;
    int level;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // clang-format off
  const Case cases[] = {
      {0, 100, 0, 0},   {49.9, 100, 49, 0}, {50, 100, 50, 1},   {74.99, 100, 74, 1}, {75, 100, 75, 2}, {89, 100, 89, 2},
      {90, 100, 90, 3}, {100, 100, 100, 3}, {150, 100, 100, 3}, {5, 0, 0, 0},        {5, -1, 0, 0},    {-5, 100, 0, 0},
      {nan, 100, 0, 0}, {5, nan, 0, 0},     {inf, 100, 0, 0},   {1, 3, 33, 0},       {2, 3, 66, 1},
      // Whole shares that double arithmetic puts a hair below their percent, as counts and as a service's percent;
      // then shares truly below a whole one.
      {29, 100, 29, 0}, {57, 100, 57, 1}, {58, 100, 58, 1}, {29, 50, 58, 1}, {87, 300, 29, 0}, {58, 200, 29, 0},
      {28.999999999999996, 100, 29, 0}, {57.99999999999999, 100, 58, 1},
      {28.9, 100, 28, 0}, {28.99, 100, 28, 0}, {28.999999, 100, 28, 0}, {99.99, 100, 99, 3},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::setprecision(17) << c.used << "/" << c.limit);
    UsageData data = UsageData::blank(Provider::zai);
    data.used = c.used;
    data.limit = c.limit;
    EXPECT_EQ(data.percentage(), c.percentage);
    EXPECT_EQ(data.level(), c.level);
    EXPECT_EQ(data.remainingPercentage(), 100 - c.percentage);
  }
}

TEST(CredentialKind, SessionWhenEqualsOrCookie) {
  EXPECT_TRUE(isAPIKeyCredential("sk-abc", Provider::minimax));
  EXPECT_FALSE(isAPIKeyCredential("session=abc", Provider::minimax));
  EXPECT_FALSE(isAPIKeyCredential("my CoOkIe", Provider::factory));
  EXPECT_TRUE(isAPIKeyCredential("", Provider::factory));
}

}  // namespace
}  // namespace dapplewick
