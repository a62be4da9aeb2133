#include "support/loopback_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <stdexcept>

#include "common/text.hpp"

namespace dapplewick::testing {
namespace {

// Bounds a misbehaving client, so that a test fails instead of eating memory.
constexpr std::size_t kMaxRequestBytes = 65 * 1024 * 1024;

}  // namespace

TestCertificate selfSignedCertificate(const std::vector<std::string>& subjectAltNames) {
  std::shared_ptr<EVP_PKEY> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::shared_ptr<X509> cert(X509_new(), X509_free);
  std::string names;
  for (const auto& name : subjectAltNames) names += (names.empty() ? "" : ",") + name;
  // Distinct serial numbers keep two certificates with one name apart.
  static std::atomic<long> serial{1};
  const auto* commonName = reinterpret_cast<const unsigned char*>("Dapplewick Test Server");
  X509_NAME* subject = cert ? X509_get_subject_name(cert.get()) : nullptr;
  bool ok = key && cert && X509_set_version(cert.get(), 2) == 1 &&
            ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2 * 24 * 3600) != nullptr &&
            X509_set_pubkey(cert.get(), key.get()) == 1 &&
            X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, commonName, -1, -1, 0) == 1 &&
            X509_set_issuer_name(cert.get(), subject) == 1;
  if (ok && !names.empty()) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, names.c_str());
    ok = extension != nullptr && X509_add_ext(cert.get(), extension, -1) == 1;
    X509_EXTENSION_free(extension);
  }
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  char* pem = nullptr;
  if (!ok || X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0 || !bio ||
      PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
    throw std::runtime_error("test certificate failed");
  }
  const long length = BIO_get_mem_data(bio.get(), &pem);
  return {std::string(pem, static_cast<std::size_t>(length)), cert, key};
}

std::string revocationListPEM(const TestCertificate& issuer) {
  const std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
  const std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> lastUpdate(X509_gmtime_adj(nullptr, -3600),
                                                                         ASN1_TIME_free);
  const std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> nextUpdate(X509_gmtime_adj(nullptr, 24L * 3600),
                                                                         ASN1_TIME_free);
  const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  const bool ok = crl && lastUpdate && nextUpdate && bio && X509_CRL_set_version(crl.get(), 1) == 1 &&
                  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.certificate.get())) == 1 &&
                  X509_CRL_set1_lastUpdate(crl.get(), lastUpdate.get()) == 1 &&
                  X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get()) == 1 &&
                  X509_CRL_sign(crl.get(), issuer.key.get(), EVP_sha256()) > 0 &&
                  PEM_write_bio_X509_CRL(bio.get(), crl.get()) == 1;
  if (!ok) throw std::runtime_error("test revocation list failed");
  char* pem = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &pem);
  return {pem, static_cast<std::size_t>(length)};
}

std::vector<std::string> ReceivedRequest::headLines() const {
  const std::string_view head = std::string_view(raw).substr(0, raw.find("\r\n\r\n"));
  std::vector<std::string> lines;
  for (std::size_t start = 0;;) {
    const auto end = head.find("\r\n", start);
    lines.emplace_back(head.substr(start, end - start));
    if (end == std::string_view::npos) return lines;
    start = end + 2;
  }
}

std::string ReceivedRequest::target() const {
  const std::string line = headLines().front();
  const auto start = line.find(' ') + 1;
  return line.substr(start, line.rfind(' ') - start);
}

std::string ReceivedRequest::body() const {
  const auto end = raw.find("\r\n\r\n");
  return end == std::string::npos ? "" : raw.substr(end + 4);
}

std::optional<std::string> ReceivedRequest::header(std::string_view name) const {
  const auto lines = headLines();
  for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
    const auto colon = line->find(':');
    if (colon != std::string::npos && equalsIgnoringASCIICase(line->substr(0, colon), name)) {
      return std::string(trimSpacesAndTabs(std::string_view(*line).substr(colon + 1)));
    }
  }
  return std::nullopt;
}

namespace {

std::string answer(int status, std::string_view body, const std::vector<std::string>& headers, bool close) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " Answer\r\n";
  for (const auto& header : headers) text += header + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
  return text + "\r\n" + std::string(body);
}

