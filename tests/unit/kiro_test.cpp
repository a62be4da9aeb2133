#include "providers/kiro.hpp"

#include <chrono>

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/env_guard.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using R = ProcessResult;

Timestamp at(std::string_view text) { return parseRFC3339(text, FractionMode::optional).value(); }

const Timestamp kNow = at("2026-01-15T12:00:00Z");
const std::string kNotLoggedIn = "Not logged in to Kiro. Run 'kiro-cli login' first.";
const std::string kTimedOut = "Kiro CLI timed out";
const std::string kBar = "\u2588";

R out(std::string text) { return R{.standardOutput = std::move(text), .standardError = ""}; }
// Stopped by the idle limit after printing.
R stalled(std::string text) {
  return R{.standardOutput = std::move(text), .standardError = "", .status = 143, .timedOut = true};
}

// What the tool printed, read through the service by the account step (the usage step then prints a bare
// report; the note names the account) or by the usage step (the account step printed nothing): the note, or the
// error either gives.
TEST(KiroService, ReadsWhatEachRunOfTheToolPrinted) {
  struct Case {
    bool whoami;
    R result;
    std::string want;
  };
  const std::string account = "Kiro \u00B7 ", bar = "\n" + kBar + " 1%";
  // clang-format off
  const Case cases[] = {
      {true, out("  email:\u00A0someone@example.com  "), account + "someone@example.com"},
      {true, out("\x1B[1mEmail:\x1B[0m a@example.com"), account + "a@example.com"},
      // A labelled line replaces an earlier address; a bare address never replaces one found before.
      {true, out("bare@example.com\r\nEmail: labelled@example.com"), account + "labelled@example.com"},
      {true, out("Email: labelled@example.com\nbare@example.com"), account + "labelled@example.com"},
      {true, out("Your email: a@example.com"), account + "Your email: a@example.com"},  // the label starts a line
      {true, out("Logged in with Builder ID (someone@example.com)"), "Kiro"},  // the sign-in, not the account
      {true, out("user someone@example.com"), "Kiro"}, {true, out("Email:\nsomeone@example.com"), "Kiro"},
      {true, out("Login required."), kNotLoggedIn},
      {true, R{.standardOutput = "", .standardError = "Error: Not logged in\n", .status = 1}, kNotLoggedIn},
      {true, R{.standardOutput = "fatal\n", .standardError = "  something broke  \n", .status = 2}, "something broke"},
      {true, R{.standardOutput = "", .standardError = "", .status = 1}, "Kiro"},
      {true, stalled("a@example.com"), "a@example.com"},  // the tool's words, as its failure
      {true, R{.standardOutput = "Email: a@example.com", .standardError = "b@example.com"}, account + "b@example.com"},  // stderr wins
      {false, R{.standardOutput = "\n Plan: Pro \n" + bar, .standardError = "", .status = 7}, "Pro"},
      {false, R{.standardOutput = " \n", .standardError = "Plan: Err" + bar}, "Err"}, {false, out("LOGIN REQUIRED"), kNotLoggedIn},
      {false, out("\x1B[31mNot logged in\x1B[0m"), kNotLoggedIn}, {false, out("kiro-cli login"), kNotLoggedIn},
      {false, R{.standardOutput = "", .standardError = "OAuth error: expired", .status = 1}, kNotLoggedIn},
      // Standard error's words hide standard output's.
      {false, R{.standardOutput = "OAuth error" + bar, .standardError = "warning"}, "Kiro"},
      // A report that stalled is still a report.
      {false, stalled("Plan: Pro" + bar), "Pro"}, {false, stalled("(1 of 4 covered in plan)"), "Kiro"},
      {false, stalled("Resets on 03/01" + bar), "Kiro"}, {false, stalled("BONUS CREDITS" + bar), "Kiro"},
      {false, stalled("Managed by admin"), "Kiro (managed plan)"},
      {false, stalled("managed by organization"), kTimedOut}, {false, stalled("Loading..."), kTimedOut},
      {false, R{.standardOutput = "Plan: Pro", .standardError = "spinner", .status = 143, .timedOut = true}, kTimedOut},
  };
  // clang-format on
  const auto note = [](const UsageData& record) { return record.note.value_or(""); };
  for (const auto& c : cases) {
    testing::ServiceWorld world(kNow, Provider::kiro);
    world.environment.set("PATH", "/opt/kiro");
    world.tools.respond(c.whoami ? c.result : out(""));
    world.tools.respond(c.whoami ? out(bar) : c.result);
    EXPECT_EQ(testing::outcomeOf([&world] { return KiroService(world.context).fetchUsage(); }, note), c.want)
        << c.result.standardOutput << "|" << c.result.standardError;
  }
}

