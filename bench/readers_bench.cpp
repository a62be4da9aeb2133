// Throughput of the shared readers every service runs on each answer: JSON parsing with the depth guard, the
// strict and lenient number readers, date parsing and the text helpers.
#include <benchmark/benchmark.h>

#include <string>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace {

using namespace dapplewick;

std::string quotaDocument(int limits) {
  std::string body = R"({"code":200,"msg":"ok","success":true,"data":{"planName":"Pro","limits":[)";
  for (int i = 0; i < limits; ++i) {
    if (i > 0) body += ",";
    body += R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250,"remaining":750,)"
            R"("percentage":25,"nextResetTime":1796576595000})";
  }
  body += "]}}";
  return body;
}

void BM_ParseJson(benchmark::State& state) {
  const std::string body = quotaDocument(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(parseJson(body));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_ParseJson)->Arg(1)->Arg(64)->Arg(4096);

void BM_StrictDecode(benchmark::State& state) {
  const Json document = parseJson(quotaDocument(64));
  for (auto _ : state) {
    const JsonRef root = JsonRef::root(document);
    std::int64_t sum = 0;
    for (const JsonRef& limit : root.at("data").at("limits").elements()) sum += limit.required<std::int64_t>("usage");
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_StrictDecode);

void BM_ParseDecimal(benchmark::State& state) {
  const std::string texts[] = {"12.5", "-3.25e4", "1796576595000", "NaN", "0x1A"};
  for (auto _ : state) {
    for (const auto& text : texts) benchmark::DoNotOptimize(parseDecimal(text));
  }
}
BENCHMARK(BM_ParseDecimal);

void BM_ParseInternetDate(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(parseInternetDate("2026-12-06T17:03:15.123Z"));
    benchmark::DoNotOptimize(parseInternetDate("2026-12-06T18:03:15+01:00"));
  }
}
BENCHMARK(BM_ParseInternetDate);

void BM_TrimAndExcerpt(benchmark::State& state) {
  const std::string text = "\u3000  " + std::string(static_cast<std::size_t>(state.range(0)), 'x') + " \n";
  for (auto _ : state) {
    benchmark::DoNotOptimize(trimWhitespace(text));
    benchmark::DoNotOptimize(errorExcerpt(text));
  }
}
BENCHMARK(BM_TrimAndExcerpt)->Arg(64)->Arg(1 << 20);

void BM_FormatFixed(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(formatFixed(1234.5678, 2));
}
BENCHMARK(BM_FormatFixed);

}  // namespace
