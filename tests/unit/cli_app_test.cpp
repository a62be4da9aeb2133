#include "cli/app.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "common/excerpt.hpp"
#include "common/json_read.hpp"
#include "engine/usage_service.hpp"
#include "model/file_keychain.hpp"
#include "support/e2e_harness.hpp"
#include "support/fake_transport.hpp"
#include "support/loopback_server.hpp"

namespace dapplewick {
namespace {

const std::string kHint = "\nRun 'dapplewick --help' for usage.\n";

// The first provider this build does not read: its record is the engine's own error, and needs no request (the
// scripted transport has no answer for one).
Provider unsupportedProvider() {
  const auto found = std::ranges::find_if(allProviders(), [](Provider p) { return !UsageService::isSupported(p); });
  return found != allProviders().end() ? *found : throw std::logic_error("every provider is supported");
}

// An exit code and what the command printed, as one string to compare.
std::string said(int exitCode, std::string_view text) { return std::to_string(exitCode) + ": " + std::string(text); }

class AppTest : public ::testing::Test {
 protected:
  AppTest() { environment.set("DAPPLEWICK_CONFIG_DIR", dir.path().string()); }

  testing::RunResult run(const std::vector<std::string>& args, const std::string& input = "", bool terminal = false) {
    std::istringstream in(input);
    std::ostringstream out, err;
    AppIO io{in, out, err, false, terminal, {}, columns};
    const auto transport = [this](const Configuration& configuration) -> std::unique_ptr<HTTPTransport> {
      configurations.push_back(configuration);
      return std::make_unique<testing::FakeTransport>();
    };
    return {runApp(args, {environment, clock, transport, stop.get_token(), nullptr, raised}, io), out.str(), err.str()};
  }

  // The exit code and all the command printed, on standard output then standard error.
  std::string outcome(const std::vector<std::string>& args, const std::string& input = "") {
    const auto result = run(args, input);
    return said(result.exitCode, result.out + result.err);
  }

