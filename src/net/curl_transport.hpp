#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "model/http.hpp"

namespace dapplewick {

struct CurlTransportOptions {
  // A PEM file of certificate authorities to trust for https. libcurl takes it in place of its default bundle
  // file; its default CA directory (on Debian /etc/ssl/certs, where the system roots live) stays in use, so the
  // file adds to the system's trust there. On a libcurl built without a CA directory the file replaces the
  // system roots.
  std::optional<std::string> caBundle;
  // Bounds establishing the connection (name resolution, TCP, TLS).
  std::chrono::milliseconds connectTimeout{15'000};
  // Bounds any stretch without a byte moving once connected, including the wait for the first response byte.
  std::chrono::milliseconds silenceTimeout{15'000};
  // A response body (or a Content-Length announcing one) beyond this is refused.
  std::size_t maxBodyBytes = std::size_t{8} * 1024 * 1024;
};

// Redirects followed for one request before it fails.
inline constexpr int kMaxRedirects = 10;

// The libcurl implementation of HTTPTransport, the only code that knows libcurl.
//
// The request goes out as built: its method, its URL without the fragment, its headers in their order and
// letter case, its body. libcurl adds only Host and, with a body, Content-Length. HTTP/1.1 is used throughout
// because HTTP/2 would fold header names to lower case.
//
// Redirects (301, 302, 303, 307, 308 with a Location) are followed here, at most kMaxRedirects times, over http
// and https only, never from https down to http. 303, and 301/302 after a POST, continue as a GET without a
// body; 307 and 308 keep method and body. When the origin changes, only Accept, Accept-Language, Content-Type
// and User-Agent travel on, so no credential leaves the origin it was meant for.
//
// Any number of calls may run at once from different threads. A call has a connection cache to itself while it
// runs; between calls the caches are kept, so sequential requests to one origin reuse a kept-alive connection.
// TLS sessions and name lookups are shared by all calls, and the certificate authorities are loaded once.
// Reuse is libcurl's own, per origin: a connection never carries a request for another origin.
class CurlTransport final : public HTTPTransport {
 public:
  explicit CurlTransport(CurlTransportOptions options = {});
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override;

  const CurlTransportOptions& options() const { return options_; }

 private:
  struct Shared;

  CurlTransportOptions options_;
  std::unique_ptr<Shared> shared_;
};

}  // namespace dapplewick
