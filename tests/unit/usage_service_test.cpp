#include "engine/usage_service.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using testing::FakeTransport;

const Timestamp kNow{std::chrono::milliseconds(1796576595000)};
constexpr const char* kZaiURL = "https://api.z.ai/api/monitor/usage/quota/limit";
constexpr const char* kZaiBody =
    R"({"code":200,"msg":"ok","success":true,"data":{"limits":[{"type":"TOKENS_LIMIT","unit":3,"number":5,)"
    R"("usage":1000,"currentValue":250,"percentage":25}]}})";

// Waits (bounded) until `flag` is set.
bool waitFor(const std::atomic<bool>& flag) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct Engine {
  testing::ServiceWorld world{kNow};
  MemoryKeychain keychain;
  UsageService service{keychain, world.context};
};

TEST(UsageService, DispatchErrorsBecomeRecords) {
  Engine engine;
  const UsageData missing = engine.service.fetchDispatch(Provider::zai);
  EXPECT_EQ(missing.error, "No credential saved");
  EXPECT_EQ(missing.provider, Provider::zai);
  EXPECT_EQ(missing.id, Provider::zai);
  EXPECT_EQ(missing.lastUpdated, kNow);
  EXPECT_EQ(engine.world.transport.requestCount(), 0u);

  engine.keychain.save(Provider::kilo, "key");
  EXPECT_EQ(engine.service.fetchDispatch(Provider::kilo).error, "This build of Dapplewick does not read kilo");
  EXPECT_FALSE(UsageService::isSupported(Provider::kilo));
  EXPECT_TRUE(UsageService::isSupported(Provider::zai));

  engine.keychain.save(Provider::zai, "api:  key\n");
  engine.world.transport.fail(kZaiURL, TransportError(TransportError::Kind::timeout, "The request timed out"));
  const UsageData failed = engine.service.fetchDispatch(Provider::zai);
  EXPECT_EQ(failed.error, "The request timed out");
  EXPECT_EQ(failed.lastUpdated, kNow);
}

TEST(UsageService, PassesTheStoredStringToTheService) {
  Engine engine;
  engine.keychain.save(Provider::zai, "api:  key\n");
  engine.world.transport.respond(kZaiURL, 200, kZaiBody);
  const UsageData record = engine.service.fetchDispatch(Provider::zai);
  EXPECT_EQ(record.error, std::nullopt);
  EXPECT_EQ(record.used, 25);
  ASSERT_EQ(engine.world.transport.requests().size(), 1u);
  EXPECT_EQ(engine.world.transport.requests()[0].headers.get("authorization"), "Bearer key");
}

TEST(UsageService, RefreshAllTakesEnabledProvidersWithACredentialInOrder) {
  Engine engine;
  engine.keychain.save(Provider::codebuff, "token");
  engine.keychain.save(Provider::zai, "key");
  engine.keychain.save(Provider::kilo, "key");
  engine.world.transport.respond(kZaiURL, 200, kZaiBody);
  engine.world.transport.respond("https://www.codebuff.com/api/v1/usage", 401, "");
  engine.world.transport.respond("https://www.codebuff.com/api/user/subscription", 401, "");

  std::vector<Provider> seen;
  const bool ran = engine.service.refreshAll({Provider::deepgram, Provider::codebuff, Provider::zai}, {},
                                             [&](const UsageData& record) { seen.push_back(record.provider); });
  ASSERT_TRUE(ran);
  EXPECT_EQ(seen.size(), 2u);  // kilo is not enabled, deepgram has no credential
  const auto records = engine.service.usageData();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].provider, Provider::zai);
  EXPECT_EQ(records[0].used, 25);
  EXPECT_EQ(records[1].provider, Provider::codebuff);
  EXPECT_EQ(records[1].error, "Invalid Codebuff API token");
  EXPECT_EQ(engine.service.lastRefreshed(), kNow);
  EXPECT_FALSE(engine.service.isRefreshing());
}

TEST(UsageService, SecondRefreshReturnsAtOnceWhileOneRuns) {
  Engine engine;
  engine.keychain.save(Provider::zai, "key");
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};
  engine.world.transport.handle(kZaiURL, [&](const HTTPRequest&, std::stop_token) {
    started = true;
    waitFor(release);
    HTTPResponse response;
    response.status = 200;
    response.body = kZaiBody;
    return response;
  });
  std::thread first([&] { EXPECT_TRUE(engine.service.refreshAll({Provider::zai})); });
  ASSERT_TRUE(waitFor(started));
  EXPECT_TRUE(engine.service.isRefreshing());
  EXPECT_FALSE(engine.service.refreshAll({Provider::zai}));
  release = true;
  first.join();
  EXPECT_EQ(engine.world.transport.requestCount(), 1u);
  EXPECT_FALSE(engine.service.isRefreshing());
}

TEST(UsageService, SingleRefreshShowsLoadingThenTheResult) {
  Engine engine;
  engine.keychain.save(Provider::zai, "key");
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};
  engine.world.transport.handle(kZaiURL, [&](const HTTPRequest&, std::stop_token) {
    started = true;
    waitFor(release);
    HTTPResponse response;
    response.status = 403;
    return response;
  });
  engine.world.transport.respond("https://open.bigmodel.cn/api/monitor/usage/quota/limit", 403, "");
  std::thread refresh([&] { engine.service.refresh(Provider::zai); });
  ASSERT_TRUE(waitFor(started));
  const auto loading = engine.service.usageData(Provider::zai);
  ASSERT_TRUE(loading.has_value());
  EXPECT_TRUE(loading->isLoading);
  release = true;
  refresh.join();
  EXPECT_EQ(engine.service.usageData(Provider::zai)->error, "Invalid z.ai API key");
  // No guard and no credential check beyond the usual one.
  EXPECT_EQ(engine.service.refresh(Provider::deepgram).error, "No credential saved");
}

TEST(UsageService, CancellationReachesInFlightRequests) {
  Engine engine;
  engine.keychain.save(Provider::zai, "key");
  engine.world.transport.handle(kZaiURL, testing::blockUntilCancelled());
  std::stop_source stop;
  std::thread canceller([&] {
    while (engine.world.transport.requestCount() == 0) std::this_thread::sleep_for(1ms);
    stop.request_stop();
  });
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(engine.service.refreshAll({Provider::zai}, stop.get_token()));
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(engine.service.usageData(Provider::zai)->error, "cancelled");
}

}  // namespace
}  // namespace dapplewick
