#include "providers/kiro.hpp"

#include <cmath>
#include <initializer_list>

#include <re2/re2.h>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/numbers.hpp"
#include "common/patterns.hpp"
#include "common/text.hpp"

namespace dapplewick {
namespace kiro {
namespace {

// ---- Constants ----

using std::chrono::milliseconds;

constexpr std::string_view kWebsite = "https://kiro.dev";

// `whoami` answers at once; the usage report needs a round trip to Kiro's servers, and the tool may stay open
// after printing it, hence an idle limit that ends the run once the report has stopped coming.
constexpr milliseconds kAccountTimeout{5'000};
constexpr milliseconds kAccountIdleTimeout{5'000};
constexpr milliseconds kUsageTimeout{20'000};
constexpr milliseconds kUsageIdleTimeout{10'000};

// The tool colours its output when it believes it writes to a capable terminal; stripANSI takes the colours out.
constexpr std::string_view kTerminal = "xterm-256color";

// ---- Patterns ----
// The tool's report is matched with Unicode classes.
using unicode_class::kDigit;
using unicode_class::kNotLineEnd;
using unicode_class::kSpace;
using unicode_class::kWordCharacter;

// An escape, "[", parameters and a final letter (colours, cursor moves); or an escape, "]" and anything up to
// the nearest BEL on the same line (window titles).
const RE2& controlSequencePattern() {
  static const RE2 re(joinPattern({R"(\x1B\[[0-9;?]*[A-Za-z]|\x1B\])", kNotLineEnd, R"(*?\x07)"}));
  return re;
}

const RE2& emailLabelPattern() {
  static const RE2 re(joinPattern({"(?i)^", kSpace, "*email:", kSpace, "*"}));
  return re;
}

const RE2& planLinePattern() {
  static const RE2 re(joinPattern({"Plan:", kSpace, "*(", kNotLineEnd, "+)"}));
  return re;
}

// A table cell such as "| KIRO PRO".
const RE2& planCellPattern() {
  static const RE2 re(joinPattern({R"(\|)", kSpace, "*(KIRO", kSpace, "+", kWordCharacter, "+)"}));
  return re;
}

// "resets on 2026-03-01" or "resets on 03/01" (month/day).
const RE2& resetDatePattern() {
  static const RE2 re(
      joinPattern({"resets on (", kDigit, "{4}-", kDigit, "{2}-", kDigit, "{2}|", kDigit, "{2}/", kDigit, "{2})"}));
  return re;
}

// The usage bar: full blocks, then the percentage.
const RE2& barPattern() {
  static const RE2 re(joinPattern({"\u2588+", kSpace, "*(", kDigit, "+)%"}));
  return re;
}

// "(10.5 of 50 covered in plan)"
const RE2& coveredPattern() {
  static const RE2 re(joinPattern(
      {R"(\(()", kDigit, R"(+\.?)", kDigit, "*)", kSpace, "+of", kSpace, "+(", kDigit, "+)", kSpace, "+covered"}));
  return re;
}

// "25 / 100 credits used"
const RE2& bonusUsedPattern() {
  static const RE2 re(joinPattern(
      {"(", kDigit, R"(+\.?)", kDigit, "*)", kSpace, "*/", kSpace, "*(", kDigit, "+)", kSpace, "*credits used"}));
  return re;
}

const RE2& bonusExpiryPattern() {
  static const RE2 re(joinPattern({"expires in (", kDigit, "+) days?"}));
  return re;
}

}  // namespace

// ---- Runs of the tool ----

ToolRun accountRun() { return {{"whoami"}, kAccountTimeout, kAccountIdleTimeout}; }

ToolRun usageRun() { return {{"chat", "--no-interactive", "/usage"}, kUsageTimeout, kUsageIdleTimeout}; }

std::string locateCLI(ToolRunner& tools, const Environment& environment) {
  const auto searchPath = environment.get("PATH");
  auto path = searchPath ? tools.find(kCLIName, *searchPath) : std::nullopt;
  if (!path) throw KiroError::cliNotFound();
  return *path;
}

ProcessResult runTool(ToolRunner& tools, const Environment& environment, const std::string& binary, const ToolRun& run,
                      std::stop_token stop) {
  auto variables = environment.variables();
  variables.insert_or_assign("TERM", std::string(kTerminal));
  ProcessLimits limits;
  limits.timeout = run.timeout;
  limits.idleTimeout = run.idleTimeout;
  try {
    return tools.run(binary, run.arguments, variables, limits, std::move(stop));
  } catch (const ProcessError& error) {
    if (error.code() == ProcessErrorCode::deadlinePassed) throw KiroError::timeout();
    throw;
  }
}

// ---- Reading what the tool printed ----

namespace {

std::optional<std::string> nonEmptyTrimmed(std::string_view text) {
  const std::string_view trimmed = trimWhitespace(text);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::optional<std::string> parseWhoamiOutput(std::string_view text) {
  std::optional<std::string> email;
  for (const auto rawLine : splitLines(text)) {
    const std::string_view line = trimWhitespace(rawLine);
    // "Logged in with Builder ID (someone@example.com)" names the sign-in method, not the account's address.
    if (containsIgnoringASCIICase(line, "logged in with")) continue;
    if (containsIgnoringASCIICase(line, "email:")) {
      std::string value(line);
      RE2::Replace(&value, emailLabelPattern(), "");
      email = std::string(trimSpacesAndTabs(value));
    } else if (!email && line.find(' ') == std::string_view::npos && line.find('@') != std::string_view::npos) {
      email = std::string(line);
    }
  }
  return email ? nonEmptyTrimmed(*email) : std::nullopt;
}

}  // namespace

std::optional<std::string> evaluateWhoamiResult(const ProcessResult& result) {
  // The tool reports trouble on standard error; when it wrote there, that is all that is read.
  const std::string_view chosen = trimWhitespace(result.standardError).empty() ? std::string_view(result.standardOutput)
                                                                               : std::string_view(result.standardError);
  const std::string_view text = trimWhitespace(chosen);
  const std::string lowered = toLowerASCII(text);
  if (containsAny(lowered, {"not logged in", "login required"})) throw KiroError::notLoggedIn();
  if (result.status != 0 && !text.empty()) throw KiroError::cliFailed(text);
  return parseWhoamiOutput(stripANSI(text));
}

std::string evaluateUsageResult(const ProcessResult& result) {
  const std::string_view out = trimWhitespace(result.standardOutput);
  const std::string_view err = trimWhitespace(result.standardError);
  const std::string_view check = err.empty() ? out : err;
  const std::string lowered = toLowerASCII(stripANSI(check));
  if (containsAny(lowered, {"not logged in", "login required", "kiro-cli login", "oauth error"})) {
    throw KiroError::notLoggedIn();
  }
  // The tool may stay open after printing its report; a report that then stalled is still a report.
  if (result.timedOut && !looksLikeUsageOutput(check)) throw KiroError::timeout();
  return out.empty() ? result.standardError : result.standardOutput;
}

bool looksLikeUsageOutput(std::string_view text) {
  const std::string lowered = toLowerASCII(stripANSI(text));
  return containsAny(lowered, {"covered in plan", "resets on", "bonus credits", "plan:", "managed by admin"});
}

std::string stripANSI(std::string_view text) {
  std::string cleaned(text);
  const RE2& re = controlSequencePattern();
  if (re.ok()) RE2::GlobalReplace(&cleaned, re, "");
  return cleaned;
}

UsageReport readUsageReport(std::string_view report, Timestamp now) {
  const std::string text = stripANSI(repairUTF8(report));
  if (trimWhitespace(text).empty()) throw KiroError::parseError("Empty output from kiro-cli");
  const std::string lowered = toLowerASCII(text);
  if (containsAny(lowered, {"not logged in", "kiro-cli login"})) throw KiroError::notLoggedIn();
  if (containsAny(lowered, {"could not retrieve usage information"})) {
    throw KiroError::parseError("Kiro CLI could not retrieve usage information");
  }

  UsageReport read;
  if (const auto line = firstCapture(text, planLinePattern())) {
    const std::string_view value = trimSpacesAndTabs(*line);
    read.plan = std::string(trimSpacesAndTabs(value.substr(0, value.find('\n'))));
  } else if (const auto cell = firstCapture(text, planCellPattern())) {
    std::string value(trimSpacesAndTabs(*cell));
    std::erase(value, '|');
    read.plan = std::string(trimSpacesAndTabs(value));
  }

  double usedPercent = 0;
  bool usedFound = false;
  if (const auto bar = firstCapture(text, barPattern())) {
    usedFound = true;
    usedPercent = parseDecimal(trimSpacesAndTabs(*bar)).value_or(0);
  }

  bool coveredFound = false;
  std::string coveredText;
  std::string totalText;
  if (RE2::PartialMatch(text, coveredPattern(), &coveredText, &totalText)) {
    const auto covered = parseDecimal(coveredText);
    const auto total = parseDecimal(totalText);
    if (covered && total) {
      coveredFound = true;
      // The bar, when drawn, is the tool's own figure and wins.
      if (*total > 0 && !usedFound) {
        const double ratio = *covered / *total * 100;
        if (std::isfinite(ratio)) usedPercent = ratio;
      }
    }
  }

  if (!usedFound && !coveredFound) {
    // An organisation's plan shows no figures to the member; say whose plan it is rather than fail.
    if (!containsAny(lowered, {"managed by admin", "managed by organization"})) {
      throw KiroError::parseError("No usage patterns found in kiro-cli output");
    }
    return read;
  }
  read.usedPercent = usedPercent;
  read.resetAt = parseResetDate(text, now);
  read.bonus = parseBonusCredits(text, now);
  return read;
}

std::optional<Timestamp> parseResetDate(std::string_view text, Timestamp now) {
  const auto capture = firstCapture(text, resetDatePattern());
  if (!capture) return std::nullopt;
  const std::string_view value = trimSpacesAndTabs(*capture);

  if (value.find('-') != std::string_view::npos) {
    // yyyy-MM-dd, a real calendar date, at local midnight.
    const auto date = parseISODate(value);
    if (!date) return std::nullopt;
    return localMidnight(date->year, static_cast<int>(date->month), static_cast<int>(date->day));
  }

  // month/day: the next such day strictly after now.
  std::vector<std::string_view> pieces = splitKeepingEmpty(value, "/");
  std::erase_if(pieces, [](std::string_view piece) { return piece.empty(); });
  if (pieces.size() != 2) return std::nullopt;
  const auto month = parseInteger(pieces[0]);
  const auto day = parseInteger(pieces[1]);
  if (!month || !day || *month < 0 || *month > 99 || *day < 0 || *day > 99) return std::nullopt;
  const int year = civilDateLocal(now).year;
  const auto candidate = localMidnight(year, static_cast<int>(*month), static_cast<int>(*day));
  if (candidate && *candidate > now) return candidate;
  return localMidnight(year + 1, static_cast<int>(*month), static_cast<int>(*day));
}

std::optional<BonusCredits> parseBonusCredits(std::string_view text, Timestamp now) {
  const auto start = findIgnoringASCIICase(text, "Bonus credits");
  if (start == std::string_view::npos) return std::nullopt;
  // Only the bonus section itself: a credits figure further on belongs to something else.
  const std::string_view window = prefixCodePoints(text.substr(start), 300);

  std::string usedText;
  std::string totalText;
  if (!RE2::PartialMatch(window, bonusUsedPattern(), &usedText, &totalText)) return std::nullopt;
  const auto used = parseDecimal(usedText);
  const auto total = parseDecimal(totalText);
  if (!used || !total || !(*total > 0)) return std::nullopt;
  BonusCredits bonus;
  bonus.usedPercent = *used / *total * 100;
  if (!(bonus.usedPercent > 0)) bonus.usedPercent = 0;
  if (bonus.usedPercent > 100) bonus.usedPercent = 100;
  if (const auto days = firstCapture(window, bonusExpiryPattern())) {
    if (const auto count = parseDecimal(trimSpacesAndTabs(*days))) {
      const double millis = static_cast<double>(now.time_since_epoch().count()) + *count * 86'400'000.0;
      bonus.expiresAt = fromEpochMilliseconds(millis);  // nothing beyond the year 9999
    }
  }
  return bonus;
}

// ---- Mapping ----

namespace {

UsageData kiroRecord(Timestamp now) {
  UsageData record = UsageData::blank(Provider::kiro);
  record.costSemantic = CostSemantic::none;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  return record;
}

}  // namespace

UsageData makeUsageData(const UsageReport& report, const std::optional<std::string>& email, Timestamp now) {
  UsageData record = kiroRecord(now);
  if (!report.usedPercent) {
    record.used = 0;
    record.limit = 0;
    record.note = report.plan + " (managed plan)";
    return record;
  }
  std::string note = report.plan;
  if (email) note += std::string(kNoteSeparator) + *email;
  record.used = *report.usedPercent;
  record.limit = 100;
  record.resetAt = report.resetAt;
  if (!note.empty()) record.note = note;
  if (report.bonus) {
    UsageData bonus = kiroRecord(now);
    bonus.used = report.bonus->usedPercent;
    bonus.limit = 100;
    bonus.note = "Bonus credits";
    bonus.resetAt = report.bonus->expiresAt;
    record.auxiliaryUsage.push_back(std::move(bonus));
  }
  return record;
}

}  // namespace kiro

// ---- Service ----

UsageData KiroService::fetchUsage(std::stop_token stop) {
  const auto email = fetchAccountInfo(stop);
  const auto report = runUsageCommand(stop);
  return parseUsage(report, email);
}

std::optional<std::string> KiroService::fetchAccountInfo(std::stop_token stop) {
  const std::string binary = kiro::locateCLI(context_.tools, context_.environment);
  return kiro::evaluateWhoamiResult(
      kiro::runTool(context_.tools, context_.environment, binary, kiro::accountRun(), std::move(stop)));
}

std::string KiroService::runUsageCommand(std::stop_token stop) {
  const std::string binary = kiro::locateCLI(context_.tools, context_.environment);
  return kiro::evaluateUsageResult(
      kiro::runTool(context_.tools, context_.environment, binary, kiro::usageRun(), std::move(stop)));
}

UsageData KiroService::parseUsage(std::string_view report, const std::optional<std::string>& email) const {
  const Timestamp now = context_.clock.now();
  return kiro::makeUsageData(kiro::readUsageReport(report, now), email, now);
}

// ---- Errors ----

KiroError KiroError::cliFailed(std::string_view message) {
  return KiroError(KiroErrorCode::cliFailed, "", errorExcerpt(message));
}

KiroError KiroError::parseError(std::string_view message) {
  return KiroError(KiroErrorCode::parseError, "Failed to parse Kiro usage: ", message);
}

KiroError KiroError::cliNotFound() {
  return KiroError(KiroErrorCode::cliNotFound, "kiro-cli not found. Install it from " + std::string(kiro::kWebsite));
}

KiroError KiroError::notLoggedIn() {
  return KiroError(KiroErrorCode::notLoggedIn, "Not logged in to Kiro. Run 'kiro-cli login' first.");
}

KiroError KiroError::timeout() { return KiroError(KiroErrorCode::timeout, "Kiro CLI timed out"); }

}  // namespace dapplewick
