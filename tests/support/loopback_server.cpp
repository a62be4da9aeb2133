#include "support/loopback_server.hpp"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <sys/socket.h>

#include <stdexcept>

#include "common/text.hpp"

namespace dapplewick {
namespace {

// Enough workers that concurrent tests and stalled handlers never queue behind each other.
constexpr std::size_t kWorkers = 32;
// A finished client's idle connection holds a worker this long; it bounds how long stopping can take.
constexpr time_t kKeepAliveSeconds = 1;

std::string escapeForPattern(const std::string& path) {
  std::string pattern;
  for (const char c : path) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

std::unique_ptr<httplib::Server> tlsServer(const TestCertificate& identity) {
  std::unique_ptr<BIO, decltype(&BIO_free)> certBio(
      BIO_new_mem_buf(identity.certificatePEM.data(), static_cast<int>(identity.certificatePEM.size())), BIO_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(
      BIO_new_mem_buf(identity.privateKeyPEM.data(), static_cast<int>(identity.privateKeyPEM.size())), BIO_free);
  if (!certBio || !keyBio) throw std::runtime_error("loopback server: out of memory");
  std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr),
                                                   X509_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  if (!cert || !key) throw std::runtime_error("loopback server: unreadable certificate or key");
  // The server takes its own references to both.
  auto server = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
  if (!server->is_valid()) throw std::runtime_error("loopback server: TLS set-up failed");
  return server;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringASCIICase(key, name)) return value;
  }
  return std::nullopt;
}

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {}

LoopbackServer::LoopbackServer(const TestCertificate& identity) : server_(tlsServer(identity)), tls_(true) {}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopping_changed_.notify_all();
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

void LoopbackServer::handle(const std::string& method, const std::string& path, Handler handler) {
  httplib::Server::Handler recorded = [this, handler = std::move(handler)](const httplib::Request& request,
                                                                           httplib::Response& response) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({request.method, request.target, request.headers, request.body});
    }
    handler(request, response);
  };
  const std::string pattern = escapeForPattern(path);
  if (method == "GET") {
    server_->Get(pattern, std::move(recorded));
  } else if (method == "POST") {
    server_->Post(pattern, std::move(recorded));
  } else {
    throw std::invalid_argument("loopback server: unsupported method " + method);
  }
}

void LoopbackServer::start() {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  // Without it, a response written in two pieces on a reused connection waits for the client's delayed ACK.
  server_->set_tcp_nodelay(true);
  server_->set_socket_options([this](socket_t socket) {
    listener_ = socket;
    httplib::default_socket_options(socket);
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("loopback server: cannot bind 127.0.0.1");
  // cpp-httplib listens with a backlog of 5; a burst of concurrent clients beyond that would see connections
  // dropped and retried a second later. Listening again only enlarges the queue.
  if (listener_ < 0 || ::listen(listener_, SOMAXCONN) != 0) {
    throw std::runtime_error("loopback server: cannot enlarge the listen queue");
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The port already accepts connections into its backlog; this wait only makes sure stop() will find a running
  // server (cpp-httplib ignores a stop that comes before its accept loop starts).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("loopback server: did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string LoopbackServer::origin() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string LoopbackServer::url(std::string_view pathAndQuery) const { return origin() + std::string(pathAndQuery); }

std::vector<RecordedRequest> LoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t LoopbackServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool LoopbackServer::stall(std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return stopping_changed_.wait_for(lock, limit, [this] { return stopping_; });
}

}  // namespace dapplewick
