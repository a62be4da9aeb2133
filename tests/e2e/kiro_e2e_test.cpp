// The real binary reads Kiro through a stand-in `kiro-cli` placed first on its PATH. The stand-in answers
// `whoami` and `chat --no-interactive /usage` the way the tool does, terminal colours included, and refuses any
// other command line.

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"
#include "support/process_probe.hpp"

namespace dapplewick {
namespace {

// Bodies of `printf` formats: "%%" is a per-cent sign and "\033" an escape.
struct Tool {
  std::string whoamiOut{};
  std::string whoamiErr{};
  int whoamiStatus = 0;
  std::string usageOut{};
  std::string usageErr{};
  bool onPath = true;
};

std::string script(const Tool& tool) {
  const auto print = [](const std::string& text) { return "    printf '" + text + "'"; };
  // The tool colours its output only for a capable terminal.
  return "[ \"$TERM\" = xterm-256color ] || exit 65\ncase \"$*\" in\n  whoami)\n" + print(tool.whoamiOut) + "\n" +
         print(tool.whoamiErr) + " >&2\n    exit " + std::to_string(tool.whoamiStatus) +
         " ;;\n  'chat --no-interactive /usage')\n" + print(tool.usageOut) + "\n" + print(tool.usageErr) +
         " >&2 ;;\n  *)\n    echo \"unexpected command line: $*\" >&2\n    exit 64 ;;\nesac\n";
}

TEST(KiroEndToEnd, ReadsWhatTheToolReports) {
  struct Case {
    std::string name;
    Tool tool;
    Json want;  // the fields of the one record that must have these values ("/a/0/b" paths of it)
  };
  const std::string bar = "\\342\\226\\210";
  const Case cases[] = {
      {"coloured report with bar, covered figures and bonus credits",
       {.whoamiOut = "\\033[1mLogged in with Builder ID\\033[0m\\nEmail: someone@example.com\\n",
        .usageOut = "\\033]0;kiro\\007\\033[1mPlan:\\033[0m KIRO PRO\\n\\033[32m" + bar + bar + "\\033[0m 42%%\\n"
                    "(10.5 of 50 covered in plan), resets on 2099-03-01\\n"
                    "\\033[1mBonus credits\\033[0m: 25 / 100 credits used, expires in 7 days\\n"},
       {{"error", nullptr}, {"used", 42}, {"limit", 100}, {"cost", 0}, {"costSemantic", "none"},
        {"resetPeriod", "monthly"}, {"resetAt", "2099-03-01T00:00:00.000Z"}, {"percentage", 42},
        {"note", "KIRO PRO \u00B7 someone@example.com"}, {"isLoading", false},
        {"auxiliaryUsage", {{{"used", 25}, {"limit", 100}, {"note", "Bonus credits"}}}}}},
      {"covered figures alone",
       {.whoamiOut = "someone@example.com\\n", .usageOut = "| KIRO FREE |\\n(10.5 of 50 covered in plan)\\n"},
       {{"error", nullptr}, {"used", 21}, {"resetAt", nullptr}, {"note", "KIRO FREE \u00B7 someone@example.com"}}},
      {"report on standard error, no account",
       {.usageErr = "Plan: Pro\\n" + bar + " 7%%\\n"}, {{"error", nullptr}, {"used", 7}, {"note", "Pro"}}},
      {"managed plan",
       {.whoamiOut = "Email: someone@example.com\\n",
        .usageOut = "Plan: KIRO ENTERPRISE\\nYour usage is managed by organization.\\nresets on 2099-03-01\\n"},
       {{"error", nullptr}, {"used", 0}, {"limit", 0}, {"resetAt", nullptr},
        {"note", "KIRO ENTERPRISE (managed plan)"}}},
      {"not logged in",
       {.whoamiErr = "\\033[31merror:\\033[0m Not logged in. Run kiro-cli login.\\n", .whoamiStatus = 1},
       {{"error", "Not logged in to Kiro. Run 'kiro-cli login' first."}, {"limit", 0}}},
      {"whoami fails", {.whoamiErr = "  kiro-cli: configuration is damaged  \\n", .whoamiStatus = 2},
       {{"error", "kiro-cli: configuration is damaged"}}},
      // PATH names only a missing folder: a kiro-cli installed on this machine must not be found.
      {"no tool", {.onPath = false}, {{"error", "kiro-cli not found. Install it from https://kiro.dev"}}},
  };
  testing::Sandbox sandbox;
  // Refresh covers the providers with a saved credential; Kiro's is never read, any text enables it.
  sandbox.saveCredential("kiro", "x");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir bin;
    testing::writeScript(bin.path(), "kiro-cli", script(c.tool));
    sandbox.setEnv("PATH", bin.path().string() + (c.tool.onPath ? ":/usr/bin:/bin" : "/none"));
    const Json all = sandbox.runJson({"kiro"});
    ASSERT_EQ(all.size(), 1u) << all.dump();
    EXPECT_EQ(all[0].value("id", ""), "kiro");
    const Json wanted = c.want.flatten();
    for (const auto& [pointer, value] : wanted.items()) {
      EXPECT_EQ(all[0].value(Json::json_pointer(pointer), Json()), value) << pointer << " in " << all[0].dump();
    }
  }
}

}  // namespace
}  // namespace dapplewick
