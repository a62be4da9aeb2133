#include "model/environment.hpp"

#include <gtest/gtest.h>

#include "support/env_guard.hpp"

namespace dapplewick {
namespace {

TEST(Environment, ListsEveryVariableWithItsValue) {
  testing::EnvGuard one("DAPPLEWICK_TEST_LISTED", "a=b c");
  testing::EnvGuard empty("DAPPLEWICK_TEST_EMPTY", "");
  testing::EnvGuard gone("DAPPLEWICK_TEST_UNSET", std::nullopt);
  const auto all = ProcessEnvironment().variables();
  EXPECT_EQ(all.at("DAPPLEWICK_TEST_LISTED"), "a=b c");
  EXPECT_EQ(all.at("DAPPLEWICK_TEST_EMPTY"), "");
  EXPECT_EQ(all.count("DAPPLEWICK_TEST_UNSET"), 0u);

  MapEnvironment fixed;
  fixed.set("PATH", "/bin");
  fixed.set("TERM", "dumb");
  EXPECT_EQ(fixed.variables(), (std::map<std::string, std::string, std::less<>>{{"PATH", "/bin"}, {"TERM", "dumb"}}));
}

}  // namespace
}  // namespace dapplewick
