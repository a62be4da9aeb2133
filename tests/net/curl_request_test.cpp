// What the transport puts on the wire, seen byte for byte by a raw TCP server.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/curl_transport.hpp"
#include "net/transport_test_util.hpp"
#include "support/raw_http_server.hpp"

namespace dapplewick {
namespace {

using Lines = std::vector<std::string>;

TEST(CurlRequest, SendsMethodHeadersAndBodyExactlyWithNothingAdded) {
  const std::string binary("\x00\x01\xff\r\n\x00tail", 10);
  // Large enough that libcurl would announce it with Expect: 100-continue and wait for a go-ahead.
  std::string large(3 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
  struct Case {
    std::string method;
    std::optional<std::string> body;
    HTTPHeaders headers;
    Lines wantAfterHost;
  };
  const std::vector<Case> cases = {
      {"GET", std::nullopt,
       {{"X-Zeta", "1"}, {"authorization", "Bearer abc"}, {"X-Alpha", "two  words"}, {"ACCEPT", "a/b"}, {"x-empty", ""},
        {"X-Zeta", "again"}},
       {"X-Zeta: 1", "authorization: Bearer abc", "X-Alpha: two  words", "ACCEPT: a/b", "x-empty:", "X-Zeta: again"}},
      {"POST", std::nullopt, {}, {}},
      {"POST", "", {}, {"Content-Length: 0"}},
      {"POST", binary, {{"Content-Type", "a/b"}}, {"Content-Type: a/b", "Content-Length: 10"}},
      {"POST", large, {}, {"Content-Length: 3145728"}},
      {"PUT", "{\"a\":1}", {}, {"Content-Length: 7"}},
      {"DELETE", std::nullopt, {}, {}},
      {"GET", "q", {}, {"Content-Length: 1"}},
      {"HEAD", std::nullopt, {}, {}},
  };
  CurlTransport transport;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " with " + (c.body ? std::to_string(c.body->size()) + " bytes" : "no body"));
    RawHTTPServer server;
    const auto request = makeRequest(c.method, server.url("/v1?key=a%20b#section"), c.headers, c.body);
    const auto response = transport.data(request, {});
    // The fragment never leaves, and the answering URL does not claim one.
    EXPECT_EQ(response.url, server.url("/v1?key=a%20b"));
    ASSERT_EQ(server.requests().size(), 1u);
    Lines want = {c.method + " /v1?key=a%20b HTTP/1.1", "Host: 127.0.0.1:" + std::to_string(server.port())};
    want.insert(want.end(), c.wantAfterHost.begin(), c.wantAfterHost.end());
    EXPECT_EQ(requestHeadLines(server.requests()[0]), want);
    EXPECT_TRUE(requestBody(server.requests()[0]) == c.body.value_or(""));
  }
}

TEST(CurlRequest, RefusesBadRequestsBeforeSendingAnything) {
  RawHTTPServer server;
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  const std::string origin = "http://" + host;
  const std::string badValue = "The value of the request header \"Authorization\" contains a line break or a NUL "
                               "character.";
  const std::string badName = "A request header has an invalid name.";
  const std::string badURL = "The request URL is not a valid URL.";
  const std::string badMethod = "The request method is not a valid HTTP method.";
  const std::vector<std::pair<HTTPRequest, std::string>> cases = {
      {makeRequest("GET", origin, {{"Accept", "*/*"}, {"Authorization", "secret\r\nX-Injected: 1"}}), badValue},
      {makeRequest("GET", origin, {{"Authorization", std::string("secret\0tail", 11)}}), badValue},
      {makeRequest("GET", origin, {{"X-Secret:Bearer", "secret"}}), badName},
      {makeRequest("GET", origin, {{"", "secret"}}), badName},
      {getRequest("ftp://" + host + "/file"), "The request URL must use http or https."},
      {getRequest("http://user:secret@" + host + "/"), "The request URL must not carry a user name or password."},
      {getRequest(host + "/"), badURL},
      {getRequest(origin + "/a b"), badURL},
      {getRequest(origin + "/a\r\nX-Injected: 1"), badURL},
      {getRequest(origin + std::string("/a\0b", 4)), badURL},
      {makeRequest("GE T", origin), badMethod},
      {makeRequest("", origin), badMethod},
      {makeRequest("HEAD", origin, {}, "x"), "A HEAD request cannot carry a body."},
  };
  CurlTransport transport;
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases.data()));
    EXPECT_EQ(failureText([&] { transport.data(c.first, {}); }, TransportError::Kind::invalidRequest), c.second);
  }
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(failureText([&] { transport.data(getRequest(origin), stop.get_token()); }, TransportError::Kind::cancelled),
            "The request was cancelled before it was sent.");

  // Connections are served in arrival order: a probe that arrives first proves nothing came before it.
  transport.data(getRequest(server.url("/probe")), {});
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(requestHeadLines(server.requests()[0]).front(), "GET /probe HTTP/1.1");
}

}  // namespace
}  // namespace dapplewick
