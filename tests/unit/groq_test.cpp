#include "providers/groq.hpp"

#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "providers/json_read.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using testing::FakeTransport;

const std::string kQueryBase = "https://api.groq.com/v1/metrics/prometheus/api/v1/query?query=";
const std::string kRequestsURL = kQueryBase + "sum(model_project_id_status_code:requests:rate5m)";
const std::string kTokensInURL = kQueryBase + "sum(model_project_id:tokens_in:rate5m)";
const std::string kTokensOutURL = kQueryBase + "sum(model_project_id:tokens_out:rate5m)";
const std::string kCacheURL = kQueryBase + "sum(model_project_id:prompt_cache_hits:rate5m)";

const Timestamp kNow{std::chrono::milliseconds(1'741'000'000'000)};

// An instant vector with one series per value text, each sampled at a fixed time.
std::string vectorBody(const std::vector<std::string>& values) {
  Json result = Json::array();
  for (const auto& value : values) {
    result.push_back({{"metric", Json::object()}, {"value", {1741000000.123, value}}});
  }
  return Json{{"status", "success"}, {"data", {{"resultType", "vector"}, {"result", result}}}}.dump();
}

// Scripts all four queries, each answering one series with the given per-second value.
void respondAll(FakeTransport& transport, const std::vector<std::string>& perSecond) {
  const std::vector<std::string> urls = {kRequestsURL, kTokensInURL, kTokensOutURL, kCacheURL};
  for (std::size_t i = 0; i < urls.size(); ++i) transport.respond(urls[i], 200, vectorBody({perSecond[i]}));
}

class GroqTest : public ::testing::Test {
 protected:
  UsageData fetch(std::string_view credential = "gsk_test", std::stop_token stop = {}) {
    return GroqService(world_.context).fetchUsage(credential, stop);
  }
  std::string errorOf(std::string_view credential = "gsk_test") {
    return testing::errorText([&] { fetch(credential); });
  }

  testing::ServiceWorld world_{kNow};
  FakeTransport& transport_ = world_.transport;
};

TEST_F(GroqTest, SendsFourInstantQueriesWithTheKey) {
  respondAll(transport_, {"0.5", "100", "20", "0"});
  fetch();
  ASSERT_EQ(transport_.requestCount(), 4u);
  for (const auto& url : {kRequestsURL, kTokensInURL, kTokensOutURL, kCacheURL}) {
    SCOPED_TRACE(url);
    const auto sent = transport_.requestsTo(url);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].headers, (HTTPHeaders{{"Authorization", "Bearer gsk_test"},
                                            {"Accept", "application/json"},
                                            {"User-Agent", "Dapplewick/1.0"}}));
    EXPECT_EQ(sent[0].body, std::nullopt);
    EXPECT_EQ(sent[0].timeout, 60s);
  }
}

TEST(GroqOrigin, UsesTheConfiguredOrigin) {
  testing::ServiceWorld world(kNow);
  world.origins = Origins(std::map<std::string, std::string>{{"groq", "http://127.0.0.1:8089"}});
  for (int i = 0; i < 4; ++i) world.transport.respond("", 200, vectorBody({"1"}));
  GroqService(world.context).fetchUsage("k");
  EXPECT_EQ(world.transport.requestsTo("http://127.0.0.1:8089/v1/metrics/prometheus/api/v1/query?query=sum(model_"
                                     "project_id_status_code:requests:rate5m)")
                .size(),
            1u);
}