  testing::TempDir dir;
  FileKeychain keychain{dir.path()};
  MapEnvironment environment;
  FixedClock clock{Timestamp(std::chrono::milliseconds(1796570000000))};  // 2026-12-06T15:13:20Z
  std::vector<Configuration> configurations;
  std::stop_source stop;
  // Whether a stop signal has been raised but not yet taken.
  std::function<bool()> raised;
  // The width of standard error's terminal.
  std::function<int()> columns;
};

TEST_F(AppTest, UsageErrorsExitTwoAndNeverRepeatASecret) {
  std::string unknown = "\nValid providers: ";
  for (Provider provider : allProviders()) unknown += std::string(rawValue(provider)) + ", ";
  unknown.resize(unknown.size() - 2);
  const std::vector<std::string> set = {"credential", "set", "zai"};
  struct Case {
    std::vector<std::string> args;
    std::string message, input = "sk-SECRET-on-stdin\n";
  };
  const Case cases[] = {
      {{"foo"}, "unknown provider \"foo\"" + unknown},
      {{"credential", "set", "nope"}, "unknown provider \"nope\"" + unknown},
      // Shown only when it could be a provider's name: at most 24 characters of ASCII letters, digits, "-_.".
      {{"credential", "delete", "Az09-_.abcdefghijklmnopq"}, "unknown provider \"Az09-_.abcdefghijklmnopq\"" + unknown},
      {{"Az09-_.abcdefghijklmnopqr"}, "an unknown provider name of 25 characters, not shown" + unknown},
      {{"credential", "set", "sk-or-v1-SECRET0123456789abcdef0123456789abcdef0123"},
       "an unknown provider name of 51 characters, not shown" + unknown},
      {{"credential", "delete", "SECRET\u00e9"}, "an unknown provider name of 7 characters, not shown" + unknown},
      {{"SECRET\u00e9\xff"}, "an unknown provider name of 9 characters, not shown" + unknown},  // not UTF-8: bytes
      {{"zai", "SECRET sk"}, "an unknown provider name of 9 characters, not shown" + unknown},
      {{"/"}, "an unknown provider name of 1 character, not shown" + unknown},
      {{"--json=sk-SECRET"}, "option --json takes no value"},
      {{"--json=true"}, "option --json takes no value"},
      {{"credential", "set", "zai", "--version=SECRET"}, "option --version takes no value"},
      {{"--help=SECRET"}, "option --help takes no value"},
      {{"credential", "list", "-h=SECRET"}, "option -h takes no value"},
      {{"-hsk-SECRET-0123456789abcdef"}, "unknown option [27 characters, not shown]"},
      // A short option is named only as two characters: "-sk-secret123" is what "-h" leaves, "-x" knows no value.
      {{"-hsk-secret123"}, "unknown option [13 characters, not shown]"},
      {{"-xVALUE"}, "unknown option [7 characters, not shown]"},
      {{"-hab"}, "unknown option [3 characters, not shown]"},
      {{"-xab"}, "unknown option [4 characters, not shown]"},
      {{"-x=VALUE", "--jsno=VALUE"}, "unknown options [8 characters, not shown], --jsno"},
      {{"credential", "set", "zai", "-zSECRET"}, "unknown option [8 characters, not shown]"},
      {{"--sk-SECRET-0123456789abcdef=x", "--jsno"}, "unknown options [28 characters, not shown], --jsno"},
      {{"credential", "set", "zai", "sk-SECRET"},
       "credential set takes one PROVIDER and nothing else; a secret is "
       "read from standard input, never from the command line"},
      {{"credential", "set"}, "credential set needs a PROVIDER"},
      {{"--jsno", "-x"}, "unknown options --jsno, -x"},
      {{"providers", "zai"}, "providers takes no arguments"},
      {{"--token=sk-SECRET"}, "unknown option --token"},
      {{"credential"}, "credential needs one of: set, delete, list"},
      {{"credential", "sk-SECRET", "list"}, "unexpected arguments"},
      {{"providers", "--json"}, "--json applies only to the refresh"},
      // After "--" every argument is a PROVIDER, and one starting with "-" is not repeated.
      {{"--", "--json"}, "an unknown provider name of 6 characters, not shown" + unknown},
      {{"--json", "--", "-hsk-secret123"}, "an unknown provider name of 14 characters, not shown" + unknown},
      {{"--", "--json=sk-SECRET"}, "an unknown provider name of 16 characters, not shown" + unknown},
      {{"--", "zai", "--"}, "an unknown provider name of 2 characters, not shown" + unknown},
      {{"--", "credential", "list"}, "unknown provider \"credential\"" + unknown},
      {{"credential", "delete", "--", "-x"}, "an unknown provider name of 2 characters, not shown" + unknown},
      {{"credential", "set", "zai", "--", "--json"},
       "credential set takes one PROVIDER and nothing else; a secret is "
       "read from standard input, never from the command line"},
      {{"credential", "list", "--", "--json"}, "unexpected arguments"},
      {{"providers", "--", "-x"}, "providers takes no arguments"},
      {{"--json=sk-SECRET", "--", "zai"}, "option --json takes no value"},
      {set, "the secret on standard input is blank; nothing was saved", "\n\r\n"},
      {set, "the secret on standard input is blank; nothing was saved", ""},
      {set, "the secret on standard input is blank; nothing was saved", " \t\v\f\u0085\u00A0\u2028\u3000\r\n"},
      {set, "the secret on standard input is not UTF-8 text", "sk-SECRET\xff\n"},
      {set, "the secret on standard input is longer than 1 MiB", std::string(kMaxSecretBytes + 1, 'a')},
      {set, "the secret on standard input is longer than 1 MiB", std::string(kMaxSecretBytes + 1, 'a') + "\r\n"},
      // Past the limit only trailing line breaks may come, 64 KiB of them at the most: endless ones (`yes ''`) end.
      {set, "the secret on standard input is longer than 1 MiB", std::string(kMaxSecretBytes, 'a') + "\nx"},
      {set, "the secret on standard input is longer than 1 MiB",
       std::string(kMaxSecretBytes, 'a') + std::string(64 * 1024 + 1, '\n')},
      {set, "the secret on standard input is longer than 1 MiB", std::string(3 * kMaxSecretBytes, '\n')},
  };
  keychain.save(Provider::codex, "kept");
  for (const auto& c : cases) EXPECT_EQ(outcome(c.args, c.input), said(kExitUsage, "dapplewick: " + c.message + kHint));
  EXPECT_EQ(testing::readFileText(keychain.filePath()).find("SECRET"), std::string::npos);
  EXPECT_EQ(keychain.savedProviders(), std::vector<Provider>{Provider::codex});
  EXPECT_TRUE(configurations.empty());
  EXPECT_EQ(outcome({"credential", "set", "--help"}), said(kExitSuccess, kUsageText));
}

TEST_F(AppTest, CredentialCommands) {
  const std::vector<std::pair<std::string, std::string>> stored = {{"sk-1\n\n\r\n", "sk-1"},
                                                                   {"  sk-1 \t\n", "  sk-1 \t"},
                                                                   {"web:a=1;\nb=2\n", "web:a=1;\nb=2"},
                                                                   {"api: \t \n", "api: \t "},
                                                                   {"\x1b[D\x15\n", "\x1b[D\x15"}};
  for (const auto& [input, want] : stored) {
    EXPECT_EQ(run({"credential", "set", "zai"}, input).out, "Saved the credential for zai.\n");
    EXPECT_EQ(keychain.load(Provider::zai), want);
  }
  // The limit holds for the secret without its trailing line breaks.
  for (const std::string& end :
       std::vector<std::string>{"", "\n", "\r\n", "\n\n\n", "\r\n\r\n", std::string(64 * 1024, '\n')}) {
    EXPECT_EQ(run({"credential", "set", "codex"}, std::string(kMaxSecretBytes, 'b') + end).exitCode, kExitSuccess);
    EXPECT_EQ(keychain.load(Provider::codex)->size(), kMaxSecretBytes);
  }
  // Saved all the same, for a build that reads it.
  EXPECT_EQ(run({"credential", "set", "claude"}, "sk-ant\n").out,
            "Saved the credential for claude; this build does not read claude.\n");
  EXPECT_EQ(keychain.load(Provider::claude), "sk-ant");
  EXPECT_EQ(run({"credential", "delete", "claude"}).exitCode, kExitSuccess);
  EXPECT_EQ(run({"credential", "delete", "codex"}).out, "Deleted the credential for codex.\n");
  EXPECT_EQ(run({"credential", "delete", "codex"}).out, "No credential was saved for codex.\n");
  EXPECT_EQ(run({"credential", "list"}).out, "zai\n");
}

TEST_F(AppTest, ProvidersListsTheCatalogueWithCredentialAndSupport) {
  keychain.save(Provider::groq, "g");
  const std::string out = run({"providers"}).out;
  EXPECT_TRUE(out.starts_with("PROVIDER          CREDENTIAL  READ BY THIS BUILD\ncodex             -           no\n"));
  EXPECT_NE(out.find("\ngroq              saved       yes\n"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), std::ssize(allProviders()) + 1);
}

TEST_F(AppTest, RefreshPrintsOnlyTheProvidersAskedForInCatalogueOrder) {
  // Nothing saved and nothing named: standard output holds the records alone, and the hint names the folder.
  const std::string noneSaved = "No credentials saved in " + dir.path().string() +
                                ". Save one with: dapplewick credential set PROVIDER\n"
                                "(dapplewick providers lists the providers.)\n";
  for (const auto& [args, records] : {std::pair<std::vector<std::string>, std::string>{{}, ""}, {{"--json"}, "[]\n"}}) {
    const auto result = run(args);
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err), std::tie(kExitSuccess, records, noneSaved));
  }
  EXPECT_EQ(outcome({"deepgram"}), said(kExitSuccess, "deepgram\n  error: No credential saved\n"));

