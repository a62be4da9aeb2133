#include "support/fake_transport.hpp"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "support/answer_script.hpp"

namespace dapplewick::testing {

namespace {

HTTPResponse answer(const HTTPRequest& request, int status, std::string body, HTTPHeaders headers = {},
                    bool isHTTP = true) {
  HTTPResponse response;
  response.isHTTP = isHTTP;
  response.status = status;
  response.body = std::move(body);
  response.headers = std::move(headers);
  response.url = request.url;
  return response;
}

}  // namespace

void FakeTransport::respond(std::string url, int status, std::string body, HTTPHeaders headers) {
  handle(std::move(url),
         [=](const HTTPRequest& request, std::stop_token) { return answer(request, status, body, headers); });
}

void FakeTransport::respondNotHTTP(std::string url) {
  handle(std::move(url), [](const HTTPRequest& request, std::stop_token) { return answer(request, 0, "", {}, false); });
}

void FakeTransport::fail(std::string url, TransportError error) {
  handle(std::move(url), [error](const HTTPRequest&, std::stop_token) -> HTTPResponse { throw error; });
}

void FakeTransport::handle(std::string url, Handler handler) {
  std::lock_guard lock(mutex_);
  scripts_.push_back({std::move(url), std::move(handler)});
}

void FakeTransport::handleUnscripted(Handler handler) {
  std::lock_guard lock(mutex_);
  unscripted_ = std::move(handler);
}

HTTPResponse FakeTransport::data(const HTTPRequest& request, std::stop_token stop) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    for (auto it = scripts_.begin(); it != scripts_.end(); ++it) {
      if (it->url.empty() || it->url == request.url) {
        handler = std::move(it->handler);
        scripts_.erase(it);
        break;
      }
    }
    if (!handler) handler = unscripted_;
  }
  if (!handler) {
    throw TransportError(TransportError::Kind::connection,
                         "no scripted answer for " + request.method + " " + request.url);
  }
  HTTPResponse response = handler(request, std::move(stop));
  if (seedsFor_) recordSeedAnswer(*seedsFor_, response);
  return response;
}

std::vector<HTTPRequest> FakeTransport::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t FakeTransport::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::vector<HTTPRequest> FakeTransport::requestsTo(const std::string& url) const {
  std::lock_guard lock(mutex_);
  std::vector<HTTPRequest> matching;
  std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(matching),
               [&url](const HTTPRequest& request) { return request.url == url; });
  return matching;
}

FakeTransport::Handler blockUntilCancelled(std::atomic<int>* cancelled) {
  return [cancelled](const HTTPRequest&, std::stop_token stop) -> HTTPResponse {
    // Bounded so a broken cancellation path fails the test instead of hanging it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (cancelled != nullptr && stop.stop_requested()) ++*cancelled;
    throw TransportError(TransportError::Kind::cancelled, "cancelled");
  };
}

FakeTransport::Handler answerAfter(std::chrono::milliseconds delay, int status, std::string body) {
  return [delay, status, body = std::move(body)](const HTTPRequest& request, std::stop_token) {
    std::this_thread::sleep_for(delay);
    return answer(request, status, body);
  };
}

}  // namespace dapplewick::testing
