#include "common/url.hpp"

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

TEST(URLParts, SplitsWhatItAcceptsAndFormatsItBack) {
  using Opt = std::optional<std::string>;
  struct Case {
    std::string text;
    Opt scheme, authority;
    std::string host;
    Opt port;
    std::string path;
    Opt query;
    std::string formatted;
  };
  const Case cases[] = {
      {"https://h.example", "https", "h.example", "h.example", {}, "", {}, "https://h.example"},
      {"http://u:p@h:8080/a/b?x=1&y=%2F#f", "http", "u:p@h:8080", "h", "8080", "/a/b", "x=1&y=%2F",
       "http://u:p@h:8080/a/b?x=1&y=%2F"},
      {"http://[::1]:80/", "http", "[::1]:80", "::1", "80", "/", {}, "http://[::1]:80/"},
      {"http://h:", "http", "h:", "h", "", "", {}, "http://h:"},
      {"localhost:8080", "localhost", {}, "", {}, "8080", {}, "localhost:8080"},
      {"https", {}, {}, "", {}, "https", {}, "https"},
      {"1ab:c", {}, {}, "", {}, "1ab:c", {}, "1ab:c"},
      {"/p?q", {}, {}, "", {}, "/p", "q", "/p?q"},
  };
  for (const auto& c : cases) {
    const auto url = parseURL(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_EQ(std::tie(url->scheme, url->authority, url->host, url->port, url->path, url->query),
              std::tie(c.scheme, c.authority, c.host, c.port, c.path, c.query))
        << c.text;
    EXPECT_EQ(formatURL(*url), c.formatted);
  }
}

TEST(URLParts, RefusesWhatAURLCannotHold) {
  for (const std::string text :
       {"", "http://a b", "http://h/\x01", "http://h/\xC3\xA9", "http://h\\@evil", "http://h/\"", "http://h/%2",
        "http://h/%zz", "http://a@b@c", "http://h:80a", "http://[::1", "http://[]", "http://[g::1]", "http://h]",
        "http://h/[x]", "http://h/?a[0]=1", "http://h/#a#b", "http://h/{x}", "http://h/`"}) {
    EXPECT_FALSE(parseURL(text)) << text;
  }
}

}  // namespace
}  // namespace dapplewick
