#include "common/excerpt.hpp"

#include "common/text.hpp"

namespace dapplewick {

std::string errorExcerpt(std::string_view text, std::size_t maxCodePoints) {
  return repairUTF8(prefixCodePoints(text, maxCodePoints));
}

std::string bodyExcerpt(std::string_view body) { return isValidUTF8(body) ? errorExcerpt(body) : std::string(); }

}  // namespace dapplewick
