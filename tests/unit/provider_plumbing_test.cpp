#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/random.hpp"
#include "providers/shared/cookie.hpp"
#include "providers/shared/request.hpp"

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

// A form reader gives every value back unchanged: "+" would read as a space, "&" and "=" would split the pair.
TEST(FormEncode, EscapesAllButTheUnreservedCharacters) {
  EXPECT_EQ(formEncode({{"sec_token", "a+b/c=d&e f~-._"}, {"p", "{\"k\":\"\u00E9\"}"}, {"", ""}}),
            "sec_token=a%2Bb%2Fc%3Dd%26e%20f~-._&p=%7B%22k%22%3A%22%C3%A9%22%7D&=");
  EXPECT_EQ(formEncode({}), "");
}

TEST(RandomUUID, IsAFreshLowerCaseVersion4Identifier) {
  const std::string first = randomUUID();
  ASSERT_EQ(first.size(), 36u);
  for (const std::size_t dash : {8u, 13u, 18u, 23u}) EXPECT_EQ(first[dash], '-') << first;
  EXPECT_EQ(first[14], '4') << first;
  EXPECT_NE(std::string("89ab").find(first[19]), std::string::npos) << first;
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef-"), std::string::npos) << first;
  EXPECT_NE(randomUUID(), first);
}

}  // namespace
}  // namespace dapplewick
