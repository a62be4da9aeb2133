#include "common/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

#include "common/process_groups.hpp"
#include "common/text.hpp"

namespace dapplewick {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest the run waits without looking at the clock, the process and the stop request.
constexpr milliseconds kPollInterval{100};
// Once both pipes are closed nothing wakes the wait but time, so the process is checked more often.
constexpr milliseconds kExitPollInterval{5};

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::string> findExecutable(std::string_view name, std::string_view searchPath) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  while (true) {
    const auto colon = searchPath.find(':');
    std::string_view directory = searchPath.substr(0, colon);
    if (!directory.empty() && directory.front() == '/') {
      while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
      std::string candidate(directory);
      if (candidate != "/") candidate += '/';
      candidate += name;
      if (isExecutableFile(candidate)) return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    searchPath.remove_prefix(colon + 1);
  }
}

ProcessError ProcessError::launchFailed(std::string_view binary, int error) {
  return ProcessError(ProcessErrorCode::launchFailed, "Cannot run ", binary,
                      ": " + std::generic_category().message(error));
}

ProcessError ProcessError::deadlinePassed(std::string_view binary) {
  return ProcessError(ProcessErrorCode::deadlinePassed, "", binary, " did not finish in time");
}

ProcessError ProcessError::cancelled(std::string_view binary) {
  return ProcessError(ProcessErrorCode::cancelled, "", binary, " was cancelled");
}

namespace {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void adopt(int fd) {
    reset();
    fd_ = fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  FileDescriptor read;
  FileDescriptor write;
};

// Both ends close-on-exec from the start, so a process started by another thread meanwhile cannot inherit them
// (where pipe2 is missing, only our own spawns are protected, by POSIX_SPAWN_CLOEXEC_DEFAULT).
void openPipe(Pipe& pipe) {
  int fds[2] = {-1, -1};
#if defined(__linux__)
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
#else
  if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
  pipe.read.adopt(fds[0]);
  pipe.write.adopt(fds[1]);
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct Stream {
  int fd = -1;
  std::string data;
  bool open = true;
};

class Capture {
 public:
  Capture(int outFd, int errFd, std::size_t maxBytes) : maxBytes_(maxBytes) {
    streams_[0].fd = outFd;
    streams_[1].fd = errFd;
  }

  bool allClosed() const { return !streams_[0].open && !streams_[1].open; }
  std::string& out() { return streams_[0].data; }
  std::string& err() { return streams_[1].data; }

  // Waits up to `wait` for output (or for `wakeFd` to become readable) and reads one chunk from every stream that
  // has some. True when any byte arrived, kept or not.
  bool pump(milliseconds wait, int wakeFd) {
    std::array<pollfd, 3> fds{};
    for (std::size_t i = 0; i < 2; ++i) fds[i] = {streams_[i].open ? streams_[i].fd : -1, POLLIN, 0};
    fds[2] = {wakeFd, POLLIN, 0};
    const int timeout = static_cast<int>(std::max<milliseconds::rep>(wait.count(), 0));
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready <= 0) return false;
    bool received = false;
    for (std::size_t i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
        received = readChunk(streams_[i]) || received;
      }
    }
    return received;
  }

  // Reads until both pipes are closed or `limit` has passed.
  void drain(milliseconds limit) {
    const auto end = SteadyClock::now() + limit;
    while (!allClosed()) {
      const auto left = std::chrono::ceil<milliseconds>(end - SteadyClock::now());
      if (left <= milliseconds::zero()) return;
      pump(std::min(left, kPollInterval), -1);
    }
  }

