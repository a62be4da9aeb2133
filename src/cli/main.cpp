// The dapplewick executable: wires the real clock, environment, transport and standard streams into runApp.

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>

#include "cli/app.hpp"
#include "cli/output_buffer.hpp"
#include "cli/terminal.hpp"
#include "common/process.hpp"
#include "net/curl_transport.hpp"

namespace {

// Ctrl-C, SIGTERM and SIGHUP are taken by a watcher thread rather than a signal handler, because requesting stop
// is not async-signal-safe. They are blocked before any other thread starts, so every thread inherits the block
// and only the watcher receives them. The first of them requests stop, which cancels in-flight requests and lets
// the command end on its own; the status then says which signal it was (128 + its number: 130, 143, 129). Should
// the command still be running after a grace period (long enough for a child process to be stopped and reaped),
// or on a second signal of any kind, the process ends at once with that status, killing first the process group
// of every tool not yet stopped, what a tool that has exited left behind included: a tool or child that ignores
// SIGTERM, or is still handling it, would outlive us.
class InterruptWatcher {
 public:
  InterruptWatcher() {
    sigemptyset(&signals_);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals_, signal);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { watch(); });
  }
  ~InterruptWatcher() {
    done_.store(true);
    // Wakes the watcher at once; it sees done_ and leaves without acting on the signal.
    pthread_kill(thread_.native_handle(), SIGINT);
    thread_.join();
  }
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  std::stop_token token() const { return source_.get_token(); }

  // The command's `status`, naming the signal when one stopped the command.
  int exitStatus(int status) const {
    const int signal = first_.load();
    return status == dapplewick::kExitInterrupted && signal != 0 ? 128 + signal : status;
  }

 private:
  static constexpr std::chrono::seconds kGrace{3};

  [[noreturn]] void exitNow() const {
    dapplewick::killAllProcessGroups();
    std::_Exit(128 + first_.load());
  }

  void watch() {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    const timespec tick{0, 100'000'000};
    while (!done_.load()) {
      const int signal = sigtimedwait(&signals_, nullptr, &tick);
      if (signal > 0 && !done_.load()) {
        if (deadline) exitNow();
        first_.store(signal);
        source_.request_stop();
        deadline = std::chrono::steady_clock::now() + kGrace;
      }
      if (deadline && std::chrono::steady_clock::now() >= *deadline && !done_.load()) exitNow();
    }
  }

  sigset_t signals_{};
  std::stop_source source_;
  std::atomic<bool> done_{false};
  // The first signal taken, set before stop is requested; 0 until then.
  std::atomic<int> first_{0};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  // Fixed at 1 MiB, not sliding, so every body's outgrown buffers leave memory when freed, not stay in arenas.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  InterruptWatcher interrupts;
  dapplewick::SystemClock clock;
  dapplewick::ProcessEnvironment environment;
  const dapplewick::AppContext context{
      environment, clock,
      [](const dapplewick::Configuration& configuration) -> std::unique_ptr<dapplewick::HTTPTransport> {
        dapplewick::CurlTransportOptions options;
        options.caBundle = configuration.caBundle;
        return std::make_unique<dapplewick::CurlTransport>(options);
      },
      interrupts.token()};
  dapplewick::DescriptorOutputBuffer outBuffer(STDOUT_FILENO);
  std::ostream out(&outBuffer);
  const bool inputIsTerminal = ::isatty(STDIN_FILENO) == 1;
  const bool errorIsTerminal = ::isatty(STDERR_FILENO) == 1;
  const auto outputError = [&outBuffer] { return outBuffer.error(); };
  const auto errorColumns = [] { return dapplewick::terminalColumns(STDERR_FILENO); };
  dapplewick::AppIO io{std::cin, out, std::cerr, inputIsTerminal, errorIsTerminal, outputError, errorColumns};
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return interrupts.exitStatus(dapplewick::runApp(args, context, io));
}
