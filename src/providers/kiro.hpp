#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/process.hpp"
#include "common/service_error.hpp"
#include "model/clock.hpp"
#include "model/environment.hpp"
#include "model/tool_runner.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace kiro {

// ---- Constants ----

inline constexpr std::string_view kCLIName = "kiro-cli";

// ---- Runs of the tool ----

// One run of `kiro-cli`: its arguments and its limits.
struct ToolRun {
  std::vector<std::string> arguments;
  // A run still going then fails.
  std::chrono::milliseconds timeout{0};
  // Silence after printing that ends the run with what it printed.
  std::chrono::milliseconds idleTimeout{0};
};

// `kiro-cli whoami`: the signed-in account.
ToolRun accountRun();
// `kiro-cli chat --no-interactive /usage`: the usage report, a text meant for a terminal.
ToolRun usageRun();

// The tool on the PATH of `environment`; throws KiroError::cliNotFound() when there is none.
std::string locateCLI(ToolRunner& tools, const Environment& environment);
// Runs `binary` with the variables of `environment` and TERM set to "xterm-256color". A run still going at its
// timeout throws KiroError::timeout(); one silent for its idle limit after printing returns with `timedOut`.
ProcessResult runTool(ToolRunner& tools, const Environment& environment, const std::string& binary, const ToolRun& run,
                      std::stop_token stop = {});

// ---- Reading what the tool printed ----

// The verdict on a `whoami` run: the account's e-mail if the tool names one, or KiroError notLoggedIn or
// cliFailed.
std::optional<std::string> evaluateWhoamiResult(const ProcessResult& result);
// The verdict on a `/usage` run: the report, or KiroError notLoggedIn or timeout.
std::string evaluateUsageResult(const ProcessResult& result);
bool looksLikeUsageOutput(std::string_view text);
// Removes terminal control sequences (colours, cursor moves, window titles ended by BEL).
std::string stripANSI(std::string_view text);

struct BonusCredits {
  double usedPercent = 0;  // 0 to 100
  std::optional<Timestamp> expiresAt;
  bool operator==(const BonusCredits&) const = default;
};

struct UsageReport {
  std::string plan = "Kiro";
  // Nothing for an organisation's plan that shows its member no figures.
  std::optional<double> usedPercent;
  std::optional<Timestamp> resetAt;
  std::optional<BonusCredits> bonus;
  bool operator==(const UsageReport&) const = default;
};

// The report's plan and figures, or KiroError parseError or notLoggedIn.
UsageReport readUsageReport(std::string_view report, Timestamp now);
std::optional<Timestamp> parseResetDate(std::string_view text, Timestamp now);
std::optional<BonusCredits> parseBonusCredits(std::string_view text, Timestamp now);

// ---- Mapping ----

// The plan's usage, with bonus credits as an auxiliary record; the note names the plan and the account.
UsageData makeUsageData(const UsageReport& report, const std::optional<std::string>& email, Timestamp now);

}  // namespace kiro

// ---- Service ----

// Kiro has no web API to ask: its usage comes from the `kiro-cli` tool on the user's machine, run once to learn
// the signed-in account and once for the usage report.
class KiroService {
 public:
  explicit KiroService(const ServiceContext& context) : context_(context) {}

  // fetchAccountInfo, runUsageCommand, then parseUsage with both results, each awaited before the next; the
  // first failure ends the fetch. Takes no credential.
  UsageData fetchUsage(std::stop_token stop = {});

 private:
  std::optional<std::string> fetchAccountInfo(std::stop_token stop);
  std::string runUsageCommand(std::stop_token stop);
  UsageData parseUsage(std::string_view report, const std::optional<std::string>& email) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class KiroErrorCode { cliFailed, parseError, cliNotFound, notLoggedIn, timeout };

class KiroError : public ServiceErrorOf<KiroError, KiroErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  // The tool's own words, cut to 200 code points.
  static KiroError cliFailed(std::string_view message);
  static KiroError parseError(std::string_view message);
  static KiroError cliNotFound();
  static KiroError notLoggedIn();
  static KiroError timeout();
};

}  // namespace dapplewick
