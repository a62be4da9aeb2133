#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

const std::string kBrowser = "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";

// What the site received.
struct Received {
  std::string usageAuthorization, usageContentType, usageUserAgent, usageBody, subscriptionAuthorization;
};

// The Codebuff site: a usage endpoint and a subscription endpoint with fixed answers; remembers what it received.
class CodebuffSite {
 public:
  CodebuffSite(int usageStatus, std::string usageBody, int subscriptionStatus, std::string subscriptionBody) {
    server_.server().Post("/api/v1/usage", [this, usageStatus, usageBody](const httplib::Request& request,
                                                                          httplib::Response& response) {
      {
        std::lock_guard lock(mutex_);
        received_.usageAuthorization = request.get_header_value("Authorization");
        received_.usageContentType = request.get_header_value("Content-Type");
        received_.usageUserAgent = request.get_header_value("User-Agent");
        received_.usageBody = request.body;
      }
      response.status = usageStatus;
      response.set_content(usageBody, "application/json");
    });
    server_.server().Get("/api/user/subscription",
                         [this, subscriptionStatus, subscriptionBody](const httplib::Request& request,
                                                                      httplib::Response& response) {
                           {
                             std::lock_guard lock(mutex_);
                             received_.subscriptionAuthorization = request.get_header_value("Authorization");
                           }
                           response.status = subscriptionStatus;
                           response.set_content(subscriptionBody, "application/json");
                         });
    server_.start();
  }
  std::string origin() const { return server_.origin(); }
  Received received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  testing::ProviderServer server_;
  mutable std::mutex mutex_;
  Received received_;
};

bool isAbsent(const Json& record, const char* key) { return !record.contains(key) || record[key].is_null(); }

class CodebuffEndToEnd : public ::testing::Test {
 protected:
  Json run(const CodebuffSite& site) {
    sandbox.setOrigins({{"codebuff", site.origin()}});
    sandbox.saveCredential("codebuff", "web: cb-token ");
    return sandbox.runJson({"codebuff"});
  }
  testing::Sandbox sandbox;
};

const std::string kUsage = R"({"usage":250,"quota":1000,"next_quota_reset":"2026-02-01T00:00:00Z"})";
const std::string kSubscription =
    R"({"subscription":{"displayName":"Pro","currentPeriodEnd":"2026-03-01T00:00:00Z"},)"
    R"("rateLimit":{"weeklyUsed":40,"weeklyLimit":200,"weeklyResetsAt":1767571200000}})";

TEST_F(CodebuffEndToEnd, ReadsUsageAndSubscription) {
  CodebuffSite site(200, kUsage, 200, kSubscription);
  const Json records = run(site);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];

  EXPECT_EQ(record["id"], "codebuff");
  EXPECT_EQ(record["provider"], "codebuff");
  EXPECT_EQ(record["used"], 250);
  EXPECT_EQ(record["limit"], 1000);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_EQ(record["resetAt"], "2026-02-01T00:00:00.000Z");
  EXPECT_EQ(record["resetPeriod"], "monthly");
  EXPECT_TRUE(isAbsent(record, "error")) << record.dump();
  EXPECT_EQ(record["note"], "Tier: Pro");
  EXPECT_EQ(record["percentage"], 25);
  ASSERT_EQ(record["auxiliaryUsage"].size(), 1u);
  Json weekly = record["auxiliaryUsage"][0];
  EXPECT_EQ(weekly["used"], 40);
  EXPECT_EQ(weekly["limit"], 200);
  EXPECT_EQ(weekly["resetAt"], "2026-01-05T00:00:00.000Z");
  EXPECT_EQ(weekly["resetPeriod"], "weekly");

  const Received received = site.received();
  EXPECT_EQ(received.usageAuthorization, "Bearer cb-token");
  EXPECT_EQ(received.usageContentType, "application/json");
  EXPECT_EQ(received.usageUserAgent, kBrowser);
  EXPECT_EQ(received.usageBody, R"({"fingerprintId":"dapple-wick"})");
  EXPECT_EQ(received.subscriptionAuthorization, "Bearer cb-token");
}

TEST_F(CodebuffEndToEnd, FailedSubscriptionStillGivesARecord) {
  CodebuffSite site(200, kUsage, 500, R"({"error":"internal"})");
  const Json records = run(site);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];

  EXPECT_TRUE(isAbsent(record, "error")) << record.dump();
  EXPECT_EQ(record["used"], 250);
  EXPECT_EQ(record["limit"], 1000);
  EXPECT_EQ(record["resetAt"], "2026-02-01T00:00:00.000Z");
  EXPECT_TRUE(isAbsent(record, "note"));
  EXPECT_TRUE(record["auxiliaryUsage"].empty());
}

TEST_F(CodebuffEndToEnd, SignInPageInsteadOfUsageIsAnError) {
  CodebuffSite site(200, "<!DOCTYPE html><html><body>Sign in</body></html>", 200, kSubscription);
  const Json records = run(site);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];
  EXPECT_EQ(record["error"], "Unexpected response from Codebuff");
}

TEST_F(CodebuffEndToEnd, RejectedTokenIsAnErrorRecord) {
  CodebuffSite site(401, "", 200, kSubscription);
  const Json records = run(site);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];
  EXPECT_EQ(record["error"], "Invalid Codebuff API token");
  EXPECT_EQ(record["provider"], "codebuff");
}

}  // namespace
}  // namespace dapplewick
