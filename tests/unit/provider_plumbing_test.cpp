#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "providers/shared/cookie.hpp"

namespace dapplewick {
namespace {

TEST(CookieValue, TheFirstPieceWithTheNameDecides) {
  struct Case {
    std::string header;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"a=1; sec_token=abc; b=2", "abc"},
      {" \tsec_token \t=\t tok=en== ;", "tok=en=="},
      {"sec_token=; sec_token=later", std::nullopt},
      {"sec_token=first; sec_token=later", "first"},
      {"SEC_TOKEN=x; xsec_token=y; sec_tokenx=z", std::nullopt},
      {";;sec_token;=v; sec_token=v2", "v2"},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(cookieValue("sec_token", c.header), c.expected);
  }
}

}  // namespace
}  // namespace dapplewick
