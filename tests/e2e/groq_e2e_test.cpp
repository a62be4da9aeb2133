#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

std::string instantVector(const std::string& values) {
  return R"({"status":"success","data":{"resultType":"vector","result":[)" + values + "]}}";
}

// The cache query fails, which only drops its part of the note.
TEST(GroqEndToEnd, ReportsTheRatesPerMinuteWithoutTheFailedCacheQuery) {
  testing::ProviderServer groq;
  groq.handle("GET", "/v1/metrics/prometheus/api/v1/query",
              [](const httplib::Request& request, httplib::Response& response) {
                // An empty rate is written as NaN: no figure, and it must not reach the note.
                const std::map<std::string, std::string> values{
                    {"sum(model_project_id_status_code:requests:rate5m)", R"({"value":[1,"NaN"]},{"value":[1,"0.5"]})"},
                    {"sum(model_project_id:tokens_in:rate5m)", R"({"value":[1,"100"]})"},
                    {"sum(model_project_id:tokens_out:rate5m)", R"({"value":[1,"20"]})"}};
                const auto value = values.find(request.get_param_value("query"));
                if (value == values.end()) {
                  response.status = 500;
                  return;
                }
                response.set_content(instantVector(value->second), "application/json");
              });
  groq.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"groq", groq.origin()}});
  sandbox.saveCredential("groq", "api:  gsk_e2e_key \n");
  const Json records = sandbox.runJson({"groq"});
  ASSERT_EQ(records.size(), 1u) << records.dump();
  EXPECT_EQ(records[0].value("error", Json()), Json()) << records.dump();
  EXPECT_EQ(records[0].value("note", Json()), "30.0 req/min \u00B7 7200 tok/min");

  ASSERT_EQ(groq.requestCount(), 4u);
  for (const auto& request : groq.requests()) EXPECT_EQ(request.header("Authorization"), "Bearer gsk_e2e_key");
}

}  // namespace
}  // namespace dapplewick
