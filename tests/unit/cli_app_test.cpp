#include "cli/app.hpp"

#include <sys/stat.h>

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

std::string validNames() {
  std::string list;
  for (Provider provider : allProviders()) list += (list.empty() ? "" : ", ") + std::string(rawValue(provider));
  return list;
}

// The first provider this build does not read: its record is the engine's own "does not read" error.
Provider unsupportedProvider() {
  for (Provider provider : allProviders()) {
    if (!UsageService::isSupported(provider)) return provider;
  }
  throw std::logic_error("every provider is supported");
}

// Hands the engine a transport that forwards to the test's scripted one.
class ForwardingTransport final : public HTTPTransport {
 public:
  explicit ForwardingTransport(HTTPTransport& target) : target_(target) {}
  HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override { return target_.data(request, stop); }

 private:
  HTTPTransport& target_;
};

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

  Outcome run(const std::vector<std::string>& args, const std::string& input = "", bool errorIsTerminal = false) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    AppIO io{in, out, err, false, errorIsTerminal};
    const AppContext context{environment, clock,
                             [this](const Configuration& configuration) -> std::unique_ptr<HTTPTransport> {
                               configurations.push_back(configuration);
                               return std::make_unique<ForwardingTransport>(transport);
                             },
                             stop.get_token()};
    Outcome result;
    result.status = runApp(args, context, io);
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  void save(Provider provider, const std::string& secret) { FileKeychain(folder()).save(provider, secret); }

  testing::TempDir dir;
  MapEnvironment environment;
  FixedClock clock{kNow};
  testing::FakeTransport transport;
  std::vector<Configuration> configurations;
  std::stop_source stop;
};

TEST_F(AppTest, UsageErrorsExitTwoAndNeverRepeatASecret) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string unknownList = "\nValid providers: " + validNames();
  const std::vector<Case> cases = {
      {{"foo"}, "unknown provider \"foo\"" + unknownList},
      {{"zai", "Zai"}, "unknown provider \"Zai\"" + unknownList},
      {{"credential", "set"}, "credential set needs a PROVIDER"},
      {{"credential", "set", "sk-SECRET"}, "unknown provider" + unknownList},
      {{"credential", "set", "zai", "sk-SECRET"},
       "credential set takes one PROVIDER and nothing else; a secret is read from standard input, never from the "
       "command line"},
      {{"credential", "delete"}, "credential delete needs a PROVIDER"},
      {{"credential", "delete", "nope"}, "unknown provider \"nope\"" + unknownList},
      {{"credential", "delete", "zai", "groq"},
       "credential delete takes one PROVIDER and nothing else; a secret is read from standard input, never from "
       "the command line"},
      {{"credential"}, "credential needs one of: set, delete, list"},
      {{"credential", "sk-SECRET", "list"}, "unexpected arguments"},
      {{"credential", "list", "sk-SECRET"}, "unexpected arguments"},
      {{"providers", "zai"}, "providers takes no arguments"},
      {{"providers", "--json"}, "--json applies only to the refresh"},
      {{"credential", "list", "--json"}, "--json applies only to the refresh"},
      {{"--token=sk-SECRET"}, "unknown option --token"},
      {{"--jsno", "-x"}, "unknown options --jsno, -x"},
      {{"credential", "set", "zai", "--secret", "sk-SECRET"}, "unknown option --secret"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome result = run(c.args, "sk-SECRET-on-stdin\n");
    EXPECT_EQ(result.status, kExitUsage);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "dapplewick: " + c.message + "\nRun 'dapplewick --help' for usage.\n");
    EXPECT_EQ(result.err.find("SECRET"), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(credentialsFile()));
  EXPECT_TRUE(configurations.empty());
}

