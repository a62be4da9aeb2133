#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/environment.hpp"

namespace dapplewick {

struct HTTPHeader {
  std::string name;
  std::string value;
  bool operator==(const HTTPHeader&) const = default;
};

// A header list kept in order and letter case as written; lookup ignores ASCII case.
class HTTPHeaders {
 public:
  HTTPHeaders() = default;
  HTTPHeaders(std::initializer_list<HTTPHeader> headers) : list_(headers) {}

  void add(std::string name, std::string value) { list_.push_back({std::move(name), std::move(value)}); }
  // The first header of that name, compared without regard to ASCII case.
  std::optional<std::string> get(std::string_view name) const;
  const std::vector<HTTPHeader>& list() const { return list_; }
  bool empty() const { return list_.empty(); }
  bool operator==(const HTTPHeaders&) const = default;

 private:
  std::vector<HTTPHeader> list_;
};

inline constexpr std::chrono::milliseconds kDefaultRequestTimeout{60'000};

// A request exactly as it is to be sent.
struct HTTPRequest {
  std::string method = "GET";
  std::string url;
  HTTPHeaders headers;
  // No value: no body at all. An empty string: a body of zero bytes.
  std::optional<std::string> body;
  // Bounds the whole exchange.
  std::chrono::milliseconds timeout = kDefaultRequestTimeout;
};

struct HTTPResponse {
  // False for an answer that is not an HTTP response (possible with a scripted transport only).
  bool isHTTP = true;
  int status = 0;
  HTTPHeaders headers;
  std::string body;
  // The URL that answered, after redirects.
  std::string url;
};

// A request that produced no HTTP answer: no connection, a time-out, cancellation, a refused redirect, an
// oversized body. The text never carries a credential.
class TransportError : public std::runtime_error {
 public:
  enum class Kind { connection, timeout, cancelled, redirect, tooLarge, invalidRequest, tls };
  TransportError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Throws the TransportError of kind `cancelled` that a transport gives for a stopped exchange. Services that send
// requests one after another call it before each, so that a stop request also ends the sequence between
// requests, not only during one.
void throwIfCancelled(const std::stop_token& stop);

// The one way every provider service talks to the network. Any status is an answer, not an error.
// Implementations are safe to use from several threads at once.
class HTTPTransport {
 public:
  virtual ~HTTPTransport() = default;
  // Sends the request and returns the response of any status; throws TransportError when there is none.
  // A stop request on `stop` aborts the exchange promptly with a TransportError of kind `cancelled`.
  virtual HTTPResponse data(const HTTPRequest& request, std::stop_token stop) = 0;
  // A plain GET of `url` with the default timeout.
  HTTPResponse dataFrom(const std::string& url, std::stop_token stop);
};

// The proxy variables the HTTP library reads, and HTTP_PROXY, which it leaves alone (CGI servers set it from a
// request) but a tool Dapplewick runs may read.
inline constexpr std::string_view kProxyVariables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY",
                                                       "all_proxy",  "ALL_PROXY",   "HTTP_PROXY"};

// The addresses in those of the variables that are set, in that order.
std::vector<std::string> proxyAddresses(const Environment& environment);

// The passwords of the proxy addresses in those variables, each as written and percent-decoded, and as the HTTP
// library reads it where that differs (an "@" after the host): a request or a tool may send one, so no record's
// words may show it. Never throws.
std::vector<std::string> proxyPasswords(const Environment& environment);

}  // namespace dapplewick
