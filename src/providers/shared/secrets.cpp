#include "providers/shared/secrets.hpp"

#include "common/redaction.hpp"
#include "common/text.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/cookie.hpp"

namespace dapplewick {

std::vector<std::string> keySecrets(std::string_view credential, const Environment& /*environment*/) {
  return {std::string(trimWhitespace(credential))};
}

std::vector<std::string> cookieSecrets(std::string_view credential, const Environment& /*environment*/) {
  const std::string_view header = trimWhitespace(credential);
  std::vector<std::string> values;
  for (const CookiePair& pair : cookiePairs(header, trimWhitespace)) {
    if (pair.value.size() >= kMinRedactedSecretBytes) values.emplace_back(pair.value);
  }
  if (values.empty()) values.emplace_back(header);
  return values;
}

std::vector<std::string> storedKeySecrets(std::string_view stored, const Environment& environment) {
  return keySecrets(stripKindPrefix(stored), environment);
}

std::vector<std::string> storedCookieSecrets(std::string_view stored, const Environment& environment) {
  return cookieSecrets(stripKindPrefix(stored), environment);
}

}  // namespace dapplewick