  const std::string name(rawValue(unsupportedProvider()));
  keychain.save(unsupportedProvider(), "secret");
  const std::string unread = "This build of Dapplewick does not read " + name;
  EXPECT_EQ(outcome({}), said(kExitSuccess, name + "\n  error: " + unread + "\n"));
  EXPECT_EQ(run({}, "", true).err, "\r\x1b[2KRefreshing: 0 of 1 done, waiting for " + name + "\r\x1b[2K");
  // Named in reverse catalogue order and twice: one record each, in catalogue order; a named provider without a
  // credential gets its record.
  std::vector<std::string> records;
  for (const auto& record : parseJson(run({"--json", "deepgram", name, "deepgram"}).out)) {
    records.push_back(record["provider"].get<std::string>() + ": " + record["error"].get<std::string>());
  }
  EXPECT_EQ(records, (std::vector<std::string>{name + ": " + unread, "deepgram: No credential saved"}));
  stop.request_stop();
  EXPECT_EQ(outcome({"--json"}), said(kExitInterrupted, "dapplewick: interrupted\n"));
}

// "--" ends the options wherever it stands, before the names of a refresh or the PROVIDER of a credential command.
TEST_F(AppTest, DoubleDashEndsTheOptions) {
  const std::string zai = "zai\n  error: No credential saved\n";
  EXPECT_EQ(outcome({"--", "zai"}), said(kExitSuccess, zai));
  EXPECT_EQ(outcome({"--", "zai", "zai"}), said(kExitSuccess, zai));
  std::vector<std::string> records;
  for (const auto& record : parseJson(run({"--json", "--", "zai", "deepgram"}).out)) {
    records.push_back(record["provider"].get<std::string>() + ": " + record["error"].get<std::string>());
  }
  EXPECT_EQ(records, (std::vector<std::string>{"zai: No credential saved", "deepgram: No credential saved"}));

  EXPECT_EQ(outcome({"credential", "set", "--", "zai"}, "sk-piped\n"),
            said(kExitSuccess, "Saved the credential for zai.\n"));
  EXPECT_EQ(keychain.load(Provider::zai), "sk-piped");
  EXPECT_EQ(outcome({"credential", "delete", "--", "zai"}), said(kExitSuccess, "Deleted the credential for zai.\n"));
  EXPECT_EQ(keychain.savedProviders(), std::vector<Provider>{});
}

