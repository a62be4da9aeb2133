#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <limits>
#include <set>

#include "engine/service_table.hpp"
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
  EXPECT_EQ(rawValue(Provider::openAI), "openai");
  EXPECT_EQ(rawValue(Provider::alibabaTokenPlan), "alibabatokenplan");
  EXPECT_EQ(rawValue(Provider::llmProxy), "llmproxy");
  EXPECT_EQ(caseName(Provider::kimiK2), "kimiK2");
  std::set<std::string_view> raws;
  for (Provider provider : all) {
    const auto raw = rawValue(provider);
    EXPECT_TRUE(raws.insert(raw).second) << raw;
    EXPECT_EQ(providerFromRawValue(raw), provider);
    std::string lowered(caseName(provider));
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(lowered, raw);
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
  const Case cases[] = {
      {0, 100, 0, 0},     {49.9, 100, 49, 0}, {50, 100, 50, 1},   {74.99, 100, 74, 1}, {75, 100, 75, 2},
      {89, 100, 89, 2},   {90, 100, 90, 3},   {100, 100, 100, 3}, {150, 100, 100, 3},  {5, 0, 0, 0},
      {5, -1, 0, 0},      {-5, 100, 0, 0},    {nan, 100, 0, 0},   {5, nan, 0, 0},      {inf, 100, 0, 0},
      {1, 3, 33, 0},      {2, 3, 66, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.used) + "/" + std::to_string(c.limit));
    UsageData data = UsageData::blank(Provider::zai);
    data.used = c.used;
    data.limit = c.limit;
    EXPECT_EQ(data.percentage(), c.percentage);
    EXPECT_EQ(data.level(), c.level);
    EXPECT_EQ(data.remainingPercentage(), 100 - c.percentage);
  }
}

TEST(UsageData, PeriodsAndSemantics) {
  EXPECT_EQ(rawValue(ResetPeriod::window), "5h window");
  EXPECT_EQ(rawValue(ResetPeriod::daily), "Daily");
  EXPECT_EQ(rawValue(ResetPeriod::weekly), "Weekly");
  EXPECT_EQ(rawValue(ResetPeriod::monthly), "Monthly");
  EXPECT_EQ(caseName(CostSemantic::periodCumulative), "periodCumulative");
  const UsageData failed = UsageData::failure(Provider::groq, "boom", std::nullopt);
  EXPECT_EQ(failed.id, Provider::groq);
  EXPECT_EQ(failed.provider, Provider::groq);
  EXPECT_EQ(failed.error, "boom");
}

TEST(CredentialKind, SessionWhenEqualsOrCookie) {
  EXPECT_TRUE(isAPIKeyCredential("sk-abc", Provider::minimax));
  EXPECT_FALSE(isAPIKeyCredential("session=abc", Provider::minimax));
  EXPECT_FALSE(isAPIKeyCredential("my CoOkIe", Provider::factory));
  EXPECT_TRUE(isAPIKeyCredential("", Provider::factory));
}

TEST(ServiceTable, OneLinePerProviderInCatalogueOrder) {
  std::vector<Provider> listed;
  for (const ServiceLine& entry : serviceTable()) listed.push_back(entry.provider);
  std::vector<Provider> inCatalogue;
  for (Provider provider : allProviders()) {
    if (std::find(listed.begin(), listed.end(), provider) != listed.end()) inCatalogue.push_back(provider);
  }
  EXPECT_EQ(listed, inCatalogue);
  EXPECT_EQ(credentialRouteFor(Provider::abacus), CredentialRoute::prefixDropped);
  EXPECT_EQ(credentialRouteFor(Provider::kiro), CredentialRoute::notPassed);
  EXPECT_EQ(credentialRouteFor(Provider::kilo), CredentialRoute::unchanged);
}

TEST(ServiceTable, FlagAndPaths) {
  EXPECT_EQ(flaggedCredential("web:a=b", Provider::factory), (FlaggedCredential{"a=b", false}));
  EXPECT_EQ(flaggedCredential("api: key ", Provider::factory), (FlaggedCredential{" key ", true}));
  EXPECT_EQ(flaggedCredential("fk-123", Provider::factory), (FlaggedCredential{"fk-123", true}));
  EXPECT_EQ(flaggedCredential("cookie: x", Provider::factory), (FlaggedCredential{"cookie: x", false}));
  EXPECT_EQ(routedCredential("web: s=1", Provider::minimax), (RoutedCredential{CredentialPath::cookie, " s=1"}));
  EXPECT_EQ(routedCredential("api:k=1", Provider::minimax), (RoutedCredential{CredentialPath::apiKey, "k=1"}));
  EXPECT_EQ(routedCredential(" eyJ ", Provider::minimax), (RoutedCredential{CredentialPath::apiKey, " eyJ "}));
  EXPECT_EQ(routedCredential("a=b", Provider::minimax), (RoutedCredential{CredentialPath::cookie, "a=b"}));
}

}  // namespace
}  // namespace dapplewick
