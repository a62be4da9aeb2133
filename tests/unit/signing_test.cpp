#include "providers/shared/signing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "common/dates.hpp"
#include "support/env_guard.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const AWSCredentials kAWSKeys{"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", std::nullopt};
const Timestamp kSuiteTime = Timestamp(std::chrono::seconds(1440938160));  // 2015-08-30T12:36:00Z

std::string signatureOf(const HTTPRequest& request) {
  const std::string authorization = request.headers.get("Authorization").value_or("");
  return authorization.substr(authorization.rfind('=') + 1);
}

// The published AWS suite, signed with exactly the headers it lists.
TEST(Signing, AWSSuiteVectors) {
  struct Case {
    std::string method, path;
    std::optional<std::string> contentType, body;
    std::string signedHeaders, signature;
  };
  const std::vector<Case> cases = {
      {"GET", "/", std::nullopt, std::nullopt, "host;x-amz-date",
       "5fa00fa31553b73ebf1942676e86291e8372ff2a2260956d9b8aae1d763fbf31"},
      {"GET", "/%E1%88%B4", std::nullopt, std::nullopt, "host;x-amz-date",
       "8318018e0b0f223aa2bbf98705b62bb787dc9c0e678f255a891fd03141be5d85"},
      {"POST", "/", "application/x-www-form-urlencoded", "Param1=value1", "content-type;host;x-amz-date",
       "ff11897932ad3f4e8b18135d722051e5ac45fc38421b1da7b9d196a0fe09473a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path);
    HTTPRequest request{c.method, "https://example.amazonaws.com" + c.path, {}, c.body};
    if (c.contentType) request.headers.add("Content-Type", *c.contentType);
    request.headers.add("Host", "example.amazonaws.com");
    request.headers.add("X-Amz-Date", "20150830T123600Z");
    signAWSHeaders(request, kAWSKeys, {"us-east-1", "service"}, kSuiteTime);
    EXPECT_EQ(request.headers.get("Authorization"),
              "AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20150830/us-east-1/service/aws4_request, SignedHeaders=" +
                  c.signedHeaders + ", Signature=" + c.signature);
  }
}

// The Cost Explorer request (its header order is checked with the service) as an independent signer signs it,
// with and without a session token; in a zone far from UTC, since both date texts are UTC whatever TZ says.
TEST(Signing, CostExplorerRequest) {
  testing::TimeZoneGuard zone("Asia/Tokyo");
  for (const auto& [token, signature] :
       {std::pair<std::optional<std::string>, std::string>{
            std::nullopt, "1ac7d5b31bf26994cc81b8f3427b1339ed18fc3baeaf66bba0039e8dfce623d7"},
        {"FQoGZXIvYXdzEXAMPLE/token+=", "8cdb686466a1855ddcde9ad4a166fe5765cf18f1112c384ad7eb4b8c2a4ff12c"}}) {
    HTTPRequest request{
        "POST",
        "https://ce.us-east-1.amazonaws.com/",
        {{"Content-Type", "application/x-amz-json-1.1"}, {"X-Amz-Target", "AWSInsightsIndexService.GetCostAndUsage"}},
        R"({"TimePeriod":{"Start":"2026-03-01","End":"2026-03-16"},"Granularity":"MONTHLY",)"
        R"("Metrics":["UnblendedCost"],"GroupBy":[{"Type":"DIMENSION","Key":"SERVICE"}]})"};
    signAWSRequest(request, {kAWSKeys.accessKeyID, kAWSKeys.secretAccessKey, token}, {"us-east-1", "ce"},
                   *parseInternetDate("2026-03-15T23:59:59Z"));
    EXPECT_EQ(signatureOf(request), signature);
    EXPECT_EQ(request.headers.get("X-Amz-Security-Token"), token);
  }
}

// An empty token is sent and signed; values lose spaces and tabs at their ends only; a port is not part of Host;
// a header set again in another letter case replaces the first in its place.
TEST(Signing, HeadersAsSent) {
  const auto signedWith = [](const std::string& note) {
    HTTPRequest request{"GET", "http://127.0.0.1:8080", {{"host", "old"}, {"X-Note", note}}, std::nullopt};
    signAWSRequest(request, {"id", "secret", ""}, {"eu-west-1", "ce"}, kSuiteTime);
    return request;
  };
  const HTTPRequest request = signedWith(" \ta  b\t ");
  const auto& headers = request.headers.list();
  ASSERT_EQ(headers.size(), 6u);
  EXPECT_EQ(headers[0], (HTTPHeader{"Host", "127.0.0.1"}));
  EXPECT_EQ(headers[3], (HTTPHeader{"X-Amz-Security-Token", ""}));
  EXPECT_EQ(headers[4].value, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_NE(headers[5].value.find("SignedHeaders=host;x-amz-content-sha256;x-amz-date;x-amz-security-token;x-note,"),
            std::string::npos);
  EXPECT_EQ(signatureOf(request), signatureOf(signedWith("a  b")));
  EXPECT_NE(signatureOf(request), signatureOf(signedWith("a b")));
  EXPECT_EQ(canonicalURI("https://h"), "/");
  EXPECT_EQ(canonicalURI("https://h/a%20b/caf%C3%A9~/"), "/a%20b/caf%C3%A9~/");
}

// The plan calls' vectors (their header order is checked with the service); the query is sorted when signed.
TEST(Signing, Volcengine) {
  for (const auto& [query, region, signature] :
       {std::tuple<std::string, std::string, std::string>{
            "Action=GetCodingPlanUsage&Version=2024-01-01", "cn-beijing",
            "c090b962899624c15bc310d33e849fdeb4c4601d7d67c5648a3cb4eb9088a031"},
        {"Version=2024-01-01&Action=GetAFPUsage", "ap-southeast-1",
         "eae84cbd28d86dbc9a90c77ceea34a1d87bd5bca07ca5b8da3a0c8d983e8c069"}}) {
    HTTPRequest request{"POST", "https://open.volcengineapi.com/?" + query, {}, ""};
    signVolcengineRequest(request, {"AKLTEXAMPLE", "c2VjcmV0LWtleS1leGFtcGxl==", region},
                          *parseInternetDate("2026-01-05T09:30:12Z"));
    EXPECT_EQ(signatureOf(request), signature) << query;
  }
  EXPECT_EQ(volcengineCanonicalQuery("https://h/?b=2&a=x%20y+z/&a=1&c&b=-_.~"), "a=1&a=x%20y%2Bz%2F&b=-_.~&b=2&c=");
  EXPECT_EQ(volcengineCanonicalQuery("https://h/"), "");
  HTTPRequest json{"POST", "https://h/", {{"content-type", "application/json"}}, std::nullopt};
  signVolcengineRequest(json, {"a", "b", "r"}, kSuiteTime);
  EXPECT_EQ(json.headers.list().at(0), (HTTPHeader{"Content-Type", "application/json"}));
}

TEST(Dates, CompactUTCTexts) {
  testing::TimeZoneGuard zone("Asia/Tokyo");
  const Timestamp instant = *parseInternetDate("2026-01-05T23:30:12.999Z");
  EXPECT_EQ(formatCompactDateTimeUTC(instant), "20260105T233012Z");
  EXPECT_EQ(formatCompactDateUTC(instant), "20260105");
  EXPECT_EQ(formatISODate({2026, 3, 1}), "2026-03-01");
}

}  // namespace
}  // namespace dapplewick
