#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace dapplewick {

// A bare TCP listener on 127.0.0.1 with a free port that records every request byte for byte (header order and
// letter case included, which cpp-httplib does not keep) and answers each with the same canned response, closing
// the connection after it. Connections are served one at a time, in the order they arrive. Listens at once.
class RawHTTPServer {
 public:
  explicit RawHTTPServer(std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  ~RawHTTPServer();
  RawHTTPServer(const RawHTTPServer&) = delete;
  RawHTTPServer& operator=(const RawHTTPServer&) = delete;

  int port() const { return port_; }
  std::string origin() const;
  std::string url(std::string_view pathAndQuery) const;

  // The raw bytes of each complete request (head and Content-Length body), recorded before it is answered.
  std::vector<std::string> requests() const;

 private:
  void serve();
  void serveConnection(int fd);

  std::string response_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

// The head of a raw request split into lines without their CRLF: the request line first, then each header line.
std::vector<std::string> requestHeadLines(std::string_view rawRequest);
// What follows the blank line that ends the head.
std::string requestBody(std::string_view rawRequest);

}  // namespace dapplewick
