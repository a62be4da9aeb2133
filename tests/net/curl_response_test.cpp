// What the transport hands back: status, headers and body of any answer, within the size bounds.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "net/curl_transport.hpp"
#include "net/transport_test_util.hpp"
#include "support/loopback_server.hpp"
#include "support/raw_http_server.hpp"

namespace dapplewick {
namespace {

using Kind = TransportError::Kind;

TEST(CurlResponse, ReturnsStatusHeadersAndBodyOfAnyAnswer) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  struct Case {
    std::string raw;  // after "HTTP/1.1 "
    std::string method;
    int status;
    std::vector<HTTPHeader> headers;
    std::string body;
  };
  const std::vector<Case> cases = {
      // Repeated headers kept, spaces around values trimmed, letter case and empty values kept.
      {"404 Nope\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\nx-LOWER:   padded \t\r\nX-Empty:\r\n\r\n?", "GET", 404,
       {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}, {"x-LOWER", "padded"}, {"X-Empty", ""}}, "?"},
      {"100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 200 OK\r\nX-Final: 1\r\n\r\nuntil close", "GET", 200,
       {{"X-Final", "1"}}, "until close"},
      {"200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "GET", 200,
       {{"Transfer-Encoding", "chunked"}}, "abcde"},
      {"200 OK\r\n\r\n" + allBytes, "GET", 200, {}, allBytes},
      // Neither a redirect status without a Location nor another status with one is followed.
      {"302 Found\r\nContent-Length: 0\r\n\r\n", "GET", 302, {{"Content-Length", "0"}}, ""},
      {"300 Choices\r\nLocation: /x\r\n\r\n", "GET", 300, {{"Location", "/x"}}, ""},
      // Far beyond the body limit, but a HEAD answer only announces its body.
      {"200 OK\r\nContent-Length: 99999999\r\n\r\n", "HEAD", 200, {{"Content-Length", "99999999"}}, ""},
  };
  CurlTransport transport;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw.substr(0, c.raw.find('\r')));
    RawHTTPServer server("HTTP/1.1 " + c.raw);
    const auto response = transport.data(makeRequest(c.method, server.url("/x")), {});
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.headers.list(), c.headers);
    EXPECT_EQ(response.body, c.body);
    EXPECT_EQ(response.url, server.url("/x"));
    EXPECT_EQ(server.requests().size(), 1u);
  }
}

TEST(CurlResponse, BoundsTheBody) {
  const std::size_t eightMiB = CurlTransportOptions().maxBodyBytes;
  ASSERT_EQ(eightMiB, 8u * 1024 * 1024);
  // Without a Content-Length the size shows only as the body arrives.
  const std::string chunked1001 =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3e9\r\n" + std::string(1001, 'y') + "\r\n0\r\n\r\n";
  // The announced-only answers send less than they announce: read to the end, they would be broken transfers.
  const std::vector<std::tuple<std::string, std::size_t, bool>> cases = {
      {chunked1001, 1001, true},
      {chunked1001, 1000, false},
      {"HTTP/1.1 404 Nope\r\nContent-Length: 1001\r\n\r\nok", 1000, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nok", 1000, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 8388608\r\n\r\n" + std::string(eightMiB, 'x'), eightMiB, true},
      {"HTTP/1.1 200 OK\r\nContent-Length: 8388609\r\n\r\n" + std::string(eightMiB + 1, 'x'), eightMiB, false},
  };
  for (const auto& [raw, limit, accepted] : cases) {
    SCOPED_TRACE(raw.substr(0, 60));
    RawHTTPServer server(raw);
    CurlTransportOptions options;
    options.maxBodyBytes = limit;
    const auto fetch = [&] { return CurlTransport(options).data(getRequest(server.url("/")), {}); };
    if (accepted) {
      EXPECT_EQ(fetch().body.size(), limit);
    } else {
      EXPECT_EQ(failureText(fetch, Kind::tooLarge),
                "The response from " + server.origin() + " is larger than " + std::to_string(limit) + " bytes.");
    }
  }
}

TEST(CurlResponse, StopsReadingAnEndlessBodyAtTheLimit) {
  std::atomic<std::size_t> sent{0};
  LoopbackServer server;
  server.handle("GET", "/endless", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&](std::size_t, httplib::DataSink& sink) {
      const std::string chunk(64 * 1024, 'z');
      // Ends when the client hangs up; the bound only keeps a broken client from running forever.
      return sink.write(chunk.data(), chunk.size()) && sent.fetch_add(chunk.size()) < 512u * 1024 * 1024;
    });
  });
  server.start();
  failureText([&] { CurlTransport().data(getRequest(server.url("/endless")), {}); }, Kind::tooLarge);
  EXPECT_LT(sent.load(), 64u * 1024 * 1024);
}

TEST(CurlResponse, RefusesEndlessHeaders) {
  std::string raw = "HTTP/1.1 200 OK\r\n";
  while (raw.size() < 1100 * 1024) raw += "X-Filler: " + std::string(100, 'f') + "\r\n";
  RawHTTPServer server(raw + "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(failureText([&] { CurlTransport().data(getRequest(server.url("/")), {}); }, Kind::tooLarge),
            "The response headers from " + server.origin() + " are larger than 262144 bytes.");
}

TEST(CurlResponse, ServesConcurrentRequestsFromOneTransport) {
  LoopbackServer server;
  server.handle("POST", "/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("X-Caller") + ":" + req.body, "text/plain");
  });
  server.start();
  CurlTransport transport;
  std::vector<std::future<int>> results;
  for (int t = 0; t < 12; ++t) {
    results.push_back(std::async(std::launch::async, [&, t] {
      int matches = 0;
      for (int i = 0; i < 6; ++i) {
        const std::string caller = std::to_string(t * 6 + i), body(static_cast<std::size_t>(t) * 100, '.');
        const auto request = makeRequest("POST", server.url("/echo"), {{"X-Caller", caller}}, body);
        matches += transport.data(request, {}).body == caller + ":" + body;
      }
      return matches;
    }));
  }
  for (auto& result : results) EXPECT_EQ(result.get(), 6);
}

}  // namespace
}  // namespace dapplewick
