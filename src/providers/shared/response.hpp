#pragma once

#include <stop_token>
#include <string>
#include <utility>

#include "model/http.hpp"

namespace dapplewick {

// The usual reading of a status: not an HTTP answer, a rejected credential (401 or 403), any other status but
// 200 (other 2xx codes included), or 200.
enum class ResponseVerdict { ok, notHTTP, unauthorized, httpError };

ResponseVerdict judgeResponse(const HTTPResponse& response);

// Throws the service's own error for every verdict but ok. `Error` provides the factories invalidResponse(),
// invalidCredentials() and httpError(int).
template <class Error>
void requireOK(const HTTPResponse& response) {
  switch (judgeResponse(response)) {
    case ResponseVerdict::ok: return;
    case ResponseVerdict::notHTTP: throw Error::invalidResponse();
    case ResponseVerdict::unauthorized: throw Error::invalidCredentials();
    case ResponseVerdict::httpError: throw Error::httpError(response.status);
  }
}

// Sends `request` and hands back the body of a 200 answer; any other answer throws as requireOK does.
template <class Error>
std::string okBody(HTTPTransport& transport, const HTTPRequest& request, std::stop_token stop) {
  HTTPResponse response = transport.data(request, std::move(stop));
  requireOK<Error>(response);
  return std::move(response.body);
}

}  // namespace dapplewick
