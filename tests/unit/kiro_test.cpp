#include "providers/kiro.hpp"

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "providers/dates.hpp"
#include "providers/text.hpp"
#include "support/e2e_harness.hpp"
#include "support/env_guard.hpp"
#include "support/fake_transport.hpp"
#include "support/process_probe.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

Timestamp at(std::string_view text) {
  const auto instant = parseRFC3339(text, FractionMode::optional);
  if (!instant) throw std::invalid_argument("bad test date");
  return *instant;
}

// The description of the KiroError that `action` throws.
std::string kiroFailure(const std::function<void()>& action) {
  try {
    action();
  } catch (const KiroError& error) {
    return error.description();
  }
  return "(no KiroError)";
}

const Timestamp kNow = at("2026-01-15T12:00:00Z");

class KiroTest : public ::testing::Test {
 protected:
  testing::FakeTransport transport_;
  FixedClock clock_{kNow};
  MapEnvironment environment_;
  Origins origins_;
  KiroService service_{ServiceContext{transport_, clock_, environment_, origins_}};
};

// ---- Errors ----

TEST(KiroErrorTest, DescriptionsAreExact) {
  EXPECT_EQ(KiroError::cliFailed("boom: exit 2").description(), "boom: exit 2");
  EXPECT_EQ(KiroError::parseError("details").description(), "Failed to parse Kiro usage: details");
  EXPECT_EQ(KiroError::cliNotFound().description(), "kiro-cli not found. Install it from https://kiro.dev");
  EXPECT_EQ(KiroError::notLoggedIn().description(), "Not logged in to Kiro. Run 'kiro-cli login' first.");
  EXPECT_EQ(KiroError::timeout().description(), "Kiro CLI timed out");
  EXPECT_EQ(KiroError::cliFailed("x").code(), KiroErrorCode::cliFailed);
  EXPECT_EQ(KiroError::parseError("x").code(), KiroErrorCode::parseError);
  EXPECT_EQ(KiroError::cliNotFound().code(), KiroErrorCode::cliNotFound);
  EXPECT_EQ(KiroError::notLoggedIn().code(), KiroErrorCode::notLoggedIn);
  EXPECT_EQ(KiroError::timeout().code(), KiroErrorCode::timeout);
}

TEST(KiroErrorTest, TheToolsWordsAreCutTo200CodePoints) {
  std::string long_;
  for (int i = 0; i < 300; ++i) long_ += "\u00E9";
  const auto description = KiroError::cliFailed(long_).description();
  EXPECT_EQ(codePointCount(description), 200u);
  EXPECT_TRUE(isValidUTF8(description));
}

// ---- Terminal sequences ----

TEST(KiroStripANSITest, RemovesColoursCursorModesAndWindowTitles) {
  struct Case {
    std::string input;
    std::string want;
  };
  const Case cases[] = {
      {"\x1B[1mPlan:\x1B[0m Pro", "Plan: Pro"},
      {"\x1B[38;5;208m42%\x1B[39m", "42%"},
      {"\x1B[?25lhidden cursor\x1B[?25h", "hidden cursor"},
      {"\x1B[2K\x1B[1Gline", "line"},
      {"\x1B]0;kiro\x07report", "report"},
      // The shortest title each time, not everything between the first and the last BEL.
      {"\x1B]0;a\x07keep\x1B]0;b\x07", "keep"},
      // A title sequence stops at the end of its line: without a BEL there, nothing is removed.
      {"\x1B]0;no bell\nnext\x07", "\x1B]0;no bell\nnext\x07"},
      {"\x1B]0;no bell", "\x1B]0;no bell"},
      {"plain text", "plain text"},
      {"\x1B[", "\x1B["},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(KiroService::stripANSI(c.input), c.want);
  }
}

