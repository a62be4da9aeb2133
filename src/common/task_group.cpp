#include "common/task_group.hpp"

namespace dapplewick {

TaskGroup::TaskGroup(std::stop_token parent) {
  if (parent.stop_possible()) {
    parentLink_.emplace(std::move(parent), std::function<void()>([this] { source_.request_stop(); }));
  }
}

TaskGroup::~TaskGroup() {
  cancelAndJoin();
  // Drop the link before the source goes away, so a late parent stop cannot reach a dead group.
  parentLink_.reset();
}

void TaskGroup::join(Slot& slot) {
  if (slot.thread.joinable()) slot.thread.join();
}

void TaskGroup::cancelAndJoin() {
  source_.request_stop();
  for (auto& slot : slots_) join(*slot);
}

}  // namespace dapplewick
