#include "providers/windsurf.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://windsurf.com/_backend/exa.seat_management_pb.SeatManagementService/GetPlanStatus";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

// "0A 10 ..." as bytes.
std::string bytes(const std::string& hex) {
  std::istringstream in(hex);
  std::string out;
  for (unsigned value = 0; in >> std::hex >> value;) out.push_back(static_cast<char>(value));
  return out;
}

std::string outcome(int status, const std::string& body, const std::string& contentType = "") {
  testing::ServiceWorld world(kNow, Provider::windsurf);
  HTTPHeaders headers;
  if (!contentType.empty()) headers.add("Content-Type", contentType);
  world.transport.respond(kURL, status, body, headers);
  return testing::outcomeOf([&] { return WindsurfService(world.context).fetchUsage("tok"); },
                            [](const UsageData& r) { return testing::recordText(r); });
}

TEST(WindsurfService, SendsTheSessionTokensItWasGiven) {
  testing::ServiceWorld world(kNow, Provider::windsurf);
  const auto send = [&](const std::string& credential) {
    world.transport.respond(kURL, 200, "");
    WindsurfService(world.context).fetchUsage(credential);
    return world.transport.requests().back();
  };
  EXPECT_EQ(testing::requestText(send(R"({"devinSessionToken":"  s1 ","accountId":"42","auth1Token":7})")),
            "POST " + kURL +
                " (60000 ms)\nContent-Type: application/proto\nConnect-Protocol-Version: 1\n"
                "Origin: https://windsurf.com\nReferer: https://windsurf.com/profile\nx-auth-token: s1\n"
                "x-devin-session-token: s1\nx-devin-account-id: 42\n"
                "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n" +
                bytes("0A 02") + "s1" + bytes("10 01"));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"api:tok\n", "x-auth-token: tok x-devin-session-token: tok x-devin-auth1-token: tok"},
      {R"({"devin_session_token":" ","sessionToken":"s2","devin_auth1_token":"a1","auth1Token":"a2",)"
       R"("devin_primary_org_id":"o1","primaryOrgID":"o2","devin_account_id":1,"accountID":"c"})",
       "x-auth-token: s2 x-devin-session-token: s2 x-devin-auth1-token: a1 x-devin-account-id: c "
       "x-devin-primary-org-id: o1"},
      // No usable session token: the whole text is the token.
      {"{}", "x-auth-token: {} x-devin-session-token: {} x-devin-auth1-token: {}"},
      {R"(web: {"sessionToken":5} )", R"(x-auth-token: {"sessionToken":5} x-devin-session-token: {"sessionToken":5})"
                                      R"( x-devin-auth1-token: {"sessionToken":5})"},
  };
  for (const auto& [credential, want] : cases) {
    std::string tokens;
    const HTTPRequest sent = send(credential);
    for (const HTTPHeader& header : sent.headers.list()) {
      if (header.name.starts_with("x-")) tokens += (tokens.empty() ? "" : " ") + header.name + ": " + header.value;
    }
    EXPECT_EQ(tokens, want) << credential;
  }
}

TEST(WindsurfService, EncodesTheRequestMessage) {
  EXPECT_EQ(windsurf::encodePlanStatusRequest("abc", true), bytes("0A 03 61 62 63 10 01"));
  const std::string long300 = windsurf::encodePlanStatusRequest(std::string(300, 'x'), true);
  EXPECT_EQ(long300.size(), 305u);
  EXPECT_EQ(long300.substr(0, 3), bytes("0A AC 02"));
  EXPECT_EQ(long300.substr(303), bytes("10 01"));
}

TEST(WindsurfService, ReadsThePlanStatusAndSurvivesDamage) {
  const std::string kTen63 = " 80 80 80 80 80 80 80 80 80 01";  // 2^63 as a varint
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0A 10 0A 05 12 03 50 72 6F 70 50 88 01 80 F2 D6 CA 06", "20/100 daily @2026-01-01T00:00:00Z 'Plan: Pro'"},
      {"0A 03 70 FA 01", "0/100 daily"},
      {"0A 02 70 00 0A 02 70 0A", "90/100 daily"},  // a second plan status: the last value wins
      {"0A 07 90 01 80 F2 D6 CA 06", "0/0 weekly @2026-01-01T00:00:00Z"},
      // Field 17 wins over 18 even when it is beyond the year 9999.
      {"0A 0F 88 01 80 A0 94 A5 8D 1D 90 01 80 F2 D6 CA 06", "0/0 weekly"},
      {"", "0/0 weekly"},
      {"08 01 10", "0/0 weekly"},
      {"0A 05 12", "Unexpected response from Windsurf"},
      // Inside: an inner length past the end passes only its length bytes; an unreadable figure counts as 0.
      {"0A 04 0A 05 70 32", "50/100 daily"},
      {"0A 02 70 80", "100/100 daily"},
      {"0A 04 0A 02 12 00", "0/0 weekly 'Plan: '"},
      {"0A 0C 0A 03 12 01 FF 0A 05 12 01 41 12 09", "0/0 weekly"},  // not UTF-8; a name that runs past
      // Skipped by wire type: fixed64, fixed32, a group marker, field 14 sent length-delimited.
      {"0A 14 09 01 02 03 04 05 06 07 08 0D 01 02 03 04 0B 72 01 00 70 0A", "90/100 daily"},
      {"0A 0E 70 14 FF FF FF FF FF FF FF FF FF FF 70 00", "80/100 daily"},  // an unreadable key ends it
      // Figures and lengths that do not fit signed 64 bits.
      {"0A 0B 70" + kTen63, "Unexpected response from Windsurf"},
      {"12" + kTen63, "Unexpected response from Windsurf"},
      {"0A 0B 0A" + kTen63, "Unexpected response from Windsurf"},
  };
  for (const auto& [hex, want] : cases) EXPECT_EQ(outcome(200, bytes(hex)), want) << hex;
  // A web page is no answer, whatever its bytes would read as.
  const std::vector<std::pair<std::string, std::string>> pages = {// content type, body
                                                                  {"Text/HTML ; charset=utf-8", ""},
                                                                  {"text/html", bytes("08 01 10")},
                                                                  {"", "<!doctype html>"},
                                                                  {"text/plain", "<"}};
  for (const auto& [type, body] : pages) EXPECT_EQ(outcome(200, body, type), "Unexpected response from Windsurf");
  EXPECT_EQ(outcome(200, bytes("08 01 10"), "application/proto"), "0/0 weekly");
  // A refusal is read by its status before the body is judged, so a login page keeps the credential error.
  for (const int status : {401, 403}) {
    EXPECT_EQ(outcome(status, "<html>", "text/html"), "Invalid Windsurf session credential") << status;
  }
  EXPECT_EQ(outcome(500, "<html>", "text/html"), "Windsurf API error 500");
}

}  // namespace
}  // namespace dapplewick
