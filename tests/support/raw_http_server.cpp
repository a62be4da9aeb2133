#include "support/raw_http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "common/numbers.hpp"
#include "common/text.hpp"

namespace dapplewick {
namespace {

// Bounds for a misbehaving client, so that a test fails instead of hanging or eating memory.
constexpr int kReadWaitMillis = 5000;
constexpr std::size_t kMaxHeadBytes = 1024 * 1024;
constexpr std::size_t kMaxBodyBytes = 64 * 1024 * 1024;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

// Waits for `fd` to become readable; false when the server is stopping or the client stays silent.
bool waitReadable(int fd, int wake) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  const int ready = poll(fds, 2, kReadWaitMillis);
  return ready > 0 && (fds[1].revents & POLLIN) == 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::size_t contentLength(std::string_view head) {
  for (const auto& line : requestHeadLines(head)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos || !equalsIgnoringASCIICase(line.substr(0, colon), "Content-Length")) continue;
    const auto value = parseInteger(trimSpacesAndTabs(std::string_view(line).substr(colon + 1)));
    if (value && *value >= 0) return static_cast<std::size_t>(*value);
  }
  return 0;
}

}  // namespace

std::vector<std::string> requestHeadLines(std::string_view rawRequest) {
  const auto end = rawRequest.find("\r\n\r\n");
  const std::string_view head = rawRequest.substr(0, end);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= head.size()) {
    const auto next = head.find("\r\n", start);
    const auto stop = next == std::string_view::npos ? head.size() : next;
    lines.emplace_back(head.substr(start, stop - start));
    if (next == std::string_view::npos) break;
    start = next + 2;
  }
  return lines;
}

std::string requestBody(std::string_view rawRequest) {
  const auto end = rawRequest.find("\r\n\r\n");
  return end == std::string_view::npos ? std::string() : std::string(rawRequest.substr(end + 4));
}

RawHTTPServer::RawHTTPServer(std::string response) : response_(std::move(response)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0) throw std::runtime_error("raw server: socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe(wake_) != 0) {
    close(listener_);
    throw std::runtime_error("raw server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

RawHTTPServer::~RawHTTPServer() {
  const char byte = 0;
  (void)!write(wake_[1], &byte, 1);
  thread_.join();
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

std::string RawHTTPServer::origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string RawHTTPServer::url(std::string_view pathAndQuery) const { return origin() + std::string(pathAndQuery); }

std::vector<std::string> RawHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void RawHTTPServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents & POLLIN) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
#ifdef SO_NOSIGPIPE
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    serveConnection(fd);
    close(fd);
  }
}

void RawHTTPServer::serveConnection(int fd) {
  std::string received;
  std::size_t headEnd = std::string::npos;
  std::size_t wanted = 0;
  char buffer[65536];
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = received.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        wanted = headEnd + 4 + contentLength(std::string_view(received).substr(0, headEnd));
      } else if (received.size() > kMaxHeadBytes) {
        return;
      }
    }
    if (headEnd != std::string::npos && received.size() >= wanted) break;
    if (wanted > kMaxHeadBytes + kMaxBodyBytes || !waitReadable(fd, wake_[0])) return;
    const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) return;
    received.append(buffer, static_cast<std::size_t>(count));
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(received);
  }
  std::size_t sent = 0;
  while (sent < response_.size()) {
    const ssize_t count = send(fd, response_.data() + sent, response_.size() - sent, kSendFlags);
    if (count <= 0) return;
    sent += static_cast<std::size_t>(count);
  }
  shutdown(fd, SHUT_WR);
}

}  // namespace dapplewick
