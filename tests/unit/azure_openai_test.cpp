#include "providers/azure_openai.hpp"

#include <gtest/gtest.h>

#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow{std::chrono::milliseconds(1796576595000)};

// The URL of the one request, or the error thrown before any request.
std::string routeOf(const std::string& credential) {
  testing::ServiceWorld world(kNow, Provider::azureOpenAI);
  world.transport.respond("", 200, "{}");
  const std::string error = testing::errorText([&] { AzureOpenAIService(world.context).fetchUsage(credential); });
  return world.transport.requestCount() == 0 ? error : world.transport.requests().at(0).url;
}

TEST(AzureOpenAI, CredentialChecksAndRoutes) {
  const std::string chat = "/chat/completions";
  const std::string dated = chat + "?api-version=";
  const std::string format = "Azure OpenAI credential must be formatted as endpoint::deployment::apiKey[::apiVersion]";
  const std::pair<std::string, std::string> cases[] = {
      {"https://r.io::gpt4::k", "https://r.io/openai/deployments/gpt4" + dated + "2024-02-01"},
      {"https://r.io/openai/::d::k::2024-10-21", "https://r.io/openai/deployments/d" + dated + "2024-10-21"},
      {"https://r.io::d::k::V1", "https://r.io/openai/v1" + chat},
      {"https://r.io/OpenAI/V1?x=1::..::k::v1", "https://r.io/OpenAI/V1" + chat + "?x=1"},
      {"https://r.io/v1::d::k::v1", "https://r.io/v1/openai/v1" + chat},
      {"https://r.io/Base/openai?old=1#f::d::k", "https://r.io/Base/openai/deployments/d" + dated + "2024-02-01"},
      // One segment and one query value, whatever the user typed.
      {"https://r.io::a/b?c#d%::k::2024 01&x=1",
       "https://r.io/openai/deployments/a%2Fb%3Fc%23d%25" + dated + "2024%2001%26x%3D1"},
      {"api: HTTPS://r.io ::  d ::  k  ::  ::x", "HTTPS://r.io/openai/deployments/d" + dated},
      {"https://r.io::d::k::v2::extra", "https://r.io/openai/deployments/d" + dated + "v2"},
      {"https://r.io::d", format},
      {" ::d::k", "Azure OpenAI endpoint URL is missing"},
      {"https://r.io:: ::k", "Azure OpenAI deployment name is missing"},
      {"https://r.io::d:: ", "Azure OpenAI API key is missing"},
      {"r.io::d::k", "Azure OpenAI endpoint URL is invalid"},
      {" api:https://r.io::d::k", "Azure OpenAI endpoint URL is invalid"},
      {"https://r example.com::d::k", "Azure OpenAI endpoint URL is invalid"},
      {"http://r.io::d::k", "Azure OpenAI endpoint must use HTTPS"},
      {"https://r.io::..::k::2024-02-01", "Could not construct Azure OpenAI request URL"},
  };
  for (const auto& [credential, want] : cases) EXPECT_EQ(routeOf(credential), want) << credential;
}

TEST(AzureOpenAI, SendsOneTokenChatCompletions) {
  const std::string headers = " (60000 ms)\napi-key: k-1\nContent-Type: application/json\nAccept: application/json\n"
                              "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n";
  const std::string messages = R"({"messages":[{"role":"user","content":"ping"}],)";
  for (const auto& [version, want] : std::vector<std::pair<std::string, std::string>>{
           {"", "/openai/deployments/gpt-4o/chat/completions?api-version=2024-02-01" + headers + messages +
                    R"("max_tokens":1})"},
           {"::v1",
            "/openai/v1/chat/completions" + headers + messages + R"("model":"gpt-4o","max_completion_tokens":1})"}}) {
    testing::ServiceWorld world(kNow, Provider::azureOpenAI);
    world.transport.respond("", 200, "{}");
    UsageData record = UsageData::blank(Provider::azureOpenAI);
    record.lastUpdated = kNow;
    record.note = "Deployment status: reachable \u00B7 gpt-4o";
    EXPECT_EQ(AzureOpenAIService(world.context).fetchUsage("https://r.io::gpt-4o::k-1" + version), record);
    EXPECT_EQ(testing::requestText(world.transport.requests().at(0)), "POST https://r.io" + want);
  }
}

TEST(AzureOpenAI, AnyTwoHundredIsReachableAndOtherAnswersFail) {
  const std::string reachable = "Deployment status: reachable \u00B7 gpt-4o";
  const std::string x240(240, 'x');
  struct Case {
    int status;  // 0: not an HTTP answer
    std::string body, want;
  };
  // clang-format off
  const Case cases[] = {
      {204, "", reachable}, {299, "<html>", reachable}, {200, R"({"model":5})", reachable},
      {201, R"({"model":"gpt-4o-2024-08-06"})", reachable + " \u00B7 Model: gpt-4o-2024-08-06"},
      {401, "nope", "Azure OpenAI API key is invalid or unauthorized"},
      {403, "", "Azure OpenAI API key is invalid or unauthorized"},
      {404, "Resource not found", "Azure OpenAI API error HTTP 404: Resource not found"},
      {500, "", "Azure OpenAI API error HTTP 500"}, {500, x240, "Azure OpenAI API error HTTP 500: " + x240},
      {500, x240 + "\u00E9" + std::string(59, 'y'), "Azure OpenAI API error HTTP 500: " + x240 + "\u2026"},
      {429, "\xFF\xFE", "Azure OpenAI API error HTTP 429"}, {0, "", "Unexpected response from Azure OpenAI"},
  };
  // clang-format on
  for (const Case& c : cases) {
    testing::ServiceWorld world(kNow, Provider::azureOpenAI);
    c.status == 0 ? world.transport.respondNotHTTP("") : world.transport.respond("", c.status, c.body);
    const auto fetch = [&] { return AzureOpenAIService(world.context).fetchUsage("https://r.io::gpt-4o::sk-secret"); };
    EXPECT_EQ(testing::outcomeOf(fetch, [](const UsageData& r) { return *r.note; }), c.want) << c.status << c.body;
  }
}

}  // namespace
}  // namespace dapplewick
