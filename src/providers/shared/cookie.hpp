#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"

namespace dapplewick {

struct CookiePair {
  std::string_view name;
  std::string_view value;
};

// The name=value pieces of a pasted Cookie header ("a=1; b=2"), in order: the header is split at every ";", and
// each piece, its name and its value are trimmed with `trim`; a piece without "=" is skipped. A value keeps any
// "=" after the first.
std::vector<CookiePair> cookiePairs(std::string_view cookieHeader,
                                    std::string_view (*trim)(std::string_view) = trimSpacesAndTabs);

// The value of the cookie `name`, names compared exactly. The first piece with the name decides: an empty value
// there means absent, and later pieces with the same name are not looked at.
std::optional<std::string> cookieValue(std::string_view name, std::string_view cookieHeader);

}  // namespace dapplewick