TEST(KiroNonEmptyTrimmedTest, TrimsWhiteSpaceAndLineBreaks) {
  EXPECT_EQ(KiroService::nonEmptyTrimmed(" \t a@b.c \r\n"), "a@b.c");
  EXPECT_EQ(KiroService::nonEmptyTrimmed("\u00A0\n"), std::nullopt);
  EXPECT_EQ(KiroService::nonEmptyTrimmed(""), std::nullopt);
}

// ---- Account ----

TEST(KiroWhoamiTest, ParsesTheEmail) {
  struct Case {
    std::string text;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"Email: someone@example.com", "someone@example.com"},
      {"  email:    someone@example.com  ", "someone@example.com"},
      {"EMAIL:someone@example.com", "someone@example.com"},
      {"Email:\u00A0someone@example.com", "someone@example.com"},
      {"someone@example.com", "someone@example.com"},
      {"Profile\nsomeone@example.com\n", "someone@example.com"},
      {"Email: someone@example.com\r\nRegion: us-east-1\r\n", "someone@example.com"},
      // A later labelled line replaces an earlier address; a bare address never replaces a labelled one.
      {"Email: first@example.com\nEmail: second@example.com", "second@example.com"},
      {"bare@example.com\nEmail: labelled@example.com", "labelled@example.com"},
      {"Email: labelled@example.com\nbare@example.com", "labelled@example.com"},
      {"first@example.com\nsecond@example.com", "first@example.com"},
      // The label is only removed at the start of the line.
      {"Your email: someone@example.com", "Your email: someone@example.com"},
      // The sign-in method's line names no account address.
      {"Logged in with Builder ID (someone@example.com)", std::nullopt},
      {"LOGGED IN WITH someone@example.com", std::nullopt},
      {"Logged in with IdC\nsomeone@example.com", "someone@example.com"},
      {"user someone@example.com", std::nullopt},
      {"no address here", std::nullopt},
      {"Email:", std::nullopt},
      // An empty label still counts as found, so a bare address after it is not taken.
      {"Email:\nsomeone@example.com", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(KiroService::parseWhoamiOutput(c.text), c.want);
  }
}

TEST(KiroWhoamiTest, EvaluatesTheRun) {
  using R = KiroService::ProcessResult;
  struct Case {
    std::string name;
    R result;
    std::optional<std::string> wantEmail;
    std::optional<std::string> wantError;
  };
  const std::string notLoggedIn = "Not logged in to Kiro. Run 'kiro-cli login' first.";
  const Case cases[] = {
      {"email on stdout", R{"Email: a@example.com\n", "", 0, false}, "a@example.com", std::nullopt},
      {"colours around the label", R{"\x1B[1mEmail:\x1B[0m a@example.com", "", 0, false}, "a@example.com",
       std::nullopt},
      {"not logged in on stderr", R{"", "Error: Not logged in\n", 1, false}, std::nullopt, notLoggedIn},
      {"login required on stdout", R{"Login required.", "", 0, false}, std::nullopt, notLoggedIn},
      {"failure with words", R{"", "  something broke  \n", 2, false}, std::nullopt, "something broke"},
      {"failure with words on stdout", R{"fatal\n", " \n", 3, false}, std::nullopt, "fatal"},
      {"failure without words", R{"", "", 1, false}, std::nullopt, std::nullopt},
      {"stderr hides the email on stdout", R{"Email: a@example.com", "warning: update available", 0, false},
       std::nullopt, std::nullopt},
      {"stderr with an address", R{"Email: a@example.com", "b@example.com", 0, false}, "b@example.com",
       std::nullopt},
      // The login test reads the text as printed: a colour code inside the phrase hides it.
      {"colour inside the login phrase", R{"\x1B[31mNot logged\x1B[0m in", "", 0, false}, std::nullopt,
       std::nullopt},
      {"an idle stop changes nothing", R{"a@example.com", "", 143, true}, std::nullopt, "a@example.com"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      EXPECT_EQ(KiroService::evaluateWhoamiResult(c.result), c.wantEmail);
      EXPECT_FALSE(c.wantError.has_value()) << "expected the error " << *c.wantError;
    } catch (const KiroError& error) {
      EXPECT_EQ(error.description(), c.wantError.value_or("(no error)"));
    }
  }
}

