#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"

namespace dapplewick {

class TerminalJobControl;

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;        // the tool itself cannot work
inline constexpr int kExitUsage = 2;          // the command line is wrong
inline constexpr int kExitInterrupted = 130;  // stopped by a signal; main reports 128 + its number (130: Ctrl-C)

// The longest secret `credential set` accepts.
inline constexpr std::size_t kMaxSecretBytes = std::size_t{1024} * 1024;

// The version `dapplewick --version` prints, as the build declares it.
extern const std::string_view kVersion;

// The text of `dapplewick --help`.
extern const std::string_view kUsageText;

// Where the command line reads and writes. Only the command line prints, and only through these.
struct AppIO {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // Standard input (file descriptor 0) is a terminal: a secret is then typed or pasted as one hidden line, read
  // from the descriptor directly rather than from `in`.
  bool inputIsTerminal = false;
  // Standard error is a terminal: progress is shown there while fetches are outstanding.
  bool errorIsTerminal = false;
  // Why writing to `out` failed, as an errno value (0 or no function: the reason is unknown).
  std::function<int()> outputError = {};
  // The width in columns of standard error's terminal, asked at each progress draw (0 or no function: 80).
  std::function<int()> errorColumns = {};
  // Why reading `in` failed, as an errno value (0 or no function: no read failed, or the reason is unknown).
  std::function<int()> inputError = {};
};

// What the command line runs with. Each member is a test seam.
struct AppContext {
  const Environment& environment;
  const Clock& clock;
  // Builds the transport once config.json is read (it may name a CA bundle).
  std::function<std::unique_ptr<HTTPTransport>(const Configuration&)> makeTransport;
  // Requested on Ctrl-C: in-flight requests are cancelled and the command ends with kExitInterrupted.
  std::stop_token stop;
  // Where the signal watcher finds the hidden prompt on a stop (Ctrl-Z) and a resume; none: no job control.
  TerminalJobControl* jobControl = nullptr;
  // True once a signal that stops the command has been raised, even before `stop` is requested for it: a
  // credential is then not saved.
  std::function<bool()> stopRaised = {};
};

// Runs one command line (`args` without the program name) and returns the exit status.
int runApp(const std::vector<std::string>& args, const AppContext& context, AppIO& io);

}  // namespace dapplewick
