#include "providers/shared/cookie.hpp"

#include <algorithm>

#include "common/text.hpp"

namespace dapplewick {

std::optional<std::string> cookieValue(std::string_view name, std::string_view cookieHeader) {
  std::size_t start = 0;
  while (start <= cookieHeader.size()) {
    const std::size_t end = std::min(cookieHeader.find(';', start), cookieHeader.size());
    const std::string_view piece = trimSpacesAndTabs(cookieHeader.substr(start, end - start));
    start = end + 1;
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    if (trimSpacesAndTabs(piece.substr(0, equals)) != name) continue;
    const std::string_view value = trimSpacesAndTabs(piece.substr(equals + 1));
    if (value.empty()) return std::nullopt;
    return std::string(value);
  }
  return std::nullopt;
}

}  // namespace dapplewick