TEST_F(GroqTest, PreparesTheCredential) {
  struct Case {
    std::string stored;
    std::string bearer;
  };
  const std::vector<Case> cases = {
      {"api:  gsk_key \n", "Bearer gsk_key"},
      {"web:gsk_key", "Bearer gsk_key"},
      {" api:gsk_key", "Bearer api:gsk_key"},  // the prefix test comes before trimming
      {"\napi:gsk_key", "Bearer api:gsk_key"},
      {"\u00A0gsk_key\u3000", "Bearer gsk_key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    testing::ServiceWorld world(kNow);
    respondAll(world.transport, {"1", "1", "1", "1"});
    GroqService(world.context).fetchUsage(c.stored);
    for (const auto& request : world.transport.requests()) EXPECT_EQ(request.headers.get("Authorization"), c.bearer);
  }
}

TEST_F(GroqTest, AnEmptyKeyFailsBeforeAnyRequest) {
  for (const std::string stored : {"", "   ", "web:", "api:\n", "web: \t\r\n"}) {
    SCOPED_TRACE(stored);
    EXPECT_EQ(errorOf(stored), "Invalid Groq API key");
  }
  EXPECT_EQ(transport_.requestCount(), 0u);
}

TEST_F(GroqTest, BuildsTheRecordFromTheRates) {
  respondAll(transport_, {"0.5", "100", "20", "0.001"});
  UsageData want = UsageData::blank(Provider::groq);
  want.costSemantic = CostSemantic::none;
  want.resetPeriod = ResetPeriod::window;
  want.lastUpdated = kNow;
  want.note = "30.0 req/min \u00B7 7200 tok/min \u00B7 0.06 cache/min";
  EXPECT_EQ(fetch(), want);
}

TEST_F(GroqTest, NoteParts) {
  struct Case {
    std::vector<std::string> perSecond;  // requests, tokens in, tokens out, cache hits
    std::string note;
  };
  const std::vector<Case> cases = {
      {{"0.5", "100", "20", "0"}, "30.0 req/min \u00B7 7200 tok/min"},
      {{"0.5", "100", "20", "0.001"}, "30.0 req/min \u00B7 7200 tok/min \u00B7 0.06 cache/min"},
      {{"0", "0", "0", "0"}, "0.00 req/min \u00B7 0.00 tok/min"},
      {{"0.1", "0.05", "0.05", "-1"}, "6.00 req/min \u00B7 6.00 tok/min"},  // a negative cache figure is no part
      {{"2", "1", "1", "5"}, "120 req/min \u00B7 120 tok/min \u00B7 300 cache/min"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    testing::ServiceWorld world(kNow);
    respondAll(world.transport, c.perSecond);
    EXPECT_EQ(GroqService(world.context).fetchUsage("k").note, c.note);
  }
}

TEST(GroqFormatRate, ChoosesTheFormatOnTheExactValue) {
  struct Case {
    double value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, "0.00"},     {0.06, "0.06"},     {9.999, "10.00"},  {10, "10.0"},   {99.96, "100.0"},
      {100, "100"},    {7200, "7200"},     {1234.5, "1234"},  {-3, "-3.00"},  {12.34, "12.3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(groq::formatRate(c.value), c.text);
  }
}

TEST(GroqMetricBody, SumsTheLastSampleOfEverySeries) {
  struct Case {
    std::string name;
    std::string body;
    double sum;
  };
  const std::vector<Case> cases = {
      {"texts", vectorBody({"1.5", "2.25"}), 3.75},
      {"empty result", R"({"status":"success","data":{"resultType":"vector","result":[]}})", 0},
      {"no data", R"({"status":"success"})", 0},
      {"null data", R"({"status":"success","data":null})", 0},
      {"a number sample counts unchanged", R"({"status":"success","data":{"result":[{"value":[1741000000,2.5]}]}})",
       2.5},
      {"the timestamp is never summed", R"({"status":"success","data":{"result":[{"value":[1741000000.5,"3"]}]}})",
       3},
      {"only the last element counts",
       R"({"status":"success","data":{"result":[{"value":[1741000000,"7","4"]}]}})", 4},
      {"a series without value is skipped",
       R"({"status":"success","data":{"result":[{"metric":{}},{"value":null},{"value":[]},{"value":[1,"2"]}]}})",
       2},
      {"an unreadable text is skipped", vectorBody({"abc", "1", "", " 2", "2 ", "0x10", "1,5"}), 1},
      {"non-finite texts are skipped", vectorBody({"NaN", "nan", "+Inf", "-Inf", "inf", "Infinity", "1e999", "4"}),
       4},
      {"sign and exponent", vectorBody({"+1.5", "-0.5", "2e1", ".5"}), 21.5},
      {"an error text is decoded and ignored", R"({"status":"success","error":"fine","data":{"result":[]}})", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(groq::readMetricBody(c.body), c.sum);
  }
}

TEST(GroqMetricBody, Failures) {
  struct Case {
    std::string name;
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"status error", R"({"status":"error","errorType":"bad_data","error":"parse error"})", "Groq API error 0"},
      {"status compared by case", R"({"status":"Success","data":{"result":[]}})", "Groq API error 0"},
      {"data without result", R"({"status":"success","data":{}})", "missing key \"data.result\""},
      {"decoding comes before the status", R"({"status":"error","data":{}})", "missing key \"data.result\""},
      {"no status", R"({"data":{"result":[]}})", "missing key \"status\""},
      {"status not text", R"({"status":1})", "expected a string at \"status\""},
      {"error not text", R"({"status":"success","error":5})", "expected a string at \"error\""},
      {"result not a list", R"({"status":"success","data":{"result":{}}})", "expected an array at \"data.result\""},
      {"a sample that is neither number nor text", R"({"status":"success","data":{"result":[{"value":[1,true]}]}})",
       "expected a string at \"data.result[0].value[1]\""},
      {"a bad element fails even when it is not the last",
       R"({"status":"success","data":{"result":[{"value":[null,"1"]}]}})",
       "expected a string at \"data.result[0].value[0]\""},
      {"not JSON", "<html>", "the data is not valid JSON"},
      {"not an object", "[]", "expected an object at the top level"},
      {"a sum that overflows", vectorBody({"1e308", "1e308"}), "Unexpected response from Groq"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(testing::errorText([&] { groq::readMetricBody(c.body); }), c.error);
  }
}

TEST_F(GroqTest, NonFiniteSamplesNeverReachTheNote) {
  transport_.respond(kRequestsURL, 200, vectorBody({"NaN", "0.5"}));
  transport_.respond(kTokensInURL, 200, vectorBody({"+Inf", "100"}));
  transport_.respond(kTokensOutURL, 200, vectorBody({"-Inf", "20"}));
  transport_.respond(kCacheURL, 200, vectorBody({"NaN"}));
  EXPECT_EQ(fetch().note, "30.0 req/min \u00B7 7200 tok/min");
}

TEST_F(GroqTest, PerMinuteFiguresThatOverflow) {
  // Finite per-second sums whose per-minute figure overflows: the token figure is required, the cache one is not.
  respondAll(transport_, {"1", "1e307", "1e307", "1"});
  EXPECT_EQ(errorOf(), "Unexpected response from Groq");

  testing::ServiceWorld world(kNow);
  respondAll(world.transport, {"1", "1", "1", "1e307"});
  EXPECT_EQ(GroqService(world.context).fetchUsage("k").note, "60.0 req/min \u00B7 120 tok/min");
}

TEST_F(GroqTest, StatusOfARequiredQuery) {
  struct Case {
    std::string name;
    std::function<void(FakeTransport&, const std::string&)> script;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"401", [](FakeTransport& t, const std::string& u) { t.respond(u, 401, "{}"); }, "Invalid Groq API key"},
      {"403", [](FakeTransport& t, const std::string& u) { t.respond(u, 403, "{}"); }, "Invalid Groq API key"},
      {"500", [](FakeTransport& t, const std::string& u) { t.respond(u, 500, "oops"); }, "Groq API error 500"},
      {"201", [](FakeTransport& t, const std::string& u) { t.respond(u, 201, vectorBody({"1"})); },
       "Groq API error 201"},
      {"not HTTP", [](FakeTransport& t, const std::string& u) { t.respondNotHTTP(u); },
       "Unexpected response from Groq"},
      {"not JSON", [](FakeTransport& t, const std::string& u) { t.respond(u, 200, "<html>"); },
       "the data is not valid JSON"},
      {"transport",
       [](FakeTransport& t, const std::string& u) {
         t.fail(u, TransportError(TransportError::Kind::timeout, "The request timed out."));
       },
       "The request timed out."},
  };
  for (const auto& url : {kRequestsURL, kTokensInURL, kTokensOutURL}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(url + " " + c.name);
      testing::ServiceWorld world(kNow);
      for (const auto& other : {kRequestsURL, kTokensInURL, kTokensOutURL, kCacheURL}) {
        if (other == url) {
          c.script(world.transport, url);
        } else {
          world.transport.respond(other, 200, vectorBody({"1"}));
        }
      }
      EXPECT_EQ(testing::errorText([&] { GroqService(world.context).fetchUsage("k"); }), c.error);
    }
  }
}

TEST_F(GroqTest, TransportErrorsPassThroughUnchanged) {
  transport_.fail(kRequestsURL, TransportError(TransportError::Kind::connection, "Could not connect"));
  transport_.respond(kTokensInURL, 200, vectorBody({"1"}));
  transport_.respond(kTokensOutURL, 200, vectorBody({"1"}));
  transport_.respond(kCacheURL, 200, vectorBody({"1"}));
  try {
    fetch();
    FAIL() << "the fetch did not fail";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::connection);
    EXPECT_STREQ(error.what(), "Could not connect");
  }
}

