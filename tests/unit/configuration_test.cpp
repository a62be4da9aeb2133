#include "model/configuration.hpp"

#include <gtest/gtest.h>

#include "support/service_world.hpp"

namespace dapplewick {
namespace {

std::string configurationFailure(const std::string& text) {
  return testing::errorText([&] { parseConfiguration(text); });
}

TEST(Configuration, DefaultsAndOverrides) {
  const Configuration defaults = parseConfiguration("{}");
  EXPECT_EQ(defaults.origins.get("zai.international"), "https://api.z.ai");
  EXPECT_EQ(defaults.caBundle, std::nullopt);
  const Configuration configured = parseConfiguration(
      R"({"origins": {"zai.china": "http://127.0.0.1:8080", "codebuff": "https://[::1]:9"}, "caBundle": "/x.pem"})");
  EXPECT_EQ(configured.origins.get("zai.china"), "http://127.0.0.1:8080");
  EXPECT_EQ(configured.origins.get("codebuff"), "https://[::1]:9");
  EXPECT_EQ(configured.origins.get("zai.international"), "https://api.z.ai");
  EXPECT_EQ(configured.caBundle, "/x.pem");
  EXPECT_THROW(configured.origins.get("nope"), std::out_of_range);
}

TEST(Configuration, EveryKeyHasAnHttpsDefault) {
  for (const auto& key : originKeys()) {
    SCOPED_TRACE(std::string(key.key));
    EXPECT_TRUE(isValidOrigin(key.defaultOrigin));
    EXPECT_EQ(key.defaultOrigin.substr(0, 8), "https://");
  }
}

TEST(Configuration, ClearErrors) {
  EXPECT_EQ(configurationFailure("{"), "config.json is not valid JSON");
  EXPECT_EQ(configurationFailure("[]"), "config.json must hold a JSON object");
  EXPECT_EQ(configurationFailure(R"({"origin": {}})"), "unknown key \"origin\" in config.json");
  EXPECT_EQ(configurationFailure(R"({"origins": []})"), "\"origins\" in config.json must be an object");
  EXPECT_EQ(configurationFailure(R"({"origins": {"zai": 1}})"), "origin \"zai\" must be a string");
  EXPECT_NE(configurationFailure(R"({"origins": {"zai": "https://x"}})").find("unknown origin key \"zai\""),
            std::string::npos);
  EXPECT_EQ(configurationFailure(R"({"caBundle": 3})"), "\"caBundle\" in config.json must be a file path");
  for (const char* bad : {"ftp://x", "https://", "https://x/", "https://x/path", "https://x:0", "https://x:99999",
                          "https://x:", "https://a b", "http://[::1", "https://x?y", "https://user@x"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(isValidOrigin(bad));
    EXPECT_NE(configurationFailure(std::string(R"({"origins": {"codebuff": ")") + bad + "\"}}").find("must be"),
              std::string::npos);
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

}  // namespace
}  // namespace dapplewick