// Cut to the terminal's width less one column, asked at each draw (0: 80); none on a terminal that says it is dumb.
TEST_F(AppTest, TheProgressLineFitsTheTerminalAndADumbOneHasNone) {
  keychain.save(Provider::codex, "secret");
  keychain.save(Provider::openAI, "secret");
  std::vector<int> widths = {30, 0};
  columns = [&] {
    const int width = widths.front();
    widths.erase(widths.begin());
    return width;
  };
  const std::string err = run({}, "", true).err;
  const std::string first = "Refreshing: 0 of 2 done, waiting for codex, openai";
  EXPECT_TRUE(err.starts_with("\r\x1b[2K" + first.substr(0, 29) + "\r\x1b[2KRefreshing: 1 of 2 done, waiting for "))
      << err;
  EXPECT_TRUE(err.ends_with("done, waiting for codex\r\x1b[2K") || err.ends_with("done, waiting for openai\r\x1b[2K"))
      << err;
  EXPECT_TRUE(widths.empty()) << "asked once per draw";

  columns = {};
  environment.set("TERM", "dumb");
  const auto dumb = run({}, "", true);
  EXPECT_EQ(dumb.exitCode, kExitSuccess);
  EXPECT_EQ(dumb.err, "");
  environment.set("TERM", "xterm-256color");
  EXPECT_TRUE(run({}, "", true).err.starts_with("\r\x1b[2K" + first + "\r"));
}

