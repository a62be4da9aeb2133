#include "providers/llm_proxy.hpp"

#include <tuple>

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using testing::errorText;
using Env = std::map<std::string, std::string, std::less<>>;

const Timestamp kNow = *parseRFC3339("2026-12-05T20:25:43.250Z", FractionMode::required);
const std::string kMissingKey =
    "Missing LLM Proxy API key. Use format 'https://llm-proxy.example.com:apiKey' or set LLM_PROXY_API_KEY.";
const std::string kMissingBase =
    "Missing LLM Proxy base URL. Use format 'https://llm-proxy.example.com:apiKey' or set LLM_PROXY_BASE_URL.";
const std::string kInsecure =
    "LLM Proxy endpoint must use HTTPS, unless it's a loopback or private-network host (localhost, 127.0.0.1, "
    "192.168.x.x, 10.x.x.x, 172.16\u201331.x.x)";

URLParts url(const std::string& text) {
  auto parsed = parseURL(text);
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(URLParts{});
}

class LLMProxyServiceTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  LLMProxyService service{world.context};
};

TEST_F(LLMProxyServiceTest, SendsTheRequestAndBuildsTheRecord) {
  world.transport.respond("", 200, R"({
    "providers": {
      "openai": {"total_requests": 3,
                 "quota_groups": [{"remaining_percent": 80, "reset_time": "2030-01-02T00:00:00Z"}]},
      "anthropic": {"total_requests": 4, "quota_groups": {"g": {"remaining_percent": 35}}}
    },
    "summary": {"total_tokens": 2500000, "approx_cost": 1.5}
  })");
  const UsageData usage = service.fetchUsage("api:https://proxy.example.net:8443:sk-secret");

  ASSERT_EQ(world.transport.requestCount(), 1u);
  const HTTPRequest request = world.transport.requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.url, "https://proxy.example.net:8443/v1/quota-stats");
  EXPECT_EQ(request.headers, (HTTPHeaders{{"Authorization", "Bearer sk-secret"}, {"Accept", "application/json"}}));
  EXPECT_FALSE(request.body);
  EXPECT_EQ(request.timeout, std::chrono::seconds(60));
  UsageData want = UsageData::blank(Provider::llmProxy);
  want.used = 65;
  want.limit = 100;
  want.cost = 1.5;
  want.resetAt = parseRFC3339("2030-01-02T00:00:00Z", FractionMode::forbidden);
  want.lastUpdated = kNow;
  want.note = "2 providers \u00B7 7 requests \u00B7 2.5M tokens \u00B7 $1.5000";
  EXPECT_EQ(usage, want);
}

TEST_F(LLMProxyServiceTest, TakesWhatTheCredentialLacksFreshFromTheEnvironment) {
  world.environment.set("LLM_PROXY_BASE_URL", "http://192.168.1.20:4000");
  world.environment.set("LLM_PROXY_API_KEY", "first");
  // Plain http is fine on loopback and private-network hosts.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"web:  bare-key \n", "http://192.168.1.20:4000/v1/quota-stats", "Bearer bare-key"},
      {"https://proxy.example.net", "https://proxy.example.net/v1/quota-stats", "Bearer first"},
      {"http://LOCALHOST:4000:sk", "http://LOCALHOST:4000/v1/quota-stats", "Bearer sk"},
      {"http://[::1]:8080:sk", "http://[::1]:8080/v1/quota-stats", "Bearer sk"},
      {" http://172.31.9.1/v1:sk ", "http://172.31.9.1/v1/quota-stats", "Bearer sk"},
  };
  for (const auto& [credential, url, authorization] : cases) {
    world.transport.respond("", 200, "{}");
    EXPECT_EQ(errorText([&] { service.fetchUsage(credential); }), "no error") << credential;
    EXPECT_EQ(world.transport.requests().back().url, url);
    EXPECT_EQ(world.transport.requests().back().headers.get("Authorization"), authorization);
  }
  world.environment.set("LLM_PROXY_API_KEY", "second");
  world.transport.respond("", 200, "{}");
  service.fetchUsage("https://proxy.example.net");
  EXPECT_EQ(world.transport.requests().back().headers.get("Authorization"), "Bearer second");
}

