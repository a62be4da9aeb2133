#include "providers/groq.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using testing::FakeTransport;

const std::string kQueryBase = "https://api.groq.com/v1/metrics/prometheus/api/v1/query?query=";
const std::vector<std::string> kURLs = {kQueryBase + "sum(model_project_id_status_code:requests:rate5m)",
                                        kQueryBase + "sum(model_project_id:tokens_in:rate5m)",
                                        kQueryBase + "sum(model_project_id:tokens_out:rate5m)",
                                        kQueryBase + "sum(model_project_id:prompt_cache_hits:rate5m)"};
const Timestamp kNow{std::chrono::milliseconds(1'741'000'000'000)};

// An instant vector with one series per value text.
std::string vectorBody(const std::vector<std::string>& values) {
  Json result = Json::array();
  for (const auto& value : values) {
    result.push_back({{"metric", Json::object()}, {"value", {1741000000.123, value}}});
  }
  return Json{{"status", "success"}, {"data", {{"resultType", "vector"}, {"result", result}}}}.dump();
}

// Scripts the queries in order (requests, tokens in, tokens out, cache hits), each answering one series with its
// per-second value, or failing: "=STATUS", "=not HTTP" or "=offline".
void respondAll(FakeTransport& transport, const std::vector<std::string>& perSecond) {
  for (std::size_t i = 0; i < kURLs.size(); ++i) {
    if (perSecond[i] == "=not HTTP") {
      transport.respondNotHTTP(kURLs[i]);
    } else if (perSecond[i] == "=offline") {
      transport.fail(kURLs[i], TransportError(TransportError::Kind::connection, "offline"));
    } else if (perSecond[i].starts_with("=")) {
      transport.respond(kURLs[i], std::stoi(perSecond[i].substr(1)), vectorBody({"1"}));
    } else {
      transport.respond(kURLs[i], 200, vectorBody({perSecond[i]}));
    }
  }
}

// The note of a fetch, or the text of its error.
std::string outcome(testing::ServiceWorld& world, std::string_view credential = "k") {
  try {
    return GroqService(world.context).fetchUsage(credential).note.value_or("");
  } catch (const std::exception& error) {
    return error.what();
  }
}

class GroqTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  FakeTransport& transport = world.transport;
};

TEST_F(GroqTest, SendsFourInstantQueriesWithTheKeyAndBuildsTheRecord) {
  respondAll(transport, {"0.5", "100", "20", "0.001"});
  UsageData want = UsageData::blank(Provider::groq);
  want.costSemantic = CostSemantic::none;
  want.resetPeriod = ResetPeriod::window;
  want.lastUpdated = kNow;
  want.note = "30.0 req/min \u00B7 7200 tok/min \u00B7 0.06 cache/min";
  EXPECT_EQ(GroqService(world.context).fetchUsage("api:  gsk_key \n"), want);
  ASSERT_EQ(transport.requestCount(), 4u);
  for (const auto& url : kURLs) {
    SCOPED_TRACE(url);
    const auto sent = transport.requestsTo(url);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].headers, (HTTPHeaders{{"Authorization", "Bearer gsk_key"},
                                            {"Accept", "application/json"},
                                            {"User-Agent", "Dapplewick/1.0"}}));
    EXPECT_EQ(sent[0].body, std::nullopt);
    EXPECT_EQ(sent[0].timeout, 60s);
  }
}

TEST_F(GroqTest, AnEmptyKeyFailsBeforeAnyRequest) {
  EXPECT_EQ(outcome(world, "api: \t\r\n"), "Invalid Groq API key");
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST(GroqFetch, NoteFromTheRatesOrTheErrorOfTheFirstFailedRequiredQuery) {
  const std::string rates = "30.0 req/min \u00B7 7200 tok/min";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"0.5", "100", "20", "0"}, rates},
      {{"0.1", "0.05", "0.05", "-1"}, "6.00 req/min \u00B7 6.00 tok/min"},
      {{"0.5", "100", "20", "NaN"}, rates},
      {{"0.5", "100", "20", "1e307"}, rates},  // the cache figure overflows per minute
      {{"2", "1", "1", "5"}, "120 req/min \u00B7 120 tok/min \u00B7 300 cache/min"},
      {{"1", "1e307", "1e307", "1"}, "Unexpected response from Groq"},
      // A failed cache query only drops its part; a failed required one ends the fetch.
      {{"0.5", "100", "20", "=401"}, rates},
      {{"0.5", "100", "20", "=offline"}, rates},
      {{"=401", "1", "1", "1"}, "Invalid Groq API key"},
      {{"1", "=500", "1", "1"}, "Groq API error 500"},
      {{"1", "1", "=not HTTP", "1"}, "Unexpected response from Groq"},
      {{"=offline", "1", "1", "1"}, "offline"},
      {{"1", "=201", "1", "1"}, "Groq API error 201"},
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
  const auto read = [](const std::string& body) -> std::string {
    try {
      return formatFixed(groq::readMetricBody(body), 2);
    } catch (const std::exception& error) {
      return error.what();
    }
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {vectorBody({"1.5", "2.25"}), "3.75"},
      {R"({"status":"success","data":{"result":[{"value":[1741000000,2.5]},{"value":[1,"7","4"]}]}})", "6.50"},
      {R"({"status":"success","data":{"result":[{"metric":{}},{"value":null},{"value":[]},{"value":[1,"2"]}]}})",
       "2.00"},
      {vectorBody({"abc", "1", "", " 2", "0x10", "1,5"}), "1.00"},
      {vectorBody({"NaN", "nan", "+Inf", "-Inf", "Infinity", "1e999", "4"}), "4.00"},
      {vectorBody({"1e308", "1e308"}), "Unexpected response from Groq"},
      {R"({"status":"error","errorType":"bad_data","error":"parse error"})", "Groq API error 0"},
      {R"({"status":"Success","data":{"result":[]}})", "Groq API error 0"},
      {R"({"status":"error","data":{}})", "missing key \"data.result\""},
      {R"({"status":"success","data":{"result":[{"value":[null,"1"]}]}})",
       "expected a string at \"data.result[0].value[0]\""},
      {"<html>", "the data is not valid JSON"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(read(body), want) << body;
}

TEST_F(GroqTest, TheLowestNumberedFailureWinsNotTheFirstInTime) {
  transport.handle(kURLs[0], testing::answerAfter(50ms, 401, ""));
  transport.respond(kURLs[1], 502, "");
  transport.respond(kURLs[2], 500, "");
  transport.respond(kURLs[3], 200, vectorBody({"1"}));
  EXPECT_EQ(outcome(world), "Invalid Groq API key");
}

TEST_F(GroqTest, ARequiredFailureCancelsAndJoinsTheOtherQueries) {
  std::atomic<int> cancelled{0};
  transport.respond(kURLs[0], 500, "");
  for (std::size_t i = 1; i < kURLs.size(); ++i) transport.handle(kURLs[i], testing::blockUntilCancelled(&cancelled));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(world), "Groq API error 500");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(cancelled.load(), 3) << "every other query finished, cancelled, before the fetch returned";
}

TEST_F(GroqTest, StoppingTheFetchCancelsEveryQuery) {
  for (const auto& url : kURLs) transport.handle(url, testing::blockUntilCancelled());
  testing::DelayedStop stop(20ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(GroqService(world.context).fetchUsage("k", stop.token()), TransportError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace dapplewick
