// Time and redirect limits, cancellation, and connections: https trusts the configured bundle (made at test time)
// and nothing else, and a failed connection names the origin only.

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "net/curl_transport.hpp"
#include "net/transport_test_util.hpp"
#include "support/loopback_server.hpp"
#include "support/raw_http_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_certs.hpp"

namespace dapplewick {
namespace {

using Kind = TransportError::Kind;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Longer than any test waits for: a handler stalled this long only ends when its server stops.
constexpr milliseconds kForever{30'000};

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class CurlLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    server.handle("GET", "/hang", [this](const httplib::Request&, httplib::Response&) { server.stall(kForever); });
    server.handle("GET", "/trickle", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [this](std::size_t offset, httplib::DataSink& sink) {
        if (offset < 12) return !server.stall(milliseconds(40)) && sink.write("x", 1);
        sink.done();
        return true;
      });
    });
    server.handle("GET", "/again", [this](const httplib::Request&, httplib::Response& res) {
      server.stall(milliseconds(100));
      res.status = 302;
      res.set_header("Location", "/again");
    });
    server.start();
  }

  LoopbackServer server;
};

TEST_F(CurlLimits, TotalAndSilenceLimitsEndTheExchange) {
  const std::string total = "The request to " + server.origin() + " timed out after 300 ms.";
  const std::string silent = server.origin() + " sent nothing for 300 ms.";
  // Path, silence limit, total limit, and the failure, or nothing when the whole body arrives.
  const std::vector<std::tuple<std::string, milliseconds, milliseconds, std::string>> cases = {
      {"/hang", kForever, milliseconds(300), total},
      {"/trickle", kForever, milliseconds(300), total},  // never silent for long, but slow in all
      {"/again", kForever, milliseconds(300), total},    // each hop is quick, all of them together are not
      {"/hang", milliseconds(300), kForever, silent},
      {"/trickle", milliseconds(300), kForever, ""},
  };
  for (const auto& [path, silenceLimit, totalLimit, want] : cases) {
    SCOPED_TRACE(path + " " + want);
    CurlTransportOptions options;
    options.silenceTimeout = silenceLimit;
    HTTPRequest request = getRequest(server.url(path));
    request.timeout = totalLimit;
    const auto start = Clock::now();
    if (want.empty()) {
      EXPECT_EQ(CurlTransport(options).data(request, {}).body, std::string(12, 'x'));
      continue;
    }
    EXPECT_EQ(failureText([&] { CurlTransport(options).data(request, {}); }, Kind::timeout), want);
    EXPECT_GE(millisecondsSince(start), 290);
    EXPECT_LT(millisecondsSince(start), 5000);
  }
}

TEST_F(CurlLimits, FollowsTenRedirectsAndRefusesTheEleventh) {
  EXPECT_EQ(failureText([&] { CurlTransport().dataFrom(server.url("/again"), {}); }, Kind::redirect),
            "The request to " + server.origin() + " was redirected more than 10 times.");
  EXPECT_EQ(server.requestCount(), 1u + 10u);
}

TEST_F(CurlLimits, CancellationAbortsATransferInProgressPromptly) {
  CurlTransport transport;
  std::stop_source stop;
  auto result = std::async(std::launch::async, [&] {
    return failureText([&] { transport.dataFrom(server.url("/hang"), stop.get_token()); }, Kind::cancelled);
  });
  // A request is recorded before its handler runs: from then on, the transfer is under way.
  for (int i = 0; i < 10'000 && server.requestCount() == 0; ++i) std::this_thread::sleep_for(milliseconds(1));
  ASSERT_EQ(server.requestCount(), 1u);
  const auto stopped = Clock::now();
  stop.request_stop();
  ASSERT_EQ(result.wait_for(milliseconds(10'000)), std::future_status::ready);
  EXPECT_LT(millisecondsSince(stopped), 500);
  EXPECT_EQ(result.get(), "The request to " + server.origin() + " was cancelled.");
}

TEST(CurlConnection, TrustsOnlyTheBundleAndNamesOnlyTheOriginOnFailure) {
  TestCertificateAuthority authority;
  TestCertificateAuthority stranger("Some Other CA");
  TemporaryDirectory directory;
  const std::string bundle = directory.write("ca.pem", authority.certificatePEM()).string();
  LoopbackServer trusted(authority.issue()), foreign(stranger.issue()), misnamed(authority.issue({"DNS:a.invalid"}));
  for (auto* server : {&trusted, &foreign, &misnamed}) {
    server->handle("GET", "/", [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "a/b"); });
    server->start();
  }
  CurlTransportOptions options;
  options.caBundle = bundle;
  options.connectTimeout = milliseconds(300);
  EXPECT_EQ(CurlTransport(options).dataFrom(trusted.url("/"), {}).body, "hi");

  const std::string refused = RawHTTPServer().origin();  // nothing listens there once it is gone
  RawHTTPServer hangsUp("");
  RawHTTPServer mute;  // accepts, but never answers a TLS greeting
  const std::string muteTLS = "https://127.0.0.1:" + std::to_string(mute.port());
  const auto tls = [](const LoopbackServer& to) { return "The secure connection to " + to.origin() + " failed: "; };
  struct Case {
    std::string origin;
    std::optional<std::string> bundle;
    Kind kind;
    std::string prefix;
  };
  const std::vector<Case> cases = {
      {refused, bundle, Kind::connection, "Could not connect to " + refused + ": "},
      {hangsUp.origin(), bundle, Kind::connection, "The request to " + hangsUp.origin() + " failed: "},
      {muteTLS, bundle, Kind::timeout, "Connecting to " + muteTLS + " timed out."},
      {foreign.origin(), bundle, Kind::tls, tls(foreign)},
      {misnamed.origin(), bundle, Kind::tls, tls(misnamed)},
      {trusted.origin(), std::nullopt, Kind::tls, tls(trusted)},  // the system's roots do not know the authority
      {trusted.origin(), (directory.path() / "missing.pem").string(), Kind::tls, tls(trusted)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix + " " + c.bundle.value_or("no bundle"));
    options.caBundle = c.bundle;
    const auto request = makeRequest("GET", c.origin + "/v1/keys/SECRETPATH/usage?api_key=SECRETQUERY#SECRETFRAGMENT",
                                     {{"Authorization", "Bearer SECRETHEADER"}});
    const auto text = failureText([&] { CurlTransport(options).data(request, {}); }, c.kind);
    EXPECT_EQ(text.rfind(c.prefix, 0), 0u) << text;
    EXPECT_EQ(text.find("SECRET"), std::string::npos) << text;
  }
  EXPECT_EQ(trusted.requestCount() + foreign.requestCount() + misnamed.requestCount(), 1u);
}

}  // namespace
}  // namespace dapplewick
