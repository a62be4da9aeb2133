#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/test_certs.hpp"

namespace dapplewick {

// A request as it reached a handler of the loopback server.
struct RecordedRequest {
  std::string method;
  std::string target;  // path and query, as sent
  // Sorted by name, not in arrival order: RawHTTPServer sees the order.
  httplib::Headers headers;
  std::string body;

  // The first value of that header, or nothing.
  std::optional<std::string> header(std::string_view name) const;
};

// A cpp-httplib server on 127.0.0.1 with a free port, running in its own threads, for tests that need a real
// HTTP peer. Register handlers, start(), point the code under test at origin(); the destructor stops the server
// and joins its threads.
class LoopbackServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Plain http.
  LoopbackServer();
  // https presenting `identity` (see TestCertificateAuthority::issue).
  explicit LoopbackServer(const TestCertificate& identity);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Answers `method` ("GET", which also answers HEAD, or "POST") on exactly `path` (the path without the query).
  // Register before start().
  void handle(const std::string& method, const std::string& path, Handler handler);
  // Binds a free port and starts serving; returns once connections are accepted.
  void start();

  // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
  std::string origin() const;
  // origin() followed by `pathAndQuery`, which starts with "/".
  std::string url(std::string_view pathAndQuery) const;

  // Every request that reached a handler, in arrival order. A request is recorded before its handler runs.
  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;

  // For handlers that play a slow or hung server: blocks until the server is being destroyed or `limit` passes.
  // Returns true when the server is stopping.
  bool stall(std::chrono::milliseconds limit) const;

  // The underlying server, for what handle() does not cover (set it up before start()).
  httplib::Server& server() { return *server_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  bool tls_ = false;
  int port_ = 0;
  int listener_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable stopping_changed_;
  bool stopping_ = false;
  std::vector<RecordedRequest> requests_;
};

}  // namespace dapplewick
