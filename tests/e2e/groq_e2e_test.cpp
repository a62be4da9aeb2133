#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

struct SeenRequest {
  std::string query;
  std::string authorization;
  std::string accept;
  std::string userAgent;
};

std::string vector(const std::vector<std::string>& values) {
  Json result = Json::array();
  for (const auto& value : values) result.push_back({{"metric", Json::object()}, {"value", {1741000000.5, value}}});
  return Json{{"status", "success"}, {"data", {{"resultType", "vector"}, {"result", result}}}}.dump();
}

TEST(GroqEndToEnd, ReportsTheRatesPerMinute) {
  testing::ProviderServer provider;
  std::mutex mutex;
  std::vector<SeenRequest> seen;
  provider.server().Get("/v1/metrics/prometheus/api/v1/query", [&](const httplib::Request& request,
                                                                    httplib::Response& response) {
    const std::string query = request.get_param_value("query");
    {
      std::lock_guard lock(mutex);
      seen.push_back({query, request.get_header_value("Authorization"), request.get_header_value("Accept"),
                      request.get_header_value("User-Agent")});
    }
    if (query == "sum(model_project_id_status_code:requests:rate5m)") {
      response.set_content(vector({"NaN", "0.5"}), "application/json");
    } else if (query == "sum(model_project_id:tokens_in:rate5m)") {
      response.set_content(vector({"100"}), "application/json");
    } else if (query == "sum(model_project_id:tokens_out:rate5m)") {
      response.set_content(vector({"20"}), "application/json");
    } else {
      response.status = 500;
      response.set_content("metrics backend unavailable", "text/plain");
    }
  });
  provider.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"groq", provider.origin()}});
  sandbox.saveCredential("groq", "api:  gsk_e2e_key \n");
  const Json output = sandbox.runJson({"groq"});

  ASSERT_EQ(output.size(), 1u);
  const Json& record = output[0];
  EXPECT_EQ(record["id"], "groq");
  EXPECT_EQ(record["provider"], "groq");
  EXPECT_EQ(record["used"], 0);
  EXPECT_EQ(record["limit"], 0);
  EXPECT_EQ(record["cost"], 0);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_TRUE(record["resetAt"].is_null());
  EXPECT_EQ(record["resetPeriod"], "window");
  EXPECT_TRUE(record["lastUpdated"].is_string());
  EXPECT_TRUE(record["error"].is_null());
  EXPECT_EQ(record["note"], "30.0 req/min \u00B7 7200 tok/min");
  EXPECT_EQ(record["isLoading"], false);
  EXPECT_EQ(record["auxiliaryUsage"], Json::array());
  EXPECT_EQ(record["percentage"], 0);

  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 4u);
  for (const auto& request : seen) {
    SCOPED_TRACE(request.query);
    EXPECT_EQ(request.authorization, "Bearer gsk_e2e_key");
    EXPECT_EQ(request.accept, "application/json");
    EXPECT_EQ(request.userAgent, "Dapplewick/1.0");
  }
}

}  // namespace
}  // namespace dapplewick
