#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"

namespace dapplewick {

// The first regular, executable file called `name` in the directories of `searchPath` (a PATH value), as an
// absolute path. Empty and relative entries are skipped: what they resolve to depends on the working folder,
// which is nobody's intent for a tool found on behalf of a service. A `name` that is empty or holds a "/" is
// never searched.
std::optional<std::string> findExecutable(std::string_view name, std::string_view searchPath);

struct ProcessLimits {
  // The whole run: a process still running then is stopped and the run fails.
  std::chrono::milliseconds timeout{0};
  // Silence after the first output: the process is stopped and what it printed is returned with `timedOut`.
  // Until something is printed, only `timeout` applies.
  std::chrono::milliseconds idleTimeout{0};
  // After the process ended, how long to wait for the pipes to close: a descendant may hold them open.
  std::chrono::milliseconds drainTimeout{500};
  // Between asking the process group to terminate and killing it.
  std::chrono::milliseconds terminateGrace{1000};
  // Bytes kept per stream; the rest is read and dropped so that the process never blocks on a full pipe.
  std::size_t maxCapture = std::size_t{1} << 20;
};

struct ProcessResult {
  // What the process wrote, decoded as UTF-8 (invalid bytes become U+FFFD), at most maxCapture bytes each.
  std::string standardOutput;
  std::string standardError;
  // The exit code, or 128 + the number of the signal that ended the process; 0 when the host ignores SIGCHLD,
  // for the system then reaps the process itself and its status is lost.
  std::int32_t status = 0;
  // True only when the run was stopped by the idle limit.
  bool timedOut = false;
  bool operator==(const ProcessResult&) const = default;
};

enum class ProcessErrorCode { launchFailed, deadlinePassed, cancelled };

class ProcessError : public ServiceErrorOf<ProcessError, ProcessErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static ProcessError launchFailed(std::string_view binary, int error);
  static ProcessError deadlinePassed(std::string_view binary);
  static ProcessError cancelled(std::string_view binary);
};

// Runs `binary` (an absolute path) with `arguments` and exactly `environment`, standard input the null device,
// standard output and standard error captured separately. The process leads its own process group; when the run
// stops it early (deadline, idle limit, stop request) the whole group is asked to terminate, then killed after
// terminateGrace, and the process is always reaped. Descendants still in the group once the process is gone are
// stopped the same way, so that nothing the run started outlives it.
// Throws ProcessError: launchFailed (every run does once killAllProcessGroups was called), deadlinePassed (the
// process was still running at `timeout`), cancelled (a stop request on `stop`). A non-zero exit status is no
// error.
ProcessResult runProcess(const std::string& binary, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string, std::less<>>& environment,
                         const ProcessLimits& limits, std::stop_token stop = {});

// For a process about to exit without waiting for its runs: sends SIGKILL to the process group of every run under
// way, and makes every later run fail with launchFailed. A run's group is signalled until the run has stopped all
// of it, descendants the process left behind included; the process itself only until it is reaped, so a pid the
// system has given to someone else since is never touched. Safe from any thread, but not from a signal handler.
void killAllProcessGroups();

}  // namespace dapplewick
