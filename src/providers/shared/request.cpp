#include "providers/shared/request.hpp"

namespace dapplewick {

HTTPRequest jsonGet(std::string url, HTTPHeader credential, std::string_view userAgent) {
  HTTPRequest request;
  request.method = "GET";
  request.url = std::move(url);
  request.headers.add(std::move(credential.name), std::move(credential.value));
  request.headers.add("Accept", "application/json");
  request.headers.add("User-Agent", std::string(userAgent));
  return request;
}

HTTPHeader bearerHeader(std::string_view token) { return {"Authorization", "Bearer " + std::string(token)}; }

std::string formEncode(const QueryItems& pairs) {
  std::string body;
  for (const auto& [name, value] : pairs) {
    if (!body.empty()) body += '&';
    body += percentEncode(name);
    body += '=';
    body += percentEncode(value);
  }
  return body;
}

}  // namespace dapplewick