TEST_F(GroqTest, RequestsRejectedWhileTokenQueriesSucceed) {
  transport_.respond(kRequestsURL, 403, "");
  transport_.respond(kTokensInURL, 200, vectorBody({"1"}));
  transport_.respond(kTokensOutURL, 200, vectorBody({"1"}));
  transport_.respond(kCacheURL, 200, vectorBody({"1"}));
  EXPECT_EQ(errorOf(), "Invalid Groq API key");
}

TEST_F(GroqTest, TheLowestNumberedFailureWinsNotTheFirstInTime) {
  // Queries 2 and 3 fail at once; query 1 fails last in time, and its error is the one reported.
  transport_.handle(kRequestsURL, testing::answerAfter(50ms, 401, ""));
  transport_.respond(kTokensInURL, 502, "");
  transport_.respond(kTokensOutURL, 500, "");
  transport_.respond(kCacheURL, 200, vectorBody({"1"}));
  EXPECT_EQ(errorOf(), "Invalid Groq API key");

  testing::ServiceWorld world(kNow);
  world.transport.respond(kRequestsURL, 200, vectorBody({"1"}));
  world.transport.handle(kTokensInURL, testing::answerAfter(50ms, 429, ""));
  world.transport.respond(kTokensOutURL, 500, "");
  world.transport.respond(kCacheURL, 500, "");
  EXPECT_EQ(testing::errorText([&] { GroqService(world.context).fetchUsage("k"); }), "Groq API error 429");
}

