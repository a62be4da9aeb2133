// The dapplewick executable: wires the real clock, environment, transport and standard streams into runApp.

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "cli/app.hpp"
#include "cli/input_buffer.hpp"
#include "cli/output_buffer.hpp"
#include "cli/terminal.hpp"
#include "common/process.hpp"
#include "net/curl_transport.hpp"

namespace {

// Ctrl-C, SIGTERM, SIGHUP and Ctrl-\ (SIGQUIT) are taken by a watcher thread rather than a signal handler, because
// requesting stop is not async-signal-safe. They are blocked before any other thread starts, so every thread
// inherits the block and only the watcher receives them. The first of them requests stop, which cancels in-flight
// requests, puts a hidden prompt's terminal back and lets the command end on its own; the status then says which
// signal it was (128 + its number: 130, 143, 129, 131). One of them that the parent left ignored (nohup ignores
// SIGHUP, and a shell script's background job SIGINT and SIGQUIT) stays ignored and stops nothing: blocked and
// waited for, it would be taken all the same, for the kernel keeps a blocked signal pending even when it is
// ignored. SIGQUIT's core dump would help no user of this tool, and
// would leave a terminal hidden. Should the command still be running after a grace period (long enough for a child
// process to be stopped and reaped), or on a second of these signals, the process ends at once with that status,
// killing first the process group of every tool not yet stopped, what a tool that has exited left behind included:
// a tool or child that ignores SIGTERM, or is still handling it, would outlive us.
//
// Ctrl-Z (SIGTSTP) and SIGCONT are taken the same way but stop nothing. On Ctrl-Z the watcher puts a hidden prompt's
// terminal back, then stops the process by raising SIGTSTP with it unblocked in this thread alone; once resumed (at
// once, in an orphaned process group, where the kernel drops the stop) the prompt hides input again and asks
// again. A SIGCONT after a stop from outside (SIGSTOP, which cannot be caught) does the same. Resumed in the
// background instead (bg, or a SIGCONT from elsewhere), the prompt leaves the terminal to the shell and the watcher
// stops the whole job again with SIGTTIN, as a background read of the terminal would: the shell shows it stopped,
// and its fg resumes it with the SIGCONT that hides input again. SIGTTIN and SIGTTOU have their default action,
// whatever the process was started with: a background read or terminal change stops the process rather than
// failing, and so does that SIGTTIN.
class InterruptWatcher {
 public:
  explicit InterruptWatcher(dapplewick::TerminalJobControl& jobs) : jobs_(jobs), catchUpSignal_(SIGRTMIN) {
    sigset_t jobStops;
    sigemptyset(&jobStops);
    for (const int signal : {SIGTTIN, SIGTTOU}) {
      std::signal(signal, SIG_DFL);
      sigaddset(&jobStops, signal);
    }
    pthread_sigmask(SIG_UNBLOCK, &jobStops, nullptr);
    sigemptyset(&taken_);
    for (const int signal : kStops) {
      struct sigaction inherited {};
      if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
      sigaddset(&taken_, signal);
    }
    sigaddset(&taken_, SIGTSTP);
    sigaddset(&taken_, SIGCONT);
    sigaddset(&taken_, catchUpSignal_);
    pthread_sigmask(SIG_BLOCK, &taken_, nullptr);
    thread_ = std::thread([this] { watch(); });
  }
  ~InterruptWatcher() {
    done_.store(true);
    // Wakes the watcher at once; it sees done_ and leaves without acting on the signal.
    pthread_kill(thread_.native_handle(), SIGCONT);
    thread_.join();
  }
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  std::stop_token token() const { return source_.get_token(); }

  // The signal that stops the command, counting every one raised before this call: the first one taken, else the
  // one the watcher will take next; 0 when none has been raised. Not for the watcher's own thread.
  int stopRaisedByNow() {
    catchUp();
    return raisedStop();
  }

  // The command's `status`, naming the signal when one stopped the command.
  int exitStatus(int status) {
    if (status != dapplewick::kExitInterrupted) return status;
    const int signal = stopRaisedByNow();
    return signal != 0 ? 128 + signal : status;
  }

 private:
  // In the order of their numbers, the order in which the kernel hands pending signals over.
  static constexpr std::array<int, 4> kStops = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
  static constexpr std::chrono::seconds kGrace{3};

  // Waits until the watcher has dealt with every signal raised before this call. The watcher may have taken a stop
  // signal off the pending set without having recorded it yet, and then neither would show it. The request is a
  // real-time signal sent to the process, which only the watcher takes: the kernel hands over the pending signals
  // of the process lowest number first, so every stop signal raised before the request is taken, and recorded,
  // before the request is. (Sent to the watcher's thread alone, it would be handed over first.) No lock of the
  // prompt is held here: the watcher takes them.
  void catchUp() {
    const std::lock_guard lock(catchUpMutex_);
    const std::uint64_t before = caughtUp_.load();
    if (::kill(::getpid(), catchUpSignal_) != 0) return;
    caughtUp_.wait(before);
  }

