#include "providers/bedrock.hpp"

#include <gtest/gtest.h>

#include "common/numbers.hpp"
#include "support/env_guard.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://ce.us-east-1.amazonaws.com/";
const std::string kSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
const Timestamp kNow = *parseInternetDate("2026-03-15T23:59:59Z");

std::string group(const std::string& keys, const std::string& amount) {
  return R"({"Keys":[)" + keys + R"(],"Metrics":{"UnblendedCost":{"Amount":)" + amount + R"(,"Unit":"USD"}}})";
}
std::string results(const std::string& groups) { return R"({"ResultsByTime":[{"Groups":[)" + groups + "]}]}"; }

// The request is signed for us-east-1 whatever region the credential names, in a zone where it is already the
// 16th: the dates are UTC dates.
TEST(BedrockService, SendsTheSignedRequestAndBuildsTheRecord) {
  testing::TimeZoneGuard zone("Asia/Tokyo");
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200, results(group(R"("Amazon Bedrock")", R"("12.5")") + "," +
                                             group("\"Claude 3 (BEDROCK Edition)\"", R"("0.25")")));
  UsageData want = UsageData::blank(Provider::bedrock);
  want.used = want.cost = 12.75;
  want.costSemantic = CostSemantic::periodCumulative;
  want.resetAt = *parseInternetDate("2026-04-01T00:00:00Z");
  want.lastUpdated = kNow;
  want.note = "AWS Bedrock monthly spend via Cost Explorer (region: eu-west-1)";
  EXPECT_EQ(BedrockService(world.context).fetchUsage("api: eu-west-1:AKIDEXAMPLE:" + kSecret + "\n"), want);
  const std::string body =
      R"({"TimePeriod":{"Start":"2026-03-01","End":"2026-03-16"},"Granularity":"MONTHLY",)"
      R"("Metrics":["UnblendedCost"],"GroupBy":[{"Type":"DIMENSION","Key":"SERVICE"}]})";
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "POST " + kURL + " (15000 ms)\nContent-Type: application/x-amz-json-1.1\n"
            "X-Amz-Target: AWSInsightsIndexService.GetCostAndUsage\nX-Amz-Date: 20260315T235959Z\n"
            "Host: ce.us-east-1.amazonaws.com\nx-amz-content-sha256: " + sha256Hex(body) +
            "\nAuthorization: AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20260315/us-east-1/ce/aws4_request, "
            "SignedHeaders=content-type;host;x-amz-content-sha256;x-amz-date;x-amz-target, "
            "Signature=1ac7d5b31bf26994cc81b8f3427b1339ed18fc3baeaf66bba0039e8dfce623d7\n\n" + body);
}

TEST(BedrockCredentials, FromTheCredentialElseTheEnvironment) {
  struct Case {
    std::string text;
    std::map<std::string, std::string, std::less<>> environment;
    std::string want;  // "region id secret token"
  };
  const std::string missing =
      "AWS credentials not configured. Provide 'region:accessKeyId:secretKey' or set AWS_ACCESS_KEY_ID / "
      "AWS_SECRET_ACCESS_KEY.";
  const std::map<std::string, std::string, std::less<>> keys = {{"AWS_ACCESS_KEY_ID", "EK"},
                                                                 {"AWS_SECRET_ACCESS_KEY", "ES"}};
  auto withToken = keys;
  withToken.insert({{"AWS_SESSION_TOKEN", ""}, {"AWS_DEFAULT_REGION", ""}, {"AWS_REGION", "ap-east-1"}});
  auto withRegion = keys;
  withRegion.insert({"AWS_REGION", "ap-east-1"});
  const std::vector<Case> cases = {
      {"id:secret", keys, "us-east-1 id secret -"},
      {" eu-west-1:id:secret\n", {}, "eu-west-1 id secret -"},
      {"profile:eu-west-1:id:secret", {}, "eu-west-1 id secret -"},
      {"::", {}, " [] [] -"},
      {"profile", withRegion, "ap-east-1 EK ES -"},
      {"", withToken, " EK ES []"},
      {"", keys, "us-east-1 EK ES -"},
      {"a:b:c:d:e", {}, missing},
      {"", {{"AWS_ACCESS_KEY_ID", "EK"}, {"AWS_SECRET_ACCESS_KEY", ""}}, missing},
  };
  const auto shown = [](const std::string& text) { return text.empty() ? std::string("[]") : text; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const MapEnvironment environment(c.environment);
    EXPECT_EQ(testing::outcomeOf([&] { return bedrock::resolveCredentials(c.text, environment); },
                                 [&](const bedrock::ResolvedCredentials& r) {
                                   const auto& k = r.credentials;
                                   return r.region + " " + shown(k.accessKeyID) + " " + shown(k.secretAccessKey) +
                                          " " + (k.sessionToken ? shown(*k.sessionToken) : "-");
                                 }),
              c.want);
  }
}

