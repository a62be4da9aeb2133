#include <string>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

std::string series(const std::string& metric, const std::string& location, double value) {
  Json one = {{"metric", {{"labels", {{"quota_metric", metric}}}}},
              {"resource", {{"labels", {{"location", location}}}}},
              {"points", {{{"value", {{"doubleValue", value}}}}}}};
  return one.dump();
}

// Cloud Monitoring on loopback: the usage series in two pages, then the limits.
TEST(VertexAIEndToEnd, ReportsTheQuotasClosestToTheirLimits) {
  testing::ProviderServer monitoring;
  monitoring.handle("GET", "/v3/projects/my-project/timeSeries", [](const httplib::Request& request,
                                                                      httplib::Response& response) {
    const std::string filter = request.get_param_value("filter");
    const bool usage = filter.find("/quota/allocation/usage\"") != std::string::npos;
    if (request.get_header_value("Authorization") != "Bearer ya29.e2e" ||
        request.get_param_value("aggregation.perSeriesAligner") != "ALIGN_MAX" ||
        filter.find("resource.label.service=\"aiplatform.googleapis.com\"") == std::string::npos) {
      response.status = 403;
      return;
    }
    std::string body;
    if (usage && !request.has_param("pageToken")) {
      body = R"({"timeSeries": [)" + series("tokens", "us-central1", 80) + R"(], "nextPageToken": "p+2"})";
    } else if (usage && request.get_param_value("pageToken") == "p+2") {
      body = R"({"timeSeries": [)" + series("requests", "global", 10) + "]}";
    } else if (!usage) {
      body = R"({"timeSeries": [)" + series("tokens", "us-central1", 100) + "," + series("requests", "global", 40) +
             "]}";
    } else {
      response.status = 400;
      return;
    }
    response.set_content(body, "application/json");
  });
  monitoring.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"vertexai", monitoring.origin()}});
  sandbox.saveCredential("vertexai", "my-project:ya29.e2e");
  const Json output = sandbox.runJson({"vertexai"});

  EXPECT_EQ(monitoring.requestCount(), 3u);
  ASSERT_EQ(output.size(), 1u);
  const Json& record = output[0];
  EXPECT_EQ(record["id"], "vertexai");
  EXPECT_TRUE(!record.contains("error") || record["error"].is_null()) << record.dump();
  EXPECT_EQ(record["used"], 80);
  EXPECT_EQ(record["limit"], 100);
  EXPECT_EQ(record["resetPeriod"], "daily");
  EXPECT_EQ(record["note"], "Vertex AI quota via Cloud Monitoring (project: my-project) \u2014 tokens (us-central1)");
  ASSERT_EQ(record["auxiliaryUsage"].size(), 1u);
  EXPECT_EQ(record["auxiliaryUsage"][0]["used"], 25);
  EXPECT_EQ(record["auxiliaryUsage"][0]["note"], "requests");
}

}  // namespace
}  // namespace dapplewick
