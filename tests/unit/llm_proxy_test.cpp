#include "providers/llm_proxy.hpp"

#include <gtest/gtest.h>

#include "providers/dates.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using llm_proxy::formatTokenCount;
using llm_proxy::isLoopbackOrPrivateHost;
using llm_proxy::parseQuotaStats;
using llm_proxy::quotaStatsURL;
using llm_proxy::resolveEndpoint;

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

  std::string errorOf(const std::string& credential) {
    return testing::errorText([&] { service.fetchUsage(credential); });
  }
};

TEST_F(LLMProxyServiceTest, SendsTheQuotaStatsRequestWithTheKeyFromTheCredential) {
  world.transport.respond("", 200, "{}");
  service.fetchUsage("https://proxy.example.net:8443:sk-secret");

  ASSERT_EQ(world.transport.requestCount(), 1u);
  const HTTPRequest request = world.transport.requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.url, "https://proxy.example.net:8443/v1/quota-stats");
  EXPECT_EQ(request.headers, (HTTPHeaders{{"Authorization", "Bearer sk-secret"}, {"Accept", "application/json"}}));
  EXPECT_FALSE(request.body);
  EXPECT_EQ(request.timeout, std::chrono::seconds(60));
}

TEST_F(LLMProxyServiceTest, BuildsTheWholeRecord) {
  world.transport.respond("", 200, R"({
    "providers": {
      "openai": {"total_requests": 3, "quota_groups": [{"remaining_percent": 80, "reset_time": "2030-01-02T00:00:00Z"}]},
      "anthropic": {"total_requests": 4, "quota_groups": {"g": {"remaining_percent": 35}}}
    },
    "summary": {"total_tokens": 2500000, "approx_cost": 1.5}
  })");
  const UsageData usage = service.fetchUsage("api:https://proxy.example.net:sk");

  UsageData want = UsageData::blank(Provider::llmProxy);
  want.used = 65;
  want.limit = 100;
  want.cost = 1.5;
  want.costSemantic = CostSemantic::none;
  want.resetAt = parseRFC3339("2030-01-02T00:00:00Z", FractionMode::forbidden);
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "2 providers \u00B7 7 requests \u00B7 2.5M tokens \u00B7 $1.5000";
  EXPECT_EQ(usage, want);
}

TEST_F(LLMProxyServiceTest, TakesTheAddressFromTheEnvironmentForABareKey) {
  world.environment.set("LLM_PROXY_BASE_URL", "http://192.168.1.20:4000");
  world.transport.respond("", 200, "{}");
  service.fetchUsage("web:  bare-key \n");

  ASSERT_EQ(world.transport.requestCount(), 1u);
  EXPECT_EQ(world.transport.requests()[0].url, "http://192.168.1.20:4000/v1/quota-stats");
  EXPECT_EQ(world.transport.requests()[0].headers.get("Authorization"), "Bearer bare-key");
}

TEST_F(LLMProxyServiceTest, ReadsTheEnvironmentAfreshOnEveryFetch) {
  world.environment.set("LLM_PROXY_API_KEY", "first");
  world.transport.respond("", 200, "{}");
  service.fetchUsage("https://proxy.example.net");
  world.environment.set("LLM_PROXY_API_KEY", "second");
  world.transport.respond("", 200, "{}");
  service.fetchUsage("https://proxy.example.net");

  ASSERT_EQ(world.transport.requestCount(), 2u);
  EXPECT_EQ(world.transport.requests()[0].headers.get("Authorization"), "Bearer first");
  EXPECT_EQ(world.transport.requests()[1].headers.get("Authorization"), "Bearer second");
}

