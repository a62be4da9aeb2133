#include <gtest/gtest.h>

#include <string>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

// Two projects, the second failing: the record shows the first one's figures and how many projects answered.
TEST(DeepgramEndToEnd, AddsUpTheProjectsThatAnswer) {
  testing::ProviderServer deepgram;
  deepgram.handle("GET", "/v1/projects", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"projects":[{"project_id":"p-main","name":"Main"},{"project_id":"p-old"}]})",
                         "application/json");
  });
  deepgram.handle("GET", "/v1/projects/p-main/usage/breakdown", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"hours":0.25}]})",
                    "application/json");
  });
  deepgram.handle("GET", "/v1/projects/p-old/usage/breakdown",
                  [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
  deepgram.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"deepgram", deepgram.origin()}});
  sandbox.saveCredential("deepgram", "api:  dg-e2e-key\n");
  const Json records = sandbox.runJson({"deepgram"});

  ASSERT_EQ(deepgram.requestCount(), 3u);
  for (const auto& request : deepgram.requests()) EXPECT_EQ(request.header("Authorization"), "Token dg-e2e-key");
  ASSERT_EQ(records.size(), 1u) << records.dump();
  Json record = records[0];  // a copy: a missing field reads as null
  EXPECT_TRUE(record["error"].is_null()) << record["error"];
  EXPECT_EQ(record["used"], 15);
  EXPECT_EQ(record["note"], "1/2 projects aggregated");
  EXPECT_TRUE(record["resetAt"].is_string());
  EXPECT_EQ(record["auxiliaryUsage"][0]["used"], 1.75);
  EXPECT_EQ(records.dump().find("dg-e2e-key"), std::string::npos) << "the key must never be printed";
}

}  // namespace
}  // namespace dapplewick