// ---- Usage run ----

TEST(KiroUsageRunTest, EvaluatesTheRun) {
  using R = KiroService::ProcessResult;
  struct Case {
    std::string name;
    R result;
    std::optional<std::string> wantReport;
    std::optional<KiroErrorCode> wantError;
  };
  const Case cases[] = {
      {"report on stdout, untrimmed", R{"\n Plan: Pro \n", "", 0, false}, "\n Plan: Pro \n", std::nullopt},
      {"report on stderr when stdout is blank", R{" \n", "Plan: Pro\n", 0, false}, "Plan: Pro\n", std::nullopt},
      {"exit status is not looked at", R{"Plan: Pro", "", 7, false}, "Plan: Pro", std::nullopt},
      {"not logged in", R{"", "Not logged in", 1, false}, std::nullopt, KiroErrorCode::notLoggedIn},
      {"login required", R{"LOGIN REQUIRED", "", 1, false}, std::nullopt, KiroErrorCode::notLoggedIn},
      {"login hint", R{"Please run kiro-cli login", "", 1, false}, std::nullopt, KiroErrorCode::notLoggedIn},
      {"oauth error", R{"", "OAuth error: token expired", 1, false}, std::nullopt, KiroErrorCode::notLoggedIn},
      {"coloured login hint", R{"\x1B[31mNot logged in\x1B[0m", "", 1, false}, std::nullopt,
       KiroErrorCode::notLoggedIn},
      // Only the stream that is examined counts: stderr's words hide stdout's.
      {"login words on stdout hidden by stderr", R{"not logged in", "warning", 0, false}, "not logged in",
       std::nullopt},
      {"stalled after the report", R{"Plan: Pro\n\u2588 42%", "", 143, true}, "Plan: Pro\n\u2588 42%", std::nullopt},
      {"stalled after a reset line", R{"resets on 03/01", "", 143, true}, "resets on 03/01", std::nullopt},
      {"stalled without a report", R{"Loading...", "", 143, true}, std::nullopt, KiroErrorCode::timeout},
      {"stalled, markers only on hidden stdout", R{"Plan: Pro", "spinner", 143, true}, std::nullopt,
       KiroErrorCode::timeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      EXPECT_EQ(KiroService::evaluateUsageResult(c.result), c.wantReport);
      EXPECT_FALSE(c.wantError.has_value());
    } catch (const KiroError& error) {
      EXPECT_EQ(error.code(), c.wantError.value_or(KiroErrorCode::cliFailed)) << error.description();
    }
  }
}

