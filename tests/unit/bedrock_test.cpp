#include "providers/bedrock.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "support/env_guard.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://ce.us-east-1.amazonaws.com/";
const std::string kSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
const Timestamp kNow = *parseInternetDate("2026-03-15T23:59:59Z");
using testing::kNotHTTP;

// The record as text, marked when it is stamped with another provider, which the text leaves out.
std::string show(const UsageData& r) {
  const bool own = r.id == Provider::bedrock && r.provider == Provider::bedrock;
  return testing::recordText(r, kNow) + (own ? "" : " (wrong provider)");
}

std::string group(const std::string& keys, const std::string& amount) {
  return R"({"Keys":[)" + keys + R"(],"Metrics":{"UnblendedCost":{"Amount":)" + amount + "}}}";
}
std::string results(const std::string& groups) { return R"({"ResultsByTime":[{"Groups":[)" + groups + "]}]}"; }

// Keys, token and region from the environment; the request is signed for us-east-1 whatever the region, in a zone
// where it is already the 16th: the dates are UTC dates. Unreadable groups and amounts are skipped; any status
// but 200 shows the start of the body.
TEST(BedrockService, SendsTheSignedRequestAndSumsTheBedrockGroups) {
  testing::TimeZoneGuard zone("Asia/Tokyo");
  struct Case {
    std::string body, want;
    int status = 200;
  };
  const std::string body = R"({"TimePeriod":{"Start":"2026-03-01","End":"2026-03-16"},"Granularity":"MONTHLY",)"
                           R"("Metrics":["UnblendedCost"],"GroupBy":[{"Type":"DIMENSION","Key":"SERVICE"}]})";
  const std::string sent =
      "POST " + kURL +
      " (15000 ms)\nContent-Type: application/x-amz-json-1.1\nX-Amz-Target: AWSInsightsIndexService."
      "GetCostAndUsage\nX-Amz-Date: 20260315T235959Z\nX-Amz-Security-Token: TOKEN\nHost: ce.us-east-1.amazonaws.com\n"
      "x-amz-content-sha256: " +
      sha256Hex(body) +
      "\nAuthorization: AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20260315/"
      "us-east-1/ce/aws4_request, SignedHeaders=content-type;host;x-amz-content-sha256;x-amz-date;x-amz-security-token;"
      "x-amz-target, Signature=af2028429b0482aec3ba534e61e27038755dbe45692a93841f958d0a960100f8\n\n" +
      body;
  const std::string missing = "Failed to parse AWS Cost Explorer response: Missing ResultsByTime in Cost Explorer "
                              "response",
                    unexpected = "Unexpected response from AWS Cost Explorer";
  const auto bed = [](const std::string& amount) { return "," + group(R"("bedrock")", amount); };
  const auto spend = [](const std::string& amount) {
    return amount + "/0 monthly @2026-04-01T00:00:00Z cost " + amount +
           " periodCumulative 'AWS Bedrock monthly spend via Cost Explorer (region: eu-west-1)'";
  };
  // clang-format off
  const std::vector<Case> cases = {
      {results(group(R"("Amazon BEDROCK Edition")", R"("1.5")") + "," + group(R"("EC2","Bedrock")", R"("7")") +
               bed("2") + bed(R"(" 3")") + bed(R"("NaN")") + bed(R"("inf")") + "," + group("", R"("5")") + "," +
               group("1", R"("5")") + R"(,{"Keys":["bedrock"]})"), spend("1.5")},
      {R"({"ResultsByTime":[{"Groups":{}},{},{"Groups":[1]},{"Groups":[)" + group(R"("bedrock")", R"("2e1")") + "]}]}",
       spend("20")},
      {R"({"ResultsByTime":[]})", spend("0")}, {R"({"ResultsByTime":[1]})", missing},
      {R"({"ResultsByTime":{}})", missing}, {"[]", missing}, {"<html>", missing}, {"", unexpected, kNotHTTP},
      {results(group(R"("bedrock")", R"("1e308")") + bed(R"("1e308")")), unexpected},
      {"<p>denied</p>", "AWS Cost Explorer error: HTTP 403: <p>denied</p>", 403}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    testing::ServiceWorld world(kNow, Provider::bedrock);
    world.environment = MapEnvironment({{"AWS_ACCESS_KEY_ID", "AKIDEXAMPLE"},
                                        {"AWS_SECRET_ACCESS_KEY", kSecret},
                                        {"AWS_SESSION_TOKEN", "TOKEN"},
                                        {"AWS_REGION", "eu-west-1"}});
    c.status == kNotHTTP ? world.transport.respondNotHTTP(kURL) : world.transport.respond(kURL, c.status, c.body);
    EXPECT_EQ(testing::outcomeOf([&] { return BedrockService(world.context).fetchUsage("web:"); }, show), c.want);
    EXPECT_EQ(testing::requestText(world.transport.requests().at(0)), sent);
  }
}

