#include "providers/kiro.hpp"

#include <signal.h>

#include <chrono>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/e2e_harness.hpp"
#include "support/env_guard.hpp"
#include "support/process_probe.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using R = KiroService::ProcessResult;
using testing::errorText;

Timestamp at(std::string_view text) { return parseRFC3339(text, FractionMode::optional).value(); }

const Timestamp kNow = at("2026-01-15T12:00:00Z");
const std::string kNotLoggedIn = "Not logged in to Kiro. Run 'kiro-cli login' first.";
const std::string kBar = "\u2588";

class KiroTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world_{kNow};
  KiroService service_{world_.context};
};

TEST(KiroTextTest, StripsColoursCursorModesAndWindowTitles) {
  const std::pair<std::string, std::string> cases[] = {
      {"\x1B[1mPlan:\x1B[0m Pro", "Plan: Pro"}, {"\x1B[38;5;208m42%\x1B[39m", "42%"},
      {"\x1B[?25lcursor\x1B[?25h", "cursor"},   {"\x1B[2K\x1B[1Gline", "line"},
      // The shortest title each time; a title without a BEL on its own line is no title.
      {"\x1B]0;a\x07keep\x1B]0;b\x07", "keep"},  {"\x1B]0;no bell\nnext\x07", "\x1B]0;no bell\nnext\x07"},
      {"\x1B]0;no bell", "\x1B]0;no bell"},       {"\x1B[", "\x1B["},
  };
  for (const auto& [input, want] : cases) EXPECT_EQ(KiroService::stripANSI(input), want) << input;
}

TEST(KiroWhoamiTest, FindsTheEmailOrTheFailure) {
  std::string longWords;
  for (int i = 0; i < 300; ++i) longWords += "\u00E9";
  const auto out = [](std::string text) { return R{std::move(text), "", 0, false}; };
  const std::tuple<R, std::optional<std::string>, std::string> cases[] = {
      {out("  email:\u00A0someone@example.com  "), "someone@example.com", "no error"},
      {out("\x1B[1mEmail:\x1B[0m a@example.com"), "a@example.com", "no error"},
      {out("Profile\r\nsomeone@example.com\r\n"), "someone@example.com", "no error"},
      // A later labelled line replaces an earlier address; a bare address never replaces a labelled one.
      {out("Email: first@example.com\nEmail: second@example.com"), "second@example.com", "no error"},
      {out("bare@example.com\nEmail: labelled@example.com"), "labelled@example.com", "no error"},
      {out("Email: labelled@example.com\nbare@example.com"), "labelled@example.com", "no error"},
      {out("first@example.com\nsecond@example.com"), "first@example.com", "no error"},
      {out("Your email: someone@example.com"), "Your email: someone@example.com", "no error"},  // label starts a line
      {out("Logged in with Builder ID (someone@example.com)"), {}, "no error"},  // the sign-in, not the account
      {out("user someone@example.com"), {}, "no error"},
      {out("Email:\nsomeone@example.com"), {}, "no error"},  // an empty label still counts as found
      {out("\x1B[31mNot logged\x1B[0m in"), {}, "no error"},  // a colour code inside the phrase hides it
      {out("Login required."), {}, kNotLoggedIn},
      {R{"", "Error: Not logged in\n", 1, false}, {}, kNotLoggedIn},
      {R{"fatal\n", "  something broke  \n", 2, false}, {}, "something broke"},
      {R{"", longWords, 1, false}, {}, longWords.substr(0, 400)},  // the tool's words, cut to 200 code points
      {R{"", "", 1, false}, {}, "no error"},
      {R{"Email: a@example.com", "warning: update", 0, false}, {}, "no error"},  // stderr, when written, is read
      {R{"Email: a@example.com", "b@example.com", 0, false}, "b@example.com", "no error"},
      {R{"a@example.com", "", 143, true}, {}, "a@example.com"},
  };
  for (const auto& [result, email, error] : cases) {
    SCOPED_TRACE(result.stdout + "|" + result.stderr);
    EXPECT_EQ(errorText([&] { EXPECT_EQ(KiroService::evaluateWhoamiResult(result), email); }), error);
  }
}