TEST_F(LLMProxyServiceTest, RefusesBeforeAnyRequest) {
  struct Case {
    std::string name;
    std::string credential;
    std::map<std::string, std::string, std::less<>> env;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"nothing at all", "", {}, kMissingKey},
      {"address without key, variable unset", "https://proxy.example.net", {}, kMissingKey},
      {"port digits are no key", "https://proxy.example.net:8443", {}, kMissingKey},
      {"key check comes before the address check", "  ", {{"LLM_PROXY_BASE_URL", "ftp://x"}}, kMissingKey},
      {"bare key, base unset", "sk-key", {}, kMissingBase},
      {"bare key, base unparsable", "sk-key", {{"LLM_PROXY_BASE_URL", "http://bad host"}}, kMissingBase},
      {"bare key, base empty", "sk-key", {{"LLM_PROXY_BASE_URL", ""}}, kMissingBase},
      {"address without a host", "sk-key", {{"LLM_PROXY_BASE_URL", "https:proxy"}}, kMissingBase},
      {"backslash trick", "http://evil.example\\@localhost:sk", {{"LLM_PROXY_API_KEY", "k"}}, kMissingBase},
      {"http on a public host", "sk-key", {{"LLM_PROXY_BASE_URL", "http://proxy.example.net"}}, kInsecure},
      {"http on a public host in the credential", "http://proxy.example.net:sk", {}, kInsecure},
      {"private-looking name", "http://10.example.com:sk", {}, kInsecure},
      {"private prefix of a public name", "http://192.168.1.1.example.com:sk", {}, kInsecure},
      {"localhost as user information", "http://localhost@evil.example:sk", {}, kInsecure},
      {"hex loopback", "http://0x7f.0.0.1:sk", {}, kInsecure},
      {"octal-looking octet", "http://010.0.0.1:sk", {}, kInsecure},
      {"short loopback form", "http://127.1:sk", {}, kInsecure},
      {"mapped IPv6 loopback", "http://[::ffff:127.0.0.1]:sk", {}, kInsecure},
      {"another scheme, even on localhost", "ftp://localhost", {{"LLM_PROXY_API_KEY", "k"}}, kInsecure},
      {"no scheme", "sk-key", {{"LLM_PROXY_BASE_URL", "localhost:8080"}}, kMissingBase},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld local(kNow);
    for (const auto& [name, value] : c.env) local.environment.set(name, value);
    LLMProxyService fresh(local.context);
    EXPECT_EQ(testing::errorText([&] { fresh.fetchUsage(c.credential); }), c.want);
    EXPECT_EQ(local.transport.requestCount(), 0u);
  }
}

TEST_F(LLMProxyServiceTest, AcceptsPlainHttpOnLoopbackAndPrivateHosts) {
  for (const std::string credential :
       {"http://localhost:4000:sk", "http://LOCALHOST:sk", "http://127.0.0.2:sk", "http://[::1]:8080:sk",
        "http://10.1.2.3/api:sk", "http://172.16.0.1:sk", "http://172.31.255.1:sk", "http://192.168.0.9:sk"}) {
    SCOPED_TRACE(credential);
    world.transport.respond("", 200, "{}");
    EXPECT_NO_THROW(service.fetchUsage(credential));
  }
  EXPECT_EQ(world.transport.requestCount(), 8u);
  EXPECT_EQ(world.transport.requests()[3].url, "http://[::1]:8080/v1/quota-stats");
  EXPECT_EQ(world.transport.requests()[4].url, "http://10.1.2.3/api/v1/quota-stats");
}

