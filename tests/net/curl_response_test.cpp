// What the transport hands back: status, headers and body of any answer, within the size bounds.

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "net/curl_transport.hpp"
#include "net/transport_test_util.hpp"
#include "support/loopback_server.hpp"
#include "support/raw_http_server.hpp"

namespace dapplewick {
namespace {

using Kind = TransportError::Kind;

std::string allByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST(CurlResponse, ReturnsStatusHeadersAndBodyOfEveryStatus) {
  struct Case {
    int status;
    std::string body;
  };
  const std::vector<Case> cases = {{200, "{\"used\":1}"}, {201, "created"}, {204, ""}, {400, "{\"error\":\"bad\"}"},
                                   {401, "unauthorized"}, {404, "<html>missing</html>"}, {429, "slow down"},
                                   {500, "oops"}, {503, ""}};
  LoopbackServer server;
  for (const auto& c : cases) {
    server.handle("GET", "/status/" + std::to_string(c.status), [c](const httplib::Request&, httplib::Response& res) {
      res.status = c.status;
      res.set_header("X-Request-Id", "req-" + std::to_string(c.status));
      res.set_header("Set-Cookie", "a=1");
      res.set_header("Set-Cookie", "b=2");
      if (!c.body.empty()) res.set_content(c.body, "text/plain");
    });
  }
  server.start();
  CurlTransport transport;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    const std::string url = server.url("/status/" + std::to_string(c.status));
    const auto response = transport.data(getRequest(url), {});
    EXPECT_TRUE(response.isHTTP);
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.body, c.body);
    EXPECT_EQ(response.url, url);
    EXPECT_EQ(response.headers.get("x-request-id"), "req-" + std::to_string(c.status));
    std::vector<std::string> cookies;
    for (const auto& header : response.headers.list()) {
      if (header.name == "Set-Cookie") cookies.push_back(header.value);
    }
    EXPECT_EQ(cookies, (std::vector<std::string>{"a=1", "b=2"}));
  }
}

TEST(CurlResponse, KeepsBinaryBodiesIntactBothWays) {
  LoopbackServer server;
  server.handle("POST", "/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.body + req.body, "application/octet-stream");
  });
  server.start();
  CurlTransport transport;
  HTTPRequest request;
  request.method = "POST";
  request.url = server.url("/echo");
  request.body = allByteValues();

  const auto response = transport.data(request, {});

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, allByteValues() + allByteValues());
  EXPECT_EQ(response.headers.get("Content-Type"), "application/octet-stream");
}

TEST(CurlResponse, HeadReturnsHeadersWithoutBody) {
  LoopbackServer server;
  server.handle("GET", "/file", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(5000, 'x'), "text/plain");
  });
  server.start();
  CurlTransport transport;
  HTTPRequest request = getRequest(server.url("/file"));
  request.method = "HEAD";

  const auto response = transport.data(request, {});

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.headers.get("content-length"), "5000");
  EXPECT_EQ(response.body, "");
}

TEST(CurlResponse, ReadsHeadersOfTheFinalResponseAsSent) {
  struct Case {
    std::string name;
    std::string raw;
    int status;
    std::vector<HTTPHeader> headers;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"interim responses are skipped",
       "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
       "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"
       "HTTP/1.1 200 OK\r\nX-Final: 1\r\nContent-Length: 2\r\n\r\nok",
       200,
       {{"X-Final", "1"}, {"Content-Length", "2"}},
       "ok"},
      {"spaces around values trimmed, letter case kept, empty value kept",
       "HTTP/1.1 418 I'm a teapot\r\nx-LOWER:   padded value \t\r\nX-Empty:\r\nContent-Length: 3\r\n\r\ntea",
       418,
       {{"x-LOWER", "padded value"}, {"X-Empty", ""}, {"Content-Length", "3"}},
       "tea"},
      {"body until the connection closes", "HTTP/1.1 200 OK\r\nX-A: b\r\n\r\nuntil close", 200, {{"X-A", "b"}},
       "until close"},
      {"chunked body", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", 200,
       {{"Transfer-Encoding", "chunked"}}, "abcde"},
  };
  CurlTransport transport;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawHTTPServer server(c.raw);
    const auto response = transport.data(getRequest(server.url("/")), {});
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.headers.list(), c.headers);
    EXPECT_EQ(response.body, c.body);
  }
}

TEST(CurlResponse, ConnectionClosedWithoutAnswerIsAnError) {
  RawHTTPServer server("");
  CurlTransport transport;
  const auto error = transportErrorOf([&] { transport.data(getRequest(server.url("/")), {}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::connection);
  EXPECT_EQ(std::string(error->what()).rfind("The request to " + server.origin() + " failed: ", 0), 0u)
      << error->what();
}

// ---- Size bounds ----

class CurlBodyLimit : public ::testing::Test {
 protected:
  void SetUp() override {
    server.handle("GET", "/sized", [](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.get_param_value("status"));
      res.set_content(std::string(std::stoul(req.get_param_value("n")), 'x'), "text/plain");
    });
    // No Content-Length: the size shows only as the body arrives.
    server.handle("GET", "/chunked", [](const httplib::Request& req, httplib::Response& res) {
      const std::size_t n = std::stoul(req.get_param_value("n"));
      res.set_chunked_content_provider("text/plain", [n](std::size_t offset, httplib::DataSink& sink) {
        const std::string chunk(std::min<std::size_t>(n - offset, 300), 'y');
        if (!chunk.empty()) return sink.write(chunk.data(), chunk.size());
        sink.done();
        return true;
      });
    });
    server.handle("GET", "/endless", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [this](std::size_t, httplib::DataSink& sink) {
        const std::string chunk(64 * 1024, 'z');
        // Ends when the client hangs up; the bound only keeps a broken client from running forever.
        return !server.stall(std::chrono::milliseconds(0)) && sink.write(chunk.data(), chunk.size()) &&
               endlessSent.fetch_add(chunk.size()) < 512u * 1024 * 1024;
      });
    });
    server.start();
  }

  HTTPResponse fetch(const std::string& pathAndQuery, std::size_t maxBodyBytes) {
    CurlTransportOptions options;
    options.maxBodyBytes = maxBodyBytes;
    return CurlTransport(options).data(getRequest(server.url(pathAndQuery)), {});
  }

  std::atomic<std::size_t> endlessSent{0};
  LoopbackServer server;
};

