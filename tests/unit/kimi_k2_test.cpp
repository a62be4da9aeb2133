#include "providers/kimi_k2.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://kimi-k2.ai/api/user/credits";
const Timestamp kNow{std::chrono::seconds(1'765'000'000)};
using testing::kNotHTTP;

TEST(KimiK2Service, SendsTheCreditsRequestAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow, Provider::kimiK2);
  world.transport.respond(kURL, 200, R"({"data":{"credits_remaining":12.3456,"total_credits_consumed":7}})");
  UsageData want = UsageData::blank(Provider::kimiK2);
  want.used = 7;
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "~12.35 credits remaining";
  EXPECT_EQ(KimiK2Service(world.context).fetchUsage("api:kk-key\n"), want);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL +
                " (60000 ms)\nAuthorization: Bearer kk-key\nAccept: application/json\nUser-Agent: "
                "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)");
}

// Every status but 200 is an apiError in the server's words, cut to 200 code points, or only the status when the
// body is no text.
TEST(KimiK2Service, ErrorTexts) {
  struct Case {
    int status;
    std::string body, want;
  };
  const std::string a(150, 'a'), b(150, 'b');
  const std::string notObject = "Failed to parse Kimi K2 response: Root JSON is not an object";
  const std::vector<Case> cases = {
      {401, "Unauthorized", "Kimi K2 API error: Unauthorized"},
      {500, "", "Kimi K2 API error: "},
      {kNotHTTP, "", "Unexpected response from Kimi K2"},
      {429, a + "\u00E9" + b, "Kimi K2 API error: " + a + "\u00E9" + b.substr(0, 49)},
      {200, "[]", notObject},
      {200, "{", notObject},
      {502, "\xff\xfe", "Kimi K2 API error: HTTP 502"},
  };
  for (const auto& c : cases) {
    testing::ServiceWorld world(kNow, Provider::kimiK2);
    c.status == kNotHTTP ? world.transport.respondNotHTTP(kURL) : world.transport.respond(kURL, c.status, c.body);
    EXPECT_EQ(testing::errorText([&] { KimiK2Service(world.context).fetchUsage("kk-key"); }), c.want) << c.body;
  }
}

// Consumed, remaining and the date, as found in the body (or the header).
TEST(KimiK2ReadCredits, CandidatesKeyPathsAndFallbacks) {
  struct Case {
    std::string body;
    HTTPHeaders headers;
    std::string want;
  };
  const HTTPHeaders left{{"X-Credits-Remaining", "42"}};
  const std::vector<Case> cases = {
      // "total" finds the usage object's member before the path usage.total is tried; no plain "remaining" path.
      {R"({"usage":{"total":40,"remaining":10}})", {}, "40.00 10.00"},
      // Key paths in list order come before candidates in theirs.
      {R"({"total":5,"data":{"totalCreditsUsed":9}})", {}, "9.00 0.00"},
      {R"({"credits":{"creditsLeft":1},"result":{"usage":{"creditsLeft":2}}})", {}, "0.00 2.00"},
      {R"({"result":{"credits_left":3},"data":{"credits":{"credits_left":4}}})", {}, "0.00 4.00"},
      {R"({"data":{"usage":{"remaining":6}},"usage":{"remaining":7}})", {}, "0.00 7.00"},
      // Text is read untrimmed and strictly; an unreadable (or null) hit moves on to the next path, not candidate.
      {R"({"credits_remaining":"3.5"})", {}, "0.00 3.50"},
      {R"({"usedCredits":1})", left, "1.00 42.00"},
      {R"({"credits_remaining":"3.5 ","data":{"credits_remaining":4},"creditsRemaining":2})", {}, "0.00 2.00"},
      {R"({"credits_remaining":null,"data":{"credits_remaining":4}})", {}, "0.00 0.00"},
      {R"({"credits_remaining":"nan","creditsRemaining":true,"credits_left":"0x1A"})", {}, "0.00 0.00"},
      // The header (above) stands in for a remaining figure the body lacks, read by its exact name and strictly.
      {R"({"creditsLeft":3})", left, "0.00 3.00"},
      {"{}", {{"x-credits-remaining", " 42"}}, "0.00 0.00"},
      // Dates: above 1e12 milliseconds, above 1e9 seconds, smaller numbers none; texts untrimmed.
      {R"({"updated_at":1700000000})", {}, "0.00 0.00 2023-11-14T22:13:20Z"},
      {R"({"data":{"updatedAt":"1700000000000"}})", {}, "0.00 0.00 2023-11-14T22:13:20Z"},
      {R"({"updated_at":500,"timestamp":"2023-11-14T22:13:20.5Z"})", {}, "0.00 0.00 2023-11-14T22:13:20Z"},
      {R"({"time":" 2023-11-14T22:13:20Z","last_update":1e16,"lastUpdated":"2023-11-14"})", {}, "0.00 0.00"},
  };
  for (const auto& c : cases) {
    const kimi_k2::Credits credits = kimi_k2::readCredits(c.body, c.headers);
    EXPECT_EQ(formatFixed(credits.consumed, 2) + " " + formatFixed(credits.remaining, 2) +
                  (credits.updatedAt ? " " + formatRFC3339Seconds(*credits.updatedAt) : ""),
              c.want)
        << c.body;
  }
  const Timestamp updated{std::chrono::seconds(1'700'000'000)};
  EXPECT_EQ(kimi_k2::makeUsageData({0, 0, updated}, kNow).lastUpdated, updated);
  EXPECT_EQ(kimi_k2::makeUsageData({0, 0, std::nullopt}, kNow).note, "~0.00 credits remaining");
}

}  // namespace
}  // namespace dapplewick
