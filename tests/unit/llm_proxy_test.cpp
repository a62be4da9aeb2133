#include "providers/llm_proxy.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow = *parseRFC3339("2026-12-05T20:25:43.250Z", FractionMode::required);
using testing::kNotHTTP;

URLParts url(const std::string& text) { return parseURL(text).value(); }

// The record as text, or the error.
std::string fetch(testing::ServiceWorld& world, const std::string& credential) {
  return testing::outcomeOf([&] { return LLMProxyService(world.context).fetchUsage(credential); },
                            [](const UsageData& record) { return testing::recordText(record); });
}

// What the credential lacks comes from LLM_PROXY_BASE_URL and LLM_PROXY_API_KEY; plain http is fine on loopback
// and private-network hosts only; every refusal comes before any request.
TEST(LLMProxyEndpoint, ResolvesTheEndpointOrRefuses) {
  const std::string use = ". Use format 'https://llm-proxy.example.com:apiKey' or set LLM_PROXY_";
  const std::string noKey = "Missing LLM Proxy API key" + use + "API_KEY.";
  const std::string noBase = "Missing LLM Proxy base URL" + use + "BASE_URL.";
  const std::string insecure =
      "LLM Proxy endpoint must use HTTPS, unless it's a loopback or private-network host (localhost, 127.0.0.1, "
      "192.168.x.x, 10.x.x.x, 172.16\u201331.x.x)";
  const std::string lan = "http://192.168.1.20:4000";
  // The variables LLM_PROXY_BASE_URL and LLM_PROXY_API_KEY; "URL AUTHORIZATION" of the request sent, or the error.
  struct Case {
    std::string credential;
    std::optional<std::string> baseURL{}, apiKey{};
    std::string want;
  };
  // clang-format off
  const Case cases[] = {
      {.credential = "web:  bare-key \n", .baseURL = lan, .apiKey = "first",
       .want = lan + "/v1/quota-stats Bearer bare-key"},
      {.credential = "https://proxy.example.net", .baseURL = lan, .apiKey = "first",
       .want = "https://proxy.example.net/v1/quota-stats Bearer first"},
      {.credential = "http://[::1]:8080:sk", .want = "http://[::1]:8080/v1/quota-stats Bearer sk"},
      {.credential = " http://172.31.9.1/v1:sk ", .want = "http://172.31.9.1/v1/quota-stats Bearer sk"},
      {.credential = "http://10.0.0.2:80/p:sk", .apiKey = "k", .want = "http://10.0.0.2:80/p/v1/quota-stats Bearer sk"},
      {.credential = "http://10.0.0.2:80/team", .apiKey = "k",
       .want = "http://10.0.0.2:80/team/v1/quota-stats Bearer k"},
      {.credential = "http://localhost:4000/", .apiKey = "k", .want = "http://localhost:4000/v1/quota-stats Bearer k"},
      // A key may hold "/" (base64): only digits up to a "/" are a port and a path.
      {.credential = "http://127.0.0.1:4000:Zm9vYmFy/cXV4+YmF6==", .apiKey = "k",
       .want = "http://127.0.0.1:4000/v1/quota-stats Bearer Zm9vYmFy/cXV4+YmF6=="},
      {.credential = "http://localhost:ab/cd", .want = "http://localhost/v1/quota-stats Bearer ab/cd"},
      {.credential = "http://10.0.0.2/team:a/b", .want = "http://10.0.0.2/team/v1/quota-stats Bearer a/b"},
      // The scheme in any case: the key is sent as the key, never in the path.
      {.credential = "HTTP://127.0.0.1:4000:sk-key", .want = "http://127.0.0.1:4000/v1/quota-stats Bearer sk-key"},
      {.credential = "Http://localhost:4000/gateway:sk-key",
       .want = "http://localhost:4000/gateway/v1/quota-stats Bearer sk-key"},
      {.credential = "HTTP://127.0.0.1:4000/gateway:sk-saved-key", .apiKey = "k",
       .want = "http://127.0.0.1:4000/gateway/v1/quota-stats Bearer sk-saved-key"},
      {.credential = "HTTPS://proxy.example.net:8443", .apiKey = "k",
       .want = "https://proxy.example.net:8443/v1/quota-stats Bearer k"},
      {.credential = "HttP://proxy.example.net:sk", .want = insecure},
      {.credential = "", .want = noKey},
      {.credential = "https://proxy.example.net:8443", .want = noKey},  // port digits are no key
      {.credential = "sk-key", .want = noBase}, {.credential = "sk-key", .baseURL = "http://bad host", .want = noBase},
      {.credential = "sk-key", .baseURL = "localhost:8080", .want = noBase},
      {.credential = "http://evil.example\\@localhost:sk", .apiKey = "k", .want = noBase},
      {.credential = "https://h.example:sk:with:colons", .apiKey = "k", .want = noBase},
      {.credential = "sk-key", .baseURL = "http://proxy.example.net", .want = insecure},
      {.credential = "http://proxy.example.net:sk", .want = insecure},
      {.credential = "http://localhost@evil.example:sk", .want = insecure},
      {.credential = "ftp://localhost", .apiKey = "k", .want = insecure},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.credential);
    testing::ServiceWorld world(kNow, Provider::llmProxy);
    if (c.baseURL) world.environment.set("LLM_PROXY_BASE_URL", *c.baseURL);
    if (c.apiKey) world.environment.set("LLM_PROXY_API_KEY", *c.apiKey);
    const std::string outcome = fetch(world, c.credential);  // no answer is scripted: the request is only recorded
    const auto sent = world.transport.requests();
    EXPECT_EQ(sent.empty() ? outcome : sent[0].url + " " + *sent[0].headers.get("Authorization"), c.want);
  }
  // Which hosts are loopback or private, and where the quota statistics lie under a base.
  const auto isPrivate = [](const std::string& h) { return llm_proxy::isLoopbackOrPrivateHost(url("http://" + h)); };
  for (const char* host : {"localhost", "LocalHost:80", "127.255.255.254", "[::1]", "10.255.0.1", "172.16.0.1",
                           "172.31.255.1", "192.168.1.20", "user@localhost"})
    EXPECT_TRUE(isPrivate(host)) << host;
  for (const char* host : {"172.15.0.1", "172.32.0.1", "192.169.0.1", "11.0.0.1", "10.example.com", "127.0.0.1.nip.io",
                           "192.168.1.300", "192.168.1", "10.0.0.1.", "010.0.0.1", "localhost.example", "[::2]",
                           "0x7f.0.0.1", "127.1", "[::ffff:127.0.0.1]"})
    EXPECT_FALSE(isPrivate(host)) << host;
  const std::pair<std::string, std::string> bases[] = {
      {"https://h/", "https://h/v1/quota-stats"},       {"https://h/v1/", "https://h/v1/quota-stats"},
      {"https://h/a/v1", "https://h/a/v1/quota-stats"}, {"https://h/v1x", "https://h/v1x/v1/quota-stats"},
      {"https://h/V1", "https://h/V1/v1/quota-stats"},  {"HTTPS://h/a?t=a#top", "https://h/a/v1/quota-stats?t=a"},
  };
  for (const auto& [from, to] : bases) EXPECT_EQ(llm_proxy::quotaStatsURL(url(from)), to) << from;
}