  // The first stop signal taken, else the one the watcher will take next (the lowest pending); 0 when none has
  // been raised. Outside the watcher's thread, only after a catch-up: a signal the watcher has taken off the
  // pending set is not recorded yet until then.
  int raisedStop() const {
    if (const int signal = first_.load(); signal != 0) return signal;
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    for (const int signal : kStops) {
      if (sigismember(&pending, signal) == 1) return signal;
    }
    return 0;
  }

  [[noreturn]] void exitNow() const {
    dapplewick::killAllProcessGroups();
    std::_Exit(128 + first_.load());
  }

  void stopProcess() {
    jobs_.stopping();
    {
      const dapplewick::ThreadSignalMask unblocked(SIG_UNBLOCK, SIGTSTP);
      raise(SIGTSTP);
    }
    // The SIGCONT that resumed the process is this resume, not another.
    sigset_t resume;
    sigemptyset(&resume);
    sigaddset(&resume, SIGCONT);
    const timespec now{0, 0};
    sigtimedwait(&resume, nullptr, &now);
    resumed();
  }

  // The process goes on after a stop. A prompt that waits for the foreground stops the whole job again, the other
  // processes of a pipeline included, or the shell would show the job running and its fg would send no SIGCONT.
  // Not once a stop signal is taken or pending: the job is ending, and stopped it would wait for good.
  void resumed() {
    if (jobs_.resumed() && raisedStop() == 0) ::kill(0, SIGTTIN);
  }

  void watch() {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    const timespec tick{0, 100'000'000};
    while (!done_.load()) {
      const int signal = sigtimedwait(&taken_, nullptr, &tick);
      if (signal > 0 && !done_.load()) {
        if (signal == catchUpSignal_) {
          caughtUp_.fetch_add(1);
          caughtUp_.notify_all();
        } else if (signal == SIGTSTP) {
          stopProcess();
        } else if (signal == SIGCONT) {
          resumed();
        } else {
          if (deadline) exitNow();
          first_.store(signal);
          source_.request_stop();
          deadline = std::chrono::steady_clock::now() + kGrace;
        }
      }
      if (deadline && std::chrono::steady_clock::now() >= *deadline && !done_.load()) exitNow();
    }
  }

  dapplewick::TerminalJobControl& jobs_;
  const int catchUpSignal_;
  std::mutex catchUpMutex_;
  // Counts the catch-up requests the watcher has answered.
  std::atomic<std::uint64_t> caughtUp_{0};
  sigset_t taken_{};
  std::stop_source source_;
  std::atomic<bool> done_{false};
  // The first stop signal taken, set before stop is requested; 0 until then.
  std::atomic<int> first_{0};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  // Fixed at 1 MiB, not sliding, so every body's outgrown buffers leave memory when freed, not stay in arenas.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  // An ignored SIGCHLD survives exec, and some launchers and window managers leave it so: the system would then
  // reap the tools we run itself, and their exit statuses would be lost.
  std::signal(SIGCHLD, SIG_DFL);
  dapplewick::TerminalJobControl jobs;
  // Under tight limits (little address space, a user's last process) the watcher's thread cannot start: that is
  // said, never an abort.
  std::optional<InterruptWatcher> watcher;
  try {
    watcher.emplace(jobs);
  } catch (const std::exception& error) {
    std::cerr << "dapplewick: cannot start: " << error.what() << std::endl;
    return dapplewick::kExitFailure;
  }
  InterruptWatcher& interrupts = *watcher;
  dapplewick::SystemClock clock;
  dapplewick::ProcessEnvironment environment;
  const dapplewick::AppContext context{
      environment,
      clock,
      [](const dapplewick::Configuration& configuration) -> std::unique_ptr<dapplewick::HTTPTransport> {
        dapplewick::CurlTransportOptions options;
        options.caBundle = configuration.caBundle;
        return std::make_unique<dapplewick::CurlTransport>(options);
      },
      interrupts.token(),
      &jobs,
      [&interrupts] { return interrupts.stopRaisedByNow() != 0; }};
  dapplewick::DescriptorOutputBuffer outBuffer(STDOUT_FILENO);
  std::ostream out(&outBuffer);
  const bool inputIsTerminal = ::isatty(STDIN_FILENO) == 1;
  const bool errorIsTerminal = ::isatty(STDERR_FILENO) == 1;
  const auto outputError = [&outBuffer] { return outBuffer.error(); };
  const auto errorColumns = [] { return dapplewick::terminalColumns(STDERR_FILENO); };
  dapplewick::DescriptorInputBuffer inBuffer(STDIN_FILENO);
  std::istream in(&inBuffer);
  const auto inputError = [&inBuffer] { return inBuffer.error(); };
  dapplewick::AppIO io{in, out, std::cerr, inputIsTerminal, errorIsTerminal, outputError, errorColumns, inputError};
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return interrupts.exitStatus(dapplewick::runApp(args, context, io));
}
