// Vertex AI reads its quota series in pages of up to 8 MiB. Each page is folded into the quota tables as it
// arrives, so the memory a fetch holds should stay at about one page whatever the number of pages: the
// "peak_MiB" counter (live heap at its highest during one fetch) for four pages should stay within 1.2x of one.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "model/tool_runner.hpp"
#include "providers/vertex_ai.hpp"

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

void* track(void* block) {
  if (block == nullptr) throw std::bad_alloc();
  const std::size_t now = liveBytes += malloc_usable_size(block);
  std::size_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return block;
}

}  // namespace

// The replacements pair malloc with free themselves; g++ sees only the free of what operator new returned.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) { return track(std::malloc(size == 0 ? 1 : size)); }
void* operator new[](std::size_t size) { return track(std::malloc(size == 0 ? 1 : size)); }
void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  liveBytes -= malloc_usable_size(block);
  std::free(block);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }

namespace {

using namespace dapplewick;

// A page just under the transport's 8 MiB body limit: tens of thousands of series, of a few hundred metrics.
std::string pageBody(int page, bool last) {
  std::string body = R"({"timeSeries":[)";
  for (int i = 0; body.size() < 8'300'000; ++i) {
    if (i > 0) body += ',';
    body += R"({"metric":{"type":"serviceruntime.googleapis.com/quota/allocation/usage","labels":{"quota_metric":)"
            R"("aiplatform.googleapis.com/metric_)" +
            std::to_string(i % 500) +
            R"(","limit_name":"per_minute"}},"resource":{"type":"consumer_quota",)"
            R"("labels":{"location":"us-central1","project_id":"bench"}},"points":[{"interval":{"endTime":)"
            R"("2026-12-06T00:00:00Z"},"value":{"int64Value":")" +
            std::to_string(i % 97 + page) + R"("}}]})";
  }
  body += "]";
  if (!last) body += R"(,"nextPageToken":"page-)" + std::to_string(page + 1) + '"';
  return body + "}";
}

// Serves `pages` pages of each of the two series, then nothing more.
class PagedTransport final : public HTTPTransport {
 public:
  explicit PagedTransport(int pages) {
    for (int i = 0; i < pages; ++i) bodies_.push_back(pageBody(i, i + 1 == pages));
  }
  HTTPResponse data(const HTTPRequest& request, std::stop_token) override {
    const auto at = request.url.find("pageToken=page-");
    const std::size_t page = at == std::string::npos ? 0 : std::stoul(request.url.substr(at + 15));
    HTTPResponse response;
    response.status = 200;
    response.body = bodies_.at(page);
    return response;
  }

 private:
  std::vector<std::string> bodies_;
};

void BM_VertexAIPages(benchmark::State& state) {
  PagedTransport transport(static_cast<int>(state.range(0)));
  const FixedClock clock(Timestamp{std::chrono::milliseconds(1796576595000)});
  const MapEnvironment environment;
  const Origins origins;
  ProcessToolRunner tools;
  VertexAIService service(ServiceContext{transport, tools, clock, environment, origins});
  double peak = 0;
  for (auto _ : state) {
    peakBytes = liveBytes.load();
    const std::size_t before = liveBytes;
    benchmark::DoNotOptimize(service.fetchUsage("bench:ya29.token"));
    peak = std::max(peak, static_cast<double>(peakBytes - before) / (1024.0 * 1024.0));
  }
  state.counters["peak_MiB"] = peak;
}
BENCHMARK(BM_VertexAIPages)->Arg(1)->Arg(2)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
