#include "providers/url.hpp"

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

TEST(URLParts, SplitsWhatItAccepts) {
  struct Case {
    std::string text;
    std::optional<std::string> scheme;
    std::optional<std::string> authority;
    std::string host;
    std::optional<std::string> port;
    std::string path;
    std::optional<std::string> query;
    std::string formatted;
  };
  const std::vector<Case> cases = {
      {"https://h.example", "https", "h.example", "h.example", std::nullopt, "", std::nullopt, "https://h.example"},
      {"http://u:p@h:8080/a/b?x=1&y=%2F#f", "http", "u:p@h:8080", "h", "8080", "/a/b", "x=1&y=%2F",
       "http://u:p@h:8080/a/b?x=1&y=%2F"},
      {"http://[::1]:80/", "http", "[::1]:80", "::1", "80", "/", std::nullopt, "http://[::1]:80/"},
      {"http://h:", "http", "h:", "h", "", "", std::nullopt, "http://h:"},
      {"localhost:8080", "localhost", std::nullopt, "", std::nullopt, "8080", std::nullopt, "localhost:8080"},
      {"https", std::nullopt, std::nullopt, "", std::nullopt, "https", std::nullopt, "https"},
      {"1ab:c", std::nullopt, std::nullopt, "", std::nullopt, "1ab:c", std::nullopt, "1ab:c"},
      {"/p?q", std::nullopt, std::nullopt, "", std::nullopt, "/p", "q", "/p?q"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto url = parseURL(c.text);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, c.scheme);
    EXPECT_EQ(url->authority, c.authority);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->path, c.path);
    EXPECT_EQ(url->query, c.query);
    EXPECT_EQ(formatURL(*url), c.formatted);
  }
}

TEST(URLParts, RefusesWhatAURLCannotHold) {
  for (const std::string text :
       {"", "http://a b", "http://h/\x01", "http://h/\xC3\xA9", "http://h\\@evil", "http://h/\"", "http://h/%2",
        "http://h/%zz", "http://a@b@c", "http://h:80a", "http://[::1", "http://[]", "http://[g::1]", "http://h]",
        "http://h/[x]", "http://h/?a[0]=1", "http://h/#a#b", "http://h/{x}", "http://h/`"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseURL(text));
  }
}

}  // namespace
}  // namespace dapplewick
