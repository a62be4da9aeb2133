// Time limits, cancellation and failed connections.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "net/curl_transport.hpp"
#include "net/transport_test_util.hpp"
#include "support/loopback_server.hpp"
#include "support/raw_http_server.hpp"

namespace dapplewick {
namespace {

using Kind = TransportError::Kind;
using std::chrono::milliseconds;

// Longer than any test waits for: a handler stalled this long only ends when its server stops.
constexpr milliseconds kForever{30'000};

// Lets a test wait, with a bound, until a handler has begun.
class Signal {
 public:
  void notify() {
    {
      std::lock_guard lock(mutex_);
      notified_ = true;
    }
    changed_.notify_all();
  }
  void reset() {
    std::lock_guard lock(mutex_);
    notified_ = false;
  }
  bool waitFor(milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return notified_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool notified_ = false;
};

class CurlLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    server.handle("GET", "/hang", [this](const httplib::Request&, httplib::Response& res) {
      entered.notify();
      server.stall(kForever);
      res.set_content("late", "text/plain");
    });
    // Sends one chunk, then nothing.
    server.handle("GET", "/stall-mid-body", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [this](std::size_t offset, httplib::DataSink& sink) {
        if (offset == 0) return sink.write("first", 5);
        entered.notify();
        server.stall(kForever);
        return false;
      });
    });
    // Never silent for long, never finished.
    server.handle("GET", "/trickle", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [this](std::size_t, httplib::DataSink& sink) {
        return sink.write(".", 1) && !server.stall(milliseconds(40));
      });
    });
    // Ten chunks 40 ms apart, then done.
    server.handle("GET", "/slow", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [this](std::size_t offset, httplib::DataSink& sink) {
        if (offset == 10) {
          sink.done();
          return true;
        }
        return !server.stall(milliseconds(40)) && sink.write("x", 1);
      });
    });
    server.start();
  }

  static CurlTransport transportWith(milliseconds silence) {
    CurlTransportOptions options;
    options.silenceTimeout = silence;
    return CurlTransport(options);
  }

  Signal entered;
  LoopbackServer server;
};

TEST_F(CurlLimits, RequestTimeoutBoundsTheWholeExchange) {
  auto transport = transportWith(kForever);
  for (const std::string path : {"/hang", "/trickle"}) {
    SCOPED_TRACE(path);
    HTTPRequest request = getRequest(server.url(path));
    request.timeout = milliseconds(300);
    const auto start = std::chrono::steady_clock::now();
    const auto error = transportErrorOf([&] { transport.data(request, {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::timeout);
    EXPECT_EQ(error->what(), "The request to " + server.origin() + " timed out after 300 ms.");
    EXPECT_GE(millisecondsSince(start), milliseconds(290));
    EXPECT_LT(millisecondsSince(start), milliseconds(5000));
  }
}

TEST_F(CurlLimits, SilenceLimitEndsAStalledExchange) {
  auto transport = transportWith(milliseconds(300));
  for (const std::string path : {"/hang", "/stall-mid-body"}) {
    SCOPED_TRACE(path);
    const auto start = std::chrono::steady_clock::now();
    const auto error = transportErrorOf([&] { transport.data(getRequest(server.url(path)), {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::timeout);
    EXPECT_EQ(error->what(), server.origin() + " sent nothing for 300 ms.");
    EXPECT_GE(millisecondsSince(start), milliseconds(290));
    EXPECT_LT(millisecondsSince(start), milliseconds(5000));
  }
}

TEST_F(CurlLimits, SlowButSteadyAnswerIsNotSilence) {
  auto transport = transportWith(milliseconds(400));
  const auto response = transport.data(getRequest(server.url("/slow")), {});
  EXPECT_EQ(response.body, "xxxxxxxxxx");
}

TEST_F(CurlLimits, CancellationAbortsATransferInProgressPromptly) {
  auto transport = transportWith(kForever);
  for (const std::string path : {"/hang", "/stall-mid-body"}) {
    SCOPED_TRACE(path);
    entered.reset();
    std::stop_source stop;
    auto result = std::async(std::launch::async, [&] {
      return transportErrorOf([&] { transport.data(getRequest(server.url(path)), stop.get_token()); });
    });
    ASSERT_TRUE(entered.waitFor(milliseconds(10'000)));
    const auto start = std::chrono::steady_clock::now();
    stop.request_stop();
    ASSERT_EQ(result.wait_for(milliseconds(10'000)), std::future_status::ready);
    EXPECT_LT(millisecondsSince(start), milliseconds(500));
    const auto error = result.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::cancelled);
    EXPECT_EQ(error->what(), "The request to " + server.origin() + " was cancelled.");
  }
}

// A port nothing listens on: bound, then released.
int closedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  return ntohs(address.sin_port);
}

TEST(CurlConnection, RefusedConnectionNamesTheOriginOnly) {
  CurlTransport transport;
  const std::string origin = "http://127.0.0.1:" + std::to_string(closedPort());
  HTTPRequest request = getRequest(origin + "/v1/keys/SECRETPATH/usage?api_key=SECRETQUERY#SECRETFRAGMENT");
  request.headers = {{"Authorization", "Bearer SECRETHEADER"}};
  const auto error = transportErrorOf([&] { transport.data(request, {}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::connection);
  const std::string text = error->what();
  EXPECT_EQ(text.rfind("Could not connect to " + origin + ": ", 0), 0u) << text;
  EXPECT_EQ(text.find("SECRET"), std::string::npos) << text;
}

TEST(CurlConnection, ConnectTimeoutBoundsAnUnfinishedHandshake) {
  // Accepts the connection but never answers the TLS greeting.
  RawHTTPServer server;
  CurlTransportOptions options;
  options.connectTimeout = milliseconds(300);
  options.silenceTimeout = kForever;
  CurlTransport transport(options);
  const std::string origin = "https://127.0.0.1:" + std::to_string(server.port());
  const auto start = std::chrono::steady_clock::now();
  const auto error = transportErrorOf([&] { transport.data(getRequest(origin + "/"), {}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::timeout);
  EXPECT_EQ(error->what(), "Connecting to " + origin + " timed out.");
  EXPECT_LT(millisecondsSince(start), milliseconds(5000));
}

}  // namespace
}  // namespace dapplewick
