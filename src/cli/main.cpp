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
#include "net/curl_transport.hpp"

namespace {

// Ctrl-C is taken by a watcher thread rather than a signal handler, because requesting stop is not
// async-signal-safe. SIGINT is blocked before any other thread starts, so every thread inherits the block and
// only the watcher receives it. The first Ctrl-C requests stop, which cancels in-flight requests and lets the
// command end on its own with status 130; should it still be running after a grace period (long enough for a
// child process to be stopped and reaped), or on a second Ctrl-C, the process ends at once.
class InterruptWatcher {
 public:
  InterruptWatcher() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { watch(); });
  }
  ~InterruptWatcher() {
    done_.store(true);
    // Wakes the watcher at once; it sees done_ and leaves without treating the signal as Ctrl-C.
    pthread_kill(thread_.native_handle(), SIGINT);
    thread_.join();
  }
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  std::stop_token token() const { return source_.get_token(); }

 private:
  static constexpr std::chrono::seconds kGrace{3};

  void watch() {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    const timespec tick{0, 100'000'000};
    while (!done_.load()) {
      if (sigtimedwait(&signals_, nullptr, &tick) == SIGINT && !done_.load()) {
        if (deadline) std::_Exit(dapplewick::kExitInterrupted);
        source_.request_stop();
        deadline = std::chrono::steady_clock::now() + kGrace;
      }
      if (deadline && std::chrono::steady_clock::now() >= *deadline && !done_.load()) {
        std::_Exit(dapplewick::kExitInterrupted);
      }
    }
  }

  sigset_t signals_{};
  std::stop_source source_;
  std::atomic<bool> done_{false};
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
  dapplewick::AppIO io{std::cin, out, std::cerr, ::isatty(STDIN_FILENO) == 1, ::isatty(STDERR_FILENO) == 1,
                       [&outBuffer] { return outBuffer.error(); }};
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return dapplewick::runApp(args, context, io);
}
