#include "model/environment.hpp"

#include <gtest/gtest.h>

#include "support/env_guard.hpp"

namespace dapplewick {
namespace {

TEST(Environment, ProcessVariablesAreAllListedWithTheirValues) {
  testing::EnvGuard one("DAPPLEWICK_TEST_LISTED", "a=b c");
  testing::EnvGuard empty("DAPPLEWICK_TEST_EMPTY", "");
  testing::EnvGuard gone("DAPPLEWICK_TEST_UNSET", std::nullopt);
  const auto all = ProcessEnvironment().variables();
  EXPECT_EQ(all.at("DAPPLEWICK_TEST_LISTED"), "a=b c");
  EXPECT_EQ(all.at("DAPPLEWICK_TEST_EMPTY"), "");
  EXPECT_EQ(all.count("DAPPLEWICK_TEST_UNSET"), 0u);
  EXPECT_EQ(all.at("DAPPLEWICK_TEST_LISTED"), ProcessEnvironment().get("DAPPLEWICK_TEST_LISTED"));
}

TEST(Environment, AFixedSetListsExactlyItsVariables) {
  MapEnvironment environment;
  environment.set("PATH", "/bin");
  environment.set("TERM", "dumb");
  const std::map<std::string, std::string, std::less<>> want = {{"PATH", "/bin"}, {"TERM", "dumb"}};
  EXPECT_EQ(environment.variables(), want);
}

}  // namespace
}  // namespace dapplewick
