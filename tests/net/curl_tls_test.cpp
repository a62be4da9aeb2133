// https against certificates made at test time: verification is always on; a configured bundle is trusted.

#include <gtest/gtest.h>

#include <string>

#include "net/curl_transport.hpp"
#include "net/transport_test_util.hpp"
#include "support/loopback_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_certs.hpp"

namespace dapplewick {
namespace {

using Kind = TransportError::Kind;

class CurlTLS : public ::testing::Test {
 protected:
  // An https server presenting `identity`, answering GET /hello.
  static void serve(LoopbackServer& server) {
    server.handle("GET", "/hello", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("hello over tls", "text/plain");
    });
    server.start();
  }

  CurlTransport trusting(const TestCertificateAuthority& ca) {
    CurlTransportOptions options;
    options.caBundle = directory.write("ca.pem", ca.certificatePEM()).string();
    return CurlTransport(options);
  }

  void expectRefused(CurlTransport transport, const LoopbackServer& server) {
    const auto error = transportErrorOf([&] { transport.data(getRequest(server.url("/hello")), {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::tls);
    EXPECT_EQ(std::string(error->what()).rfind("The secure connection to " + server.origin() + " failed: ", 0), 0u)
        << error->what();
    EXPECT_EQ(server.requestCount(), 0u);
  }

  TestCertificateAuthority authority;
  TemporaryDirectory directory;
};

TEST_F(CurlTLS, TrustsAServerSignedByTheConfiguredBundle) {
  LoopbackServer server(authority.issue({"IP:127.0.0.1", "DNS:localhost"}));
  serve(server);

  const auto response = trusting(authority).data(getRequest(server.url("/hello")), {});

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "hello over tls");
  EXPECT_EQ(response.url, server.url("/hello"));
}

TEST_F(CurlTLS, RefusesAServerSignedByAnotherAuthority) {
  TestCertificateAuthority stranger("Some Other CA");
  LoopbackServer server(stranger.issue());
  serve(server);
  expectRefused(trusting(authority), server);
}

TEST_F(CurlTLS, RefusesAnUnknownAuthorityWithoutABundle) {
  LoopbackServer server(authority.issue());
  serve(server);
  expectRefused(CurlTransport(), server);
}

TEST_F(CurlTLS, RefusesACertificateForAnotherHost) {
  LoopbackServer server(authority.issue({"DNS:example.invalid", "IP:127.0.0.2"}));
  serve(server);
  expectRefused(trusting(authority), server);
}

TEST_F(CurlTLS, MissingBundleFileFailsAsTLS) {
  LoopbackServer server(authority.issue());
  serve(server);
  CurlTransportOptions options;
  options.caBundle = (directory.path() / "missing.pem").string();
  expectRefused(CurlTransport(options), server);
}

}  // namespace
}  // namespace dapplewick
