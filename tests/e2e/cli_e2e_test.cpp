#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <atomic>

#include <gtest/gtest.h>

#include "model/configuration.hpp"

#include "engine/usage_service.hpp"
#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

using testing::RunResult;
using testing::Sandbox;

Provider unsupportedProvider() {
  for (Provider provider : allProviders()) {
    if (!UsageService::isSupported(provider)) return provider;
  }
  throw std::logic_error("every provider is supported");
}

void expectNoSecret(const RunResult& result, const std::string& secret) {
  EXPECT_EQ(result.out.find(secret), std::string::npos) << result.out;
  EXPECT_EQ(result.err.find(secret), std::string::npos) << result.err;
}

TEST(CommandLine, CredentialRoundTripKeepsTheSecretPrivate) {
  Sandbox sandbox;
  const std::string secret = "sk-e2e-SECRET-7f3a";
  std::vector<RunResult> runs;

  runs.push_back(sandbox.run({"credential", "set", "deepgram"}, secret + "\n"));
  EXPECT_EQ(runs.back().exitCode, 0) << runs.back().err;
  EXPECT_EQ(runs.back().out, "Saved the credential for deepgram.\n");
  EXPECT_EQ(testing::permissionsOf(sandbox.configDir()), 0700u);
  EXPECT_EQ(testing::permissionsOf(sandbox.configDir() / "credentials.json"), 0600u);
  EXPECT_EQ(testing::readFileText(sandbox.configDir() / "credentials.json"),
            "{\n  \"service\": \"com.dapplewick.credentials\",\n  \"items\": {\n    \"deepgram\": \"" + secret +
                "\"\n  }\n}\n");

  runs.push_back(sandbox.run({"credential", "set", "codex"}, "web:session=" + secret + "\r\n"));
  EXPECT_EQ(runs.back().exitCode, 0) << runs.back().err;

  runs.push_back(sandbox.run({"credential", "list"}));
  EXPECT_EQ(runs.back().exitCode, 0);
  EXPECT_EQ(runs.back().out, "codex\ndeepgram\n");

  runs.push_back(sandbox.run({"providers"}));
  EXPECT_EQ(runs.back().exitCode, 0);
  runs.push_back(sandbox.run({"--json"}));
  EXPECT_EQ(runs.back().exitCode, 0);
  runs.push_back(sandbox.run({}));
  EXPECT_EQ(runs.back().exitCode, 0);

  runs.push_back(sandbox.run({"credential", "delete", "deepgram"}));
  EXPECT_EQ(runs.back().exitCode, 0);
  EXPECT_EQ(runs.back().out, "Deleted the credential for deepgram.\n");
  runs.push_back(sandbox.run({"credential", "list"}));
  EXPECT_EQ(runs.back().out, "codex\n");
  EXPECT_EQ(testing::permissionsOf(sandbox.configDir() / "credentials.json"), 0600u);
  EXPECT_EQ(testing::readFileText(sandbox.configDir() / "credentials.json").find("deepgram"), std::string::npos);

  // A secret given as an argument is refused and not repeated.
  runs.push_back(sandbox.run({"credential", "set", "zai", secret}));
  EXPECT_EQ(runs.back().exitCode, 2);

  for (const auto& run : runs) expectNoSecret(run, secret);
  // Nothing but the credential file in the folder: no temporary file left behind.
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(sandbox.configDir())) {
    entries.push_back(entry.path().filename());
  }
  EXPECT_EQ(entries, std::vector<std::string>{"credentials.json"});
}

