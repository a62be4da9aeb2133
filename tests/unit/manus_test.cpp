#include "providers/manus.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://api.manus.im/user.v1.UserService/GetAvailableCredits";
const Timestamp kNow{std::chrono::seconds(1'765'000'000)};

std::string date(const std::optional<Timestamp>& instant) {
  return instant ? formatRFC3339Seconds(*instant) : "-";
}

// used/limit, reset, note, then each auxiliary record's used and reset.
std::string summary(const UsageData& record) {
  std::string text = formatFixed(record.used, 2) + "/" + formatFixed(record.limit, 2) + " " + date(record.resetAt) +
                     " " + record.note.value_or("-");
  for (const UsageData& aux : record.auxiliaryUsage) text += " | " + formatFixed(aux.used, 2) + " " + date(aux.resetAt);
  return text;
}

std::string fetched(int status, const std::string& body, const std::string& credential = "tok") {
  testing::ServiceWorld world(kNow);
  if (status == 0) {
    world.transport.respondNotHTTP(kURL);
  } else {
    world.transport.respond(kURL, status, body);
  }
  return testing::outcomeOf([&] { return ManusService(world.context).fetchUsage(credential); }, summary);
}

TEST(ManusService, SendsTheCreditsRequestAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200,
                          R"({"data":{"totalCredits":1234.5,"proMonthlyCredits":1000,"periodicCredits":"250",)"
                          R"("maxRefreshCredits":300,"refreshCredits":150,"nextRefreshTime":"2030-01-01T00:00:00Z"}})");
  UsageData refresh = UsageData::blank(Provider::manus);
  refresh.used = 50;
  refresh.limit = 100;
  refresh.resetAt = Timestamp{std::chrono::seconds(1'893'456'000)};
  refresh.resetPeriod = ResetPeriod::window;
  refresh.lastUpdated = kNow;
  UsageData want = refresh;
  want.used = 75;
  want.resetAt = std::nullopt;  // a monthly allowance shows no reset time
  want.resetPeriod = ResetPeriod::monthly;
  want.note = "Manus credits: 1235 total available.";
  want.auxiliaryUsage = {refresh};
  EXPECT_EQ(ManusService(world.context).fetchUsage("other=1; Session_ID = abc=def ;x=2\n"), want);
  ASSERT_EQ(world.transport.requestCount(), 1u);
  EXPECT_EQ(testing::requestText(world.transport.requests()[0]),
            "POST " + kURL + " (60000 ms)\nAccept: application/json\nContent-Type: application/json\n"
                             "Authorization: Bearer abc=def\nOrigin: https://manus.im\nReferer: https://manus.im/\n"
                             "Connect-Protocol-Version: 1\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "
                             "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/135.0.0.0 Safari/537.36\n\n{}");
}

TEST(ManusService, SessionTokenFromACookieHeaderOrWhole) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" tok \n", "tok"},
      {"a=1;session_id=xyz; b=2", "xyz"},
      {";;\tSESSION_ID\t = v=1= \t;session_id=later", "v=1="},
      {"session_id;x;session_id=s", "s"},
      {"a=1; b=2", "a=1; b=2"},
      {"session_idx=1", "session_idx=1"},
      {" session_id= ; a=1", ""},
  };
  for (const auto& [credential, want] : cases) EXPECT_EQ(manus::extractSessionToken(credential), want) << credential;
  for (const std::string blank : {" \n", "a=1; session_id=  ;"}) {
    testing::ServiceWorld world(kNow);
    EXPECT_EQ(testing::errorText([&] { ManusService(world.context).fetchUsage(blank); }), "Invalid Manus credential");
    EXPECT_EQ(world.transport.requestCount(), 0u);
  }
}

