#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

// The proxy on loopback, over plain http, which is allowed there; it answers only to the right key. The address
// comes from the credential, then from the environment.
TEST(LLMProxyEndToEnd, ReadsTheProxyNamedInTheCredentialOrTheEnvironment) {
  testing::ProviderServer proxy;
  proxy.handle("GET", "/team/v1/quota-stats", [](const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("Authorization") != "Bearer sk-e2e" ||
        request.get_header_value("Accept") != "application/json") {
      response.status = 401;
      return;
    }
    response.set_content(R"({"providers": {
      "openai": {"total_requests": 5,
                 "quota_groups": [{"remaining_percent": 80, "reset_time": "2030-01-02T00:00:00Z"}]},
      "anthropic": {"total_requests": 7, "quota_groups": {"pro": {"remaining_percent": 35,
                                                                  "reset_time": "2030-01-01T12:00:00.500Z"}}}},
      "summary": {"total_tokens": 1500, "approx_cost": 0.25}})",
                         "application/json");
  });
  proxy.start();

  for (const bool fromEnvironment : {false, true}) {
    SCOPED_TRACE(fromEnvironment ? "address from the environment" : "address in the credential");
    testing::Sandbox sandbox;
    if (fromEnvironment) sandbox.setEnv("LLM_PROXY_BASE_URL", proxy.origin() + "/team/v1/");
    sandbox.saveCredential("llmproxy", fromEnvironment ? "sk-e2e" : proxy.origin() + "/team:sk-e2e");
    const Json output = sandbox.runJson({"llmproxy"});
    ASSERT_EQ(output.size(), 1u);
    const Json& record = output[0];
    EXPECT_TRUE(record.value("error", Json()).is_null()) << record.dump();
    EXPECT_EQ(record["used"], 65);
    EXPECT_EQ(record["limit"], 100);
    EXPECT_EQ(record["cost"], 0.25);
    EXPECT_EQ(record["resetAt"], "2030-01-01T12:00:00.500Z");
    EXPECT_EQ(record["note"], "2 providers \u00B7 12 requests \u00B7 1.5K tokens \u00B7 $0.2500");
  }
  EXPECT_EQ(proxy.requestCount(), 2u);
}

}  // namespace
}  // namespace dapplewick
