#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace dapplewick {

// Structured concurrency for a service's concurrent requests. Children run on their own threads with a stop
// token that fires when the group is cancelled or the parent's token is stopped. Results are awaited in the
// order the caller chooses; when an awaited child failed, the group stops and joins every other child before
// the failure is rethrown. The destructor stops and joins whatever is left, so no child outlives the group.
class TaskGroup {
 public:
  explicit TaskGroup(std::stop_token parent = {});
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  template <class R>
  class Child;

  // Starts `work(std::stop_token)` as a child.
  template <class F>
  auto spawn(F&& work) -> Child<std::invoke_result_t<F, std::stop_token>>;

  // Requests stop of every child and waits for all of them to finish.
  void cancelAndJoin();

 private:
  struct Slot {
    std::thread thread;
    std::exception_ptr failure;
  };
  void join(Slot& slot);

  std::stop_source source_;
  std::optional<std::stop_callback<std::function<void()>>> parentLink_;
  std::vector<std::unique_ptr<Slot>> slots_;
};

template <class R>
class TaskGroup::Child {
 public:
  // Waits for the child. Its failure stops and joins the rest of the group, then is rethrown.
  R await() {
    group_->join(*slot_);
    if (slot_->failure) {
      group_->cancelAndJoin();
      std::rethrow_exception(slot_->failure);
    }
    if constexpr (!std::is_void_v<R>) return std::move(**result_);
  }

  // Waits for an optional child: its failure is swallowed and gives nothing; the others go on.
  auto awaitOptional() {
    group_->join(*slot_);
    if constexpr (std::is_void_v<R>) {
      return !slot_->failure;
    } else {
      if (slot_->failure) return std::optional<R>();
      return std::optional<R>(std::move(**result_));
    }
  }

 private:
  friend class TaskGroup;
  struct Empty {};
  using Storage = std::conditional_t<std::is_void_v<R>, Empty, std::optional<R>>;
  Child(TaskGroup* group, Slot* slot, std::shared_ptr<Storage> result)
      : group_(group), slot_(slot), result_(std::move(result)) {}
  TaskGroup* group_;
  Slot* slot_;
  std::shared_ptr<Storage> result_;
};

template <class F>
auto TaskGroup::spawn(F&& work) -> Child<std::invoke_result_t<F, std::stop_token>> {
  using R = std::invoke_result_t<F, std::stop_token>;
  using ChildType = Child<R>;
  auto result = std::make_shared<typename ChildType::Storage>();
  auto slot = std::make_unique<Slot>();
  Slot* raw = slot.get();
  std::stop_token token = source_.get_token();
  raw->thread = std::thread([raw, result, token, fn = std::forward<F>(work)]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        fn(token);
      } else {
        result->emplace(fn(token));
      }
    } catch (...) {
      raw->failure = std::current_exception();
    }
  });
  slots_.push_back(std::move(slot));
  return ChildType(this, raw, std::move(result));
}

}  // namespace dapplewick
