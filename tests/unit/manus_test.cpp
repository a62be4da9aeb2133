#include "providers/manus.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://api.manus.im/user.v1.UserService/GetAvailableCredits";
const Timestamp kNow{std::chrono::seconds(1'765'000'000)};
using testing::kNotHTTP;

std::string date(const std::optional<Timestamp>& instant) { return instant ? formatRFC3339Seconds(*instant) : "-"; }

TEST(ManusService, SendsTheCreditsRequestAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow, Provider::manus);
  world.transport.respond(
      kURL, 200,
      R"({"data":{"totalCredits":1234.5,"proMonthlyCredits":1000,"periodicCredits":)"
      R"("250","maxRefreshCredits":300,"refreshCredits":150,"nextRefreshTime":"2030-01-01T00:00:00Z"}})");
  // Every field in order: id, provider, used, limit, cost, costSemantic, resetAt, resetPeriod, lastUpdated, error,
  // note, isLoading, auxiliaryUsage. A monthly allowance shows no reset time.
  // clang-format off
  const UsageData refresh{Provider::manus, Provider::manus, 50, 100, 0, CostSemantic::none,
                          Timestamp{std::chrono::seconds(1'893'456'000)}, ResetPeriod::window, kNow, {}, {}, false, {}};
  EXPECT_EQ(ManusService(world.context).fetchUsage("other=1; Session_ID = abc=def ;x=2\n"),
            (UsageData{Provider::manus, Provider::manus, 75, 100, 0, CostSemantic::none, {}, ResetPeriod::monthly,
                       kNow, {}, "Manus credits: 1235 total available.", false, {refresh}}));
  // clang-format on
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "POST " + kURL +
                " (60000 ms)\nAccept: application/json\nContent-Type: application/json\n"
                "Authorization: Bearer abc=def\nOrigin: https://manus.im\nReferer: https://manus.im/\n"
                "Connect-Protocol-Version: 1\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "
                "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/135.0.0.0 Safari/537.36\n\n{}");
}

TEST(ManusService, StatusesEnvelopesAndMapping) {
  const std::string missing = "Failed to parse Manus response: response missing expected credits fields";
  struct Case {
    int status;
    std::string body, want;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {401, "", "Invalid Manus credential"}, {500, "", "Manus API error 500"},
      // Without a monthly allowance: the credits available, with the refresh time as the reset. Figures are numbers or
      // numeric text with spaces and tabs around; anything else is 0.
      {200, R"({"data":{"totalCredits":" 234.6\t","proMonthlyCredits":"\n5"}})",
       "234.6/0 monthly 'Manus credits: 235 available.'"},
      {200, R"({"totalCredits":50,"nextRefreshTime":1893456000})",
       "50/0 monthly @2030-01-01T00:00:00Z 'Manus credits: 50 available.'"},
      // The envelope's members in order; one that does not decode leaves the body itself.
      {200, R"({"availableCredits":{"totalCredits":4},"response":{"totalCredits":3},"data":null,)"
            R"("result":{"totalCredits":2}})", "2/0 monthly 'Manus credits: 2 available.'"},
      {200, R"({"data":{}})", "0/0 monthly 'Manus credits: 0 available.'"},
      {200, R"({"data":"x","credits":1})", missing}, {200, "[]", "expected an object at the top level"},
      {200, R"({"data":{"refreshInterval":5},"result":{"totalCredits":2},"totalCredits":7})",
       "7/0 monthly 'Manus credits: 7 available.'"},
      {kNotHTTP, "", "Unexpected response from Manus"},
      {200, R"({"refreshInterval":5,"totalCredits":1})", "expected a string at \"refreshInterval\""},
      // A monthly allowance: its used share, and the refresh credits' beside it when there are any.
      {200, R"({"proMonthlyCredits":1000,"periodicCredits":1200,"maxRefreshCredits":300,"refreshCredits":300})",
       "0/100 monthly 'Manus credits: 0 total available.' + 0/100 window"},
      {200, R"({"proMonthlyCredits":1000,"periodicCredits":-500,"maxRefreshCredits":300,"refreshCredits":-1e308})",
       "100/100 monthly 'Manus credits: 0 total available.' + 100/100 window"},
      {200, R"({"proMonthlyCredits":1e-320,"periodicCredits":-1e308,"nextRefreshTime":1893456000})",
       "100/100 monthly 'Manus credits: 0 total available.'"},
  };
  // clang-format on
  const auto asText = [](const UsageData& r) { return testing::recordText(r); };
  for (const auto& c : cases) {
    testing::ServiceWorld world(kNow, Provider::manus);
    c.status == kNotHTTP ? world.transport.respondNotHTTP(kURL) : world.transport.respond(kURL, c.status, c.body);
    EXPECT_EQ(testing::outcomeOf([&] { return ManusService(world.context).fetchUsage("tok"); }, asText), c.want);
  }
}

TEST(ManusParsing, SessionTokensRefreshTimesAndRounding) {
  const std::vector<std::pair<std::string, std::string>> sessions = {
      {" tok \n", "tok"},
      {";;\tSESSION_ID\t = v=1= \t;session_id=later", "v=1="},
      {"a=1; b=2", "a=1; b=2"},
      {"session_id;x;session_id=s", "s"},
      {"session_idx=1", "session_idx=1"},
      {" session_id= ; a=1", ""},
  };
  for (const auto& [credential, want] : sessions) EXPECT_EQ(manus::extractSessionToken(credential), want) << credential;
  // Text without a fraction only; numbers are seconds since 1970, within 1970–9999.
  const std::vector<std::pair<std::string, std::string>> times = {
      {R"("2030-01-01T02:00:00+02:00")", "2030-01-01T00:00:00Z"},
      {R"("2030-01-01T00:00:00.5Z")", "-"},
      {"0", "1970-01-01T00:00:00Z"},
      {"1e12", "-"},
      {"-1", "-"},
      {"[]", "-"},
  };
  for (const auto& [v, want] : times)
    EXPECT_EQ(date(manus::decodeCredits(R"({"totalCredits":1,"nextRefreshTime":)" + v + "}").nextRefreshTime), want);
  // Halves away from zero, without grouping.
  const std::vector<std::pair<double, std::string>> rounded = {
      {2.5, "3"}, {-0.5, "-1"}, {-0.4, "0"}, {1234567.4, "1234567"}, {1e21, "1000000000000000000000"}};
  for (const auto& [value, want] : rounded) EXPECT_EQ(manus::formatCredits(value), want) << value;
}

}  // namespace
}  // namespace dapplewick
