#include "model/http.hpp"

#include "common/text.hpp"

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

}  // namespace dapplewick
