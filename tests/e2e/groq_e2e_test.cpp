#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

constexpr const char* kQueryPath = "/v1/metrics/prometheus/api/v1/query";

std::string instantVector(const std::vector<std::string>& values) {
  Json result = Json::array();
  for (const auto& value : values) result.push_back({{"metric", Json::object()}, {"value", {1741000000.5, value}}});
  return Json{{"status", "success"}, {"data", {{"resultType", "vector"}, {"result", result}}}}.dump();
}

TEST(GroqEndToEnd, ReportsTheRatesPerMinute) {
  testing::ProviderServer groq;
  groq.handle("GET", kQueryPath, [](const httplib::Request& request, httplib::Response& response) {
    const std::string query = request.get_param_value("query");
    if (query == "sum(model_project_id_status_code:requests:rate5m)") {
      // Prometheus writes NaN for an empty rate; it is no figure and must not reach the note.
      response.set_content(instantVector({"NaN", "0.5"}), "application/json");
    } else if (query == "sum(model_project_id:tokens_in:rate5m)") {
      response.set_content(instantVector({"100"}), "application/json");
    } else if (query == "sum(model_project_id:tokens_out:rate5m)") {
      response.set_content(instantVector({"20"}), "application/json");
    } else {
      response.status = 500;
      response.set_content("metrics backend unavailable", "text/plain");
    }
  });
  groq.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"groq", groq.origin()}});
  sandbox.saveCredential("groq", "api:  gsk_e2e_key \n");
  const Json records = sandbox.runJson({"groq"});
  ASSERT_EQ(records.size(), 1u) << records.dump();
  // A copy, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];

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

  std::vector<std::string> targets;
  for (const auto& request : groq.requests()) {
    SCOPED_TRACE(request.target);
    targets.push_back(request.target);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Authorization"), "Bearer gsk_e2e_key");
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.header("User-Agent"), "Dapplewick/1.0");
  }
  std::sort(targets.begin(), targets.end());
  EXPECT_EQ(targets, (std::vector<std::string>{
                         "/v1/metrics/prometheus/api/v1/query?query=sum(model_project_id:prompt_cache_hits:rate5m)",
                         "/v1/metrics/prometheus/api/v1/query?query=sum(model_project_id:tokens_in:rate5m)",
                         "/v1/metrics/prometheus/api/v1/query?query=sum(model_project_id:tokens_out:rate5m)",
                         "/v1/metrics/prometheus/api/v1/query?query=sum(model_project_id_status_code:requests:rate5m)",
                     }));
}

}  // namespace
}  // namespace dapplewick
