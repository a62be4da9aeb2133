#include "providers/shared/cookie.hpp"

namespace dapplewick {

std::vector<CookiePair> cookiePairs(std::string_view cookieHeader, std::string_view (*trim)(std::string_view)) {
  std::vector<CookiePair> pairs;
  for (const std::string_view rawPiece : splitKeepingEmpty(cookieHeader, ";")) {
    const std::string_view piece = trim(rawPiece);
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    pairs.push_back({trim(piece.substr(0, equals)), trim(piece.substr(equals + 1))});
  }
  return pairs;
}

std::optional<std::string> cookieValue(std::string_view name, std::string_view cookieHeader) {
  for (const CookiePair& pair : cookiePairs(cookieHeader)) {
    if (pair.name != name) continue;
    if (pair.value.empty()) return std::nullopt;
    return std::string(pair.value);
  }
  return std::nullopt;
}

}  // namespace dapplewick
