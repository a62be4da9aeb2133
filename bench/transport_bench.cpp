// What one request costs the caller through the real transport, over http and over https, to one loopback
// origin: sequential requests ride one kept-alive connection, so https should cost little more than http once
// the first handshake is done. A fresh transport per request shows the cost of a whole connection set-up.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "net/curl_transport.hpp"
#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"

namespace {

using namespace dapplewick;
using testing::LoopbackServer;

struct Peer {
  explicit Peer(bool tls)
      : identity(testing::selfSignedCertificate()),
        server([](const testing::ReceivedRequest&,
                  LoopbackServer::Connection&) { return testing::keepAliveResponse(200, R"({"ok":true})"); },
               tls ? std::optional(identity) : std::nullopt) {
    options.caBundle = directory.write("ca.pem", identity.certificatePEM).string();
  }
  testing::TempDir directory;
  testing::TestCertificate identity;
  LoopbackServer server;
  CurlTransportOptions options;
};

void BM_SequentialRequests(benchmark::State& state) {
  Peer peer(state.range(0) != 0);
  CurlTransport transport(peer.options);
  const std::string url = peer.server.url("/v1/usage");
  for (auto _ : state) benchmark::DoNotOptimize(transport.dataFrom(url, {}));
  state.SetLabel(state.range(0) != 0 ? "https" : "http");
}
BENCHMARK(BM_SequentialRequests)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_FreshTransportPerRequest(benchmark::State& state) {
  Peer peer(state.range(0) != 0);
  const std::string url = peer.server.url("/v1/usage");
  for (auto _ : state) benchmark::DoNotOptimize(CurlTransport(peer.options).dataFrom(url, {}));
  state.SetLabel(state.range(0) != 0 ? "https" : "http");
}
BENCHMARK(BM_FreshTransportPerRequest)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