TEST(LLMProxyEndpoint, RefusesBeforeAnyRequest) {
  const Env base = {{"LLM_PROXY_API_KEY", "k"}};
  const std::tuple<std::string, Env, std::string> cases[] = {
      {"", {}, kMissingKey}, {"https://proxy.example.net:8443", {}, kMissingKey},  // port digits are no key
      {"  ", {{"LLM_PROXY_BASE_URL", "ftp://x"}}, kMissingKey},                   {"sk-key", {}, kMissingBase},
      {"sk-key", {{"LLM_PROXY_BASE_URL", "http://bad host"}}, kMissingBase},
      {"sk-key", {{"LLM_PROXY_BASE_URL", ""}}, kMissingBase},
      {"sk-key", {{"LLM_PROXY_BASE_URL", "https:proxy"}}, kMissingBase},
      {"sk-key", {{"LLM_PROXY_BASE_URL", "localhost:8080"}}, kMissingBase},
      {"http://evil.example\\@localhost:sk", base, kMissingBase},
      {"https://h.example:sk:with:colons", base, kMissingBase},
      {"sk-key", {{"LLM_PROXY_BASE_URL", "http://proxy.example.net"}}, kInsecure},
      {"http://proxy.example.net:sk", {}, kInsecure},    {"http://10.example.com:sk", {}, kInsecure},
      {"http://192.168.1.1.example.com:sk", {}, kInsecure}, {"http://localhost@evil.example:sk", {}, kInsecure},
      {"http://0x7f.0.0.1:sk", {}, kInsecure},           {"http://010.0.0.1:sk", {}, kInsecure},
      {"http://127.1:sk", {}, kInsecure},                {"http://[::ffff:127.0.0.1]:sk", {}, kInsecure},
      {"ftp://localhost", base, kInsecure},
  };
  for (const auto& [credential, env, want] : cases) {
    SCOPED_TRACE(credential);
    testing::ServiceWorld world(kNow);
    for (const auto& [name, value] : env) world.environment.set(name, value);
    LLMProxyService service(world.context);
    EXPECT_EQ(errorText([&] { service.fetchUsage(credential); }), want);
    EXPECT_EQ(world.transport.requestCount(), 0u);
  }
}

TEST_F(LLMProxyServiceTest, ReportsAnswersOutside2xx) {
  std::string accents;
  for (int i = 0; i < 250; ++i) accents += "\u00E9";
  const std::tuple<int, std::string, std::string> cases[] = {
      {401, "nope", "LLM Proxy API error: HTTP 401: nope"}, {199, "x", "LLM Proxy API error: HTTP 199: x"},
      {300, "", "LLM Proxy API error: HTTP 300: "},
      {500, "bad \xFF bytes", "LLM Proxy API error: HTTP 500: "},
      {502, accents, "LLM Proxy API error: HTTP 502: " + accents.substr(0, 400)},
  };
  for (const auto& [status, body, want] : cases) {
    world.transport.respond("", status, body);
    EXPECT_EQ(errorText([&] { service.fetchUsage("https://proxy.example.net:sk"); }), want) << status;
  }
  world.transport.respondNotHTTP("");
  EXPECT_EQ(errorText([&] { service.fetchUsage("https://proxy.example.net:sk"); }),
            "Unexpected response from LLM Proxy");
  world.transport.fail("", TransportError(TransportError::Kind::timeout, "The request timed out."));
  EXPECT_EQ(errorText([&] { service.fetchUsage("https://proxy.example.net:sk"); }), "The request timed out.");
  world.transport.respond("", 299, R"({"summary": {"total_requests": 1}})");
  EXPECT_EQ(service.fetchUsage("https://proxy.example.net:sk").note, "0 providers \u00B7 1 requests");
}

TEST(LLMProxyEndpoint, TellsPrivateHostsFromPublicOnes) {
  for (const std::string address :
       {"http://localhost", "http://LocalHost:80", "http://127.0.0.1", "http://127.255.255.254", "http://[::1]",
        "http://10.0.0.1", "http://10.255.0.1", "http://172.16.0.1", "http://172.31.255.1", "http://192.168.1.20",
        "http://user@localhost"}) {
    EXPECT_TRUE(llm_proxy::isLoopbackOrPrivateHost(url(address))) << address;
  }
  for (const std::string address :
       {"http://172.15.0.1", "http://172.32.0.1", "http://192.169.0.1", "http://11.0.0.1", "http://8.8.8.8",
        "http://10.example.com", "http://127.0.0.1.nip.io", "http://192.168.1.300", "http://192.168.1",
        "http://10.0.0.1.", "http://010.0.0.1", "http://localhost.example", "http://[::2]", "file:/etc/hosts"}) {
    EXPECT_FALSE(llm_proxy::isLoopbackOrPrivateHost(url(address))) << address;
  }
}

