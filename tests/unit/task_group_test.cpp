#include "common/task_group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

// Waits for a stop request, bounded so a broken cancellation fails instead of hanging.
bool waitForStop(std::stop_token token) {
  std::mutex mutex;
  std::unique_lock lock(mutex);
  return std::condition_variable_any().wait_for(lock, token, 10s, [&] { return token.stop_requested(); });
}

TEST(TaskGroup, AnOptionalFailureIsSwallowedAndTheOthersGoOn) {
  TaskGroup group;
  auto failing = group.spawn([](std::stop_token) -> int { throw std::runtime_error("nope"); });
  auto failingVoid = group.spawn([](std::stop_token) { throw std::logic_error("x"); });
  EXPECT_EQ(failing.awaitOptional(), std::nullopt);
  EXPECT_FALSE(failingVoid.awaitOptional());
  EXPECT_TRUE(group.spawn([](std::stop_token token) { return !token.stop_requested(); }).await());
}

TEST(TaskGroup, RequiredFailureStopsAndJoinsTheOthersBeforeRethrowing) {
  std::atomic<bool> siblingSawStop{false};
  TaskGroup group;
  auto required = group.spawn([](std::stop_token) -> int { throw std::runtime_error("usage failed"); });
  group.spawn([&](std::stop_token token) { siblingSawStop = waitForStop(token); });
  EXPECT_EQ(testing::errorText([&] { required.await(); }), "usage failed");
  EXPECT_TRUE(siblingSawStop.load()) << "the sibling was stopped and joined before the rethrow";
}

TEST(TaskGroup, ParentStopReachesChildrenAndTheDestructorStopsAndJoinsThem) {
  std::stop_source parent;
  std::atomic<bool> sawParentStop{false};
  std::atomic<bool> finishedUnawaited{false};
  {
    TaskGroup group(parent.get_token());
    auto child = group.spawn([&](std::stop_token token) { sawParentStop = waitForStop(token); });
    parent.request_stop();
    child.await();
    TaskGroup inner;
    inner.spawn([&](std::stop_token token) { finishedUnawaited = waitForStop(token); });
  }
  EXPECT_TRUE(sawParentStop.load());
  EXPECT_TRUE(finishedUnawaited.load());
}

}  // namespace
}  // namespace dapplewick