UsageData readRecord(std::string_view report, const std::optional<std::string>& email = std::nullopt) {
  return kiro::makeUsageData(kiro::readUsageReport(report, kNow), email, kNow);
}

TEST(KiroReport, BuildsTheUsageRecordWithBonusCredits) {
  testing::TimeZoneGuard zone("UTC");
  const std::string report = "\x1B]0;kiro\x07\x1B[1mPlan:\x1B[0m KIRO PRO\n" + kBar + kBar +
                             " 42%\n(10.5 of 50 covered in plan), resets on 2026-02-01\n"
                             "Bonus credits: 25 / 100 credits used, expires in 7 days\n";
  UsageData bonus = UsageData::blank(Provider::kiro);
  bonus.used = 25;
  bonus.limit = 100;
  bonus.resetAt = kNow + 604'800s;
  bonus.lastUpdated = kNow;
  bonus.note = "Bonus credits";
  UsageData want = bonus;
  want.used = 42;  // the bar wins over the covered figures
  want.resetAt = at("2026-02-01T00:00:00Z");
  want.note = "KIRO PRO \u00B7 someone@example.com";
  want.auxiliaryUsage = {bonus};
  EXPECT_EQ(readRecord(report, "someone@example.com"), want);
  // An organisation's plan without figures is named, not failed, and without the account.
  EXPECT_EQ(readRecord("Plan: Team\nManaged by admin", "someone@example.com").note, "Team (managed plan)");
}

TEST(KiroReport, ReadsTheFiguresPlanResetAndBonusOrSaysWhyNot) {
  testing::TimeZoneGuard zone("America/New_York");  // 07:00 on 15 January 2026
  const std::string bar = "\n" + kBar + " 1%";
  const std::string empty = "Failed to parse Kiro usage: Empty output from kiro-cli";
  const std::string noPatterns = "Failed to parse Kiro usage: No usage patterns found in kiro-cli output";
  std::string padding;  // two bytes a character: the bonus section is 300 characters, 13 + 271 + 16 just fit
  for (int i = 0; i < 271; ++i) padding += "\u00E9";
  const std::string kiro = "1/100 monthly 'Kiro'", bonus = "/100 monthly 'Bonus credits'";
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"(10.5 of 50 covered in plan)", "21/100 monthly 'Kiro'"}, {"(7 of 0 covered in plan)", "0/100 monthly 'Kiro'"},
      {"(10. of 40 covered in plan)", "25/100 monthly 'Kiro'"},
      {"(150 of 100 covered in plan)", "150/100 monthly 'Kiro'"},
      {"(1 of 4 covered)\n(3 of 4 covered)", "25/100 monthly 'Kiro'"},
      {kBar + "\u00A0\u00A07%\n" + kBar + " 9%", "7/100 monthly 'Kiro'"},
      {kBar + " \u0664\u0662%", "0/100 monthly 'Kiro'"},  // any decimal digits make a bar, only ASCII ones a number
      {"Plan:\nPro Plus  \nmore" + bar, "1/100 monthly 'Pro Plus'"},
      {"|KIRO  POWER| 50 credits |" + bar, "1/100 monthly 'KIRO  POWER'"},
      {"| Kiro Free |" + bar, kiro}, {"Plan: Pro\n| KIRO FREE |" + bar, "1/100 monthly 'Pro'"},
      {"Plan: Pro\xFF" + bar, "1/100 monthly 'Pro\uFFFD'"},  // bad UTF-8 is repaired, not fatal
      {"Managed by admin" + bar, kiro},                       // with figures the managed flag changes nothing
      {"Plan: KIRO ENTERPRISE\nManaged by organization\nresets on 2026-02-01\nBonus credits: 1/2 credits used",
       "0/0 monthly 'KIRO ENTERPRISE (managed plan)'"},
      // Terminal codes go: colours, cursor modes, the shortest title ended by a BEL on its own line.
      {"\x1B[?25l\x1B]0;a\x07Plan: \x1B[1mPro\x1B]0;b\x07" + bar, "1/100 monthly 'Pro'"},
      {"Plan: Pro \x1B]0;no bell\nnext\x07" + bar, "1/100 monthly 'Pro \x1B]0;no bell'"},
      // The reset: a real date, or the next month/day strictly after now, at local midnight; only the first
      // match counts, even when its digits are not ASCII.
      {"Your plan resets on 2026-03-01." + bar, "1/100 monthly @2026-03-01T05:00:00Z 'Kiro'"},
      {"Resets on 2026-03-01" + bar, kiro}, {"resets on 01/15" + bar, "1/100 monthly @2027-01-15T05:00:00Z 'Kiro'"},
      {"resets on 02/30" + bar, "1/100 monthly @2026-03-02T05:00:00Z 'Kiro'"}, {"resets on 3/01" + bar, kiro},
      {"resets on \u0662\u0660\u0662\u0666-\u0660\u0663-\u0660\u0661, resets on 2026-03-01" + bar, kiro},
      // Bonus credits: only their own section counts.
      {"BONUS CREDITS\n25/100 credits used\nexpires in 1 day" + bar,
       kiro + " + 25/100 monthly @2026-01-16T12:00:00Z 'Bonus credits'"},
      {"Bonus credits 12.5 /50 credits used" + bar, kiro + " + 25" + bonus},
      {"Bonus credits 250 / 100 credits used" + bar, kiro + " + 100" + bonus},
      {"Bonus credits 5 / 0 credits used" + bar, kiro},
      {"25 / 100 credits used before the Bonus credits heading" + bar, kiro},
      {"Bonus credits" + padding + "1/4 credits used" + bar, kiro + " + 25" + bonus},
      {"Bonus credits" + padding + "\u00E9" + "1/4 credits used" + bar, kiro},
      {" \n\t\u00A0", empty}, {"\x1B[0m\x1B]0;title\x07\n", empty},
      {kBar + " 42%\nRun kiro-cli login to continue", kNotLoggedIn},  // the login check comes first
      {"Error: Could not retrieve usage information",
       "Failed to parse Kiro usage: Kiro CLI could not retrieve usage information"},
      {"Plan: Pro\nnothing else", noPatterns}, {"(1 of x covered)", noPatterns},
  };
  // clang-format on
  const auto asText = [](const UsageData& r) { return testing::recordText(r); };
  for (const auto& [report, want] : cases) {
    EXPECT_EQ(testing::outcomeOf([&text = report] { return readRecord(text); }, asText), want) << report;
  }
}

