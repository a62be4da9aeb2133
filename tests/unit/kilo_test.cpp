#include "providers/kilo.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL =
    "https://app.kilo.ai/api/trpc/user.getCreditBlocks,kiloPass.getState,user.getAutoTopUpPaymentMethod?batch=1&input="
    "%7B%220%22:%7B%22json%22:null%7D,%221%22:%7B%22json%22:null%7D,%222%22:%7B%22json%22:null%7D%7D";
const Timestamp kNow{std::chrono::seconds(1'765'000'000)};

// The three procedures' answers as tRPC wraps them; "-" for a procedure that failed inside the batch.
std::string batch(const std::string& credits, const std::string& pass = "-") {
  const auto entry = [](const std::string& payload) {
    if (payload == "-") return std::string(R"({"error":{"code":-32001}})");
    return R"({"result":{"data":{"json":)" + payload + "}}}";
  };
  return "[" + entry(credits) + "," + entry(pass) + "," + entry("null") + "]";
}

// used/limit, the note and the reset time of a record, or the error of the fetch.
std::string summary(const UsageData& record) {
  return formatFixed(record.used, 2) + "/" + formatFixed(record.limit, 2) + " " + record.note.value_or("-") + " " +
         (record.resetAt ? formatRFC3339Seconds(*record.resetAt) : "-");
}

std::string fetched(int status, const std::string& body, const std::string& credential = "k") {
  testing::ServiceWorld world(kNow);
  if (status == 0) {
    world.transport.respondNotHTTP(kURL);
  } else {
    world.transport.respond(kURL, status, body);
  }
  return testing::outcomeOf([&] { return KiloService(world.context).fetchUsage(credential); }, summary);
}

TEST(KiloService, SendsTheBatchRequestAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200,
                          batch(R"({"creditBlocks":[{"amount_mUsd":10000000,"balance_mUsd":2500000},)"
                                R"({"amount_mUsd":"5000000","balance_mUsd":0}]})",
                                R"({"subscription":{"currentPeriodUsageUsd":3,"currentPeriodBaseCreditsUsd":19,)"
                                R"("currentPeriodBonusCreditsUsd":1,"nextBillingAt":1767225600}})"));
  UsageData want = UsageData::blank(Provider::kilo);
  want.used = 12.5;
  want.limit = 15;
  want.resetAt = Timestamp{std::chrono::seconds(1'767'225'600)};
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "12.50/15 credits \u00B7 $3.00 / $20.00 pass";
  EXPECT_EQ(KiloService(world.context).fetchUsage("api: kilo-key\n"), want);
  ASSERT_EQ(world.transport.requestCount(), 1u);
  EXPECT_EQ(testing::requestText(world.transport.requests()[0]),
            "GET " + kURL + " (60000 ms)\nAuthorization: Bearer kilo-key\nAccept: application/json\n"
                            "User-Agent: Dapplewick/1.0\n\n(no body)");
}

TEST(KiloService, StatusesAndAnswerShapes) {
  const std::string entry = R"({"result":{"data":{"json":{"remaining":7}}}})";
  struct Case {
    int status;  // 0: an answer that is not HTTP
    std::string body, want;
  };
  const std::vector<Case> cases = {
      {401, "", "Invalid Kilo API key"},
      {500, batch("{}"), "Kilo API error 500"},
      {0, "", "Unexpected response from Kilo"},
      // Every procedure failed: no figures, no failure.
      {200, batch("-", "-"), "0.00/0.00 - -"},
      {200, "[]", "0.00/0.00 - -"},
      {200, "[" + entry + "]", "0.00/0.00 7 credits remaining -"},
      // An object keyed by positions; the first key naming one position wins, words and non-objects are passed over.
      {200, R"({"x":1,"00":)" + entry + R"(,"0":{"result":{"json":{"remaining":9}}},"+1":{}})",
       "0.00/0.00 7 credits remaining -"},
      {200, R"({"a":{},"b":{}})", "Unexpected response from Kilo"},
      {200, R"({"":{},"0":5})", "Unexpected response from Kilo"},
      {200, "[" + entry + ",1]", "Unexpected response from Kilo"},
      {200, "null", "Unexpected response from Kilo"},
      // The envelope: result.data.json, else result.data itself, else result.json.
      {200, R"([{"result":{"data":{"json":null,"remaining":3}}}])", "0.00/0.00 3 credits remaining -"},
      {200, R"([{"result":{"data":5,"json":{"remaining":4}}}])", "0.00/0.00 4 credits remaining -"},
      {200, R"([{"result":{"json":null}},{"result":[]}])", "0.00/0.00 - -"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(fetched(c.status, c.body), c.want);
  }
  EXPECT_EQ(fetched(200, "", "web: \n"), "Invalid Kilo API key");
}

TEST(KiloReadBatch, CreditsPassAndDates) {
  const std::string pass = R"({"subscription":{"currentPeriodUsageUsd":3,"currentPeriodBaseCreditsUsd":19,)"
                           R"("currentPeriodBonusCreditsUsd":1}})";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Micro-dollar blocks: amount only means nothing is left; blocks without figures fall back to the top level.
      {batch(R"({"creditBlocks":[{"amount_mUsd":" 2000000 \n"}]})"), "2/2 credits"},
      {batch(R"({"creditBlocks":[{"id":1}],"used":"1.5","totalCredits":4})"), "1.50/4 credits"},
      {batch(R"({"creditBlocks":[1],"total":4,"creditsRemaining":1})"), "3/4 credits"},
      // Top-level figures are taken as they are; used is raised to 0.
      {batch(R"({"total":20,"used":30})"), "30/20 credits"},
      {batch(R"({"total":20,"remaining":25})"), "0/20 credits"},
      {batch(R"({"total":-20,"used":-1})"), "0/0 credits"},
      {batch(R"({"remaining":7.25})"), "7.25 credits remaining"},
      // Numbers from text follow the strict grammar; booleans are no numbers.
      {batch(R"({"remaining":"nan","creditsRemaining":"0x10","credits":true})"), "-"},
      {batch(R"({"total":"1e20","used":0})"), "0/100000000000000000000 credits"},
      // Sums and differences beyond the double range leave the figures absent, never infinite.
      {batch(R"({"creditBlocks":[{"amount_mUsd":1e308},{"amount_mUsd":1e308}]})"), "-"},
      {batch(R"({"total":1e308,"remaining":-1e308})"), "-"},
      {batch(R"({"total":1e25,"remaining":-1e308,"used":2})"), "2/10000000000000000905969664 credits"},
      {batch("{}", pass), "$3.00 / $20.00 pass"},
      {batch("{}", R"({"currentPeriodUsageUsd":1,"currentPeriodBaseCreditsUsd":0,"currentPeriodBonusCreditsUsd":5})"),
       "-"},
      {batch("{}", R"({"currentPeriodUsageUsd":1,"currentPeriodBaseCreditsUsd":1e308,)"
                   R"("currentPeriodBonusCreditsUsd":1e308})"), "-"},
      {batch("{}", R"({"used":1,"total":"2"})"), "$1.00 / $2.00 pass"},
      {batch(R"({"remaining":1})", R"({"used":1})"), "1 credits remaining"},
  };
  for (const auto& [body, want] : cases) {
    SCOPED_TRACE(body);
    EXPECT_EQ(kilo::makeUsageData(kilo::readBatch(body), kNow).note.value_or("-"), want);
  }
}

TEST(KiloReadBatch, ResetDates) {
  const auto pass = [](const std::string& members) { return batch("-", "{" + members + "}"); };
  const std::optional<Timestamp> jan1 = Timestamp{std::chrono::seconds(1'767'225'600)};
  const std::vector<std::pair<std::string, std::optional<Timestamp>>> cases = {
      {pass(R"("currentPeriodUsageUsd":null,"nextBillingAt":1767225600)"), jan1},
      {pass(R"("currentPeriodUsageUsd":0,"nextBillingAt":1767225600000)"), jan1},
      {pass(R"("currentPeriodUsageUsd":0,"nextBillingAt":" 1767225600 ")"), jan1},
      {pass(R"("currentPeriodUsageUsd":0,"nextBillingAt":"2026-01-01T00:00:00.000Z")"), jan1},
      {pass(R"("currentPeriodUsageUsd":0,"nextBillingAt":"soon","nextRenewalAt":"2026-01-01T01:00:00+01:00")"), jan1},
      {pass(R"("subscription":{"renewsAt":"2026-01-01T00:00:00Z"},"nextBillingAt":1)"), jan1},
      {pass(R"("resetAt":[],"resetsAt":1767225600,"nextBillingAt":1)"), jan1},
      // Epoch values outside 1970–9999 are no date.
      {pass(R"("resetAt":-5,"resetsAt":1e300)"), std::nullopt},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(kilo::readBatch(body).pass.resetAt, want) << body;
}

}  // namespace
}  // namespace dapplewick
