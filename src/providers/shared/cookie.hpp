#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dapplewick {

// The value of the cookie `name` in a pasted Cookie header ("a=1; b=2"). Pieces are trimmed of spaces and tabs and
// names compare exactly. The first piece with the name decides: an empty value there means absent, and later
// pieces with the same name are not looked at. A value keeps any "=" after the first.
std::optional<std::string> cookieValue(std::string_view name, std::string_view cookieHeader);

}  // namespace dapplewick
