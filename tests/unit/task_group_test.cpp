#include "common/task_group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

// Waits for a stop request, bounded so a broken cancellation fails instead of hanging.
bool waitForStop(std::stop_token token) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!token.stop_requested()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(TaskGroup, AwaitsResultsInTheCallersOrder) {
  TaskGroup group;
  auto slow = group.spawn([](std::stop_token) {
    std::this_thread::sleep_for(20ms);
    return 1;
  });
  auto fast = group.spawn([](std::stop_token) { return std::string("two"); });
  EXPECT_EQ(slow.await(), 1);
  EXPECT_EQ(fast.await(), "two");
}

TEST(TaskGroup, RequiredFailureStopsAndJoinsTheOthersBeforeRethrowing) {
  std::atomic<bool> siblingFinished{false};
  std::atomic<bool> siblingSawStop{false};
  TaskGroup group;
  auto required = group.spawn([](std::stop_token) -> int { throw std::runtime_error("usage failed"); });
  auto optional = group.spawn([&](std::stop_token token) {
    siblingSawStop = waitForStop(token);
    siblingFinished = true;
    return 0;
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(
      {
        try {
          required.await();
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "usage failed");
          EXPECT_TRUE(siblingFinished.load());  // joined before the rethrow
          throw;
        }
      },
      std::runtime_error);
  EXPECT_TRUE(siblingSawStop.load());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  (void)optional;
}

TEST(TaskGroup, OptionalFailureIsSwallowed) {
  TaskGroup group;
  auto required = group.spawn([](std::stop_token) { return 7; });
  auto optional = group.spawn([](std::stop_token) -> int { throw std::runtime_error("nope"); });
  EXPECT_EQ(required.await(), 7);
  EXPECT_EQ(optional.awaitOptional(), std::nullopt);
  auto voidChild = group.spawn([](std::stop_token) { throw std::logic_error("x"); });
  EXPECT_FALSE(voidChild.awaitOptional());
}

TEST(TaskGroup, ParentStopReachesChildren) {
  std::stop_source parent;
  std::atomic<bool> sawStop{false};
  {
    TaskGroup group(parent.get_token());
    auto child = group.spawn([&](std::stop_token token) { sawStop = waitForStop(token); });
    parent.request_stop();
    child.await();
  }
  EXPECT_TRUE(sawStop.load());
}

TEST(TaskGroup, DestructorStopsAndJoinsUnawaitedChildren) {
  std::atomic<bool> finished{false};
  {
    TaskGroup group;
    group.spawn([&](std::stop_token token) {
      waitForStop(token);
      finished = true;
    });
  }
  EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace dapplewick