TEST_F(CurlBodyLimit, AcceptsABodyOfExactlyTheLimit) {
  EXPECT_EQ(fetch("/sized?n=1000&status=200", 1000).body.size(), 1000u);
  EXPECT_EQ(fetch("/chunked?n=1000", 1000).body.size(), 1000u);
}

TEST_F(CurlBodyLimit, RefusesABodyBeyondTheLimit) {
  for (const std::string path : {"/sized?n=1001&status=200", "/sized?n=1001&status=404", "/chunked?n=1001"}) {
    SCOPED_TRACE(path);
    const auto error = transportErrorOf([&] { fetch(path, 1000); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::tooLarge);
    EXPECT_EQ(error->what(), "The response from " + server.origin() + " is larger than 1000 bytes.");
  }
}

TEST_F(CurlBodyLimit, StopsReadingAnEndlessBodyAtTheLimit) {
  const auto error = transportErrorOf([&] { fetch("/endless", 1024 * 1024); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::tooLarge);
  // The transfer ends right at the limit, not when the server gives up.
  EXPECT_LT(endlessSent.load(), 64u * 1024 * 1024);
}

TEST_F(CurlBodyLimit, DefaultLimitIsEightMebibytes) {
  EXPECT_EQ(CurlTransportOptions().maxBodyBytes, 8u * 1024 * 1024);
  EXPECT_EQ(fetch("/sized?n=8388608&status=200", CurlTransportOptions().maxBodyBytes).body.size(), 8388608u);
  const auto error = transportErrorOf([&] { fetch("/sized?n=8388609&status=200", CurlTransportOptions().maxBodyBytes); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::tooLarge);
}

TEST(CurlResponse, RefusesAnAnnouncedOversizedBodyBeforeReadingIt) {
  // Each server announces more than it sends: read to the end, this would be a broken transfer instead.
  CurlTransportOptions options;
  options.maxBodyBytes = 1000;
  CurlTransport transport(options);
  for (const std::string length : {"1001", "5000000000", "99999999999999999999"}) {
    SCOPED_TRACE(length);
    RawHTTPServer server("HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\nok");
    const auto error = transportErrorOf([&] { transport.data(getRequest(server.url("/")), {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::tooLarge);
  }
}

TEST(CurlResponse, AnnouncedSizeDoesNotMatterForHead) {
  RawHTTPServer server("HTTP/1.1 200 OK\r\nContent-Length: 99999999\r\n\r\n");
  CurlTransportOptions options;
  options.maxBodyBytes = 1000;
  HTTPRequest request = getRequest(server.url("/"));
  request.method = "HEAD";
  const auto response = CurlTransport(options).data(request, {});
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.headers.get("Content-Length"), "99999999");
}

TEST(CurlResponse, RefusesEndlessHeaders) {
  std::string raw = "HTTP/1.1 200 OK\r\n";
  const std::string line = "X-Filler: " + std::string(100, 'f') + "\r\n";
  while (raw.size() < 1100 * 1024) raw += line;
  raw += "Content-Length: 0\r\n\r\n";
  RawHTTPServer server(raw);
  CurlTransport transport;
  const auto error = transportErrorOf([&] { transport.data(getRequest(server.url("/")), {}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), Kind::tooLarge);
  EXPECT_EQ(error->what(), "The response headers from " + server.origin() + " are larger than 262144 bytes.");
}

// ---- Concurrency ----

TEST(CurlResponse, ServesConcurrentRequestsFromOneTransport) {
  LoopbackServer server;
  server.handle("POST", "/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Echo", req.get_header_value("X-Caller"));
    res.set_content(req.body, "text/plain");
  });
  server.start();
  CurlTransport transport;
  constexpr int kThreads = 16;
  constexpr int kRequestsEach = 8;
  std::vector<std::future<int>> results;
  for (int t = 0; t < kThreads; ++t) {
    results.push_back(std::async(std::launch::async, [&, t] {
      int matches = 0;
      for (int i = 0; i < kRequestsEach; ++i) {
        const std::string caller = std::to_string(t) + "-" + std::to_string(i);
        HTTPRequest request;
        request.method = "POST";
        request.url = server.url("/echo");
        request.headers = {{"X-Caller", caller}};
        request.body = "body of " + caller + std::string(static_cast<std::size_t>(t * 100), '.');
        const auto response = transport.data(request, {});
        if (response.status == 200 && response.body == *request.body && response.headers.get("X-Echo") == caller) {
          ++matches;
        }
      }
      return matches;
    }));
  }
  for (auto& result : results) EXPECT_EQ(result.get(), kRequestsEach);
  EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kThreads * kRequestsEach));
}

}  // namespace
}  // namespace dapplewick
