#include "cli/app.hpp"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "engine/usage_service.hpp"
#include "model/file_keychain.hpp"
#include "support/e2e_harness.hpp"
#include "support/fake_transport.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow = Timestamp(std::chrono::milliseconds(1796570000000));  // 2026-12-06T15:13:20Z
const std::string kHint = "\nRun 'dapplewick --help' for usage.\n";

// The first provider this build does not read: its record is the engine's own error, and needs no request (the
// scripted transport has no answer for one).
Provider unsupportedProvider() {
  for (Provider provider : allProviders()) {
    if (!UsageService::isSupported(provider)) return provider;
  }
  throw std::logic_error("every provider is supported");
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class AppTest : public ::testing::Test {
 protected:
  AppTest() { environment.set("DAPPLEWICK_CONFIG_DIR", folder().string()); }

  std::filesystem::path folder() const { return dir.path() / "config"; }
  std::filesystem::path credentialsFile() const { return folder() / "credentials.json"; }
  FileKeychain keychain() const { return FileKeychain(folder()); }

  Outcome run(const std::vector<std::string>& args, const std::string& input = "", bool errorIsTerminal = false) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    AppIO io{in, out, err, false, errorIsTerminal};
    const AppContext context{environment, clock,
                             [this](const Configuration& configuration) -> std::unique_ptr<HTTPTransport> {
                               configurations.push_back(configuration);
                               return std::make_unique<testing::FakeTransport>();
                             },
                             stop.get_token()};
    const int status = runApp(args, context, io);
    return {status, out.str(), err.str()};
  }

  void write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(folder());
    std::ofstream(file) << text;
  }

  testing::TempDir dir;
  MapEnvironment environment;
  FixedClock clock{kNow};
  std::vector<Configuration> configurations;
  std::stop_source stop;
};

TEST_F(AppTest, UsageErrorsExitTwoAndNeverRepeatASecret) {
  std::string unknown = "\nValid providers: ";
  for (Provider provider : allProviders()) unknown += std::string(rawValue(provider)) + ", ";
  unknown.resize(unknown.size() - 2);
  const std::string oneProvider =
      " takes one PROVIDER and nothing else; a secret is read from standard input, never from the command line";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"foo"}, "unknown provider \"foo\"" + unknown},
      {{"credential", "delete", "nope"}, "unknown provider \"nope\"" + unknown},
      {{"credential", "set", "sk-SECRET"}, "unknown provider" + unknown},
      {{"credential", "set"}, "credential set needs a PROVIDER"},
      {{"credential", "set", "zai", "sk-SECRET"}, "credential set" + oneProvider},
      {{"credential"}, "credential needs one of: set, delete, list"},
      {{"credential", "sk-SECRET", "list"}, "unexpected arguments"},
      {{"providers", "zai"}, "providers takes no arguments"},
      {{"providers", "--json"}, "--json applies only to the refresh"},
      {{"--token=sk-SECRET"}, "unknown option --token"},
      {{"--jsno", "-x"}, "unknown options --jsno, -x"},
      {{"credential", "set", "zai", "--secret", "sk-SECRET"}, "unknown option --secret"},
  };
  for (const auto& [args, message] : cases) {
    const Outcome result = run(args, "sk-SECRET-on-stdin\n");
    EXPECT_EQ(result.status, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_EQ(result.out + result.err, "dapplewick: " + message + kHint);
  }
  EXPECT_FALSE(std::filesystem::exists(credentialsFile()));
  EXPECT_TRUE(configurations.empty());

  const Outcome help = run({"credential", "set", "--help"});
  EXPECT_EQ(help.status, kExitSuccess);
  EXPECT_EQ(help.out + help.err, kUsageText);
}

TEST_F(AppTest, CredentialCommands) {
  const std::vector<std::pair<std::string, std::string>> stored = {
      {"sk-1", "sk-1"}, {"sk-1\n\n\r\n", "sk-1"}, {"  sk-1 \t\n", "  sk-1 \t"}, {"web:a=1;\nb=2\n", "web:a=1;\nb=2"}};
  for (const auto& [input, want] : stored) {
    EXPECT_EQ(run({"credential", "set", "zai"}, input).out, "Saved the credential for zai.\n");
    EXPECT_EQ(keychain().load(Provider::zai), want);
  }
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"\n\r\n", "no secret on standard input"},
      {"sk-SECRET\xff\n", "the secret on standard input is not UTF-8 text"},
      {std::string(kMaxSecretBytes + 1, 'a'), "the secret on standard input is longer than 1 MiB"},
  };
  for (const auto& [input, message] : refused) {
    const Outcome result = run({"credential", "set", "zai"}, input);
    EXPECT_EQ(result.status, kExitUsage);
    EXPECT_EQ(result.err, "dapplewick: " + message + kHint);
    EXPECT_EQ(keychain().load(Provider::zai), "web:a=1;\nb=2");
  }
  EXPECT_EQ(run({"credential", "set", "codex"}, std::string(kMaxSecretBytes, 'b')).status, kExitSuccess);

  EXPECT_EQ(run({"credential", "list"}).out, "codex\nzai\n");
  EXPECT_EQ(run({"credential", "delete", "codex"}).out, "Deleted the credential for codex.\n");
  EXPECT_EQ(run({"credential", "delete", "codex"}).out, "No credential was saved for codex.\n");
  EXPECT_EQ(run({"credential", "list"}).out, "zai\n");
}