TEST(KiroUsageRunTest, EvaluatesTheRun) {
  const std::string timedOut = "Kiro CLI timed out";
  const std::pair<R, std::string> cases[] = {
      {R{"\n Plan: Pro \n", "", 7, false}, "\n Plan: Pro \n"},
      {R{" \n", "Plan: Pro\n", 0, false}, "Plan: Pro\n"},
      {R{"LOGIN REQUIRED", "", 1, false}, kNotLoggedIn}, {R{"Please run kiro-cli login", "", 1, false}, kNotLoggedIn},
      {R{"", "OAuth error: token expired", 1, false}, kNotLoggedIn},
      {R{"\x1B[31mNot logged in\x1B[0m", "", 1, false}, kNotLoggedIn},
      {R{"not logged in", "warning", 0, false}, "not logged in"},  // stderr's words hide stdout's
      {R{"Plan: Pro\n" + kBar + " 42%", "", 143, true}, "Plan: Pro\n" + kBar + " 42%"},  // a report that stalled
      {R{"Loading...", "", 143, true}, timedOut}, {R{"Plan: Pro", "spinner", 143, true}, timedOut},
  };
  for (const auto& [result, want] : cases) {
    SCOPED_TRACE(result.stdout + "|" + result.stderr);
    std::string got;
    const auto error = errorText([&] { got = KiroService::evaluateUsageResult(result); });
    EXPECT_EQ(error == "no error" ? got : error, want);
  }
  for (const std::string text : {"(1 of 2 covered in plan)", "Resets on 03/01", "BONUS CREDITS", "Managed by admin"}) {
    EXPECT_TRUE(KiroService::looksLikeUsageOutput(text)) << text;
  }
  EXPECT_FALSE(KiroService::looksLikeUsageOutput("managed by organization"));
}

TEST_F(KiroTest, BuildsTheUsageRecordWithBonusCredits) {
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
  EXPECT_EQ(service_.parseUsage(report, std::string("someone@example.com")), want);
}

TEST_F(KiroTest, ReadsTheFiguresAndThePlanOrSaysWhyNot) {
  const std::string bar = "\n" + kBar + " 1%";
  const std::string empty = "Failed to parse Kiro usage: Empty output from kiro-cli";
  const std::string noPatterns = "Failed to parse Kiro usage: No usage patterns found in kiro-cli output";
  const std::pair<std::string, std::string> cases[] = {  // the report, and "used/limit note" or the error
      {"(10.5 of 50 covered in plan)", "21/100 Kiro"},   {"(7 of 0 covered in plan)", "0/100 Kiro"},
      {"(10. of 40 covered in plan)", "25/100 Kiro"},    {"(150 of 100 covered in plan)", "150/100 Kiro"},
      {"(1 of 4 covered)\n(3 of 4 covered)", "25/100 Kiro"},
      {kBar + "\u00A0\u00A07%\n" + kBar + " 9%", "7/100 Kiro"},
      {kBar + std::string(400, '9') + "%", "0/100 Kiro"},  // found, but no finite number
      {kBar + " \u0664\u0662%", "0/100 Kiro"},            // any decimal digits make a bar, only ASCII ones a number
      {"Plan:\nPro Plus  \nmore" + bar, "1/100 Pro Plus"}, {"|KIRO  POWER| 50 credits |" + bar, "1/100 KIRO  POWER"},
      {"| Kiro Free |" + bar, "1/100 Kiro"},                {"Plan: Pro\n| KIRO FREE |" + bar, "1/100 Pro"},
      {"Plan: Pro\xFF" + bar, "1/100 Pro\uFFFD"},  // bad UTF-8 is repaired, not fatal
      {"Managed by admin" + bar, "1/100 Kiro"},     // with figures the managed flag changes nothing
      {" \n\t\u00A0", empty}, {"\x1B[0m\x1B]0;title\x07\n", empty},
      {kBar + " 42%\nRun kiro-cli login to continue", kNotLoggedIn},  // the login check comes first
      {"Error: Could not retrieve usage information",
       "Failed to parse Kiro usage: Kiro CLI could not retrieve usage information"},
      {"Plan: Pro\nnothing else", noPatterns}, {"(1 of x covered)", noPatterns},
  };
  for (const auto& [report, want] : cases) {
    std::ostringstream got;
    const auto error = errorText([&] {
      const UsageData record = service_.parseUsage(report, std::nullopt);
      got << record.used << "/" << record.limit << " " << record.note.value_or("-");
    });
    EXPECT_EQ(error == "no error" ? got.str() : error, want) << report;
  }
}

TEST_F(KiroTest, AManagedPlanWithoutFiguresIsNamedNotFailed) {
  UsageData want = UsageData::blank(Provider::kiro);
  want.lastUpdated = kNow;
  want.note = "KIRO ENTERPRISE (managed plan)";
  EXPECT_EQ(service_.parseUsage("Plan: KIRO ENTERPRISE\nManaged by organization\nresets on 2026-02-01\n"
                                "Bonus credits: 1/2 credits used",
                                std::string("someone@example.com")),
            want);
}

