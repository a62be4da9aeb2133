#include "providers/kiro.hpp"

#include <chrono>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/e2e_harness.hpp"
#include "support/env_guard.hpp"
#include "support/process_probe.hpp"
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

R out(std::string text) { return R{std::move(text), "", 0, false}; }
// Stopped by the idle limit after printing.
R stalled(std::string text) { return R{std::move(text), "", 143, true}; }

// What the tool printed, read by the account step (the e-mail, or "-" for none) or by the usage step (the
// report), or the error either gives.
TEST(KiroRuns, EvaluatesWhatTheToolPrinted) {
  struct Case {
    bool whoami;
    R result;
    std::string want;
  };
  const Case cases[] = {
      {true, out("  email:\u00A0someone@example.com  "), "someone@example.com"},
      {true, out("\x1B[1mEmail:\x1B[0m a@example.com"), "a@example.com"},
      // A labelled line replaces an earlier address; a bare address never replaces one found before.
      {true, out("bare@example.com\r\nEmail: labelled@example.com"), "labelled@example.com"},
      {true, out("Email: labelled@example.com\nbare@example.com"), "labelled@example.com"},
      {true, out("Your email: someone@example.com"), "Your email: someone@example.com"},  // the label starts a line
      {true, out("Logged in with Builder ID (someone@example.com)"), "-"},  // the sign-in, not the account
      {true, out("user someone@example.com"), "-"}, {true, out("Email:\nsomeone@example.com"), "-"},
      {true, out("Login required."), kNotLoggedIn}, {true, R{"", "Error: Not logged in\n", 1, false}, kNotLoggedIn},
      {true, R{"fatal\n", "  something broke  \n", 2, false}, "something broke"}, {true, R{"", "", 1, false}, "-"},
      {true, R{"Email: a@example.com", "b@example.com", 0, false}, "b@example.com"},  // standard error wins
      {true, stalled("a@example.com"), "a@example.com"},
      {false, R{"\n Plan: Pro \n", "", 7, false}, "\n Plan: Pro \n"}, {false, R{" \n", "Plan\n", 0, false}, "Plan\n"},
      {false, out("LOGIN REQUIRED"), kNotLoggedIn}, {false, out("\x1B[31mNot logged in\x1B[0m"), kNotLoggedIn},
      {false, R{"", "OAuth error: expired", 1, false}, kNotLoggedIn}, {false, out("kiro-cli login"), kNotLoggedIn},
      {false, R{"not logged in", "warning", 0, false}, "not logged in"},  // standard error's words hide stdout's
      // A report that stalled is still a report.
      {false, stalled("Plan: Pro"), "Plan: Pro"}, {false, stalled("1 of 4 covered in plan"), "1 of 4 covered in plan"},
      {false, stalled("Resets on 03/01"), "Resets on 03/01"}, {false, stalled("BONUS CREDITS"), "BONUS CREDITS"},
      {false, stalled("Managed by admin"), "Managed by admin"}, {false, stalled("managed by organization"), kTimedOut},
      {false, stalled("Loading..."), kTimedOut}, {false, R{"Plan: Pro", "spinner", 143, true}, kTimedOut},
  };
  for (const auto& c : cases) {
    const auto evaluate = [&c] {
      return c.whoami ? kiro::evaluateWhoamiResult(c.result).value_or("-") : kiro::evaluateUsageResult(c.result);
    };
    EXPECT_EQ(testing::outcomeOf(evaluate, std::identity()), c.want) << c.result.stdout << "|" << c.result.stderr;
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

// "USED/LIMIT NOTE RESET", then "+ USED RESET" of the bonus record.
std::string describe(const UsageData& record) {
  std::ostringstream text;
  text << record.used << "/" << record.limit << " " << record.note.value_or("-");
  if (record.resetAt) text << " " << formatRFC3339Seconds(*record.resetAt);
  for (const UsageData& bonus : record.auxiliaryUsage) {
    text << " + " << bonus.used << (bonus.resetAt ? " " + formatRFC3339Seconds(*bonus.resetAt) : "");
  }
  return text.str();
}

TEST(KiroReport, ReadsTheFiguresPlanResetAndBonusOrSaysWhyNot) {
  testing::TimeZoneGuard zone("America/New_York");  // 07:00 on 15 January 2026
  const std::string bar = "\n" + kBar + " 1%";
  const std::string empty = "Failed to parse Kiro usage: Empty output from kiro-cli";
  const std::string noPatterns = "Failed to parse Kiro usage: No usage patterns found in kiro-cli output";
  std::string padding;  // two bytes a character: the bonus section is 300 characters, 13 + 271 + 16 just fit
  for (int i = 0; i < 271; ++i) padding += "\u00E9";
  const std::pair<std::string, std::string> cases[] = {
      {"(10.5 of 50 covered in plan)", "21/100 Kiro"}, {"(7 of 0 covered in plan)", "0/100 Kiro"},
      {"(10. of 40 covered in plan)", "25/100 Kiro"}, {"(150 of 100 covered in plan)", "150/100 Kiro"},
      {"(1 of 4 covered)\n(3 of 4 covered)", "25/100 Kiro"}, {kBar + "\u00A0\u00A07%\n" + kBar + " 9%", "7/100 Kiro"},
      {kBar + " \u0664\u0662%", "0/100 Kiro"},  // any decimal digits make a bar, only ASCII ones a number
      {"Plan:\nPro Plus  \nmore" + bar, "1/100 Pro Plus"}, {"|KIRO  POWER| 50 credits |" + bar, "1/100 KIRO  POWER"},
      {"| Kiro Free |" + bar, "1/100 Kiro"}, {"Plan: Pro\n| KIRO FREE |" + bar, "1/100 Pro"},
      {"Plan: Pro\xFF" + bar, "1/100 Pro\uFFFD"},  // bad UTF-8 is repaired, not fatal
      {"Managed by admin" + bar, "1/100 Kiro"},     // with figures the managed flag changes nothing
      {"Plan: KIRO ENTERPRISE\nManaged by organization\nresets on 2026-02-01\nBonus credits: 1/2 credits used",
       "0/0 KIRO ENTERPRISE (managed plan)"},
      // Terminal codes go: colours, cursor modes, the shortest title ended by a BEL on its own line.
      {"\x1B[?25l\x1B]0;a\x07Plan: \x1B[1mPro\x1B]0;b\x07" + bar, "1/100 Pro"},
      {"Plan: Pro \x1B]0;no bell\nnext\x07" + bar, "1/100 Pro \x1B]0;no bell"},
      // The reset: a real date, or the next month/day strictly after now, at local midnight; only the first
      // match counts, even when its digits are not ASCII.
      {"Your plan resets on 2026-03-01." + bar, "1/100 Kiro 2026-03-01T05:00:00Z"},
      {"Resets on 2026-03-01" + bar, "1/100 Kiro"}, {"resets on 01/15" + bar, "1/100 Kiro 2027-01-15T05:00:00Z"},
      {"resets on 02/30" + bar, "1/100 Kiro 2026-03-02T05:00:00Z"}, {"resets on 3/01" + bar, "1/100 Kiro"},
      {"resets on \u0662\u0660\u0662\u0666-\u0660\u0663-\u0660\u0661, resets on 2026-03-01" + bar, "1/100 Kiro"},
      // Bonus credits: only their own section counts.
      {"BONUS CREDITS\n25/100 credits used\nexpires in 1 day" + bar, "1/100 Kiro + 25 2026-01-16T12:00:00Z"},
      {"Bonus credits 12.5 /50 credits used" + bar, "1/100 Kiro + 25"},
      {"Bonus credits 250 / 100 credits used" + bar, "1/100 Kiro + 100"},
      {"Bonus credits 5 / 0 credits used" + bar, "1/100 Kiro"},
      {"25 / 100 credits used before the Bonus credits heading" + bar, "1/100 Kiro"},
      {"Bonus credits" + padding + "1/4 credits used" + bar, "1/100 Kiro + 25"},
      {"Bonus credits" + padding + "\u00E9" + "1/4 credits used" + bar, "1/100 Kiro"},
      {" \n\t\u00A0", empty}, {"\x1B[0m\x1B]0;title\x07\n", empty},
      {kBar + " 42%\nRun kiro-cli login to continue", kNotLoggedIn},  // the login check comes first
      {"Error: Could not retrieve usage information",
       "Failed to parse Kiro usage: Kiro CLI could not retrieve usage information"},
      {"Plan: Pro\nnothing else", noPatterns}, {"(1 of x covered)", noPatterns},
  };
  for (const auto& [report, want] : cases) {
    EXPECT_EQ(testing::outcomeOf([&text = report] { return readRecord(text); }, describe), want) << report;
  }
}

// A stand-in for the tool records its arguments and environment; only shell built-ins are at hand, since
// PATH holds nothing else. `whoami` names the account; the usage run prints a report, then stays open when
// KIRO_TEST_HANG is set.
TEST(KiroService, RunsTheToolWithTheServicesEnvironmentWithinItsLimits) {
  testing::ServiceWorld world(kNow, Provider::kiro);
  testing::TempDir bin;
  world.environment.set("PATH", bin.path().string());
  world.environment.set("TERM", "dumb");
  world.environment.set("KIRO_TEST_MARK", "passed through");
  const std::string binary = testing::writeScript(
      bin.path(), "kiro-cli",
      "cd '" + bin.path().string() + "'\nprintf '%s|%s' \"$TERM\" \"$KIRO_TEST_MARK\" >> log\n"
      "printf '[%s]' \"$@\" >> log\necho >> log\nif [ \"$1\" = whoami ]; then echo 'Email: a@b.c'; exit; fi\n"
      "echo 'Plan: Pro'\necho '(1 of 4 covered in plan)'\nif [ -n \"$KIRO_TEST_HANG\" ]; then while :; do :; done; fi");
  KiroService service(world.context);
  EXPECT_EQ(service.fetchUsage().note, "Pro \u00B7 a@b.c");
  // TERM set for colour output, everything else passed through.
  EXPECT_EQ(testing::readFileText(bin.path() / "log"),
            "xterm-256color|passed through[whoami]\nxterm-256color|passed through[chat][--no-interactive][/usage]\n");

  world.environment.set("KIRO_TEST_HANG", "1");
  EXPECT_EQ(testing::errorText([&] { kiro::runTool(world.environment, binary, {{}, 300ms, 5s}); }), kTimedOut);

  const testing::DelayedStop stop(150ms);
  EXPECT_THROW(service.fetchUsage(stop.token()), ProcessError);

  EXPECT_EQ(testing::errorText([] { kiro::locateCLI(MapEnvironment()); }),
            "kiro-cli not found. Install it from https://kiro.dev");
}

}  // namespace
}  // namespace dapplewick