TEST(KiroUsageRunTest, RecognisesAUsageReport) {
  for (const std::string text : {"(1 of 2 covered in plan)", "Resets on 03/01", "BONUS CREDITS", "plan: x",
                                 "Managed by admin", "P\x1B[0mlan: x"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(KiroService::looksLikeUsageOutput(text));
  }
  for (const std::string text : {"", "Loading...", "Plan x", "managed by organization"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(KiroService::looksLikeUsageOutput(text));
  }
}

// ---- The report ----

TEST_F(KiroTest, BuildsTheUsageRecord) {
  const std::string report =
      "\x1B]0;kiro\x07\x1B[1mPlan:\x1B[0m KIRO PRO\n"
      "\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588 42%\n"
      "(10.5 of 50 covered in plan)\n";
  const UsageData record = service_.parseUsage(report, std::string("someone@example.com"));
  UsageData want = UsageData::blank(Provider::kiro);
  want.used = 42;
  want.limit = 100;
  want.cost = 0;
  want.costSemantic = CostSemantic::none;
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "KIRO PRO \u00B7 someone@example.com";
  EXPECT_EQ(record, want);
}

TEST_F(KiroTest, ReadsTheFigures) {
  struct Case {
    std::string report;
    double wantUsed;
  };
  const Case cases[] = {
      {"\u2588\u2588 42%\n(10.5 of 50 covered in plan)", 42},  // the bar wins
      {"(10.5 of 50 covered in plan)", 21},
      {"(0 of 0 covered in plan)", 0},
      {"(7 of 0 covered in plan)", 0},
      {"(10. of 40 covered in plan)", 25},
      {"(150 of 100 covered in plan)", 150},  // not clamped
      {"\u2588\u2588\u2588 7%", 7},
      {"\u2588\u2588\u2588\u00A0\u00A07%", 7},
      {"\u2588" + std::string(400, '9') + "%", 0},  // found, but no finite number: 0
      {"\u2588 \u0664\u0662%", 0},                 // any decimal digits make a bar, only ASCII ones a number
      {"\u2588 5%\n\u2588 9%", 5},                   // the first bar
      {"(1 of 4 covered)\n(3 of 4 covered)", 25},    // the first figures
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    const UsageData record = service_.parseUsage(c.report, std::nullopt);
    EXPECT_DOUBLE_EQ(record.used, c.wantUsed);
    EXPECT_EQ(record.limit, 100);
  }
}

TEST_F(KiroTest, FindsThePlanName) {
  struct Case {
    std::string report;
    std::optional<std::string> email;
    std::optional<std::string> wantNote;
  };
  const std::string bar = "\n\u2588 10%";
  const Case cases[] = {
      {"Plan: Pro Plus  \nmore" + bar, std::nullopt, "Pro Plus"},
      {"Plan:\u00A0Pro" + bar, std::nullopt, "Pro"},
      {"Plan:\nPro on the next line" + bar, std::nullopt, "Pro on the next line"},
      {"| KIRO FREE | 50 credits |" + bar, std::nullopt, "KIRO FREE"},
      {"|KIRO  POWER|" + bar, std::nullopt, "KIRO  POWER"},
      {"| Kiro Free |" + bar, std::nullopt, "Kiro"},
      {"Plan: Pro\n| KIRO FREE |" + bar, std::nullopt, "Pro"},
      {"no plan" + bar, std::nullopt, "Kiro"},
      {"no plan" + bar, "someone@example.com", "Kiro \u00B7 someone@example.com"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    EXPECT_EQ(service_.parseUsage(c.report, c.email).note, c.wantNote);
  }
}

TEST_F(KiroTest, AManagedPlanWithoutFiguresIsNamedNotFailed) {
  for (const std::string phrase : {"Managed by organization", "managed by admin"}) {
    SCOPED_TRACE(phrase);
    const std::string report = "Plan: KIRO ENTERPRISE\nUsage is " + phrase + "\nresets on 2026-02-01\n"
                               "Bonus credits: 1/2 credits used";
    const UsageData record = service_.parseUsage(report, std::string("someone@example.com"));
    UsageData want = UsageData::blank(Provider::kiro);
    want.lastUpdated = kNow;
    want.note = "KIRO ENTERPRISE (managed plan)";
    EXPECT_EQ(record, want);
  }
  // With figures the managed flag changes nothing.
  const UsageData withFigures = service_.parseUsage("Managed by admin\n\u2588 30%", std::nullopt);
  EXPECT_EQ(withFigures.used, 30);
  EXPECT_EQ(withFigures.limit, 100);
  EXPECT_EQ(withFigures.note, "Kiro");
}

TEST_F(KiroTest, ReportsFailuresWithTheirTexts) {
  struct Case {
    std::string report;
    std::string want;
  };
  const std::string notLoggedIn = "Not logged in to Kiro. Run 'kiro-cli login' first.";
  const Case cases[] = {
      {"", "Failed to parse Kiro usage: Empty output from kiro-cli"},
      {" \n\t\u00A0", "Failed to parse Kiro usage: Empty output from kiro-cli"},
      {"\x1B[0m\x1B]0;title\x07\n", "Failed to parse Kiro usage: Empty output from kiro-cli"},
      {"You are NOT LOGGED IN", notLoggedIn},
      {"Run kiro-cli login to continue", notLoggedIn},
      // The login check comes before the figures.
      {"\u2588 42%\nnot logged in", notLoggedIn},
      {"Error: Could not retrieve usage information",
       "Failed to parse Kiro usage: Kiro CLI could not retrieve usage information"},
      {"Plan: Pro\nnothing else", "Failed to parse Kiro usage: No usage patterns found in kiro-cli output"},
      {"(1 of x covered)", "Failed to parse Kiro usage: No usage patterns found in kiro-cli output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    EXPECT_EQ(kiroFailure([&] { service_.parseUsage(c.report, std::nullopt); }), c.want);
  }
}

TEST_F(KiroTest, BadUTF8InTheReportIsRepairedNotFatal) {
  const UsageData record = service_.parseUsage("Plan: Pro\xFF\n\u2588 12%", std::nullopt);
  EXPECT_EQ(record.used, 12);
  EXPECT_EQ(record.note, "Pro\uFFFD");
}

TEST_F(KiroTest, AttachesBonusCreditsAndTheResetDate) {
  testing::TimeZoneGuard zone("UTC");
  const std::string report =
      "Plan: Pro\n\u2588 10%\nresets on 2026-02-01\n"
      "Bonus credits: 25 / 100 credits used, expires in 7 days\n";
  const UsageData record = service_.parseUsage(report, std::nullopt);
  EXPECT_EQ(record.resetAt, at("2026-02-01T00:00:00Z"));
  ASSERT_EQ(record.auxiliaryUsage.size(), 1u);
  UsageData bonus = UsageData::blank(Provider::kiro);
  bonus.used = 25;
  bonus.limit = 100;
  bonus.resetAt = kNow + 604'800s;
  bonus.lastUpdated = kNow;
  bonus.note = "Bonus credits";
  EXPECT_EQ(record.auxiliaryUsage[0], bonus);
}

// ---- Reset date ----

TEST(KiroResetDateTest, ReadsYearMonthDayAsLocalMidnight) {
  testing::TimeZoneGuard zone("America/New_York");
  struct Case {
    std::string text;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"Your plan resets on 2026-03-01.", "2026-03-01T05:00:00Z"},
      {"resets on 2026-07-01", "2026-07-01T04:00:00Z"},
      {"resets on 2026-02-30", std::nullopt},
      {"resets on 2026-13-01", std::nullopt},
      {"resets on 2026-00-10", std::nullopt},
      {"Resets on 2026-03-01", std::nullopt},  // case-sensitive
      {"resets on 2026/03/01", std::nullopt},
      {"no reset", std::nullopt},
      // The first match counts even when its digits are not ASCII: nothing, and the later date is not read.
      {"resets on \u0662\u0660\u0662\u0666-\u0660\u0663-\u0660\u0661, resets on 2026-03-01", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto got = KiroService::parseResetDate(c.text, kNow);
    if (c.want) {
      EXPECT_EQ(got, at(*c.want));
    } else {
      EXPECT_EQ(got, std::nullopt);
    }
  }
}

TEST(KiroResetDateTest, ReadsMonthDayAsTheNextSuchDayStrictlyAfterNow) {
  testing::TimeZoneGuard zone("America/New_York");
  struct Case {
    std::string text;
    std::string now;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"resets on 03/01", "2026-01-15T12:00:00Z", "2026-03-01T05:00:00Z"},
      {"resets on 01/10", "2026-01-15T12:00:00Z", "2027-01-10T05:00:00Z"},
      // Today's midnight is not after now: the same day next year.
      {"resets on 01/15", "2026-01-15T05:00:00Z", "2027-01-15T05:00:00Z"},
      {"resets on 01/16", "2026-01-15T05:00:00Z", "2026-01-16T05:00:00Z"},
      // Still January 15 locally (UTC is already the 16th).
      {"resets on 01/16", "2026-01-16T03:00:00Z", "2026-01-16T05:00:00Z"},
      // Out-of-range numbers roll over as a calendar does.
      {"resets on 13/01", "2026-01-15T12:00:00Z", "2027-01-01T05:00:00Z"},
      {"resets on 02/30", "2026-01-15T12:00:00Z", "2026-03-02T05:00:00Z"},
      {"resets on 3/01", "2026-01-15T12:00:00Z", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " at " + c.now);
    const auto got = KiroService::parseResetDate(c.text, at(c.now));
    if (c.want) {
      EXPECT_EQ(got, at(*c.want));
    } else {
      EXPECT_EQ(got, std::nullopt);
    }
  }
}

// ---- Bonus credits ----

TEST(KiroBonusTest, ReadsTheBonusSection) {
  struct Case {
    std::string text;
    std::optional<double> wantUsed;
    std::optional<Timestamp> wantReset;
  };
  const Case cases[] = {
      {"Bonus credits: 25 / 100 credits used, expires in 7 days", 25, kNow + 604'800s},
      {"BONUS CREDITS\n25/100 credits used\nexpires in 1 day", 25, kNow + 86'400s},
      {"Bonus credits 12.5 /50 credits used", 25, std::nullopt},
      {"Bonus credits 250 / 100 credits used", 100, std::nullopt},
      {"Bonus credits 0 / 100 credits used", 0, std::nullopt},
      {"Bonus credits 5 / 0 credits used", std::nullopt, std::nullopt},
      {"Bonus credits: none", std::nullopt, std::nullopt},
      {"25 / 100 credits used before the Bonus credits heading", std::nullopt, std::nullopt},
      {"No bonus section. 25 / 100 credits used", std::nullopt, std::nullopt},
      // A reset too far away to be a date leaves the reset out, not the record.
      {"Bonus credits 1 / 4 credits used, expires in 99999999999 days", 25, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto bonus = KiroService::parseBonusCredits(c.text, kNow);
    ASSERT_EQ(bonus.has_value(), c.wantUsed.has_value());
    if (!bonus) continue;
    EXPECT_DOUBLE_EQ(bonus->used, *c.wantUsed);
    EXPECT_EQ(bonus->limit, 100);
    EXPECT_EQ(bonus->resetAt, c.wantReset);
    EXPECT_EQ(bonus->note, "Bonus credits");
    EXPECT_EQ(bonus->resetPeriod, ResetPeriod::monthly);
    EXPECT_TRUE(bonus->auxiliaryUsage.empty());
  }
}

TEST(KiroBonusTest, LooksOnlyThreeHundredCharactersPastTheHeading) {
  // Two-byte characters: the window counts characters, not bytes. "Bonus credits" (13) + padding +
  // "1/4 credits used" (16) fits in 300 with 271 characters of padding and not with 272.
  const auto text = [](int padding) {
    std::string out = "Bonus credits";
    for (int i = 0; i < padding; ++i) out += "\u00E9";
    return out + "1/4 credits used";
  };
  EXPECT_TRUE(KiroService::parseBonusCredits(text(271), kNow).has_value());
  EXPECT_FALSE(KiroService::parseBonusCredits(text(272), kNow).has_value());
}

// ---- Running the tool ----

class KiroToolTest : public KiroTest {
 protected:
  void SetUp() override {
    environment_.set("PATH", bin_.path().string());
    environment_.set("TERM", "dumb");
    environment_.set("KIRO_TEST_MARK", "passed through");
  }
  // A stand-in kiro-cli that records its arguments and environment, then does `body`. Only shell built-ins are
  // at hand: PATH holds nothing else.
  void tool(const std::string& body) {
    testing::writeScript(bin_.path(), "kiro-cli",
                         "echo $$ > '" + (bin_.path() / "pid").string() + "'\n"
                         "printf '[%s]' \"$@\" > '" + (bin_.path() / "args").string() + "'\n"
                         "echo \"$TERM|$KIRO_TEST_MARK\" > '" + (bin_.path() / "env").string() + "'\n" + body);
  }
  std::string recorded(const std::string& name) {
    std::ifstream in(bin_.path() / name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  testing::TempDir bin_;
};

TEST_F(KiroToolTest, TheAccountStepRunsWhoami) {
  tool("echo 'Logged in with Builder ID'; echo 'Email: someone@example.com'");
  EXPECT_EQ(service_.fetchAccountInfo(), "someone@example.com");
  EXPECT_EQ(recorded("args"), "[whoami]");
  // The tool gets the service's environment, with TERM set for colour output.
  EXPECT_EQ(recorded("env"), "xterm-256color|passed through\n");
}

TEST_F(KiroToolTest, TheUsageStepRunsTheUsageCommand) {
  tool("printf 'Plan: Pro\\n\\342\\226\\210 42%%\\n'");
  const std::string report = service_.runUsageCommand();
  EXPECT_EQ(report, "Plan: Pro\n\u2588 42%\n");
  EXPECT_EQ(recorded("args"), "[chat][--no-interactive][/usage]");
  EXPECT_EQ(service_.parseUsage(report, std::nullopt).used, 42);
}

TEST_F(KiroToolTest, NoToolOnThePathIsCliNotFound) {
  const std::string message = "kiro-cli not found. Install it from https://kiro.dev";
  EXPECT_EQ(kiroFailure([&] { service_.fetchAccountInfo(); }), message);
  EXPECT_EQ(kiroFailure([&] { service_.runUsageCommand(); }), message);

  MapEnvironment noPath;
  KiroService withoutPath(ServiceContext{transport_, clock_, noPath, origins_});
  EXPECT_EQ(kiroFailure([&] { withoutPath.fetchAccountInfo(); }), message);
}

TEST_F(KiroToolTest, FindCLISearchesTheServicesPath) {
  tool("exit 0");
  EXPECT_EQ(service_.findCLI("kiro-cli"), (bin_.path() / "kiro-cli").string());
  EXPECT_EQ(service_.findCLI("other-cli"), std::nullopt);
}

TEST_F(KiroToolTest, PassingTheDeadlineIsATimeoutAndLeavesNothingRunning) {
  tool("while :; do :; done");
  const auto binary = (bin_.path() / "kiro-cli").string();
  EXPECT_EQ(kiroFailure([&] { service_.runProcess(binary, {"whoami"}, 300ms, 300ms); }), "Kiro CLI timed out");
  const auto pgid = testing::readPidFile(bin_.path() / "pid");
  ASSERT_TRUE(pgid);
  EXPECT_TRUE(testing::waitForGroupGone(*pgid));
}

TEST_F(KiroToolTest, AnIdleStopReturnsWhatWasPrinted) {
  tool("echo 'Plan: Pro'; while :; do :; done");
  const auto binary = (bin_.path() / "kiro-cli").string();
  const auto result = service_.runProcess(binary, {}, 5s, 300ms);
  EXPECT_EQ(result.stdout, "Plan: Pro\n");
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(KiroService::evaluateUsageResult(result), "Plan: Pro\n");
}

TEST_F(KiroToolTest, ALaunchFailureIsTheSystemsOwnError) {
  const auto missing = (bin_.path() / "kiro-cli").string();
  try {
    service_.runProcess(missing, {"whoami"}, 1s, 1s);
    FAIL() << "no error";
  } catch (const ProcessError& error) {
    EXPECT_EQ(error.code(), ProcessErrorCode::launchFailed);
  }
}

TEST_F(KiroToolTest, AStopRequestEndsTheStep) {
  tool("echo working; while :; do :; done");
  std::stop_source source;
  std::jthread stopper([&source] {
    std::this_thread::sleep_for(150ms);
    source.request_stop();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(service_.runUsageCommand(source.get_token()), ProcessError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

}  // namespace
}  // namespace dapplewick
