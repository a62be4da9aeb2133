#include "providers/ollama.hpp"

#include <gtest/gtest.h>

#include "providers/shared/user_agents.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://ollama.com/settings";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};
using testing::kNotHTTP;

const auto asText = [](const UsageData& r) { return testing::recordText(r); };

TEST(OllamaService, SendsTheSettingsRequestAndReadsBothWindows) {
  testing::ServiceWorld world(kNow, Provider::ollama);
  world.transport.respond(kURL, 200,
                          "<span>Cloud Usage\u00A0</span>\n <span class=\"p\"> Pro plan \n</span>"
                          "<h2>Session usage</h2><p>45.5% used</p><time data-time=\"2025-07-01T12:00:00.000Z\">"
                          "<h2>Weekly usage</h2><p>12% used</p>");
  const UsageData record = OllamaService(world.context).fetchUsage("web: session=abc\n");
  EXPECT_EQ(testing::recordText(record), "45.5/100 window @2025-07-01T12:00:00Z 'Pro plan' + 12/100 weekly 'Weekly'");
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL +
                " (60000 ms)\nCookie: session=abc\nAccept: text/html,application/xhtml+xml,application/"
                "xml;q=0.9,*/*;q=0.8\nUser-Agent: " +
                std::string(kChrome143UserAgent) +
                "\nAccept-Language: en-US,en;"
                "q=0.9\nOrigin: https://ollama.com\nReferer: https://ollama.com/settings\n\n(no body)");
}

// Statuses, the sign-in test, then the labels, sections and percentage patterns.
TEST(OllamaService, StatusesSignInPagesSectionsAndPercentages) {
  const std::string notFound = "Failed to parse Ollama usage: Could not find usage data on ollama.com/settings";
  std::string accented;
  for (int i = 0; i < 3990; ++i) accented += "\u00E9";  // 3990 code points, twice as many bytes
  struct Case {
    std::string html, want;
    int status = 200;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"", "Ollama session cookie expired \u2014 please sign in again", 401}, {"", "Ollama HTTP error 500", 500},
      {"", "Unexpected response from Ollama", kNotHTTP}, {"", notFound},
      {"\xFFSession usage 5% used", notFound},  // not UTF-8: read as an empty page
      {"<form><input type=\"password\"><input name=\"email\">Session usage 5% used", "Not logged in to Ollama"},
      {"<FORM ACTION=\"/Login\">Session usage 5% used", "Not logged in to Ollama"},
      {"<form>Sign in to Ollama<input TYPE=\"Email\">", "Not logged in to Ollama"},
      {"<form>Sign in to Ollama Session usage 5% used", "5/100 window"},  // a title alone is not enough
      {"Sign in to Ollama href=\"/login\" type=\"password\" Session usage 5% used", "5/100 window"},  // no form
      {"Hourly usage 20% Used", "20/100 window"}, {"Session usage none yet Hourly usage 20% used", "20/100 window"},
      {"Weekly usage 12% used data-time=\"2025-07-01T12:00:00Z\"",
       "0/100 window + 12/100 weekly @2025-07-01T12:00:00Z 'Weekly'"},
      // A figure after the next label belongs to that label.
      {"Session usage <b>Weekly usage</b> 30% used", "0/100 window + 30/100 weekly 'Weekly'"},
      // Only the first occurrence of a label is tried.
      {"Session usage soon Weekly usage Session usage 40% used", notFound}, {"session usage 40% used", notFound},
      // Unicode white space; a reset that is no full time is none.
      {"Session usage 5\u00A0%\u2003used data-time=\"2025-07-01\"", "5/100 window"},
      {"Session usage <div style=\"WIDTH:\t30%\">", "30/100 window"}, {"Session usage 150% used", "150/100 window"},
      // A capture that is no finite number is no match: the progress bar is read instead.
      {"Session usage 1" + std::string(400, '0') + "% used width: 7%", "7/100 window"},
      {"Session usage" + accented + "9% used", "9/100 window"},
      {"Session usage" + accented + std::string(11, 'x') + "9% used", notFound},  // past 4000 code points
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html.substr(0, 80));
    testing::ServiceWorld world(kNow, Provider::ollama);
    if (c.status == kNotHTTP) world.transport.respondNotHTTP(kURL);
    if (c.status != kNotHTTP) world.transport.respond(kURL, c.status, c.html);
    EXPECT_EQ(testing::outcomeOf([&] { return OllamaService(world.context).fetchUsage("s=1"); }, asText), c.want);
  }
  // The label's case counts; a blank text is none.
  EXPECT_EQ(ollama::readCloudUsageText("cloud usage</span><span>Free</span>Cloud Usage</span><span> </span>"),
            std::nullopt);
}

}  // namespace
}  // namespace dapplewick
