// The real binary reads Kiro through a stand-in `kiro-cli` placed first on its PATH. The stand-in answers
// `whoami` and `chat --no-interactive /usage` the way the tool does, terminal colours included, and refuses any
// other command line.

#include <gtest/gtest.h>

#include "providers/dates.hpp"
#include "support/e2e_harness.hpp"
#include "support/process_probe.hpp"

namespace dapplewick {
namespace {

using testing::Sandbox;
using testing::TempDir;

// Shell text for the two answers. Each is the body of a `printf` format, so "%%" is a per-cent sign and "\033"
// an escape.
struct Tool {
  std::string whoamiOut;
  std::string whoamiErr;
  int whoamiStatus = 0;
  std::string usageOut;
  std::string usageErr;
};

std::string quoted(const std::string& text) { return "'" + text + "'"; }

class KiroEndToEnd : public ::testing::Test {
 protected:
  void install(const Tool& tool) {
    testing::writeScript(
        bin_.path(), "kiro-cli",
        "case \"$*\" in\n"
        "  whoami)\n"
        "    printf " + quoted(tool.whoamiOut) + "\n"
        "    printf " + quoted(tool.whoamiErr) + " >&2\n"
        "    exit " + std::to_string(tool.whoamiStatus) + " ;;\n"
        "  'chat --no-interactive /usage')\n"
        "    printf " + quoted(tool.usageOut) + "\n"
        "    printf " + quoted(tool.usageErr) + " >&2 ;;\n"
        "  *)\n"
        "    echo \"unexpected command line: $*\" >&2\n"
        "    exit 64 ;;\n"
        "esac\n");
  }

  // The one record `dapplewick --json kiro` prints.
  Json refresh(const std::string& systemFolders = ":/usr/bin:/bin") {
    sandbox_.setEnv("PATH", bin_.path().string() + systemFolders);
    // Refresh covers the providers with a saved credential; Kiro's is never read, any text enables it.
    sandbox_.saveCredential("kiro", "x");
    const Json all = sandbox_.runJson({"kiro"});
    EXPECT_EQ(all.size(), 1u) << all.dump();
    if (all.size() != 1) return Json::object();
    EXPECT_EQ(all[0].value("id", ""), "kiro");
    EXPECT_EQ(all[0].value("provider", ""), "kiro");
    return all[0];
  }

