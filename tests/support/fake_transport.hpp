#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/http.hpp"
#include "model/provider.hpp"

namespace dapplewick::testing {

// A scripted transport: answers are queued per URL (or, without a URL, in order of arrival) and every request is
// recorded as sent. A request with no scripted answer goes to the unscripted handler, or fails with a
// TransportError when there is none. A transport built for a provider leaves every answer it gives as a fuzz seed
// of that provider (recordSeedAnswer, when seeds are asked for).
class FakeTransport final : public HTTPTransport {
 public:
  explicit FakeTransport(std::optional<Provider> seedsFor = std::nullopt) : seedsFor_(seedsFor) {}

  // What one scripted answer does: respond, throw, or run a function (to block, observe cancellation, ...).
  using Handler = std::function<HTTPResponse(const HTTPRequest&, std::stop_token)>;

  // Queues an answer for the next request whose URL equals `url` exactly ("" matches any URL, in order).
  void respond(std::string url, int status, std::string body, HTTPHeaders headers = {});
  void respondNotHTTP(std::string url);
  void fail(std::string url, TransportError error);
  void handle(std::string url, Handler handler);
  // Answers every request that finds no scripted answer; a later call replaces the handler.
  void handleUnscripted(Handler handler);

  HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override;

  // Every request received so far, in arrival order.
  std::vector<HTTPRequest> requests() const;
  std::size_t requestCount() const;
  // Requests whose URL equals `url`.
  std::vector<HTTPRequest> requestsTo(const std::string& url) const;

 private:
  struct Script {
    std::string url;
    Handler handler;
  };
  const std::optional<Provider> seedsFor_;
  mutable std::mutex mutex_;
  std::deque<Script> scripts_;
  Handler unscripted_;
  std::vector<HTTPRequest> requests_;
};

// A handler that waits until the request is cancelled, then throws the cancellation as a real transport would.
// When `cancelled` is given, it is incremented once the cancellation has been seen, before the throw.
FakeTransport::Handler blockUntilCancelled(std::atomic<int>* cancelled = nullptr);
// A handler that answers `status` and `body` after `delay`, to order answers in time.
FakeTransport::Handler answerAfter(std::chrono::milliseconds delay, int status, std::string body);

}  // namespace dapplewick::testing
