#include "engine/usage_service.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const Timestamp kNow{std::chrono::milliseconds(1796576595000)};
constexpr const char* kZaiURL = "https://api.z.ai/api/monitor/usage/quota/limit";
constexpr const char* kZaiBody =
    R"({"code":200,"msg":"ok","success":true,"data":{"limits":[{"type":"TOKENS_LIMIT","unit":3,"number":5,)"
    R"("usage":1000,"currentValue":250,"percentage":25}]}})";

struct Engine {
  testing::ServiceWorld world{kNow};
  MemoryKeychain keychain;
  UsageService service{keychain, world.context};

  // Waits (bounded) until `count` requests have arrived, for checks while the last is outstanding.
  void awaitRequests(std::size_t count) const {
    for (int i = 0; i < 5000 && world.transport.requestCount() < count; ++i) std::this_thread::sleep_for(1ms);
  }
};

TEST(UsageService, DispatchPassesTheStoredStringAndTurnsFailuresIntoRecords) {
  Engine engine;
  const UsageData missing = engine.service.fetchDispatch(Provider::zai);
  EXPECT_EQ(missing.error, "No credential saved");
  EXPECT_EQ(missing.lastUpdated, kNow);
  engine.keychain.save(Provider::kilo, "key");
  EXPECT_EQ(engine.service.fetchDispatch(Provider::kilo).error, "This build of Dapplewick does not read kilo");
  EXPECT_EQ(engine.world.transport.requestCount(), 0u);

  engine.keychain.save(Provider::zai, "api:  key\n");
  engine.world.transport.fail(kZaiURL, TransportError(TransportError::Kind::timeout, "The request timed out"));
  EXPECT_EQ(engine.service.fetchDispatch(Provider::zai).error, "The request timed out");
  engine.world.transport.respond(kZaiURL, 200, kZaiBody);
  const UsageData record = engine.service.fetchDispatch(Provider::zai);
  EXPECT_EQ(record.error, std::nullopt);
  EXPECT_EQ(record.used, 25);
  EXPECT_EQ(engine.world.transport.requests().at(1).headers.get("authorization"), "Bearer key");
}

TEST(UsageService, RefreshAllTakesEnabledProvidersWithACredentialInOrder) {
  Engine engine;
  engine.keychain.save(Provider::codebuff, "token");
  engine.keychain.save(Provider::zai, "key");
  engine.keychain.save(Provider::kilo, "key");
  engine.world.transport.respond(kZaiURL, 200, kZaiBody);
  engine.world.transport.respond("https://www.codebuff.com/api/v1/usage", 401, "");
  engine.world.transport.respond("https://www.codebuff.com/api/user/subscription", 401, "");
  std::size_t calls = 0;
  // kilo is not enabled, deepgram has no credential.
  ASSERT_TRUE(engine.service.refreshAll({Provider::deepgram, Provider::codebuff, Provider::zai}, {},
                                        [&](const UsageData&) { ++calls; }));
  EXPECT_EQ(calls, 2u);
  const auto records = engine.service.usageData();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].used, 25);
  EXPECT_EQ(records[1].error, "Invalid Codebuff API token");
  EXPECT_EQ(engine.service.lastRefreshed(), kNow);
}

// While a request is outstanding: a single refresh shows a loading record, a second refresh of all returns at once.
TEST(UsageService, LoadingRecordAndRefreshGuard) {
  Engine engine;
  engine.keychain.save(Provider::zai, "key");
  engine.world.transport.handle(kZaiURL, testing::answerAfter(300ms, 403, ""));
  engine.world.transport.respond("https://open.bigmodel.cn/api/monitor/usage/quota/limit", 403, "");
  std::thread refresh([&] { engine.service.refresh(Provider::zai); });
  engine.awaitRequests(1);
  EXPECT_TRUE(engine.service.usageData(Provider::zai).value().isLoading);
  refresh.join();
  EXPECT_EQ(engine.service.usageData(Provider::zai)->error, "Invalid z.ai API key");

  engine.world.transport.handle(kZaiURL, testing::answerAfter(300ms, 200, kZaiBody));
  std::thread first([&] { EXPECT_TRUE(engine.service.refreshAll({Provider::zai})); });
  engine.awaitRequests(3);
  EXPECT_FALSE(engine.service.refreshAll({Provider::zai}));
  first.join();
  EXPECT_EQ(engine.world.transport.requestCount(), 3u);
  EXPECT_FALSE(engine.service.isRefreshing());
}

TEST(UsageService, CancellationReachesInFlightRequests) {
  Engine engine;
  engine.keychain.save(Provider::zai, "key");
  engine.world.transport.handle(kZaiURL, testing::blockUntilCancelled());
  const auto started = std::chrono::steady_clock::now();
  {
    testing::DelayedStop stop(20ms);
    ASSERT_TRUE(engine.service.refreshAll({Provider::zai}, stop.token()));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(engine.service.usageData(Provider::zai)->error, "cancelled");
}

}  // namespace
}  // namespace dapplewick
