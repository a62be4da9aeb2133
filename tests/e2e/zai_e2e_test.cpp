#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

const std::string kQuotaBody =
    R"({"code":200,"msg":"ok","success":true,"data":{"planName":"Pro","limits":[)"
    R"({"type":"TOKENS_LIMIT","unit":6,"number":1,"percentage":10,"nextResetTime":1767830400000},)"
    R"({"type":"TIME_LIMIT","unit":4,"number":1,"percentage":7},)"
    R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250,"percentage":25,)"
    R"("nextResetTime":1767225600000}]}})";

// One z.ai API host answering the quota request with a fixed status and body.
std::unique_ptr<testing::ProviderServer> zaiHost(int status, const std::string& body) {
  auto host = std::make_unique<testing::ProviderServer>();
  host->handle("GET", "/api/monitor/usage/quota/limit", [=](const httplib::Request&, httplib::Response& response) {
    response.status = status;
    response.set_content(body, "application/json");
  });
  host->start();
  return host;
}

// Only a key the first host rejects is tried on the second; the record is read from whichever answered.
TEST(ZaiEndToEnd, ReadsTheFirstHostAndFallsBackOnARejectedKey) {
  struct Case {
    int firstStatus;
    std::string firstBody;
    int secondStatus;
    Json error;
  };
  const std::vector<Case> cases = {
      {200, kQuotaBody, 500, nullptr},
      {401, R"({"error":"unauthorized"})", 200, nullptr},
      {401, "", 403, "Invalid z.ai API key"},
      {200, R"({"code":1001,"msg":"quota service down","success":false})", 200, "z.ai API error 1001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.firstStatus) + c.firstBody);
    const auto international = zaiHost(c.firstStatus, c.firstBody);
    const auto china = zaiHost(c.secondStatus, kQuotaBody);
    testing::Sandbox sandbox;
    sandbox.setOrigins({{"zai.international", international->origin()}, {"zai.china", china->origin()}});
    sandbox.saveCredential("zai", "api:  zai-key\n");
    Json record = sandbox.runJson({"zai"}).at(0);
    EXPECT_EQ(record["error"], c.error) << record.dump();
    if (c.error.is_null()) {
      EXPECT_EQ(record["used"], 25);
      EXPECT_EQ(record["resetAt"], "2026-01-01T00:00:00.000Z");
      EXPECT_EQ(record["note"], "Pro \u00B7 Monthly: 7% used");
      EXPECT_EQ(record["auxiliaryUsage"].at(0)["note"], "1 week window");
    }
    EXPECT_EQ(international->requests().at(0).header("authorization"), "Bearer zai-key");
    EXPECT_EQ(china->requestCount(), c.firstStatus == 401 ? 1u : 0u);
  }
}

}  // namespace
}  // namespace dapplewick
