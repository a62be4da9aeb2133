#include "providers/shared/secrets.hpp"

#include "common/redaction.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/cookie.hpp"

namespace dapplewick {

std::vector<std::string> keySecrets(std::string_view credential, const Environment& /*environment*/) {
  return {prepareCredential(credential)};
}

std::vector<std::string> cookieSecrets(std::string_view credential, const Environment& /*environment*/) {
  const std::string header = prepareCredential(credential);
  std::vector<std::string> values;
  for (const CookiePair& pair : cookiePairs(header, trimWhitespace)) {
    if (pair.value.size() >= kMinRedactedSecretBytes) values.emplace_back(pair.value);
  }
  if (values.empty()) values.push_back(header);
  return values;
}

}  // namespace dapplewick
