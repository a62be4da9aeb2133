#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

const std::string kUsage = R"({"usage":250,"quota":1000,"next_quota_reset":"2026-02-01T00:00:00Z"})";
const std::string kSubscription =
    R"({"subscription":{"displayName":"Pro","currentPeriodEnd":"2026-03-01T00:00:00Z"},)"
    R"("rateLimit":{"weeklyUsed":40,"weeklyLimit":200,"weeklyResetsAt":1767571200000}})";

// The Codebuff site with fixed answers for the usage and the subscription request; the binary's JSON record.
Json runCodebuff(testing::ProviderServer& site, int usageStatus, const std::string& usageBody, int subscriptionStatus,
                 const std::string& subscriptionBody) {
  const auto answer = [](int status, std::string body) {
    return [=](const httplib::Request&, httplib::Response& response) {
      response.status = status;
      response.set_content(body, "application/json");
    };
  };
  site.handle("POST", "/api/v1/usage", answer(usageStatus, usageBody));
  site.handle("GET", "/api/user/subscription", answer(subscriptionStatus, subscriptionBody));
  site.start();
  testing::Sandbox sandbox;
  sandbox.setOrigins({{"codebuff", site.origin()}});
  sandbox.saveCredential("codebuff", "web: cb-token ");
  return sandbox.runJson({"codebuff"}).at(0);
}

TEST(CodebuffEndToEnd, ReadsUsageAndSubscription) {
  testing::ProviderServer site;
  Json record = runCodebuff(site, 200, kUsage, 200, kSubscription);
  EXPECT_TRUE(record["error"].is_null()) << record.dump();
  EXPECT_EQ(record["used"], 250);
  EXPECT_EQ(record["limit"], 1000);
  EXPECT_EQ(record["resetAt"], "2026-02-01T00:00:00.000Z");
  EXPECT_EQ(record["note"], "Tier: Pro");
  EXPECT_EQ(record["auxiliaryUsage"].at(0)["used"], 40);
  EXPECT_EQ(record["auxiliaryUsage"].at(0)["resetAt"], "2026-01-05T00:00:00.000Z");
  ASSERT_EQ(site.requestCount(), 2u);
  for (const auto& request : site.requests()) {
    EXPECT_EQ(request.header("Authorization"), "Bearer cb-token");
    EXPECT_EQ(request.header("User-Agent"), "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36");
    if (request.method == "POST") {
      EXPECT_EQ(request.body, R"({"fingerprintId":"dapple-wick"})");
    }
  }
}

TEST(CodebuffEndToEnd, FailedSubscriptionStillGivesARecord) {
  testing::ProviderServer site;
  Json record = runCodebuff(site, 200, kUsage, 500, R"({"error":"internal"})");
  EXPECT_TRUE(record["error"].is_null()) << record.dump();
  EXPECT_EQ(record["used"], 250);
  EXPECT_TRUE(record["note"].is_null());
  EXPECT_TRUE(record["auxiliaryUsage"].empty());
}

}  // namespace
}  // namespace dapplewick