TEST(KiroResetDateTest, ReadsTheDateAsLocalMidnight) {
  testing::TimeZoneGuard zone("America/New_York");
  const std::string noon = "2026-01-15T12:00:00Z";
  const std::tuple<std::string, std::string, std::string> cases[] = {  // text, now, reset ("" for none)
      {"Your plan resets on 2026-03-01.", noon, "2026-03-01T05:00:00Z"},
      {"resets on 2026-07-01", noon, "2026-07-01T04:00:00Z"},
      {"resets on 2026-02-30", noon, ""}, {"Resets on 2026-03-01", noon, ""},  // case-sensitive
      // The first match counts even when its digits are not ASCII: nothing, and the later date is not read.
      {"resets on \u0662\u0660\u0662\u0666-\u0660\u0663-\u0660\u0661, resets on 2026-03-01", noon, ""},
      // month/day: the next such local midnight strictly after now, out-of-range numbers rolling over.
      {"resets on 01/10", noon, "2027-01-10T05:00:00Z"},
      {"resets on 01/15", "2026-01-15T05:00:00Z", "2027-01-15T05:00:00Z"},
      {"resets on 01/16", "2026-01-16T03:00:00Z", "2026-01-16T05:00:00Z"},  // still the 15th locally
      {"resets on 13/01", noon, "2027-01-01T05:00:00Z"}, {"resets on 02/30", noon, "2026-03-02T05:00:00Z"},
      {"resets on 3/01", noon, ""},
  };
  for (const auto& [text, now, want] : cases) {
    EXPECT_EQ(KiroService::parseResetDate(text, at(now)),
              want.empty() ? std::nullopt : std::optional<Timestamp>(at(want)))
        << text << " at " << now;
  }
}

TEST(KiroBonusTest, ReadsTheBonusSection) {
  // Two-byte padding: the section is 300 characters, not bytes. 13 + 271 + 16 just fits.
  std::string padding;
  for (int i = 0; i < 271; ++i) padding += "\u00E9";
  const std::tuple<std::string, std::optional<double>, std::optional<Timestamp>> cases[] = {
      {"BONUS CREDITS\n25/100 credits used\nexpires in 1 day", 25, kNow + 86'400s},
      {"Bonus credits 12.5 /50 credits used", 25, {}}, {"Bonus credits 250 / 100 credits used", 100, {}},
      {"Bonus credits 5 / 0 credits used", {}, {}},
      {"25 / 100 credits used before the Bonus credits heading", {}, {}},
      // A reset too far away to be a date leaves the reset out, not the record.
      {"Bonus credits 1 / 4 credits used, expires in 99999999999 days", 25, {}},
      {"Bonus credits" + padding + "1/4 credits used", 25, {}},
      {"Bonus credits" + padding + "\u00E9" + "1/4 credits used", {}, {}},
  };
  for (const auto& [text, wantUsed, wantReset] : cases) {
    SCOPED_TRACE(text);
    const auto bonus = KiroService::parseBonusCredits(text, kNow);
    ASSERT_EQ(bonus.has_value(), wantUsed.has_value());
    if (bonus) {
      EXPECT_EQ(std::pair(bonus->used, bonus->resetAt), std::pair(*wantUsed, wantReset));
    }
  }
}

TEST_F(KiroTest, RunsTheToolWithTheServicesEnvironmentWithinItsLimits) {
  testing::TempDir bin;
  world_.environment.set("PATH", bin.path().string());
  world_.environment.set("TERM", "dumb");
  world_.environment.set("KIRO_TEST_MARK", "passed through");
  // A stand-in that records its pid, arguments and environment. Only shell built-ins are at hand: PATH holds
  // nothing else.
  const std::string binary =
      testing::writeScript(bin.path(), "kiro-cli",
                           "cd '" + bin.path().string() + "'\necho $$ > pid\nprintf '[%s]' \"$@\" > args\n"
                           "echo \"$TERM|$KIRO_TEST_MARK\" > env\nif [ \"$1\" = whoami ]; then\n"
                           "  echo 'Email: someone@example.com'; exit\nfi\necho 'Plan: Pro'\nwhile :; do :; done");
  const auto recorded = [&](const char* name) { return testing::readFileText(bin.path() / name); };
  EXPECT_EQ(service_.fetchAccountInfo(), "someone@example.com");
  EXPECT_EQ(recorded("args"), "[whoami]");
  EXPECT_EQ(recorded("env"), "xterm-256color|passed through\n");  // TERM set for colour output

  EXPECT_EQ(service_.runProcess(binary, {}, 5s, 300ms), (R{"Plan: Pro\n", "", 128 + SIGTERM, true}));
  EXPECT_EQ(errorText([&] { service_.runProcess(binary, {}, 300ms, 5s); }), "Kiro CLI timed out");
  const auto pgid = testing::readPidFile(bin.path() / "pid");
  ASSERT_TRUE(pgid);
  EXPECT_TRUE(testing::waitForGroupGone(*pgid));

  const testing::DelayedStop stop(150ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(service_.runUsageCommand(stop.token()), ProcessError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(recorded("args"), "[chat][--no-interactive][/usage]");

  const std::string notFound = "kiro-cli not found. Install it from https://kiro.dev";
  world_.environment.set("PATH", (bin.path() / "none").string());
  EXPECT_EQ(errorText([&] { service_.runUsageCommand(); }), notFound);
  MapEnvironment noPath;
  KiroService withoutPath(ServiceContext{world_.transport, world_.clock, noPath, world_.origins});
  EXPECT_EQ(errorText([&] { withoutPath.fetchAccountInfo(); }), notFound);
}

}  // namespace
}  // namespace dapplewick