 private:
  bool readChunk(Stream& stream) {
    std::array<char, 65536> buffer;
    while (true) {
      const ssize_t n = ::read(stream.fd, buffer.data(), buffer.size());
      if (n > 0) {
        const std::size_t room = maxBytes_ - std::min(maxBytes_, stream.data.size());
        stream.data.append(buffer.data(), std::min(room, static_cast<std::size_t>(n)));
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return false;
      stream.open = false;  // end of file, or an error that no retry will cure
      return false;
    }
  }

  std::size_t maxBytes_;
  std::array<Stream, 2> streams_;
};

std::int32_t decodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// The started process and its group. Should the run end by an exception before the group was stopped, the
// destructor kills the group and reaps the process, so that no path leaves it behind; only then does the group's
// entry go.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (!reaped_ || groupExists()) signalGroup(SIGKILL);
    waitBlocking();
    processGroups().remove(pid_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool reaped() const { return reaped_; }
  std::int32_t status() const { return status_; }

  bool reapIfExited() {
    if (reaped_) return true;
    // Only looked at, not reaped, so that the group's entry can be marked first.
    siginfo_t info{};
    int rc = 0;
    do {
      rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 && info.si_pid == 0) return false;  // still running
    // Exited, or ECHILD: the host ignores SIGCHLD and the system reaped the process for us (see reap()).
    reap();
    return true;
  }

  // Members left in the group once the process itself is gone: descendants it did not wait for.
  bool groupExists() const { return ::kill(-pid_, 0) == 0; }

  // SIGTERM to the group, up to `grace` for it to end (reading on, so that no one blocks on a full pipe), then
  // SIGKILL; the process is reaped.
  void terminateGroup(milliseconds grace, Capture& capture) {
    signalGroup(SIGTERM);
    const auto end = SteadyClock::now() + grace;
    while (SteadyClock::now() < end) {
      if (reapIfExited() && !groupExists()) return;
      capture.pump(kExitPollInterval, -1);
    }
    signalGroup(SIGKILL);
    waitBlocking();
  }

 private:
  void signalGroup(int signal) {
    ::kill(-pid_, signal);
    // The process may have left its group; until it is reaped its pid is still ours to signal.
    if (!reaped_) ::kill(pid_, signal);
  }

  void waitBlocking() {
    if (reaped_) return;
    siginfo_t info{};
    int rc = 0;
    do {
      rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    } while (rc < 0 && errno == EINTR);
    reap();
  }

  // The process has exited (or is lost to ECHILD), so the wait returns at once. A host that ignores SIGCHLD (a
  // library must not change that) has the system reap its children itself, and their statuses are lost: such a
  // run counts as one that ended with 0, so that the tool is judged by its words alone, never a failure for want
  // of a status.
  void reap() {
    processGroups().markReaped(pid_);
    int raw = 0;
    pid_t result = 0;
    do {
      result = ::waitpid(pid_, &raw, 0);
    } while (result < 0 && errno == EINTR);
    reaped_ = true;
    status_ = result == pid_ ? decodeStatus(raw) : 0;
  }

  pid_t pid_;
  bool reaped_ = false;
  std::int32_t status_ = 0;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attr_);
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&attr_, flags);
    posix_spawnattr_setpgroup(&attr_, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr_, &none);
    // The host may ignore or catch these (a network library ignores SIGPIPE, for one); the tool must not inherit
    // that, or it would survive our SIGTERM or loop on a closed pipe.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) {
      sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attr_, &defaults);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class FileActions {
 public:
  FileActions(int outFd, int errFd) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions_, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions_, errFd, STDERR_FILENO);
    // Whatever else is open (another request's connection, a file some library left inheritable) stays here.
    posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
  }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// A stop request must end the wait in poll at once, not at the next poll interval: the callback writes one byte
// to a pipe that poll watches.
class StopWakeup {
 public:
  explicit StopWakeup(std::stop_token stop) {
    openPipe(pipe_);
    setNonBlocking(pipe_.read.get());
    setNonBlocking(pipe_.write.get());
    callback_.emplace(std::move(stop), Wake{pipe_.write.get()});
  }
  int fd() const { return pipe_.read.get(); }

 private:
  struct Wake {
    int fd;
    void operator()() const noexcept {
      const char byte = 1;
      (void)!::write(fd, &byte, 1);
    }
  };
  Pipe pipe_;
  // Declared after the pipe so it is removed before the pipe closes.
  std::optional<std::stop_callback<Wake>> callback_;
};

