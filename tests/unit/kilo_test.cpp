#include "providers/kilo.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL =
    "https://app.kilo.ai/api/trpc/user.getCreditBlocks,kiloPass.getState,user.getAutoTopUpPaymentMethod?batch=1&input="
    "%7B%220%22:%7B%22json%22:null%7D,%221%22:%7B%22json%22:null%7D,%222%22:%7B%22json%22:null%7D%7D";
const Timestamp kNow{std::chrono::seconds(1'765'000'000)};
using testing::kNotHTTP;

// The three procedures' answers as tRPC wraps them; "-" for a procedure that failed inside the batch.
std::string batch(const std::string& credits, const std::string& pass = "-") {
  const auto entry = [](const std::string& payload) {
    return payload == "-" ? std::string(R"({"error":{"code":1}})") : R"({"result":{"data":{"json":)" + payload + "}}}";
  };
  return "[" + entry(credits) + "," + entry(pass) + "," + entry("null") + "]";
}

TEST(KiloService, SendsTheBatchRequestAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow, Provider::kilo);
  const std::string credits = R"({"creditBlocks":[{"amount_mUsd":1e7,"balance_mUsd":2.5e6},{"amount_mUsd":5e6}]})";
  const std::string pass = R"({"subscription":{"currentPeriodUsageUsd":3,"currentPeriodBaseCreditsUsd":19,)"
                           R"("currentPeriodBonusCreditsUsd":1,"nextBillingAt":1767225600}})";
  world.transport.respond(kURL, 200, batch(credits, pass));
  UsageData want = UsageData::blank(Provider::kilo);
  want.used = 12.5;
  want.limit = 15;
  want.resetAt = Timestamp{std::chrono::seconds(1'767'225'600)};
  want.lastUpdated = kNow;
  want.note = "12.50/15 credits \u00B7 $3.00 / $20.00 pass";
  EXPECT_EQ(KiloService(world.context).fetchUsage("api: kilo-key\n"), want);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL +
                " (60000 ms)\nAuthorization: Bearer kilo-key\nAccept: application/json\n"
                "User-Agent: Dapplewick/1.0\n\n(no body)");
}

TEST(KiloService, StatusesAndAnswerShapes) {
  const std::string entry = R"({"result":{"data":{"json":{"remaining":7}}}})", none = "0/0 monthly";
  const std::string seven = "0/0 monthly '7 credits remaining'", unexpected = "Unexpected response from Kilo";
  struct Case {
    int status;
    std::string body, want;
  };
  // clang-format off
  const Case cases[] = {
      {401, "", "Invalid Kilo API key"}, {500, "", "Kilo API error 500"}, {kNotHTTP, "", unexpected},
      // Every procedure failed: no figures, no failure.
      {200, batch("-", "-"), none}, {200, "[]", none}, {200, "[" + entry + "]", seven},
      // An object keyed by positions; the first key naming one position wins, words and non-objects are passed over.
      {200, R"({"x":1,"00":)" + entry + R"(,"0":{"result":{"json":{"remaining":9}}},"+1":{}})", seven},
      {200, R"({"":{},"0":5})", unexpected}, {200, "[" + entry + ",1]", unexpected}, {200, "null", unexpected},
      // The envelope: result.data.json, else result.data itself, else result.json.
      {200, R"([{"result":{"data":{"json":null,"remaining":3}}}])", "0/0 monthly '3 credits remaining'"},
      {200, R"([{"result":{"data":5,"json":{"remaining":4}}}])", "0/0 monthly '4 credits remaining'"},
      {200, R"([{"result":{"json":null}},{"result":[]}])", none},
  };
  // clang-format on
  const auto show = [](const UsageData& r) { return testing::recordText(r, kNow); };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    testing::ServiceWorld world(kNow, Provider::kilo);
    c.status == kNotHTTP ? world.transport.respondNotHTTP(kURL) : world.transport.respond(kURL, c.status, c.body);
    EXPECT_EQ(testing::outcomeOf([&] { return KiloService(world.context).fetchUsage("k"); }, show), c.want);
  }
}

TEST(KiloReadBatch, CreditsPassAndDates) {
  const std::string base = R"("currentPeriodUsageUsd":1,"currentPeriodBaseCreditsUsd":)";
  const std::pair<std::string, std::string> cases[] = {
      // Micro-dollar blocks: amount only means nothing is left; blocks without figures fall back to the top level.
      {batch(R"({"creditBlocks":[{"amount_mUsd":" 2000000 \n"}]})"), "2/2 credits"},
      {batch(R"({"creditBlocks":[{"id":1}],"used":"1.5","totalCredits":4})"), "1.50/4 credits"},
      {batch(R"({"creditBlocks":[1],"total":4,"creditsRemaining":1})"), "3/4 credits"},
      // Top-level figures are taken as they are; used and total are raised to 0.
      {batch(R"({"total":20,"used":30})"), "30/20 credits"},
      {batch(R"({"total":-20,"remaining":25})"), "0/0 credits"},
      {batch(R"({"remaining":7.25})", R"({"used":1})"), "7.25 credits remaining"},
      // Sums and differences beyond the double range leave the figures absent, never infinite.
      {batch(R"({"creditBlocks":[{"amount_mUsd":1e308},{"amount_mUsd":1e308}]})"), "-"},
      {batch(R"({"total":1e308,"remaining":-1e308})"), "-"},
      {batch(R"({"total":1e25,"remaining":-1e308,"used":2})"), "2/10000000000000000905969664 credits"},
      {batch("{}", "{" + base + R"(19,"currentPeriodBonusCreditsUsd":1})"), "$1.00 / $20.00 pass"},
      {batch("{}", "{" + base + R"(0,"currentPeriodBonusCreditsUsd":5})"), "-"},
      {batch("{}", "{" + base + R"(1e308,"currentPeriodBonusCreditsUsd":1e308})"), "-"},
      {batch("{}", R"({"used":1,"total":"2"})"), "$1.00 / $2.00 pass"},
  };
  for (const auto& [body, want] : cases) {
    EXPECT_EQ(kilo::makeUsageData(kilo::readBatch(body), kNow).note.value_or("-"), want) << body;
  }
}

TEST(KiloReadBatch, ResetDates) {
  // The current form reads nextBillingAt, nextRenewalAt, renewsAt (inside subscription if there is one), the older
  // form resetAt, resetsAt; milliseconds from 10^10 on.
  for (const std::string& body : {
           batch("-", R"({"currentPeriodUsageUsd":null,"nextBillingAt":1767225600000})"),
           batch("-", R"({"currentPeriodUsageUsd":0,"nextBillingAt":"x","nextRenewalAt":"2026-01-01T00:00:00Z"})"),
           batch("-", R"({"subscription":{"renewsAt":"2026-01-01T00:00:00Z"},"nextBillingAt":1})"),
           batch("-", R"({"resetAt":[],"resetsAt":1767225600,"nextBillingAt":1})"),
       }) {
    EXPECT_EQ(kilo::readBatch(body).pass.resetAt, Timestamp{std::chrono::seconds(1'767'225'600)}) << body;
  }
}

}  // namespace
}  // namespace dapplewick