TEST(ManusService, StatusesEnvelopesAndMapping) {
  const std::string missing = "Failed to parse Manus response: response missing expected credits fields";
  struct Case {
    int status;  // 0: an answer that is not HTTP
    std::string body, want;
  };
  const std::vector<Case> cases = {
      {401, "", "Invalid Manus credential"},
      {500, "", "Manus API error 500"},
      {0, "", "Unexpected response from Manus"},
      // Without a monthly allowance: the credits available, with the refresh time as the reset.
      {200, R"({"data":{"totalCredits":"234.6","proMonthlyCredits":0}})",
       "234.60/0.00 - Manus credits: 235 available."},
      {200, R"({"totalCredits":50,"nextRefreshTime":"2030-01-01T00:00:00Z"})",
       "50.00/0.00 2030-01-01T00:00:00Z Manus credits: 50 available."},
      {200, R"({"credits":50,"nextRefreshTime":0,"refreshInterval":"monthly"})", missing},
      // The envelope's members in order; one that does not decode leaves the body itself.
      {200, R"({"availableCredits":{"totalCredits":4},"response":{"totalCredits":3},"data":null,)"
            R"("result":{"totalCredits":2}})", "2.00/0.00 - Manus credits: 2 available."},
      {200, R"({"data":{}})", "0.00/0.00 - Manus credits: 0 available."},
      {200, R"({"data":{"refreshInterval":5},"result":{"totalCredits":2},"totalCredits":7})",
       "7.00/0.00 - Manus credits: 7 available."},
      {200, R"({"data":"x","credits":1})", missing},
      {200, "[]", "expected an object at the top level"},
      {200, R"({"refreshInterval":5,"totalCredits":1})", "expected a string at \"refreshInterval\""},
      {200, "<html>", "the data is not valid JSON"},
      // A monthly allowance: its used share, and the refresh credits' beside it when there are any.
      {200, R"({"proMonthlyCredits":1000,"periodicCredits":1200,"maxRefreshCredits":300,"refreshCredits":300})",
       "0.00/100.00 - Manus credits: 0 total available. | 0.00 -"},
      {200, R"({"proMonthlyCredits":1000,"periodicCredits":-500,"maxRefreshCredits":300,"refreshCredits":-1e308})",
       "100.00/100.00 - Manus credits: 0 total available. | 100.00 -"},
      {200, R"({"proMonthlyCredits":1e-320,"periodicCredits":-1e308,"nextRefreshTime":1893456000})",
       "100.00/100.00 - Manus credits: 0 total available."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(fetched(c.status, c.body), c.want);
  }
}

TEST(ManusDecodeCredits, FiguresNeverFailAndRefreshTimes) {
  const std::vector<std::pair<std::string, double>> figures = {
      {R"(" 12.5 ")", 12.5}, {R"("\t-3e2")", -300}, {R"("12,5")", 0}, {R"("\n5")", 0}, {R"("nan")", 0},
      {R"("inf")", 0},       {R"("0x10")", 0},       {"true", 0},        {"{}", 0},       {"7", 7},
  };
  for (const auto& [value, want] : figures) {
    EXPECT_EQ(manus::decodeCredits(R"({"eventCredits":)" + value + "}").eventCredits, want) << value;
  }
  // Text without a fraction only; numbers are seconds since 1970, within 1970–9999.
  const std::vector<std::pair<std::string, std::string>> times = {
      {R"("2030-01-01T00:00:00Z")", "2030-01-01T00:00:00Z"},
      {R"("2030-01-01T02:00:00+02:00")", "2030-01-01T00:00:00Z"},
      {R"("2030-01-01T00:00:00.5Z")", "-"},
      {R"(" 2030-01-01T00:00:00Z")", "-"},
      {"0", "1970-01-01T00:00:00Z"},
      {"1893456000", "2030-01-01T00:00:00Z"},
      {"1e12", "-"},
      {"-1", "-"},
      {"[]", "-"},
  };
  for (const auto& [value, want] : times) {
    EXPECT_EQ(date(manus::decodeCredits(R"({"totalCredits":1,"nextRefreshTime":)" + value + "}").nextRefreshTime),
              want)
        << value;
  }
}

TEST(ManusFormatCredits, RoundsHalvesAwayFromZeroWithoutGrouping) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1234.5, "1235"}, {2.5, "3"},        {0.5, "1"}, {-0.5, "-1"}, {-0.4, "0"}, {1234567.4, "1234567"},
      {1e21, "1000000000000000000000"},
  };
  for (const auto& [value, want] : cases) EXPECT_EQ(manus::formatCredits(value), want) << value;
}

}  // namespace
}  // namespace dapplewick
