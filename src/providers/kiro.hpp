#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/process.hpp"
#include "common/service_error.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

// Kiro has no web API to ask: its usage comes from the `kiro-cli` tool on the user's machine, run once to learn
// the signed-in account and once for the usage report, a text meant for a terminal. A fetch runs three steps one
// after the other: fetchAccountInfo, runUsageCommand, then parseUsage with both results.
class KiroService {
 public:
  using ProcessResult = dapplewick::ProcessResult;

  explicit KiroService(const ServiceContext& context) : context_(context) {}

  // The three steps, each awaited before the next; the first failure ends the fetch. Takes no credential.
  UsageData fetchUsage(std::stop_token stop = {});

  // `kiro-cli whoami`: the signed-in account's e-mail, if the tool names one.
  std::optional<std::string> fetchAccountInfo(std::stop_token stop = {});
  // `kiro-cli chat --no-interactive /usage`: the report text.
  std::string runUsageCommand(std::stop_token stop = {});
  // The report turned into the plan's usage, with bonus credits as an auxiliary record.
  UsageData parseUsage(std::string_view report, const std::optional<std::string>& email);

  // ---- The tool ----

  // The executable called `name` on the PATH of the service's environment.
  std::optional<std::string> findCLI(std::string_view name) const;
  // Runs the tool with the service's environment (TERM set to "xterm-256color"). A run still going at `timeout`
  // throws KiroError::timeout(); one silent for `idleTimeout` after printing returns with `timedOut`.
  ProcessResult runProcess(const std::string& binary, const std::vector<std::string>& arguments,
                           std::chrono::milliseconds timeout, std::chrono::milliseconds idleTimeout,
                           std::stop_token stop = {}) const;

  // ---- Reading what the tool printed ----

  // The account step's verdict on a `whoami` run: the e-mail, or KiroError notLoggedIn / cliFailed.
  static std::optional<std::string> evaluateWhoamiResult(const ProcessResult& result);
  static std::optional<std::string> parseWhoamiOutput(std::string_view text);
  // The usage step's verdict on a `/usage` run: the report, or KiroError notLoggedIn / timeout.
  static std::string evaluateUsageResult(const ProcessResult& result);
  static bool looksLikeUsageOutput(std::string_view text);
  static std::optional<Timestamp> parseResetDate(std::string_view text, Timestamp now);
  static std::optional<UsageData> parseBonusCredits(std::string_view text, Timestamp now);
  static std::optional<std::string> nonEmptyTrimmed(std::string_view text);
  // Removes terminal control sequences (colours, cursor moves, window titles ended by BEL).
  static std::string stripANSI(std::string_view text);

 private:
  std::string locateCLI() const;

  ServiceContext context_;
};

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
