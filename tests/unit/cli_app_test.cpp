#include "cli/app.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

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
    AppIO io{in, out, err, false, terminal};
    const auto transport = [this](const Configuration& configuration) -> std::unique_ptr<HTTPTransport> {
      configurations.push_back(configuration);
      return std::make_unique<testing::FakeTransport>();
    };
    return {runApp(args, {environment, clock, transport, stop.get_token()}, io), out.str(), err.str()};
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
      {set, "no secret on standard input", "\n\r\n"},
      {set, "the secret on standard input is not UTF-8 text", "sk-SECRET\xff\n"},
      {set, "the secret on standard input is longer than 1 MiB", std::string(kMaxSecretBytes + 1, 'a')},
  };
  keychain.save(Provider::codex, "kept");
  for (const auto& c : cases) EXPECT_EQ(outcome(c.args, c.input), said(kExitUsage, "dapplewick: " + c.message + kHint));
  EXPECT_EQ(testing::readFileText(keychain.filePath()).find("SECRET"), std::string::npos);
  EXPECT_EQ(keychain.savedProviders(), std::vector<Provider>{Provider::codex});
  EXPECT_TRUE(configurations.empty());
  EXPECT_EQ(outcome({"credential", "set", "--help"}), said(kExitSuccess, kUsageText));
}

TEST_F(AppTest, CredentialCommands) {
  const std::vector<std::pair<std::string, std::string>> stored = {
      {"sk-1\n\n\r\n", "sk-1"}, {"  sk-1 \t\n", "  sk-1 \t"}, {"web:a=1;\nb=2\n", "web:a=1;\nb=2"}};
  for (const auto& [input, want] : stored) {
    EXPECT_EQ(run({"credential", "set", "zai"}, input).out, "Saved the credential for zai.\n");
    EXPECT_EQ(keychain.load(Provider::zai), want);
  }
  EXPECT_EQ(run({"credential", "set", "codex"}, std::string(kMaxSecretBytes, 'b')).exitCode, kExitSuccess);
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
  EXPECT_EQ(run({}).out, "No credentials saved. Save one with: dapplewick credential set PROVIDER\n"
                         "(dapplewick providers lists the providers.)\n");
  EXPECT_EQ(run({"--json"}).out, "[]\n");

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
              "dapplewick: warning: other users can read " + path + "; make it private with: chmod 600 " + path + "\n");
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
  dir.write("config.json", R"({"caBundle": "/nonexistent/ca.pem"})");
  EXPECT_EQ(outcome({}), said(kExitFailure, "dapplewick: the CA bundle \"/nonexistent/ca.pem\" named in config.json "
                                            "is not a readable file\n"));    // even with nothing to refresh
  EXPECT_EQ(run({"credential", "set", "zai"}, "x").exitCode, kExitSuccess);  // needs no config.json
  EXPECT_TRUE(configurations.empty());

  const auto bundle = dir.path() / "ca.pem";
  dir.write("config.json", R"({"origins": {"groq": "http://127.0.0.1:9"}, "caBundle": ")" + bundle.string() + "\"}");
  for (const char* noCertificate : {"", "-----BEGIN CERTIFICATE-----\n"}) {
    dir.write("ca.pem", noCertificate);
    EXPECT_EQ(outcome({}), said(kExitFailure, "dapplewick: the CA bundle \"" + bundle.string() +
                                                  "\" named in config.json is not a PEM file of certificates: it "
                                                  "holds none, or one that cannot be read\n"));
  }
  dir.write("ca.pem", testing::selfSignedCertificate().certificatePEM);
  keychain.save(unsupportedProvider(), "x");
  ASSERT_EQ(run({}).exitCode, kExitSuccess);
  ASSERT_EQ(configurations.size(), 1u);
  EXPECT_EQ(configurations[0].caBundle, bundle.string());
  EXPECT_EQ(configurations[0].origins.get("groq"), "http://127.0.0.1:9");

  // config.json must be a small regular file: a FIFO would hang the reader, a link to /dev/zero fill memory.
  const auto config = dir.path() / "config.json";
  const auto cannotRead = "dapplewick: cannot read " + config.string() + ": ";
  const std::vector<std::pair<std::function<void()>, std::string>> hostile = {
      {[&] { ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0); }, "it is not a regular file"},
      {[&] { std::filesystem::create_symlink("/dev/zero", config); }, "it is not a regular file"},
      {[&] { std::filesystem::create_directory(config); }, "it is not a regular file"},
      {[&] { dir.write("config.json", std::string(kMaxConfigurationBytes + 1, ' ')); }, "it is larger than 1 MiB"},
      {[&] { dir.write("config.json", std::string("{}\0{\"x\":1}", 10)); }, "config.json is not valid JSON"},
  };
  for (const auto& [make, want] : hostile) {
    std::filesystem::remove(config);
    make();
    EXPECT_EQ(outcome({}), said(kExitFailure, (want.starts_with("it ") ? cannotRead : "dapplewick: ") + want + "\n"));
  }

  environment = MapEnvironment();
  EXPECT_EQ(run({"credential", "list"}).err,
            "dapplewick: cannot find the configuration folder: set DAPPLEWICK_CONFIG_DIR or HOME\n");
}

}  // namespace
}  // namespace dapplewick