TEST_F(AppTest, HelpGoesToStandardOutput) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"credential", "set", "--help"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome result = run(args);
    EXPECT_EQ(result.status, kExitSuccess);
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(AppTest, CredentialSetReadsStandardInputAndDropsTrailingLineBreaks) {
  struct Case {
    std::string input;
    std::string stored;
  };
  const std::vector<Case> cases = {
      {"sk-1", "sk-1"},
      {"sk-1\n", "sk-1"},
      {"sk-1\r\n", "sk-1"},
      {"sk-1\n\n\r\n", "sk-1"},
      {"  sk-1 \t\n", "  sk-1 \t"},
      {"web:a=1;\nb=2\n", "web:a=1;\nb=2"},
      {"cl\u00E9\n", "cl\u00E9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.input));
    const Outcome result = run({"credential", "set", "zai"}, c.input);
    EXPECT_EQ(result.status, kExitSuccess) << result.err;
    EXPECT_EQ(result.out, "Saved the credential for zai.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(FileKeychain(folder()).load(Provider::zai), c.stored);
  }
}

TEST_F(AppTest, CredentialSetRefusesEmptyOversizedAndNonTextSecrets) {
  struct Case {
    std::string input;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "no secret on standard input"},
      {"\n\r\n", "no secret on standard input"},
      {std::string("sk-SECRET\xff\n"), "the secret on standard input is not UTF-8 text"},
      {std::string(kMaxSecretBytes + 1, 'a'), "the secret on standard input is longer than 1 MiB"},
  };
  save(Provider::zai, "old");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Outcome result = run({"credential", "set", "zai"}, c.input);
    EXPECT_EQ(result.status, kExitUsage);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "dapplewick: " + c.message + "\nRun 'dapplewick --help' for usage.\n");
    EXPECT_EQ(FileKeychain(folder()).load(Provider::zai), "old");
  }
  // The largest secret allowed is taken.
  EXPECT_EQ(run({"credential", "set", "zai"}, std::string(kMaxSecretBytes, 'b')).status, kExitSuccess);
}

TEST_F(AppTest, CredentialListAndDelete) {
  EXPECT_EQ(run({"credential", "list"}).out, "");
  ASSERT_EQ(run({"credential", "set", "deepgram"}, "dg-SECRET").status, kExitSuccess);
  ASSERT_EQ(run({"credential", "set", "codex"}, "cx-SECRET").status, kExitSuccess);

  Outcome list = run({"credential", "list"});
  EXPECT_EQ(list.status, kExitSuccess);
  EXPECT_EQ(list.out, "codex\ndeepgram\n");

  Outcome removed = run({"credential", "delete", "codex"});
  EXPECT_EQ(removed.status, kExitSuccess);
  EXPECT_EQ(removed.out, "Deleted the credential for codex.\n");
  Outcome again = run({"credential", "delete", "codex"});
  EXPECT_EQ(again.status, kExitSuccess);
  EXPECT_EQ(again.out, "No credential was saved for codex.\n");
  EXPECT_EQ(run({"credential", "list"}).out, "deepgram\n");
}

TEST_F(AppTest, ProvidersListsTheCatalogueWithCredentialAndSupport) {
  save(Provider::groq, "g");
  const Outcome result = run({"providers"});
  EXPECT_EQ(result.status, kExitSuccess);
  std::istringstream lines(result.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "PROVIDER          CREDENTIAL  READ BY THIS BUILD");
  for (Provider provider : allProviders()) {
    SCOPED_TRACE(std::string(rawValue(provider)));
    ASSERT_TRUE(std::getline(lines, line));
    std::istringstream fields(line);
    std::string name, saved, supported;
    fields >> name >> saved >> supported;
    EXPECT_EQ(name, rawValue(provider));
    EXPECT_EQ(saved, provider == Provider::groq ? "saved" : "-");
    EXPECT_EQ(supported, UsageService::isSupported(provider) ? "yes" : "no");
  }
  EXPECT_FALSE(std::getline(lines, line));
}

TEST_F(AppTest, RefreshWithNothingSavedSaysSo) {
  const Outcome text = run({});
  EXPECT_EQ(text.status, kExitSuccess);
  EXPECT_EQ(text.out,
            "No credentials saved. Save one with: dapplewick credential set PROVIDER\n"
            "(dapplewick providers lists the providers.)\n");
  const Outcome json = run({"--json"});
  EXPECT_EQ(json.status, kExitSuccess);
  EXPECT_EQ(json.out, "[]\n");
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST_F(AppTest, ANamedProviderWithoutCredentialGetsItsRecordWithoutARequest) {
  const Outcome result = run({"--json", "groq"});
  EXPECT_EQ(result.status, kExitSuccess) << result.err;
  const Json json = parseJson(result.out);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["provider"], "groq");
  EXPECT_EQ(json[0]["error"], "No credential saved");
  EXPECT_EQ(json[0]["lastUpdated"], "2026-12-06T15:13:20.000Z");
  EXPECT_EQ(json[0]["isLoading"], false);
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST_F(AppTest, RefreshPrintsOnlyTheProvidersAskedForInCatalogueOrder) {
  const Provider unsupported = unsupportedProvider();
  const std::string name(rawValue(unsupported));
  save(unsupported, "secret");

  const Outcome all = run({"--json"});
  EXPECT_EQ(all.status, kExitSuccess) << all.err;
  Json json = parseJson(all.out);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["provider"], name);
  EXPECT_EQ(json[0]["error"], "This build of Dapplewick does not read " + name);

  // Named in reverse catalogue order and twice: one record each, in catalogue order.
  const Outcome named = run({"--json", "deepgram", name, "deepgram"});
  EXPECT_EQ(named.status, kExitSuccess) << named.err;
  json = parseJson(named.out);
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["provider"], name);
  EXPECT_EQ(json[1]["provider"], "deepgram");
  EXPECT_EQ(json[1]["error"], "No credential saved");

  const Outcome text = run({name});
  EXPECT_EQ(text.status, kExitSuccess);
  EXPECT_EQ(text.out, name + "\n  error: This build of Dapplewick does not read " + name + "\n");
  EXPECT_EQ(text.out.find("secret"), std::string::npos);
}