  TempDir bin_;
  Sandbox sandbox_;
};

TEST_F(KiroEndToEnd, ReadsAColouredReportWithBarCoveredFiguresAndBonusCredits) {
  Tool tool;
  tool.whoamiOut = "\\033[1mLogged in with Builder ID\\033[0m\\nEmail: someone@example.com\\n";
  tool.usageOut =
      "\\033]0;kiro\\007\\033[1mPlan:\\033[0m KIRO PRO\\n"
      "\\033[32m\\342\\226\\210\\342\\226\\210\\342\\226\\210\\342\\226\\210\\033[0m 42%%\\n"
      "(10.5 of 50 covered in plan), resets on 2099-03-01\\n"
      "\\033[1mBonus credits\\033[0m: 25 / 100 credits used, expires in 7 days\\n";
  install(tool);

  const Json record = refresh();
  EXPECT_TRUE(record.at("error").is_null()) << record.dump();
  EXPECT_EQ(record.at("used"), 42);  // the bar wins over 10.5 of 50
  EXPECT_EQ(record.at("limit"), 100);
  EXPECT_EQ(record.at("cost"), 0);
  EXPECT_EQ(record.at("costSemantic"), "none");
  EXPECT_EQ(record.at("resetPeriod"), "monthly");
  EXPECT_EQ(record.at("resetAt"), "2099-03-01T00:00:00.000Z");  // local midnight; the sandbox runs in UTC
  EXPECT_EQ(record.at("note"), "KIRO PRO \u00B7 someone@example.com");
  EXPECT_EQ(record.at("percentage"), 42);
  EXPECT_EQ(record.at("isLoading"), false);

  ASSERT_EQ(record.at("auxiliaryUsage").size(), 1u);
  const Json& bonus = record.at("auxiliaryUsage").at(0);
  EXPECT_EQ(bonus.at("used"), 25);
  EXPECT_EQ(bonus.at("limit"), 100);
  EXPECT_EQ(bonus.at("note"), "Bonus credits");
  const auto updated = parseInternetDate(bonus.value("lastUpdated", ""));
  const auto expires = parseInternetDate(bonus.value("resetAt", ""));
  ASSERT_TRUE(updated && expires) << bonus.dump();
  EXPECT_EQ(*expires - *updated, std::chrono::hours(24 * 7));
}

TEST_F(KiroEndToEnd, CoveredFiguresAloneGiveThePercentage) {
  Tool tool;
  tool.whoamiOut = "someone@example.com\\n";
  tool.usageOut = "| KIRO FREE |\\n(10.5 of 50 covered in plan)\\n";
  install(tool);

  const Json record = refresh();
  EXPECT_TRUE(record.at("error").is_null()) << record.dump();
  EXPECT_EQ(record.at("used"), 21);
  EXPECT_EQ(record.at("limit"), 100);
  EXPECT_TRUE(record.at("resetAt").is_null());
  EXPECT_EQ(record.at("note"), "KIRO FREE \u00B7 someone@example.com");
  EXPECT_TRUE(record.at("auxiliaryUsage").empty());
}

TEST_F(KiroEndToEnd, AReportOnStandardErrorIsRead) {
  Tool tool;
  tool.usageErr = "Plan: Pro\\n\\342\\226\\210 7%%\\n";
  install(tool);

  const Json record = refresh();
  EXPECT_TRUE(record.at("error").is_null()) << record.dump();
  EXPECT_EQ(record.at("used"), 7);
  EXPECT_EQ(record.at("note"), "Pro");  // no e-mail from whoami
}

TEST_F(KiroEndToEnd, AManagedPlanWithoutFiguresIsShownAsSuch) {
  Tool tool;
  tool.whoamiOut = "Email: someone@example.com\\n";
  tool.usageOut = "Plan: KIRO ENTERPRISE\\nYour usage is managed by organization.\\nresets on 2099-03-01\\n";
  install(tool);

  const Json record = refresh();
  EXPECT_TRUE(record.at("error").is_null()) << record.dump();
  EXPECT_EQ(record.at("used"), 0);
  EXPECT_EQ(record.at("limit"), 0);
  EXPECT_TRUE(record.at("resetAt").is_null());
  EXPECT_EQ(record.at("note"), "KIRO ENTERPRISE (managed plan)");
}

TEST_F(KiroEndToEnd, NotLoggedInIsReported) {
  Tool tool;
  tool.whoamiErr = "\\033[31merror:\\033[0m Not logged in. Run kiro-cli login.\\n";
  tool.whoamiStatus = 1;
  install(tool);

  const Json record = refresh();
  EXPECT_EQ(record.at("error"), "Not logged in to Kiro. Run 'kiro-cli login' first.");
  EXPECT_EQ(record.at("limit"), 0);
}

TEST_F(KiroEndToEnd, AFailingWhoamiShowsTheToolsWords) {
  Tool tool;
  tool.whoamiErr = "  kiro-cli: configuration is damaged  \\n";
  tool.whoamiStatus = 2;
  install(tool);

  EXPECT_EQ(refresh().at("error"), "kiro-cli: configuration is damaged");
}

TEST_F(KiroEndToEnd, AReportWithoutFiguresIsAParseError) {
  Tool tool;
  tool.usageOut = "Something new the parser does not know\\n";
  install(tool);

  EXPECT_EQ(refresh().at("error"), "Failed to parse Kiro usage: No usage patterns found in kiro-cli output");
}

TEST_F(KiroEndToEnd, NoToolOnThePathIsReported) {
  // Only the empty stand-in folder: a kiro-cli installed on this machine must not be found.
  const Json record = refresh("");
  EXPECT_EQ(record.at("error"), "kiro-cli not found. Install it from https://kiro.dev");
}

}  // namespace
}  // namespace dapplewick
