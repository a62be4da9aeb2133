// End-to-end cost of reading one provider answer into a usage record, without the network: decoding, window
// classification and mapping for z.ai, and the whole engine path through a transport that answers at once.
#include <benchmark/benchmark.h>

#include <string>

#include "engine/usage_service.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "model/tool_runner.hpp"
#include "providers/zai.hpp"

namespace {

using namespace dapplewick;

const Timestamp kNow{std::chrono::milliseconds(1796576595000)};

std::string quotaBody(int limits) {
  std::string body = R"({"code":200,"msg":"ok","success":true,"data":{"planName":"Pro","limits":[)";
  for (int i = 0; i < limits; ++i) {
    if (i > 0) body += ",";
    body += R"({"type":"TOKENS_LIMIT","unit":3,"number":)" + std::to_string(i + 1) +
            R"(,"usage":1000,"currentValue":250,"percentage":25,"nextResetTime":1796590000000})";
  }
  body += R"(,{"type":"TIME_LIMIT","unit":4,"number":1,"percentage":7}]}})";
  return body;
}

void BM_ZaiAnswerToRecord(benchmark::State& state) {
  const std::string body = quotaBody(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(zai::makeUsageData(zai::readQuotaAnswer(body), kNow));
}
BENCHMARK(BM_ZaiAnswerToRecord)->Arg(3)->Arg(256);

// Answers every request with the same body, at once.
class InstantTransport final : public HTTPTransport {
 public:
  explicit InstantTransport(std::string body) : body_(std::move(body)) {}
  HTTPResponse data(const HTTPRequest&, std::stop_token) override {
    HTTPResponse response;
    response.status = 200;
    response.body = body_;
    return response;
  }

 private:
  std::string body_;
};

void BM_EngineFetchDispatch(benchmark::State& state) {
  InstantTransport transport(quotaBody(3));
  FixedClock clock(kNow);
  MapEnvironment environment;
  Origins origins;
  ProcessToolRunner tools;
  MemoryKeychain keychain;
  keychain.save(Provider::zai, "api:key");
  UsageService engine(keychain, ServiceContext{transport, tools, clock, environment, origins});
  for (auto _ : state) benchmark::DoNotOptimize(engine.fetchDispatch(Provider::zai));
}
BENCHMARK(BM_EngineFetchDispatch);

}  // namespace
