#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <mutex>
#include <vector>

namespace dapplewick {

// The process groups of the runs under way, so that a process about to exit at once can kill them first. A spawn
// and its entry are made under one lock, so the killing never misses a process started a moment before; once
// closed, nothing more is spawned, so nothing can start between the killing and the exit.
// An entry stays until its run has stopped the whole group, not only its process: a descendant left behind is
// still the run's to stop. Once the process is reaped its pid may be someone else's, so from then on only the
// group is signalled; the system gives out no group's id while a member is left.
class ProcessGroups {
 public:
  // How a signal is sent (::kill, or a recorder in a test).
  using SignalFunction = int (*)(pid_t, int);
  explicit ProcessGroups(SignalFunction signal);

  // posix_spawn's result, or ECANCELED once closed.
  template <typename Spawn>
  int spawnAndAdd(pid_t& pid, const Spawn& spawn) {
    const std::lock_guard lock(mutex_);
    if (closed_) return ECANCELED;
    const int rc = spawn(pid);
    if (rc == 0) entries_.push_back({pid, false});
    return rc;
  }

  // Called before the process is reaped, so that no kill meanwhile can reach a pid given out again.
  void markReaped(pid_t pid);
  // Once nothing of the group is left to stop.
  void remove(pid_t pid);
  // SIGKILL to every group (and to every process not yet reaped, in case it left its group); then closed.
  void killAllAndClose();
  std::size_t size() const;

 private:
  struct Entry {
    pid_t pid;
    bool reaped;
  };
  SignalFunction signal_;
  mutable std::mutex mutex_;
  bool closed_ = false;
  std::vector<Entry> entries_;
};

// The registry of every run of runProcess. Never destroyed: a run on another thread may still end while the
// process exits.
ProcessGroups& processGroups();

}  // namespace dapplewick
