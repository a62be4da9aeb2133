#include "model/configuration.hpp"

#include <gtest/gtest.h>

#include "support/env_guard.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

std::string configurationFailure(const std::string& text) {
  return testing::errorText([&] { parseConfiguration(text); });
}

TEST(Configuration, DefaultsAndOverrides) {
  EXPECT_EQ(parseConfiguration("{}").caBundle, std::nullopt);
  const Configuration configured = parseConfiguration(
      R"({"origins": {"zai.china": "http://127.0.0.1:8080", "codebuff": "https://[::1]:9"}, "caBundle": "/x.pem"})");
  EXPECT_EQ(configured.origins.get("zai.china"), "http://127.0.0.1:8080");
  EXPECT_EQ(configured.origins.get("codebuff"), "https://[::1]:9");
  EXPECT_EQ(configured.origins.get("zai.international"), "https://api.z.ai");
  EXPECT_EQ(configured.caBundle, "/x.pem");
  EXPECT_THROW(configured.origins.get("nope"), std::out_of_range);
}

TEST(Configuration, ClearErrors) {
  EXPECT_EQ(configurationFailure("{"), "config.json is not valid JSON");
  EXPECT_EQ(configurationFailure("[]"), "config.json must hold a JSON object");
  EXPECT_EQ(configurationFailure(R"({"origin": {}})"), "unknown key \"origin\" in config.json");
  EXPECT_EQ(configurationFailure(R"({"origins": []})"), "\"origins\" in config.json must be an object");
  EXPECT_EQ(configurationFailure(R"({"origins": {"zai": 1}})"), "origin \"zai\" must be a string");
  EXPECT_TRUE(configurationFailure(R"({"origins": {"zai": "https://x"}})")
                  .starts_with("unknown origin key \"zai\" (known keys: abacus, "));
  EXPECT_EQ(configurationFailure(R"({"caBundle": 3})"), "\"caBundle\" in config.json must be a file path");
  for (const char* bad : {"ftp://x", "https://", "https:///", "https://x//", "https://x/path", "https://x/path/",
                          "https://x/?", "https://x:0", "https://x:99999", "https://x:", "https://x:/", "https://a b",
                          "http://[::1", "http://[::1/", "https://x?y", "https://user@x", "/"}) {
    EXPECT_EQ(configurationFailure(std::string(R"({"origins": {"codebuff": ")") + bad + "\"}}"),
              "origin \"codebuff\" must be http(s)://host[:port] with no path, not \"" + std::string(bad) + "\"");
  }
  // A single "/" after the authority, as a browser copies an address, is no path: the services add their own.
  const std::pair<const char*, const char*> accepted[] = {{"https://x", "https://x"},
                                                          {"https://x/", "https://x"},
                                                          {"http://127.0.0.1:9/", "http://127.0.0.1:9"},
                                                          {"http://[::1]:8080/", "http://[::1]:8080"}};
  for (const auto& [origin, got] : accepted) {
    SCOPED_TRACE(origin);
    const auto configured = parseConfiguration(std::string(R"({"origins": {"codebuff": ")") + origin + "\"}}");
    EXPECT_EQ(configured.origins.get("codebuff"), got);
  }
}

TEST(Configuration, FolderOrder) {
  MapEnvironment env;
  EXPECT_THROW(configurationFolder(env), ConfigurationError);
  env.set("HOME", "/home/u");
  EXPECT_EQ(configurationFolder(env), "/home/u/.config/dapplewick");
  env.set("XDG_CONFIG_HOME", "/xdg");
  EXPECT_EQ(configurationFolder(env), "/xdg/dapplewick");
  env.set("DAPPLEWICK_CONFIG_DIR", "/custom");
  EXPECT_EQ(configurationFolder(env), "/custom");
}

TEST(Environment, TheProcessEnvironmentListsEveryVariableWithItsValue) {
  testing::EnvGuard one("DAPPLEWICK_TEST_LISTED", "a=b c");
  testing::EnvGuard empty("DAPPLEWICK_TEST_EMPTY", "");
  testing::EnvGuard gone("DAPPLEWICK_TEST_UNSET", std::nullopt);
  const auto all = ProcessEnvironment().variables();
  EXPECT_EQ(all.at("DAPPLEWICK_TEST_LISTED"), "a=b c");
  EXPECT_EQ(all.at("DAPPLEWICK_TEST_EMPTY"), "");
  EXPECT_EQ(all.count("DAPPLEWICK_TEST_UNSET"), 0u);
}

}  // namespace
}  // namespace dapplewick
