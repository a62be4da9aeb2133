#include "common/excerpt.hpp"

#include "common/text.hpp"

namespace dapplewick {

std::string errorExcerpt(std::string_view text, std::size_t maxCodePoints) {
  return repairUTF8(prefixCodePoints(text, maxCodePoints));
}

std::string redactSecret(std::string_view text, std::string_view secret) {
  if (secret.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit = text.find(secret); hit != std::string_view::npos; hit = text.find(secret, pos)) {
    out.append(text.substr(pos, hit - pos));
    out += "[redacted]";
    pos = hit + secret.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string bodyExcerpt(std::string_view body) { return isValidUTF8(body) ? errorExcerpt(body) : std::string(); }

}  // namespace dapplewick
