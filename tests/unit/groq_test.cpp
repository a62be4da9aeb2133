#include "providers/groq.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const Timestamp kNow{std::chrono::milliseconds(1'741'000'000'000)};
const std::string kQuery = "https://api.groq.com/v1/metrics/prometheus/api/v1/query?query=sum(model_project_id";
const std::vector<std::string> kURLs = {kQuery + "_status_code:requests:rate5m)", kQuery + ":tokens_in:rate5m)",
                                        kQuery + ":tokens_out:rate5m)", kQuery + ":prompt_cache_hits:rate5m)"};

// The record as text, marked when it is stamped with another provider, which the text leaves out.
std::string show(const UsageData& r) {
  const bool own = r.id == Provider::groq && r.provider == Provider::groq;
  return testing::recordText(r, kNow) + (own ? "" : " (wrong provider)");
}

std::string body(const std::string& series) { return R"({"status":"success","data":{"result":[)" + series + "]}}"; }
std::string one(const std::string& v) { return body(R"({"metric":{},"value":[1741000000.123,")" + v + R"("]})"); }

// The per-second values answer the queries in order (requests, tokens in, tokens out, cache hits), or a status
// fails one, at once or after a while. A failed cache query only drops its part; a failed required one ends the
// fetch.
TEST(GroqService, SendsFourInstantQueriesAndNotesTheRatesOrTheFirstFailedRequiredQuery) {
  struct Reply {
    std::string perSecond = "1";
    int status = 200;
    std::chrono::milliseconds after = 0ms;
  };
  const std::string rates = "30.0 req/min \u00B7 7200 tok/min",
                    rest = " (60000 ms)\nAuthorization: Bearer gk\n"
                           "Accept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  const auto noted = [](const std::string& note) { return "0/0 window '" + note + "'"; };
  const Reply ok{"1"};
  const std::vector<std::pair<std::vector<Reply>, std::string>> cases = {
      {{{"0.5"}, {"100"}, {"20"}, {"0.001"}}, noted(rates + " \u00B7 0.06 cache/min")},
      {{{"0.5"}, {"100"}, {"20"}, {"0"}}, noted(rates)},
      {{{"0.5"}, {"100"}, {"20"}, {"1e307"}}, noted(rates)},
      {{{"0.1"}, {"0.05"}, {"0.05"}, {"-1"}}, noted("6.00 req/min \u00B7 6.00 tok/min")},
      {{ok, {"1e307"}, {"1e307"}, ok}, "Unexpected response from Groq"},
      {{{"0.5"}, {"100"}, {"20"}, {.status = 401}}, noted(rates)},
      {{{.status = 401}, ok, ok, ok}, "Invalid Groq API key"},
      {{ok, {.status = 500}, ok, ok}, "Groq API error 500"},
      // Awaited in query order: the lowest-numbered failure wins, not the first in time.
      {{ok, ok, {.status = 429}, ok}, "Groq API error 429"},
      {{{.status = 401, .after = 50ms}, {.status = 502}, {.status = 500}, ok}, "Invalid Groq API key"}};
  for (const auto& [replies, want] : cases) {
    testing::ServiceWorld world(kNow, Provider::groq);
    for (std::size_t i = 0; const Reply& reply : replies) {
      world.transport.handle(kURLs[i++], testing::answerAfter(reply.after, reply.status, one(reply.perSecond)));
    }
    EXPECT_EQ(testing::outcomeOf([&] { return GroqService(world.context).fetchUsage("api:  gk \n"); }, show), want);
    for (const HTTPRequest& r : world.transport.requests()) EXPECT_EQ(testing::requestText(r), "GET " + r.url + rest);
  }
}

// The sum of the last sample of every series, as shown per minute; a text that is no decimal figure counts as
// nothing. The format is chosen on the exact value.
TEST(GroqMetricBody, SumsTheLastSampleOfEverySeriesOrFails) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {body(R"({"value":[1741000000,2.5]},{"value":[1,"7","4"]},{"metric":{}},{"value":null},{"value":[]})"), "6.50"},
      {one("0.06"), "0.06"},
      {one("9.999"), "10.00"},
      {one("10"), "10.0"},
      {one("99.96"), "100.0"},
      {one("100"), "100"},
      {one("1234.5"), "1234"},
      {body(R"({"value":[1,"NaN"]},{"value":[1,"4"]})"), "4.00"},
      {body(R"({"value":[1,"1e308"]},{"value":[1,"1e308"]})"), "Unexpected response from Groq"},
      {R"({"status":"Success","data":{"result":[]}})", "Groq API error 0"},
      {R"({"status":"error","data":{}})", "missing key \"data.result\""},
      {body(R"({"value":[null,"1"]})"), "expected a string at \"data.result[0].value[0]\""}};
  for (const auto& c : cases)
    EXPECT_EQ(testing::outcomeOf([&] { return groq::readMetricBody(c.first); }, groq::formatRate), c.second) << c.first;
}

}  // namespace
}  // namespace dapplewick