TEST_F(AppTest, ProvidersListsTheCatalogueWithCredentialAndSupport) {
  keychain().save(Provider::groq, "g");
  std::string want = "PROVIDER          CREDENTIAL  READ BY THIS BUILD\n";
  for (Provider provider : allProviders()) {
    std::string line(rawValue(provider));
    line.resize(18, ' ');
    line += provider == Provider::groq ? "saved       " : "-           ";
    want += line + (UsageService::isSupported(provider) ? "yes\n" : "no\n");
  }
  EXPECT_EQ(run({"providers"}).out, want);
}

TEST_F(AppTest, RefreshPrintsOnlyTheProvidersAskedForInCatalogueOrder) {
  EXPECT_EQ(run({}).out,
            "No credentials saved. Save one with: dapplewick credential set PROVIDER\n"
            "(dapplewick providers lists the providers.)\n");
  EXPECT_EQ(run({"--json"}).out, "[]\n");

  const std::string name(rawValue(unsupportedProvider()));
  keychain().save(unsupportedProvider(), "secret");
  const std::string unread = "This build of Dapplewick does not read " + name;
  Json json = parseJson(run({"--json"}).out);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["error"], unread);

  // Named in reverse catalogue order and twice: one record each, in catalogue order; a named provider without a
  // credential gets its record.
  json = parseJson(run({"--json", "deepgram", name, "deepgram"}).out);
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["provider"], name);
  EXPECT_EQ(json[1]["provider"], "deepgram");
  EXPECT_EQ(json[1]["error"], "No credential saved");
  EXPECT_EQ(json[1]["lastUpdated"], "2026-12-06T15:13:20.000Z");

  EXPECT_EQ(run({name}).out, name + "\n  error: " + unread + "\n");
  EXPECT_EQ(run({}, "", false).err, "");
  EXPECT_EQ(run({}, "", true).err, "\r\x1b[2KRefreshing: 0 of 1 done, waiting for " + name + "\r\x1b[2K");
  stop.request_stop();
  const Outcome interrupted = run({"--json"});
  EXPECT_EQ(interrupted.status, kExitInterrupted);
  EXPECT_EQ(interrupted.out + interrupted.err, "dapplewick: interrupted\n");
}

TEST_F(AppTest, DamagedCredentialFileStopsEveryCommandAndStaysAsItWas) {
  const std::string damaged = R"({"service": "com.dapplewick.credentials", "items": {"zai": "sk-SECRET")";
  write(credentialsFile(), damaged);
  const std::vector<std::vector<std::string>> commands = {
      {"zai"}, {"providers"}, {"credential", "list"}, {"credential", "set", "zai"}, {"credential", "delete", "zai"}};
  for (const auto& args : commands) {
    const Outcome result = run(args, "new-secret\n");
    EXPECT_EQ(result.status, kExitFailure) << ::testing::PrintToString(args);
    EXPECT_EQ(result.out + result.err, "dapplewick: the credential file " + credentialsFile().string() +
                                           " is damaged (it is not valid JSON); Dapplewick leaves it untouched: "
                                           "repair or remove it\n");
    EXPECT_EQ(testing::readFileText(credentialsFile()), damaged);
  }
}

TEST_F(AppTest, ConfigurationIsReadForEveryRefreshAndABadOneExitsOne) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"origin": {}})", "unknown key \"origin\" in config.json"},
      {R"({"caBundle": "/nonexistent/ca.pem"})",
       "the CA bundle \"/nonexistent/ca.pem\" named in config.json is not a readable file"},
  };
  for (const auto& [config, message] : cases) {
    write(folder() / "config.json", config);
    const Outcome result = run({});  // even with nothing to refresh
    EXPECT_EQ(result.status, kExitFailure);
    EXPECT_EQ(result.err, "dapplewick: " + message + "\n");
  }
  EXPECT_EQ(run({"credential", "set", "zai"}, "x").status, kExitSuccess);  // needs no config.json
  EXPECT_TRUE(configurations.empty());

  const auto bundle = dir.write("ca.pem", "-----BEGIN CERTIFICATE-----\n");
  write(folder() / "config.json",
        R"({"origins": {"groq": "http://127.0.0.1:9"}, "caBundle": ")" + bundle.string() + "\"}");
  keychain().save(unsupportedProvider(), "x");
  ASSERT_EQ(run({}).status, kExitSuccess);
  ASSERT_EQ(configurations.size(), 1u);
  EXPECT_EQ(configurations[0].caBundle, bundle.string());
  EXPECT_EQ(configurations[0].origins.get("groq"), "http://127.0.0.1:9");

  environment = MapEnvironment();
  EXPECT_EQ(run({"credential", "list"}).err,
            "dapplewick: cannot find the configuration folder: set DAPPLEWICK_CONFIG_DIR or HOME\n");
}

}  // namespace
}  // namespace dapplewick
