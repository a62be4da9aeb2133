#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

constexpr const char* kQuotaPath = "/api/monitor/usage/quota/limit";

const std::string kQuotaBody =
    R"({"code":200,"msg":"ok","success":true,"data":{"planName":"Pro","limits":[)"
    R"({"type":"TOKENS_LIMIT","unit":6,"number":1,"percentage":10,"nextResetTime":1767830400000},)"
    R"({"type":"TIME_LIMIT","unit":4,"number":1,"percentage":7},)"
    R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250,"percentage":25,)"
    R"("nextResetTime":1767225600000}]}})";

// One z.ai API host: answers the quota request with a fixed status and body and remembers the keys it saw.
class ZaiHost {
 public:
  ZaiHost(int status, std::string body) {
    server_.server().Get(kQuotaPath, [this, status, body](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(mutex_);
        authorizations_.push_back(request.get_header_value("authorization"));
        userAgents_.push_back(request.get_header_value("User-Agent"));
      }
      response.status = status;
      response.set_content(body, "application/json");
    });
    server_.start();
  }
  std::string origin() const { return server_.origin(); }
  std::vector<std::string> authorizations() const {
    std::lock_guard lock(mutex_);
    return authorizations_;
  }
  std::vector<std::string> userAgents() const {
    std::lock_guard lock(mutex_);
    return userAgents_;
  }

 private:
  testing::ProviderServer server_;
  mutable std::mutex mutex_;
  std::vector<std::string> authorizations_;
  std::vector<std::string> userAgents_;
};

bool isAbsent(const Json& record, const char* key) { return !record.contains(key) || record[key].is_null(); }

class ZaiEndToEnd : public ::testing::Test {
 protected:
  Json run(ZaiHost& international, ZaiHost& china) {
    sandbox.setOrigins({{"zai.international", international.origin()}, {"zai.china", china.origin()}});
    sandbox.saveCredential("zai", "api:  zai-key\n");
    return sandbox.runJson({"zai"});
  }
  testing::Sandbox sandbox;
};

TEST_F(ZaiEndToEnd, ReadsTheInternationalHost) {
  ZaiHost international(200, kQuotaBody);
  ZaiHost china(500, "");
  const Json records = run(international, china);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];

  EXPECT_EQ(record["id"], "zai");
  EXPECT_EQ(record["provider"], "zai");
  EXPECT_EQ(record["used"], 25);
  EXPECT_EQ(record["limit"], 100);
  EXPECT_EQ(record["cost"], 0);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_EQ(record["resetAt"], "2026-01-01T00:00:00.000Z");
  EXPECT_EQ(record["resetPeriod"], "daily");
  EXPECT_TRUE(isAbsent(record, "error")) << record.dump();
  EXPECT_EQ(record["note"], "Pro \u00B7 Monthly: 7% used");
  EXPECT_EQ(record["isLoading"], false);
  EXPECT_EQ(record["percentage"], 25);
  ASSERT_EQ(record["auxiliaryUsage"].size(), 1u);
  Json weekly = record["auxiliaryUsage"][0];
  EXPECT_EQ(weekly["provider"], "zai");
  EXPECT_EQ(weekly["used"], 10);
  EXPECT_EQ(weekly["limit"], 100);
  EXPECT_EQ(weekly["resetAt"], "2026-01-08T00:00:00.000Z");
  EXPECT_EQ(weekly["resetPeriod"], "monthly");
  EXPECT_EQ(weekly["note"], "1 week window");

  EXPECT_EQ(international.authorizations(), std::vector<std::string>{"Bearer zai-key"});
  EXPECT_EQ(international.userAgents(), std::vector<std::string>{"Dapplewick/1.0"});
  EXPECT_TRUE(china.authorizations().empty());
}

TEST_F(ZaiEndToEnd, RejectedKeyFallsBackToTheChinaHost) {
  ZaiHost international(401, R"({"error":"unauthorized"})");
  ZaiHost china(200, kQuotaBody);
  const Json records = run(international, china);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];

  EXPECT_TRUE(isAbsent(record, "error")) << record.dump();
  EXPECT_EQ(record["used"], 25);
  EXPECT_EQ(record["limit"], 100);
  EXPECT_EQ(record["note"], "Pro \u00B7 Monthly: 7% used");
  EXPECT_EQ(record["auxiliaryUsage"].size(), 1u);
  EXPECT_EQ(international.authorizations(), std::vector<std::string>{"Bearer zai-key"});
  EXPECT_EQ(china.authorizations(), std::vector<std::string>{"Bearer zai-key"});
}

TEST_F(ZaiEndToEnd, KeyRejectedByBothHostsIsAnErrorRecord) {
  ZaiHost international(401, "");
  ZaiHost china(403, "");
  const Json records = run(international, china);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];
  EXPECT_EQ(record["error"], "Invalid z.ai API key");
  EXPECT_EQ(record["provider"], "zai");
  EXPECT_EQ(china.authorizations().size(), 1u);
}

TEST_F(ZaiEndToEnd, FailureCodeFromTheFirstHostIsFinal) {
  ZaiHost international(200, R"({"code":1001,"msg":"quota service down","success":false})");
  ZaiHost china(200, kQuotaBody);
  const Json records = run(international, china);
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];
  EXPECT_EQ(record["error"], "z.ai API error 1001");
  EXPECT_TRUE(china.authorizations().empty());
}

}  // namespace
}  // namespace dapplewick