TEST_F(GroqTest, ARequiredFailureCancelsAndJoinsTheOtherQueries) {
  std::atomic<int> cancelled{0};
  transport_.respond(kRequestsURL, 500, "");
  transport_.handle(kTokensInURL, testing::blockUntilCancelled(&cancelled));
  transport_.handle(kTokensOutURL, testing::blockUntilCancelled(&cancelled));
  transport_.handle(kCacheURL, testing::blockUntilCancelled(&cancelled));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf(), "Groq API error 500");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // Every other query saw the cancellation and finished before the fetch returned.
  EXPECT_EQ(cancelled.load(), 3);
}

TEST_F(GroqTest, ALaterRequiredFailureAlsoCancelsTheCacheQuery) {
  transport_.respond(kRequestsURL, 200, vectorBody({"1"}));
  transport_.respond(kTokensInURL, 200, vectorBody({"1"}));
  transport_.respond(kTokensOutURL, 401, "");
  transport_.handle(kCacheURL, testing::blockUntilCancelled());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf(), "Invalid Groq API key");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(GroqTest, AFailedCacheQueryOnlyDropsItsPart) {
  struct Case {
    std::string name;
    std::function<void(FakeTransport&)> script;
  };
  const std::vector<Case> cases = {
      {"500", [](FakeTransport& t) { t.respond(kCacheURL, 500, ""); }},
      {"401", [](FakeTransport& t) { t.respond(kCacheURL, 401, ""); }},
      {"not HTTP", [](FakeTransport& t) { t.respondNotHTTP(kCacheURL); }},
      {"not JSON", [](FakeTransport& t) { t.respond(kCacheURL, 200, "nope"); }},
      {"status error", [](FakeTransport& t) { t.respond(kCacheURL, 200, R"({"status":"error"})"); }},
      {"transport",
       [](FakeTransport& t) { t.fail(kCacheURL, TransportError(TransportError::Kind::connection, "down")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld world(kNow);
    world.transport.respond(kRequestsURL, 200, vectorBody({"0.5"}));
    world.transport.respond(kTokensInURL, 200, vectorBody({"100"}));
    world.transport.respond(kTokensOutURL, 200, vectorBody({"20"}));
    c.script(world.transport);
    const UsageData record = GroqService(world.context).fetchUsage("k");
    EXPECT_EQ(record.note, "30.0 req/min \u00B7 7200 tok/min");
    EXPECT_EQ(record.error, std::nullopt);
  }
}

TEST_F(GroqTest, StoppingTheFetchCancelsEveryQuery) {
  for (const auto& url : {kRequestsURL, kTokensInURL, kTokensOutURL, kCacheURL}) {
    transport_.handle(url, testing::blockUntilCancelled());
  }
  testing::DelayedStop stop(20ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(fetch("k", stop.token()), TransportError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(GroqError, Descriptions) {
  EXPECT_STREQ(GroqError::httpError(418).what(), "Groq API error 418");
  EXPECT_STREQ(GroqError::httpError(0).what(), "Groq API error 0");
  EXPECT_EQ(GroqError::httpError(418).code(), GroqErrorCode::httpError);
  EXPECT_EQ(GroqError::httpError(418).value(), 418);
  EXPECT_STREQ(GroqError::invalidCredentials().what(), "Invalid Groq API key");
  EXPECT_STREQ(GroqError::invalidResponse().what(), "Unexpected response from Groq");
}

}  // namespace
}  // namespace dapplewick