// The version the build declares; a credential file others can read is read, with a warning that names the fix.
TEST_F(AppTest, VersionAndAWarningForAnExposedCredentialFile) {
  EXPECT_EQ(run({"--version"}).out, "dapplewick 0.1.0\n");
  keychain.save(Provider::zai, "sk-zai");
  ASSERT_EQ(::chmod(keychain.filePath().c_str(), 0640), 0);
  const std::string path = keychain.filePath().string();
  for (const auto& args : {std::vector<std::string>{"credential", "list"}, {"providers"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.exitCode, kExitSuccess);
    EXPECT_EQ(result.err,
              "dapplewick: warning: the group can read " + path + "; make it private with: chmod 600 " + path + "\n");
  }
}

TEST_F(AppTest, DamagedCredentialFileStopsEveryCommand) {
  dir.write("credentials.json", R"({"service": "com.dapplewick.credentials", "items": {"zai": "sk-SECRET")");
  ASSERT_EQ(::chmod(keychain.filePath().c_str(), 0600), 0);
  const std::string damaged = "dapplewick: the credential file " + keychain.filePath().string() +
                              " is damaged (it is not valid JSON); Dapplewick leaves it untouched: "
                              "repair or remove it\n";
  const std::vector<std::vector<std::string>> commands = {
      {"zai"}, {"providers"}, {"credential", "list"}, {"credential", "set", "zai"}, {"credential", "delete", "zai"}};
  for (const auto& args : commands) {
    EXPECT_EQ(outcome(args, "new-secret\n"), said(kExitFailure, damaged)) << ::testing::PrintToString(args);
  }
}

TEST_F(AppTest, ConfigurationIsReadForEveryRefreshAndABadOneExitsOne) {
  const auto config = dir.path() / "config.json";
  dir.write("config.json", R"({"caBundle": "/nonexistent/ca.pem"})");
  EXPECT_EQ(outcome({}), said(kExitFailure, "dapplewick: the CA bundle \"/nonexistent/ca.pem\" named in " +
                                                config.string() + " is not a readable file\n"));  // nothing to refresh
  EXPECT_EQ(run({"credential", "set", "zai"}, "x").exitCode, kExitSuccess);  // needs no config.json
  EXPECT_TRUE(configurations.empty());

  const auto bundle = dir.path() / "ca.pem";
  dir.write("config.json", R"({"origins": {"groq": "http://127.0.0.1:9"}, "caBundle": ")" + bundle.string() + "\"}");
  // A revocation list alone loads as a CA file does, yet trusts no server.
  const auto authority = testing::selfSignedCertificate();
  for (const std::string& noCertificate :
       {std::string(), std::string("-----BEGIN CERTIFICATE-----\n"), testing::revocationListPEM(authority)}) {
    SCOPED_TRACE(noCertificate);
    dir.write("ca.pem", noCertificate);
    EXPECT_EQ(outcome({}),
              said(kExitFailure, "dapplewick: the CA bundle \"" + bundle.string() + "\" named in " + config.string() +
                                     " is not a PEM file of certificates: it holds none, or one that "
                                     "cannot be read\n"));
  }
  // The path is quoted as the terminal will show it: printable, and cut however long it is.
  const std::string hostile = "/tmp/\x1b]0;owned\x07\x1b[31m" + std::string(300, 'p');
  dir.write("config.json", Json{{"caBundle", hostile}}.dump());
  EXPECT_EQ(outcome({}), said(kExitFailure, "dapplewick: the CA bundle \"/tmp/\uFFFD]0;owned\uFFFD\uFFFD[31m" +
                                                std::string(kMaxErrorTextCodePoints - 20, 'p') + "\" named in " +
                                                config.string() + " is not a readable file\n"));

  dir.write("config.json", R"({"origins": {"groq": "http://127.0.0.1:9"}, "caBundle": ")" + bundle.string() + "\"}");
  // Beside a certificate, a revocation list is no fault.
  dir.write("ca.pem", testing::revocationListPEM(authority) + authority.certificatePEM);
  keychain.save(unsupportedProvider(), "x");
  ASSERT_EQ(run({}).exitCode, kExitSuccess);
  ASSERT_EQ(configurations.size(), 1u);
  EXPECT_EQ(configurations[0].caBundle, bundle.string());
  EXPECT_EQ(configurations[0].origins.get("groq"), "http://127.0.0.1:9");

  // config.json must be a small regular file: a FIFO would hang the reader, a link to /dev/zero fill memory.
  const auto cannotRead = "dapplewick: cannot read " + config.string() + ": ";
  const std::vector<std::pair<std::function<void()>, std::string>> unusable = {
      {[&] { ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0); }, "it is not a regular file"},
      {[&] { std::filesystem::create_symlink("/dev/zero", config); }, "it is not a regular file"},
      {[&] { std::filesystem::create_directory(config); }, "it is not a regular file"},
      {[&] { dir.write("config.json", std::string(kMaxConfigurationBytes + 1, ' ')); }, "it is larger than 1 MiB"},
      {[&] { dir.write("config.json", std::string("{}\0{\"x\":1}", 10)); }, config.string() + " is not valid JSON"},
  };
  for (const auto& [make, want] : unusable) {
    std::filesystem::remove(config);
    make();
    EXPECT_EQ(outcome({}), said(kExitFailure, (want.starts_with("it ") ? cannotRead : "dapplewick: ") + want + "\n"));
  }

  environment = MapEnvironment();
  EXPECT_EQ(run({"credential", "list"}).err,
            "dapplewick: cannot find the configuration folder: set DAPPLEWICK_CONFIG_DIR or HOME\n");
}

// A stop raised by the time the credential would be written (taken by the watcher, or still pending) saves
// nothing; one raised once it is written leaves it saved, and the command says so.
TEST_F(AppTest, AStopRaisedBeforeTheCredentialIsWrittenSavesNothing) {
  keychain.save(Provider::zai, "sk-kept");
  int asked = 0;
  for (const int raisedFrom : {1, 2}) {
    asked = 0;
    raised = [&] { return ++asked >= raisedFrom; };
    EXPECT_EQ(outcome({"credential", "set", "zai"}, "sk-new\n"), said(kExitInterrupted, "dapplewick: interrupted\n"));
    EXPECT_EQ(keychain.load(Provider::zai), "sk-kept");
  }
  EXPECT_EQ(asked, 2) << "asked after reading, and again right before writing";
  asked = 0;
  raised = [&] { return ++asked >= 3; };
  EXPECT_EQ(outcome({"credential", "set", "zai"}, "sk-new\n"), said(kExitSuccess, "Saved the credential for zai.\n"));
  EXPECT_EQ(keychain.load(Provider::zai), "sk-new");
  raised = {};
  stop.request_stop();
  EXPECT_EQ(outcome({"credential", "set", "zai"}, "sk-newer\n"), said(kExitInterrupted, "dapplewick: interrupted\n"));
  EXPECT_EQ(keychain.load(Provider::zai), "sk-new");
}

}  // namespace
}  // namespace dapplewick