// The tool is found on the service's PATH and run with its environment, TERM set for colour output, within the
// limits of each step; a run that times out, a stop and a missing tool each end the fetch.
TEST(KiroService, RunsTheToolOnThePathWithTheServicesEnvironmentWithinItsLimits) {
  testing::ServiceWorld world(kNow, Provider::kiro);
  world.environment.set("PATH", "/opt/kiro:/usr/bin");
  world.environment.set("TERM", "dumb");
  world.tools.respond(out("Email: a@b.c"));
  world.tools.respond(out("Plan: Pro\n(1 of 4 covered in plan)"));
  KiroService service(world.context);
  EXPECT_EQ(service.fetchUsage().note, "Pro \u00B7 a@b.c");
  std::string runs;
  for (const auto& run : world.tools.runs()) {
    runs += run.binary + " " + ::testing::PrintToString(run.arguments) + " " +
            ::testing::PrintToString(run.environment) + " " + std::to_string(run.limits.timeout.count()) + "/" +
            std::to_string(run.limits.idleTimeout.count()) + "\n";
  }
  const std::string environment = R"({ ("PATH", "/opt/kiro:/usr/bin"), ("TERM", "xterm-256color") })";
  EXPECT_EQ(runs, "/opt/kiro/kiro-cli { \"whoami\" } " + environment + " 5000/5000\n/opt/kiro/kiro-cli { \"chat\", " +
                      "\"--no-interactive\", \"/usage\" } " + environment + " 20000/10000\n");

  world.tools.respond(out("a@b.c"));
  world.tools.handleUnscripted(
      [](const auto& run, std::stop_token) -> R { throw ProcessError::deadlinePassed(run.binary); });
  EXPECT_EQ(testing::errorText([&] { service.fetchUsage(); }), kTimedOut);
  world.tools.handleUnscripted([](const auto& run, std::stop_token stop) -> R {
    if (stop.stop_requested()) throw ProcessError::cancelled(run.binary);
    return out("a@b.c");
  });
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(testing::errorText([&] { service.fetchUsage(stop.get_token()); }), "/opt/kiro/kiro-cli was cancelled");
  world.environment = MapEnvironment();
  EXPECT_EQ(testing::errorText([&] { service.fetchUsage(); }), "kiro-cli not found. Install it from https://kiro.dev");
  EXPECT_EQ(world.tools.runs().size(), 5u);
}

}  // namespace
}  // namespace dapplewick
