#include "providers/groq.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kQueryBase = "https://api.groq.com/v1/metrics/prometheus/api/v1/query?query=";
const std::vector<std::string> kURLs = {kQueryBase + "sum(model_project_id_status_code:requests:rate5m)",
                                        kQueryBase + "sum(model_project_id:tokens_in:rate5m)",
                                        kQueryBase + "sum(model_project_id:tokens_out:rate5m)",
                                        kQueryBase + "sum(model_project_id:prompt_cache_hits:rate5m)"};
const Timestamp kNow{std::chrono::milliseconds(1'741'000'000'000)};

// An instant vector with one series per value text.
std::string vectorBody(const std::vector<std::string>& values) {
  Json result = Json::array();
  for (const auto& value : values) result.push_back({{"metric", Json::object()}, {"value", {1741000000.123, value}}});
  return Json{{"status", "success"}, {"data", {{"resultType", "vector"}, {"result", result}}}}.dump();
}

// Scripts the queries in order (requests, tokens in, tokens out, cache hits), each answering one series with its
// per-second value, or failing with "=STATUS", or with "~STATUS" after a while.
void respondAll(testing::FakeTransport& transport, const std::vector<std::string>& perSecond) {
  for (std::size_t i = 0; i < kURLs.size(); ++i) {
    if (perSecond[i].starts_with("=")) {
      transport.respond(kURLs[i], std::stoi(perSecond[i].substr(1)), vectorBody({"1"}));
    } else if (perSecond[i].starts_with("~")) {
      transport.handle(kURLs[i], testing::answerAfter(50ms, std::stoi(perSecond[i].substr(1)), ""));
    } else {
      transport.respond(kURLs[i], 200, vectorBody({perSecond[i]}));
    }
  }
}

// The note of a fetch, or the text of its error.
std::string outcome(testing::ServiceWorld& world) {
  return testing::outcomeOf([&] { return GroqService(world.context).fetchUsage("k"); },
                            [](const UsageData& data) { return data.note.value_or(""); });
}

TEST(GroqService, SendsFourInstantQueriesExactlyAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow);
  respondAll(world.transport, {"0.5", "100", "20", "0.001"});
  UsageData want = UsageData::blank(Provider::groq);
  want.resetPeriod = ResetPeriod::window;
  want.lastUpdated = kNow;
  want.note = "30.0 req/min \u00B7 7200 tok/min \u00B7 0.06 cache/min";
  EXPECT_EQ(GroqService(world.context).fetchUsage("api:  gsk_key \n"), want);
  ASSERT_EQ(world.transport.requestCount(), 4u);
  for (const auto& url : kURLs) {
    EXPECT_EQ(testing::requestText(world.transport.requestsTo(url).at(0)),
              "GET " + url + " (60000 ms)\nAuthorization: Bearer gsk_key\nAccept: application/json\n"
              "User-Agent: Dapplewick/1.0\n\n(no body)");
  }
}

TEST(GroqService, NoteFromTheRatesOrTheErrorOfTheFirstFailedRequiredQuery) {
  const std::string rates = "30.0 req/min \u00B7 7200 tok/min";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"0.5", "100", "20", "0"}, rates},
      {{"0.1", "0.05", "0.05", "-1"}, "6.00 req/min \u00B7 6.00 tok/min"},
      {{"0.5", "100", "20", "1e307"}, rates},  // the cache figure overflows per minute
      {{"1", "1e307", "1e307", "1"}, "Unexpected response from Groq"},
      // A failed cache query only drops its part; a failed required one ends the fetch.
      {{"0.5", "100", "20", "=401"}, rates},
      {{"=401", "1", "1", "1"}, "Invalid Groq API key"},
      {{"1", "=500", "1", "1"}, "Groq API error 500"},
      {{"1", "1", "=429", "1"}, "Groq API error 429"},
      // Awaited in query order: the lowest-numbered failure wins, not the first in time.
      {{"~401", "=502", "=500", "1"}, "Invalid Groq API key"},
  };
  for (const auto& [perSecond, want] : cases) {
    SCOPED_TRACE(want);
    testing::ServiceWorld world(kNow);
    respondAll(world.transport, perSecond);
    EXPECT_EQ(outcome(world), want);
  }
}

TEST(GroqFormatRate, ChoosesTheFormatOnTheExactValue) {
  const std::vector<std::pair<double, std::string>> cases = {{0.06, "0.06"},   {9.999, "10.00"}, {10, "10.0"},
                                                             {99.96, "100.0"}, {100, "100"},     {1234.5, "1234"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(groq::formatRate(value), text) << value;
}

TEST(GroqMetricBody, SumsTheLastSampleOfEverySeriesOrFails) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {vectorBody({"1.5", "2.25"}), "3.75"},
      {R"({"status":"success","data":{"result":[{"value":[1741000000,2.5]},{"value":[1,"7","4"]}]}})", "6.50"},
      {R"({"status":"success","data":{"result":[{"metric":{}},{"value":null},{"value":[]},{"value":[1,"2"]}]}})",
       "2.00"},
      {vectorBody({"NaN", "4"}), "4.00"},  // a text that is no decimal figure counts as nothing
      {vectorBody({"1e308", "1e308"}), "Unexpected response from Groq"},
      {R"({"status":"error","errorType":"bad_data","error":"parse error"})", "Groq API error 0"},
      {R"({"status":"Success","data":{"result":[]}})", "Groq API error 0"},
      {R"({"status":"error","data":{}})", "missing key \"data.result\""},
      {R"({"status":"success","data":{"result":[{"value":[null,"1"]}]}})",
       "expected a string at \"data.result[0].value[0]\""},
  };
  const auto sum = [](double value) { return formatFixed(value, 2); };
  for (const auto& c : cases) {
    EXPECT_EQ(testing::outcomeOf([&] { return groq::readMetricBody(c.first); }, sum), c.second) << c.first;
  }
}

}  // namespace
}  // namespace dapplewick
