#include "model/http.hpp"

#include <algorithm>

#include "common/text.hpp"
#include "common/url.hpp"

namespace dapplewick {

std::optional<std::string> HTTPHeaders::get(std::string_view name) const {
  for (const auto& header : list_) {
    if (equalsIgnoringASCIICase(header.name, name)) return header.value;
  }
  return std::nullopt;
}

void throwIfCancelled(const std::stop_token& stop) {
  if (stop.stop_requested()) throw TransportError(TransportError::Kind::cancelled, "The request was cancelled");
}

HTTPResponse HTTPTransport::dataFrom(const std::string& url, std::stop_token stop) {
  HTTPRequest request;
  request.url = url;
  return data(request, std::move(stop));
}

std::vector<std::string> proxyAddresses(const Environment& environment) {
  std::vector<std::string> addresses;
  for (const std::string_view name : kProxyVariables) {
    if (auto address = environment.get(name)) addresses.push_back(std::move(*address));
  }
  return addresses;
}

std::vector<std::string> proxyPasswords(const Environment& environment) {
  std::vector<std::string> passwords;
  const auto add = [&passwords](std::string password) {
    if (!password.empty() && std::find(passwords.begin(), passwords.end(), password) == passwords.end()) {
      passwords.push_back(std::move(password));
    }
  };
  for (const std::string& address : proxyAddresses(environment)) {
    // The lenient reading hides what may be the password; the library's own, what it sends.
    for (const auto& span : {addressPasswordSpan(address), sentAddressPasswordSpan(address)}) {
      if (!span) continue;
      const std::string written = address.substr(span->first, span->second - span->first);
      add(percentDecode(written));
      add(written);
    }
  }
  return passwords;
}

}  // namespace dapplewick