TEST(BedrockCost, ReadsTheBedrockGroups) {
  const std::string missing =
      "Failed to parse AWS Cost Explorer response: Missing ResultsByTime in Cost Explorer response";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {results(group(R"("Amazon Bedrock")", R"("1.5")") + "," + group(R"("EC2","Bedrock")", R"("7")") + "," +
               group(R"("bedrock")", "2") + "," + group(R"("bedrock")", R"(" 3")") + "," +
               group(R"("bedrock")", R"("NaN")") + "," + group(R"("bedrock")", R"("inf")") + "," +
               group("", R"("5")") + "," + group(R"(1)", R"("5")") + R"(,{"Keys":["bedrock"]})"),
       "1.50"},
      {R"({"ResultsByTime":[{"Groups":{}},{},{"Groups":[1]},{"Groups":[)" + group(R"("bedrock")", R"("2e1")") + "]}]}",
       "20.00"},
      {R"({"ResultsByTime":[]})", "0.00"},
      {results(group(R"("bedrock")", R"("1e308")") + "," + group(R"("bedrock")", R"("1e308")")),
       "Unexpected response from AWS Cost Explorer"},
      {R"({"ResultsByTime":[1]})", missing},
      {R"({"ResultsByTime":{}})", missing},
      {"[]", missing},
      {"<html>", missing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(testing::outcomeOf([&] { return bedrock::readBedrockCost(c.first); },
                                 [](double total) { return formatFixed(total, 2); }),
              c.second);
  }
}

TEST(BedrockService, DatesAndErrors) {
  struct DateCase {
    std::string now, start, end, reset;
  };
  for (const auto& c : std::vector<DateCase>{{"2026-02-01T00:00:00Z", "2026-02-01", "2026-02-02", "2026-03-01"},
                                             {"2024-02-29T23:59:59Z", "2024-02-01", "2024-03-01", "2024-03-01"},
                                             {"2025-12-31T12:00:00Z", "2025-12-01", "2026-01-01", "2026-01-01"}}) {
    const Timestamp now = *parseInternetDate(c.now);
    const auto range = bedrock::costExplorerDateRange(now);
    EXPECT_EQ(formatISODate(range.start) + " " + formatISODate(range.end) + " " +
                  formatRFC3339Seconds(bedrock::startOfNextMonth(now)),
              c.start + " " + c.end + " " + c.reset + "T00:00:00Z");
  }
  struct ErrorCase {
    int status;
    std::string body, want;
  };
  const std::string page = "<p>" + kSecret + " and TOKEN</p>" + std::string(500, 'x');
  for (const auto& c : std::vector<ErrorCase>{
           {403, page, "AWS Cost Explorer error: HTTP 403: <p>[redacted] and [redacted]</p>" + std::string(168, 'x')},
           {500, "\xff", "AWS Cost Explorer error: HTTP 500: "},
           {0, "", "Unexpected response from AWS Cost Explorer"}}) {
    testing::ServiceWorld world(kNow);
    world.environment.set("AWS_ACCESS_KEY_ID", "AKIDEXAMPLE");
    world.environment.set("AWS_SECRET_ACCESS_KEY", kSecret);
    world.environment.set("AWS_SESSION_TOKEN", "TOKEN");
    c.status == 0 ? world.transport.respondNotHTTP(kURL) : world.transport.respond(kURL, c.status, c.body);
    EXPECT_EQ(testing::errorText([&] { BedrockService(world.context).fetchUsage("web:"); }), c.want);
    EXPECT_EQ(world.transport.requests().at(0).headers.get("X-Amz-Security-Token"), "TOKEN");
  }
}

}  // namespace
}  // namespace dapplewick