TEST_F(LLMProxyServiceTest, ReportsStatusesOutside2xxWithTheBody) {
  struct Case {
    int status;
    std::string body;
    std::string want;
  };
  std::string accents;
  for (int i = 0; i < 250; ++i) accents += "\u00E9";
  const std::vector<Case> cases = {
      {404, "not found", "LLM Proxy API error: HTTP 404: not found"},
      {401, "nope", "LLM Proxy API error: HTTP 401: nope"},
      {403, "", "LLM Proxy API error: HTTP 403: "},
      {199, "x", "LLM Proxy API error: HTTP 199: x"},
      {300, "moved", "LLM Proxy API error: HTTP 300: moved"},
      {500, "bad \xFF bytes", "LLM Proxy API error: HTTP 500: "},
      {502, accents, "LLM Proxy API error: HTTP 502: " + accents.substr(0, 400)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    world.transport.respond("", c.status, c.body);
    EXPECT_EQ(errorOf("https://proxy.example.net:sk"), c.want);
  }
}

TEST_F(LLMProxyServiceTest, ReadsAnySuccessStatus) {
  for (const int status : {200, 201, 204, 299}) {
    SCOPED_TRACE(status);
    world.transport.respond("", status, R"({"summary": {"total_requests": 1}})");
    EXPECT_EQ(service.fetchUsage("https://proxy.example.net:sk").note, "0 providers \u00B7 1 requests");
  }
}

TEST_F(LLMProxyServiceTest, ReportsAnAnswerThatIsNotHTTP) {
  world.transport.respondNotHTTP("");
  EXPECT_EQ(errorOf("https://proxy.example.net:sk"), "Unexpected response from LLM Proxy");
}

TEST_F(LLMProxyServiceTest, PassesTransportErrorsThrough) {
  world.transport.fail("", TransportError(TransportError::Kind::timeout, "The request timed out."));
  EXPECT_EQ(testing::errorText([&] { service.fetchUsage("https://proxy.example.net:sk"); }),
            "The request timed out.");
}

TEST(LLMProxyEndpoint, ResolvesEveryCredentialForm) {
  struct Case {
    std::string credential;
    std::map<std::string, std::string, std::less<>> env;
    std::string wantKey;
    std::optional<std::string> wantURL;
  };
  const std::map<std::string, std::string, std::less<>> both = {{"LLM_PROXY_BASE_URL", "http://10.0.0.2:9000"},
                                                                {"LLM_PROXY_API_KEY", "env-key"}};
  const std::vector<Case> cases = {
      {"https://h.example:8443:sk", {}, "sk", "https://h.example:8443"},
      {"https://h.example:8443", both, "env-key", "https://h.example:8443"},
      {"https://h.example", both, "env-key", "https://h.example"},
      {"https://h.example", {}, "", "https://h.example"},
      {"https://h.example/api/v1:sk", both, "sk", "https://h.example/api/v1"},
      {" \thttps://h.example:sk \n", {}, "sk", "https://h.example"},
      {"https://h.example:sk:with:colons", both, "env-key", std::nullopt},
      {"https://h.example:", both, "env-key", "https://h.example:"},
      {"https://bad host:sk", both, "env-key", std::nullopt},
      {"ftp://h.example", both, "env-key", "ftp://h.example"},
      {"sk-bare", both, "sk-bare", "http://10.0.0.2:9000"},
      {"sk-bare", {}, "sk-bare", std::nullopt},
      {"", both, "env-key", "http://10.0.0.2:9000"},
      {"", {}, "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.credential);
    const MapEnvironment env(c.env);
    const auto endpoint = resolveEndpoint(c.credential, env);
    EXPECT_EQ(endpoint.apiKey, c.wantKey);
    ASSERT_EQ(endpoint.baseURL.has_value(), c.wantURL.has_value());
    if (c.wantURL) {
      EXPECT_EQ(formatURL(*endpoint.baseURL), *c.wantURL);
    }
  }
}

TEST(LLMProxyEndpoint, TellsPrivateHostsFromPublicOnes) {
  struct Case {
    std::string address;
    bool want;
  };
  const std::vector<Case> cases = {
      {"http://localhost", true},        {"http://LocalHost:80", true},     {"http://127.0.0.1", true},
      {"http://127.255.255.254", true},  {"http://[::1]", true},           {"http://10.0.0.1", true},
      {"http://10.255.0.1", true},       {"http://172.16.0.1", true},      {"http://172.31.255.1", true},
      {"http://192.168.1.20", true},     {"http://172.15.0.1", false},     {"http://172.32.0.1", false},
      {"http://192.169.0.1", false},     {"http://11.0.0.1", false},       {"http://8.8.8.8", false},
      {"http://10.example.com", false},  {"http://127.0.0.1.nip.io", false}, {"http://192.168.1.300", false},
      {"http://192.168.1", false},       {"http://10.0.0.1.", false},      {"http://010.0.0.1", false},
      {"http://localhost.example", false}, {"http://[::2]", false},       {"http://user@localhost", true},
      {"file:/etc/hosts", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(isLoopbackOrPrivateHost(url(c.address)), c.want);
  }
}

TEST(LLMProxyEndpoint, PlacesQuotaStatsUnderTheBase) {
  struct Case {
    std::string base;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"https://h.example", "https://h.example/v1/quota-stats"},
      {"https://h.example/", "https://h.example/v1/quota-stats"},
      {"https://h.example/v1", "https://h.example/v1/quota-stats"},
      {"https://h.example/v1/", "https://h.example/v1/quota-stats"},
      {"https://h.example/api", "https://h.example/api/v1/quota-stats"},
      {"https://h.example/api/v1", "https://h.example/api/v1/quota-stats"},
      {"https://h.example/v1x", "https://h.example/v1x/v1/quota-stats"},
      {"https://h.example/V1", "https://h.example/V1/v1/quota-stats"},
      {"HTTPS://h.example/api?team=a#top", "https://h.example/api/v1/quota-stats?team=a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base);
    EXPECT_EQ(quotaStatsURL(url(c.base)), c.want);
  }
}

TEST(LLMProxyStats, MapsEveryReading) {
  struct Case {
    std::string name;
    std::string body;
    double wantUsed;
    std::string wantNote;
    double wantCost = 0;
    std::optional<std::string> wantReset = std::nullopt;
  };
  const std::string dot = " \u00B7 ";
  const std::vector<Case> cases = {
      {"empty object", "{}", 0, "0 providers" + dot + "0 requests"},
      {"lowest remaining wins", R"({"providers": {"a": {"quota_groups": [{"remaining_percent": 80}]},
                                                  "b": {"quota_groups": [{"remaining_percent": 35}]}}})",
       65, "2 providers" + dot + "0 requests"},
      {"above 100 remaining", R"({"providers": {"a": {"quota_groups": [{"remaining_percent": 120}]}}})", 0,
       "1 provider" + dot + "0 requests"},
      {"negative remaining", R"({"providers": {"a": {"quota_groups": [{"remaining_percent": -10}]}}})", 100,
       "1 provider" + dot + "0 requests"},
      {"fractional remaining", R"({"providers": {"a": {"quota_groups": [{"remaining_percent": 12.5}]}}})", 87.5,
       "1 provider" + dot + "0 requests"},
      {"groups as an object", R"({"providers": {"a": {"quota_groups": {"x": {"remaining_percent": 40},
                                                                       "y": {"remaining_percent": 90}}}}})",
       60, "1 provider" + dot + "0 requests"},
      {"wrong kinds are absent", R"({"providers": {"a": {"quota_groups": [{"remaining_percent": "5"},
                                        {"remaining_percent": true}, 7, {"reset_time": 1893456000}]},
                                    "b": {"quota_groups": "none"}, "c": 3}})",
       0, "3 providers" + dot + "0 requests"},
      {"providers not an object", R"({"providers": [{"total_requests": 5}]})", 0, "0 providers" + dot + "0 requests"},
      {"earliest reset", R"({"providers": {"a": {"quota_groups": [{"reset_time": "2030-01-02T00:00:00Z"},
                                                                 {"reset_time": "2030-01-01T12:00:00.500Z"},
                                                                 {"reset_time": "2029-01-01"},
                                                                 {"reset_time": " 2029-01-01T00:00:00Z"}]}}})",
       0, "1 provider" + dot + "0 requests", 0, "2030-01-01T12:00:00.500Z"},
      {"full summary", R"({"providers": {"a": {}, "b": {}},
                           "summary": {"total_requests": 12, "total_tokens": 1500, "approx_cost": 0.25}})",
       0, "2 providers" + dot + "12 requests" + dot + "1.5K tokens" + dot + "$0.2500", 0.25},
      {"summary without requests sums providers", R"({"providers": {"a": {"total_requests": 3},
                                                                     "b": {"total_requests": 4}, "c": {}},
                                                      "summary": {"total_tokens": 0}})",
       0, "3 providers" + dot + "7 requests"},
      {"non-integer summary requests fall back", R"({"providers": {"a": {"total_requests": 2}},
                                                    "summary": {"total_requests": 12.5}})",
       0, "1 provider" + dot + "2 requests"},
      {"integral float counts", R"({"summary": {"total_requests": 12.0, "total_tokens": 999.0}})", 0,
       "0 providers" + dot + "12 requests" + dot + "999 tokens"},
      {"provider requests of the wrong kind", R"({"providers": {"a": {"total_requests": "3"},
                                                                "b": {"total_requests": 1.5},
                                                                "c": {"total_requests": false},
                                                                "d": {"total_requests": 1}}})",
       0, "4 providers" + dot + "1 requests"},
      {"summary not an object", R"({"summary": [1], "providers": {"a": {"total_requests": 2}}})", 0,
       "1 provider" + dot + "2 requests"},
      {"negative tokens and zero cost", R"({"summary": {"total_tokens": -5, "approx_cost": 0}})", 0,
       "0 providers" + dot + "0 requests" + dot + "$0.0000"},
      {"overflowing request sum is left out",
       R"({"providers": {"a": {"total_requests": 9223372036854775807}, "b": {"total_requests": 1}}})", 0,
       "2 providers"},
      {"requests beyond 64 bits are absent", R"({"summary": {"total_requests": 18446744073709551615}})", 0,
       "0 providers" + dot + "0 requests"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const UsageData usage = parseQuotaStats(c.body, kNow);
    EXPECT_EQ(usage.used, c.wantUsed);
    EXPECT_EQ(usage.note, c.wantNote);
    EXPECT_EQ(usage.cost, c.wantCost);
    if (c.wantReset) {
      EXPECT_EQ(usage.resetAt, parseRFC3339(*c.wantReset, FractionMode::optional));
    } else {
      EXPECT_FALSE(usage.resetAt);
    }
  }
}

