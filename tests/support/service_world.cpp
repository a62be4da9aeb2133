#include "support/service_world.hpp"

namespace dapplewick::testing {

std::string requestText(const HTTPRequest& request) {
  std::string text = request.method + " " + request.url + " (" + std::to_string(request.timeout.count()) + " ms)\n";
  for (const HTTPHeader& header : request.headers.list()) text += header.name + ": " + header.value + "\n";
  text += "\n";
  text += request.body.value_or("(no body)");
  return text;
}

}  // namespace dapplewick::testing