// The request and a whole record; then any 2xx is an answer, read leniently, and every other status is reported
// with the proxy's words.
TEST(LLMProxyService, SendsTheRequestAndReadsEveryAnswer) {
  testing::ServiceWorld proxy(kNow, Provider::llmProxy);
  proxy.transport.respond(
      "", 200,
      R"({"providers":{"o":{"total_requests":3,"quota_groups":[{"remaining_percent":80,)"
      R"("reset_time":"2030-01-02T00:00:00Z"}]},"a":{"total_requests":4,"quota_groups":{"g":{"remaining_percent":)"
      R"(35}}}},"summary":{"total_tokens":2500000,"approx_cost":1.5}})");
  const UsageData usage = LLMProxyService(proxy.context).fetchUsage("api:https://proxy.example.net:8443:sk-secret");
  EXPECT_EQ(testing::requestText(proxy.transport.requests().at(0)),
            "GET https://proxy.example.net:8443/v1/quota-stats (60000 ms)\nAuthorization: Bearer sk-secret\n"
            "Accept: application/json\n\n(no body)");
  UsageData record = UsageData::blank(Provider::llmProxy);
  std::tie(record.used, record.limit, record.cost, record.resetAt, record.lastUpdated, record.note) =
      std::tuple(65.0, 100.0, 1.5, parseRFC3339("2030-01-02T00:00:00Z", FractionMode::forbidden), kNow,
                 "2 providers \u00B7 7 requests \u00B7 2.5M tokens \u00B7 $1.5000");
  EXPECT_EQ(usage, record);
  const std::string none = "0/100 monthly '0 providers \u00B7 0 requests'";
  const std::string one = " monthly '1 provider \u00B7 0 requests'";
  const std::string parseError = "LLM Proxy parse error: Invalid JSON response", api = "LLM Proxy API error: HTTP ";
  const auto groups = [](const std::string& list) { return R"({"providers":{"a":{"quota_groups":)" + list + "}}}"; };
  // clang-format off
  const std::tuple<int, std::string, std::string> cases[] = {
      {401, "nope", api + "401: nope"}, {199, "nope", api + "199: nope"}, {300, "", api + "300: "},
      {299, "{}", none}, {kNotHTTP, "", "Unexpected response from LLM Proxy"}, {200, "[1, 2]", parseError},
      {200, "{\"a\": ", parseError}, {200, groups(R"([{"remaining_percent":120}])"), "0/100" + one},
      {200, groups(R"({"x":{"remaining_percent":40},"y":{"remaining_percent":90}})"), "60/100" + one},
      {200, R"({"providers":{"a":{"quota_groups":[{"remaining_percent":"5"},{"remaining_percent":true},7]},)"
            R"("b":{"quota_groups":"none"},"c":3}})", "0/100 monthly '3 providers \u00B7 0 requests'"},
      {200, groups(R"([{"remaining_percent":-10}])"), "100/100" + one}, {200, R"({"providers":[5]})", none},
      // Requests not given as a whole number in the summary are the sum of the providers' whole numbers.
      {200, R"({"providers":{"a":{"total_requests":3},"b":{"total_requests":1.5},"c":{"total_requests":"3"}},)"
            R"("summary":{"total_requests":12.5}})", "0/100 monthly '3 providers \u00B7 3 requests'"},
      {200, R"({"summary":{"total_requests":2,"total_tokens":5}})",
       "0/100 monthly '0 providers \u00B7 2 requests \u00B7 5 tokens'"},
      {200, R"({"summary":{"total_tokens":-5,"approx_cost":0}})",
       "0/100 monthly '0 providers \u00B7 0 requests \u00B7 $0.0000'"},
      // An overflowing sum is left out.
      {200, R"({"providers":{"a":{"total_requests":9223372036854775807},"b":{"total_requests":1}}})",
       "0/100 monthly '2 providers'"},
      // The earliest reset that is a complete, untrimmed time.
      {200, groups(R"([{"reset_time":"2030-01-02T00:00:00Z"},{"reset_time":"2030-01-01T12:00:00.500Z"},)"
                   R"({"reset_time":"2029-01-01"},{"reset_time":1893456000},{"reset_time":" 2029-01-01T00:00:00Z"}])"),
       "0/100 monthly @2030-01-01T12:00:00.500Z '1 provider \u00B7 0 requests'"},
  };
  // clang-format on
  for (const auto& [status, body, want] : cases) {
    testing::ServiceWorld world(kNow, Provider::llmProxy);
    status == kNotHTTP ? world.transport.respondNotHTTP("") : world.transport.respond("", status, body);
    EXPECT_EQ(fetch(world, "https://proxy.example.net:sk"), want) << body;
  }
  const std::pair<long long, std::string> counts[] = {
      {999, "999"}, {1000, "1.0K"}, {999949, "999.9K"}, {1000000, "1.0M"}, {9223372036854775807LL, "9223372036854.8M"}};
  for (const auto& [count, want] : counts) EXPECT_EQ(llm_proxy::formatTokenCount(count), want) << count;
}

}  // namespace
}  // namespace dapplewick