TEST(CommandLine, ProvidersListsAllFortyEight) {
  Sandbox sandbox;
  sandbox.saveCredential("zai", "z");
  const RunResult result = sandbox.run({"providers"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::istringstream lines(result.out);
  std::string line;
  std::vector<std::string> names;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, saved, supported;
    fields >> name >> saved >> supported;
    names.push_back(name);
    EXPECT_EQ(saved, name == "zai" ? "saved" : "-") << line;
    EXPECT_TRUE(supported == "yes" || supported == "no") << line;
  }
  ASSERT_EQ(names.size(), kProviderCount);
  for (std::size_t i = 0; i < kProviderCount; ++i) EXPECT_EQ(names[i], rawValue(allProviders()[i]));
}

TEST(CommandLine, JsonForAnUnreadProviderAndOneWithoutCredential) {
  Sandbox sandbox;
  const std::string unread(rawValue(unsupportedProvider()));
  sandbox.saveCredential(unread, "api:whatever");
  // "deepgram" comes last in the catalogue and has no credential here.
  const Json records = sandbox.runJson({"deepgram", unread});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["id"], unread);
  EXPECT_EQ(records[0]["provider"], unread);
  EXPECT_EQ(records[0]["error"], "This build of Dapplewick does not read " + unread);
  EXPECT_EQ(records[1]["provider"], "deepgram");
  EXPECT_EQ(records[1]["error"], "No credential saved");
  for (const auto& record : records) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : record.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "provider", "used", "limit", "cost", "costSemantic", "resetAt",
                                              "resetPeriod", "lastUpdated", "error", "note", "isLoading",
                                              "auxiliaryUsage", "percentage"}));
    EXPECT_TRUE(record["resetAt"].is_null());
    EXPECT_EQ(record["percentage"], 0);
    EXPECT_EQ(record["isLoading"], false);
    ASSERT_TRUE(record["lastUpdated"].is_string());
    EXPECT_EQ(record["lastUpdated"].get<std::string>().size(), std::string("2026-12-06T17:03:15.000Z").size());
  }

  // Without names: every provider with a credential, and only those.
  const Json all = sandbox.runJson({});
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["provider"], unread);
}

TEST(CommandLine, NothingSavedIsSaidPlainly) {
  Sandbox sandbox;
  const RunResult result = sandbox.run({});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out.rfind("No credentials saved.", 0), 0u) << result.out;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sandbox.runJson({}), Json::array());
}

TEST(CommandLine, DamagedCredentialFileExitsOneAndIsLeftAsItWas) {
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.configDir());
  const auto file = sandbox.configDir() / "credentials.json";
  const std::string damaged = R"({"service": "com.dapplewick.credentials", "items": {"zai": 42, "x": "sk-SECRET"}})";
  std::ofstream(file) << damaged;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--json"}, {"providers"}, {"credential", "list"}, {"credential", "set", "zai"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = sandbox.run(args, "new\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("is damaged (the credential for \"zai\" is not text)"), std::string::npos)
        << result.err;
    expectNoSecret(result, "SECRET");
    EXPECT_EQ(testing::readFileText(file), damaged);
  }
}

TEST(CommandLine, UnknownConfigurationKeyExitsOne) {
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.configDir());
  std::ofstream(sandbox.configDir() / "config.json") << R"({"origins": {"notaprovider": "http://127.0.0.1:1"}})";
  const RunResult result = sandbox.run({"--json"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("dapplewick: unknown origin key \"notaprovider\" (known keys: ", 0), 0u) << result.err;
}

TEST(CommandLine, UnknownProviderExitsTwoListingTheValidNames) {
  Sandbox sandbox;
  const RunResult result = sandbox.run({"--json", "chatgpt"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out, "");
  std::string names;
  for (Provider provider : allProviders()) names += (names.empty() ? "" : ", ") + std::string(rawValue(provider));
  EXPECT_EQ(result.err, "dapplewick: unknown provider \"chatgpt\"\nValid providers: " + names +
                            "\nRun 'dapplewick --help' for usage.\n");
}

TEST(CommandLine, CtrlCCancelsRequestsInFlightAndExits130) {
  // Every origin points at a server that never answers, and every provider with an origin has a credential, so
  // any service of this build that sends a request hangs until the request is cancelled.
  testing::ProviderServer server;
  std::atomic<int> requests{0};
  const auto hang = [&](const httplib::Request&, httplib::Response& response) {
    ++requests;
    server.stall(std::chrono::seconds(60));
    response.status = 500;
  };
  server.server().Get(".*", hang);
  server.server().Post(".*", hang);
  server.start();
  Sandbox sandbox;
  std::map<std::string, std::string> origins;
  for (const auto& key : originKeys()) origins[std::string(key.key)] = server.origin();
  sandbox.setOrigins(origins);
  for (const auto& key : originKeys()) {
    const std::string provider(key.key.substr(0, key.key.find('.')));
    if (providerFromRawValue(provider)) sandbox.saveCredential(provider, "sk-hang");
  }

  const RunResult result = sandbox.runInterrupted({"--json"}, std::chrono::milliseconds(700));
  if (requests.load() == 0) GTEST_SKIP() << "no service of this build sends a request yet";
  EXPECT_EQ(result.exitCode, 130) << result.err;
  EXPECT_EQ(result.out, "");
  // Said by the command itself, so it ended by cancelling, not by the watchdog that follows a grace period.
  EXPECT_EQ(result.err, "dapplewick: interrupted\n");
  EXPECT_LT(result.elapsed, std::chrono::milliseconds(700 + 2000));
}

}  // namespace
}  // namespace dapplewick
