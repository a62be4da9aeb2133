#include "common/process_groups.hpp"

#include <signal.h>

namespace dapplewick {

ProcessGroups::ProcessGroups(SignalFunction signal) : signal_(signal) {}

void ProcessGroups::markReaped(pid_t pid) {
  const std::lock_guard lock(mutex_);
  for (auto& entry : entries_) entry.reaped = entry.reaped || entry.pid == pid;
}

void ProcessGroups::remove(pid_t pid) {
  const std::lock_guard lock(mutex_);
  std::erase_if(entries_, [pid](const Entry& entry) { return entry.pid == pid; });
}

void ProcessGroups::killAllAndClose() {
  const std::lock_guard lock(mutex_);
  closed_ = true;
  for (const auto& entry : entries_) {
    // Signalling -0 would reach our own group, and -1 every process we may signal.
    if (entry.pid <= 1) continue;
    signal_(-entry.pid, SIGKILL);
    if (!entry.reaped) signal_(entry.pid, SIGKILL);
  }
}

std::size_t ProcessGroups::size() const {
  const std::lock_guard lock(mutex_);
  return entries_.size();
}

ProcessGroups& processGroups() {
  static auto* const groups = new ProcessGroups(::kill);
  return *groups;
}

}  // namespace dapplewick