enum class StopReason { exited, deadline, idleLimit, cancelled };

}  // namespace

ProcessResult runProcess(const std::string& binary, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string, std::less<>>& environment,
                         const ProcessLimits& limits, std::stop_token stop) {
  if (stop.stop_requested()) throw ProcessError::cancelled(binary);

  std::vector<std::string> argStrings;
  argStrings.reserve(arguments.size() + 1);
  argStrings.push_back(binary);
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(argStrings.size() + 1);
  for (auto& argument : argStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  envStrings.reserve(environment.size());
  for (const auto& [name, value] : environment) {
    if (name.empty() || name.find('=') != std::string::npos) continue;
    std::string& entry = envStrings.emplace_back(name);
    entry += '=';
    entry += value;
  }
  std::vector<char*> envp;
  envp.reserve(envStrings.size() + 1);
  for (auto& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  Pipe outPipe;
  Pipe errPipe;
  openPipe(outPipe);
  openPipe(errPipe);
  setNonBlocking(outPipe.read.get());
  setNonBlocking(errPipe.read.get());
  StopWakeup wakeup(stop);

  pid_t pid = 0;
  {
    const FileActions actions(outPipe.write.get(), errPipe.write.get());
    const SpawnAttributes attributes;
    const int rc = processGroups().spawnAndAdd(pid, [&](pid_t& spawned) {
      return ::posix_spawn(&spawned, binary.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
    });
    if (rc != 0) throw ProcessError::launchFailed(binary, rc);
  }
  // Only the child may hold the write ends, or the pipes would never report end of file.
  outPipe.write.reset();
  errPipe.write.reset();

  Capture capture(outPipe.read.get(), errPipe.read.get(), limits.maxCapture);
  Child child(pid);

  const auto started = SteadyClock::now();
  const auto deadline = started + limits.timeout;
  auto lastOutput = started;
  bool outputSeen = false;
  StopReason reason = StopReason::exited;
  while (true) {
    if (child.reapIfExited()) {
      reason = StopReason::exited;
      break;
    }
    const auto now = SteadyClock::now();
    if (now >= deadline) {
      reason = StopReason::deadline;
      break;
    }
    if (outputSeen && now - lastOutput >= limits.idleTimeout) {
      reason = StopReason::idleLimit;
      break;
    }
    if (stop.stop_requested()) {
      reason = StopReason::cancelled;
      break;
    }
    auto wait = capture.allClosed() ? kExitPollInterval : kPollInterval;
    wait = std::min(wait, std::chrono::ceil<milliseconds>(deadline - now));
    if (outputSeen) wait = std::min(wait, std::chrono::ceil<milliseconds>(lastOutput + limits.idleTimeout - now));
    if (capture.pump(wait, wakeup.fd())) {
      lastOutput = SteadyClock::now();
      outputSeen = true;
    }
  }

  // A process that ended by itself in the meantime is not stopped, and has not run out of time.
  const bool stoppedEarly = !child.reapIfExited();
  if (stoppedEarly) {
    child.terminateGroup(limits.terminateGrace, capture);
  } else {
    capture.drain(limits.drainTimeout);
    if (child.groupExists()) child.terminateGroup(limits.terminateGrace, capture);
  }
  // Every writer in the group is gone now; one outside it (a process that started its own session) could still
  // hold the pipes, so even this last read is bounded.
  capture.drain(limits.drainTimeout);

  if (reason == StopReason::cancelled) throw ProcessError::cancelled(binary);
  if (reason == StopReason::deadline && stoppedEarly) throw ProcessError::deadlinePassed(binary);

  ProcessResult result;
  result.standardOutput = repairUTF8(capture.out());
  result.standardError = repairUTF8(capture.err());
  result.status = child.status();
  result.timedOut = reason == StopReason::idleLimit;
  return result;
}

void killAllProcessGroups() { processGroups().killAllAndClose(); }

}  // namespace dapplewick