TEST_F(AppTest, ProgressOnlyOnATerminal) {
  save(unsupportedProvider(), "secret");
  const std::string name(rawValue(unsupportedProvider()));
  EXPECT_EQ(run({}, "", false).err, "");
  const Outcome shown = run({}, "", true);
  EXPECT_EQ(shown.status, kExitSuccess);
  EXPECT_EQ(shown.err, "\r\x1b[2KRefreshing: 0 of 1 done, waiting for " + name + "\r\x1b[2K");
}

TEST_F(AppTest, DamagedCredentialFileStopsEveryCommandAndStaysAsItWas) {
  std::filesystem::create_directories(folder());
  const std::string damaged = R"({"service": "com.dapplewick.credentials", "items": {"zai": "sk-SECRET")";
  std::ofstream(credentialsFile()) << damaged;
  const std::vector<std::vector<std::string>> commands = {
      {}, {"--json"}, {"zai"}, {"providers"}, {"credential", "list"},
      {"credential", "set", "zai"}, {"credential", "delete", "zai"},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome result = run(args, "new-secret\n");
    EXPECT_EQ(result.status, kExitFailure);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "dapplewick: the credential file " + credentialsFile().string() +
                              " is damaged (it is not valid JSON); Dapplewick leaves it untouched: repair or remove "
                              "it\n");
    EXPECT_EQ(testing::readFileText(credentialsFile()), damaged);
  }
}

TEST_F(AppTest, ConfigurationProblemsExitOne) {
  std::filesystem::create_directories(folder());
  struct Case {
    std::string config;
    std::string message;
  };
  const std::vector<Case> cases = {
      {R"({"origin": {}})", "unknown key \"origin\" in config.json"},
      {R"({"origins": {"zai.international": "ftp://x"}})",
       "origin \"zai.international\" must be http(s)://host[:port] with no path, not \"ftp://x\""},
      {"{", "config.json is not valid JSON"},
      {R"({"caBundle": "/nonexistent/ca.pem"})",
       "the CA bundle \"/nonexistent/ca.pem\" named in config.json is not a readable file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    std::ofstream(folder() / "config.json") << c.config;
    // Even with nothing to refresh, a bad configuration is reported.
    const Outcome result = run({});
    EXPECT_EQ(result.status, kExitFailure);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "dapplewick: " + c.message + "\n");
  }
  // Credential commands do not need config.json.
  EXPECT_EQ(run({"credential", "set", "zai"}, "x").status, kExitSuccess);
  EXPECT_TRUE(configurations.empty());
}

TEST_F(AppTest, TheTransportIsBuiltFromTheConfiguration) {
  std::filesystem::create_directories(folder());
  const auto bundle = dir.path() / "ca.pem";
  std::ofstream(bundle) << "-----BEGIN CERTIFICATE-----\n";
  std::ofstream(folder() / "config.json")
      << R"({"origins": {"groq": "http://127.0.0.1:9"}, "caBundle": ")" + bundle.string() + "\"}";
  save(unsupportedProvider(), "x");
  ASSERT_EQ(run({}).status, kExitSuccess);
  ASSERT_EQ(configurations.size(), 1u);
  EXPECT_EQ(configurations[0].caBundle, bundle.string());
  EXPECT_EQ(configurations[0].origins.get("groq"), "http://127.0.0.1:9");
}

TEST_F(AppTest, NoConfigurationFolderExitsOne) {
  environment = MapEnvironment();
  const Outcome result = run({"credential", "list"});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_EQ(result.err, "dapplewick: cannot find the configuration folder: set DAPPLEWICK_CONFIG_DIR or HOME\n");
}

TEST_F(AppTest, InterruptedRefreshExits130WithoutOutput) {
  save(unsupportedProvider(), "x");
  stop.request_stop();
  const Outcome result = run({"--json"});
  EXPECT_EQ(result.status, kExitInterrupted);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "dapplewick: interrupted\n");
}

}  // namespace
}  // namespace dapplewick
