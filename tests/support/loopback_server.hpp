#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct evp_pkey_st;
struct ssl_st;
struct ssl_ctx_st;
struct x509_st;

namespace dapplewick::testing {

// A self-signed certificate made at test time (a P-256 key, valid from an hour ago for two days), so https tests
// need no files in the source tree and nothing from the system's trust store: a CA bundle that holds
// `certificatePEM` trusts it.
struct TestCertificate {
  std::string certificatePEM;
  std::shared_ptr<x509_st> certificate;
  std::shared_ptr<evp_pkey_st> key;
};
// For the given subjectAltName entries, in OpenSSL's notation.
TestCertificate selfSignedCertificate(const std::vector<std::string>& subjectAltNames = {"IP:127.0.0.1",
                                                                                         "DNS:localhost"});

// A certificate revocation list that `issuer` signs, revoking nothing, as PEM: a block a CA file may hold that is
// no certificate.
std::string revocationListPEM(const TestCertificate& issuer);

// A request exactly as it reached the server: header order and letter case kept.
struct ReceivedRequest {
  std::string raw;  // the head and the Content-Length body

  // The request line, then each header line, without their CRLF.
  std::vector<std::string> headLines() const;
  std::string target() const;  // path and query, as sent
  std::string body() const;
  // The first header of that name in any letter case, its value trimmed.
  std::optional<std::string> header(std::string_view name) const;
};

// A whole answer: the status line, `headers` ("Name: value") in order, Content-Length, "Connection: close", body.
std::string httpResponse(int status, std::string_view body = "", const std::vector<std::string>& headers = {});
// The same with "Connection: keep-alive": the server then reads the next request on that connection.
std::string keepAliveResponse(int status, std::string_view body = "", const std::vector<std::string>& headers = {});

// An HTTP server on 127.0.0.1 with a free port, plain or https, for tests that need a real peer. Every connection
// gets a thread of its own and is closed after its answer, unless that says "Connection: keep-alive"; each request
// is recorded byte for byte before it is answered. The destructor ends stalled handlers, closes every connection and
// joins every thread.
class LoopbackServer {
 public:
  struct Connection {
    bool send(std::string_view bytes);
    // For a slow or hung peer: waits until the server is being destroyed (true) or `limit` passes (false).
    bool stall(std::chrono::milliseconds limit);
    LoopbackServer& server;
    int fd;
    ssl_st* tls;
  };
  // What to send once it returns; a handler that streams sends through the connection and returns "".
  using Handler = std::function<std::string(const ReceivedRequest&, Connection&)>;

  // Sends `response` to every request.
  explicit LoopbackServer(std::string response = httpResponse(200, "ok"));
  // With an identity, https presenting it.
  explicit LoopbackServer(Handler handler, const std::optional<TestCertificate>& identity = std::nullopt);
  ~LoopbackServer();

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" or "https://..."
  std::string origin() const { return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_); }
  std::string url(std::string_view pathAndQuery) const { return origin() + std::string(pathAndQuery); }
  std::vector<ReceivedRequest> requests() const;  // in arrival order
  int acceptedConnections() const;

 private:
  void serve(int fd);

  Handler handler_;
  std::shared_ptr<ssl_ctx_st> tls_;
  int listener_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable stopping_changed_;
  bool stopping_ = false;
  std::vector<int> open_;
  int accepted_ = 0;
  std::vector<ReceivedRequest> requests_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace dapplewick::testing