TEST(LLMProxyStats, RefusesABodyThatIsNoJsonObject) {
  const std::vector<std::string> bodies = {"",   "not json", "[1, 2]", "\"text\"",
                                          "42", "{\"a\": ",   std::string(300, '[') + std::string(300, ']')};
  for (const auto& body : bodies) {
    SCOPED_TRACE(body.substr(0, 20));
    EXPECT_EQ(testing::errorText([&] { parseQuotaStats(body, kNow); }),
              "LLM Proxy parse error: Invalid JSON response");
  }
}

TEST(LLMProxyStats, FormatsTokenCounts) {
  const std::vector<std::pair<long long, std::string>> cases = {
      {0, "0"},          {999, "999"},         {1000, "1.0K"},           {1500, "1.5K"},
      {999949, "999.9K"}, {1000000, "1.0M"},   {2500000, "2.5M"},         {9223372036854775807LL, "9223372036854.8M"},
  };
  for (const auto& [count, want] : cases) {
    SCOPED_TRACE(count);
    EXPECT_EQ(formatTokenCount(count), want);
  }
}

TEST(LLMProxyErrors, DescribeEveryCase) {
  EXPECT_STREQ(LLMProxyError::apiError("m").what(), "LLM Proxy API error: m");
  EXPECT_STREQ(LLMProxyError::parseFailed("m").what(), "LLM Proxy parse error: m");
  EXPECT_EQ(LLMProxyError::missingCredentials().what(), kMissingKey);
  EXPECT_EQ(LLMProxyError::missingBaseURL().what(), kMissingBase);
  EXPECT_EQ(LLMProxyError::insecureEndpoint().what(), kInsecure);
  EXPECT_STREQ(LLMProxyError::invalidResponse().what(), "Unexpected response from LLM Proxy");
}

}  // namespace
}  // namespace dapplewick