TEST(LLMProxyEndpoint, PlacesQuotaStatsUnderTheBase) {
  const std::pair<std::string, std::string> cases[] = {
      {"https://h/", "https://h/v1/quota-stats"},       {"https://h/v1/", "https://h/v1/quota-stats"},
      {"https://h/a/v1", "https://h/a/v1/quota-stats"}, {"https://h/v1x", "https://h/v1x/v1/quota-stats"},
      {"https://h/V1", "https://h/V1/v1/quota-stats"},  {"HTTPS://h/a?t=a#top", "https://h/a/v1/quota-stats?t=a"},
  };
  for (const auto& [base, want] : cases) EXPECT_EQ(llm_proxy::quotaStatsURL(url(base)), want) << base;
}

TEST(LLMProxyStats, MapsEveryReading) {
  const std::string none = "0 providers \u00B7 0 requests";
  const std::string one = "1 provider \u00B7 0 requests";
  const std::tuple<std::string, double, std::string> cases[] = {
      {"{}", 0, none},
      {R"({"providers": {"a": {"quota_groups": [{"remaining_percent": 120}]}}})", 0, one},
      {R"({"providers": {"a": {"quota_groups": [{"remaining_percent": -10}]}}})", 100, one},
      {R"({"providers": {"a": {"quota_groups": {"x": {"remaining_percent": 40}, "y": {"remaining_percent": 90}}}}})",
       60, one},
      {R"({"providers": {"a": {"quota_groups": [{"remaining_percent": "5"}, {"remaining_percent": true}, 7]},
           "b": {"quota_groups": "none"}, "c": 3}})", 0, "3 providers \u00B7 0 requests"},
      {R"({"providers": [{"total_requests": 5}]})", 0, none},
      // Requests not given as a whole number in the summary are the sum of the providers' whole numbers.
      {R"({"providers": {"a": {"total_requests": 3}, "b": {"total_requests": 1.5}, "c": {"total_requests": "3"},
           "d": {"total_requests": 4}}, "summary": {"total_requests": 12.5, "total_tokens": 0}})",
       0, "4 providers \u00B7 7 requests"},
      {R"({"summary": {"total_requests": 12.0, "total_tokens": 999.0}})", 0,
       "0 providers \u00B7 12 requests \u00B7 999 tokens"},
      {R"({"summary": [1], "providers": {"a": {"total_requests": 2}}})", 0, "1 provider \u00B7 2 requests"},
      {R"({"summary": {"total_tokens": -5, "approx_cost": 0}})", 0, none + " \u00B7 $0.0000"},
      {R"({"providers": {"a": {"total_requests": 9223372036854775807}, "b": {"total_requests": 1}}})", 0,
       "2 providers"},  // an overflowing sum is left out
      {R"({"summary": {"total_requests": 18446744073709551615}})", 0, none},
  };
  for (const auto& [body, used, note] : cases) {
    const UsageData usage = llm_proxy::parseQuotaStats(body, kNow);
    EXPECT_EQ(std::pair(usage.used, usage.note), std::pair(used, std::optional(note))) << body;
  }
  // The earliest reset that is a complete, untrimmed time.
  EXPECT_EQ(llm_proxy::parseQuotaStats(R"({"providers": {"a": {"quota_groups": [{"reset_time": "2030-01-02T00:00:00Z"},
      {"reset_time": "2030-01-01T12:00:00.500Z"}, {"reset_time": "2029-01-01"}, {"reset_time": 1893456000},
      {"reset_time": " 2029-01-01T00:00:00Z"}]}}})", kNow).resetAt,
            parseRFC3339("2030-01-01T12:00:00.500Z", FractionMode::required));
}

TEST(LLMProxyStats, RefusesABodyThatIsNoJsonObjectAndFormatsTokenCounts) {
  for (const std::string& body : {std::string(), std::string("[1, 2]"), std::string("\"text\""),
                                 std::string("{\"a\": "), std::string(300, '[') + std::string(300, ']')}) {
    EXPECT_EQ(errorText([&] { llm_proxy::parseQuotaStats(body, kNow); }),
              "LLM Proxy parse error: Invalid JSON response")
        << body.substr(0, 20);
  }
  const std::pair<long long, std::string> counts[] = {
      {999, "999"}, {1000, "1.0K"}, {999949, "999.9K"}, {1000000, "1.0M"}, {9223372036854775807LL, "9223372036854.8M"}};
  for (const auto& [count, want] : counts) EXPECT_EQ(llm_proxy::formatTokenCount(count), want) << count;
}

}  // namespace
}  // namespace dapplewick
