#include "model/http.hpp"

#include "providers/text.hpp"

namespace dapplewick {

std::optional<std::string> HTTPHeaders::get(std::string_view name) const {
  for (const auto& header : list_) {
    if (equalsIgnoringASCIICase(header.name, name)) return header.value;
  }
  return std::nullopt;
}

HTTPResponse HTTPTransport::dataFrom(const std::string& url, std::stop_token stop) {
  HTTPRequest request;
  request.url = url;
  return data(request, std::move(stop));
}

}  // namespace dapplewick