// Variables are "NAME=VALUE" words; the outcome is "region|id|secret|token".
TEST(BedrockCredentials, FromTheCredentialElseTheEnvironment) {
  const std::string keys = "AWS_ACCESS_KEY_ID=EK AWS_SECRET_ACCESS_KEY=ES",
                    missing =
                        "AWS credentials not configured. "
                        "Provide 'region:accessKeyId:secretKey' or set AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY.";
  // clang-format off
  const std::vector<std::array<std::string, 3>> cases = {
      {"id:secret", keys, "us-east-1|id|secret|-"}, {" eu-west-1:id:secret\n", "", "eu-west-1|id|secret|-"},
      {"profile:eu-west-1:id:secret", "", "eu-west-1|id|secret|-"}, {"::", "", "|||-"}, {"", keys, "us-east-1|EK|ES|-"},
      {"profile", keys + " AWS_REGION=ap-east-1", "ap-east-1|EK|ES|-"}, {"a:b:c:d:e", "", missing},
      {"", keys + " AWS_SESSION_TOKEN= AWS_DEFAULT_REGION= AWS_REGION=ap-east-1", "|EK|ES|"},  // set but empty
      {"", "AWS_ACCESS_KEY_ID=EK AWS_SECRET_ACCESS_KEY=", missing}};
  // clang-format on
  const auto describe = [](const bedrock::ResolvedCredentials& r) {
    const auto& k = r.credentials;
    return r.region + "|" + k.accessKeyID + "|" + k.secretAccessKey + "|" + k.sessionToken.value_or("-");
  };
  for (const auto& c : cases) {
    MapEnvironment vars;
    std::istringstream words(c[1]);
    for (std::string word; words >> word;) vars.set(word.substr(0, word.find('=')), word.substr(word.find('=') + 1));
    EXPECT_EQ(testing::outcomeOf([&] { return bedrock::resolveCredentials(c[0], vars); }, describe), c[2]) << c[0];
  }
}

// From the first of the UTC month to the next UTC day; the reset is the first of the next month.
TEST(BedrockDates, RangeAndReset) {
  for (const auto& [now, want] : std::vector<std::pair<std::string, std::string>>{
           {"2026-02-01T00:00:00Z", "2026-02-01 2026-02-02 2026-03-01T00:00:00Z"},
           {"2024-02-29T23:59:59Z", "2024-02-01 2024-03-01 2024-03-01T00:00:00Z"},
           {"2025-12-31T12:00:00Z", "2025-12-01 2026-01-01 2026-01-01T00:00:00Z"}}) {
    const auto range = bedrock::costExplorerDateRange(*parseInternetDate(now));
    EXPECT_EQ(formatISODate(range.start) + " " + formatISODate(range.end) + " " +
                  formatRFC3339Seconds(bedrock::startOfNextMonth(*parseInternetDate(now))),
              want);
  }
}

}  // namespace
}  // namespace dapplewick