// Only an answer that says so leaves the connection open for the client's next request: raw answers in tests
// may end their body by closing.
bool keepsConnection(std::string_view answerText) {
  const std::string head = toLowerASCII(answerText.substr(0, answerText.find("\r\n\r\n") + 2));
  return head.find("\r\nconnection: keep-alive\r\n") != std::string::npos;
}

}  // namespace

std::string httpResponse(int status, std::string_view body, const std::vector<std::string>& headers) {
  return answer(status, body, headers, true);
}

std::string keepAliveResponse(int status, std::string_view body, const std::vector<std::string>& headers) {
  return answer(status, body, headers, false);
}

bool LoopbackServer::Connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t size = std::min<std::size_t>(bytes.size(), INT_MAX);
    const long count = tls != nullptr ? SSL_write(tls, bytes.data(), static_cast<int>(size))
                                      : ::send(fd, bytes.data(), size, MSG_NOSIGNAL);
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

bool LoopbackServer::Connection::stall(std::chrono::milliseconds limit) {
  std::unique_lock lock(server.mutex_);
  return server.stopping_changed_.wait_for(lock, limit, [this] { return server.stopping_; });
}

LoopbackServer::LoopbackServer(std::string response)
    : LoopbackServer([response](const ReceivedRequest&, Connection&) { return response; }) {}

LoopbackServer::LoopbackServer(Handler handler, const std::optional<TestCertificate>& identity)
    : handler_(std::move(handler)) {
  if (identity) {
    tls_.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    // The context takes references of its own.
    if (!tls_ || SSL_CTX_use_certificate(tls_.get(), identity->certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(tls_.get(), identity->key.get()) != 1) {
      throw std::runtime_error("loopback server: TLS set-up failed");
    }
  }
  // A client that hangs up early must not end the test process while the server writes to it.
  ::signal(SIGPIPE, SIG_IGN);
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, SOMAXCONN) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("loopback server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      std::lock_guard lock(mutex_);
      if (stopping_) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) continue;
      // Without it, an answer written right after the TLS session tickets waits for the client's delayed ACK
      // on a connection kept open, as servers that keep connections alive know.
      const int noDelay = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
      open_.push_back(fd);
      ++accepted_;
      connections_.emplace_back([this, fd] { serve(fd); });
    }
  });
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  stopping_changed_.notify_all();
  // Wakes the blocked accept.
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  for (auto& connection : connections_) connection.join();
  ::close(listener_);
}

int LoopbackServer::acceptedConnections() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LoopbackServer::serve(int fd) {
  std::unique_ptr<ssl_st, decltype(&SSL_free)> tls(tls_ ? SSL_new(tls_.get()) : nullptr, SSL_free);
  if (!tls_ || (tls && SSL_set_fd(tls.get(), fd) == 1 && SSL_accept(tls.get()) == 1)) {
    std::string pending;
    for (bool keepOpen = true; keepOpen;) {
      ReceivedRequest request;
      request.raw = std::move(pending);
      std::size_t wanted = std::string::npos;
      char buffer[65536];
      for (;;) {
        const auto headEnd = request.raw.find("\r\n\r\n");
        if (wanted == std::string::npos && headEnd != std::string::npos) {
          wanted = headEnd + 4 + std::stoul(request.header("Content-Length").value_or("0"));
        }
        if (request.raw.size() >= wanted || request.raw.size() > kMaxRequestBytes) break;
        const long count =
            tls ? SSL_read(tls.get(), buffer, static_cast<int>(sizeof buffer)) : ::recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        request.raw.append(buffer, static_cast<std::size_t>(count));
      }
      if (request.raw.size() < wanted) break;
      pending = request.raw.substr(wanted);
      request.raw.resize(wanted);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      Connection connection{*this, fd, tls.get()};
      const std::string reply = handler_(request, connection);
      keepOpen = connection.send(reply) && keepsConnection(reply);
    }
    if (tls) SSL_shutdown(tls.get());
  }
  std::lock_guard lock(mutex_);
  open_.erase(std::find(open_.begin(), open_.end(), fd));
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
}

}  // namespace dapplewick::testing
