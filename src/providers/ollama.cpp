#include "providers/ollama.hpp"

#include <algorithm>
#include <initializer_list>

#include <re2/re2.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "common/patterns.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace ollama {
namespace {

// ---- Constants ----

constexpr std::string_view kAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
constexpr std::string_view kAcceptLanguage = "en-US,en;q=0.9";

const std::vector<std::string_view> kMainLabels = {"Session usage", "Hourly usage"};
const std::vector<std::string_view> kWeeklyLabels = {"Weekly usage"};
const std::vector<std::string_view> kSectionLabels = {"Session usage", "Hourly usage", "Weekly usage"};
// A section without a following label would otherwise run to the end of a large page.
constexpr std::size_t kMaxSectionCodePoints = 4000;

// ---- Patterns ----
// The page's patterns mean Unicode white space by "\s", which RE2 reads as ASCII only.
using unicode_class::kSpace;

const RE2& cloudUsagePattern() {
  static const RE2 re(joinPattern({"Cloud Usage", kSpace, "*</span>", kSpace, "*<span[^>]*>([^<]+)</span>"}));
  return re;
}

const RE2& usedPercentPattern() {
  static const RE2 re(joinPattern({R"((?i)([0-9]+(?:\.[0-9]+)?))", kSpace, "*%", kSpace, "*used"}));
  return re;
}

// A progress bar's "width: 30%", for sections that show no "% used" text.
const RE2& widthPattern() {
  static const RE2 re(joinPattern({"(?i)width:", kSpace, R"(*([0-9]+(?:\.[0-9]+)?)%)"}));
  return re;
}

const RE2& resetTimePattern() {
  static const RE2 re(R"re(data-time="([^"]+)")re");
  return re;
}

}  // namespace

// ---- Requests ----

HTTPRequest settingsRequest(std::string_view origin, std::string_view cookie) {
  HTTPRequest request;
  request.url = std::string(origin) + std::string(kSettingsPath);
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("Accept", std::string(kAccept));
  request.headers.add("User-Agent", std::string(kChrome143UserAgent));
  request.headers.add("Accept-Language", std::string(kAcceptLanguage));
  request.headers.add("Origin", std::string(origin));
  request.headers.add("Referer", request.url);
  return request;
}

// ---- Page readers ----

bool isSignInPage(std::string_view html) {
  const std::string h = toLowerASCII(html);
  if (h.find("<form") == std::string::npos) return false;
  const bool authPath = containsAny(h, {"/api/auth/signin", "/auth/signin"});
  const bool signInLink =
      containsAny(h, {R"(action="/login")", R"(href="/login")", R"(action="/signin")", R"(href="/signin")"});
  const bool title = containsAny(h, {"sign in to ollama", "log in to ollama"});
  const bool password = containsAny(h, {R"(type="password")", R"(name="password")"});
  const bool email = containsAny(h, {R"(type="email")", R"(name="email")"});
  return authPath || signInLink || (title && (password || email)) || (password && email);
}

std::optional<std::string> readCloudUsageText(std::string_view html) {
  const auto capture = firstCapture(html, cloudUsagePattern());
  if (!capture) return std::nullopt;
  const auto trimmed = trimWhitespace(*capture);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::optional<UsageBlock> findUsageBlock(const std::vector<std::string_view>& labels, std::string_view html) {
  for (const auto label : labels) {
    const auto at = html.find(label);
    if (at == std::string_view::npos) continue;
    const std::string_view tail = html.substr(at + label.size());
    std::size_t end = std::string_view::npos;
    for (const auto other : kSectionLabels) {
      if (other != label) end = std::min(end, tail.find(other));
    }
    const std::string_view section = prefixCodePoints(tail.substr(0, end), kMaxSectionCodePoints);
    // Only the label's first occurrence is tried: a later one is usually a different part of the page.
    if (const auto percent = readUsedPercent(section)) return UsageBlock{*percent, readResetDate(section)};
  }
  return std::nullopt;
}

std::optional<double> readUsedPercent(std::string_view section) {
  // A capture too long to be a finite number counts as no match, so the progress bar is read instead.
  for (const RE2* re : {&usedPercentPattern(), &widthPattern()}) {
    if (const auto capture = firstCapture(section, *re)) {
      if (const auto percent = parseDecimal(*capture)) return percent;
    }
  }
  return std::nullopt;
}

std::optional<Timestamp> readResetDate(std::string_view section) {
  const auto capture = firstCapture(section, resetTimePattern());
  return capture ? parseInternetDate(*capture) : std::nullopt;
}

// ---- Mapping ----

UsageData readUsage(std::string_view html, std::string_view origin, Timestamp now) {
  if (isSignInPage(html)) throw OllamaError::notLoggedIn();
  const auto note = readCloudUsageText(html);
  const auto main = findUsageBlock(kMainLabels, html);
  const auto weekly = findUsageBlock(kWeeklyLabels, html);
  if (!main && !weekly) {
    const auto scheme = origin.find("://");
    const auto host = scheme == std::string_view::npos ? origin : origin.substr(scheme + 3);
    throw OllamaError::parseFailed("Could not find usage data on " + std::string(host) + std::string(kSettingsPath));
  }

  UsageData record = UsageData::blank(Provider::ollama);
  record.used = main ? main->usedPercent : 0;
  record.limit = 100;
  record.resetAt = main ? main->resetsAt : std::nullopt;
  record.resetPeriod = ResetPeriod::window;
  record.lastUpdated = now;
  record.note = note;
  if (weekly) {
    UsageData week = UsageData::blank(Provider::ollama);
    week.used = weekly->usedPercent;
    week.limit = 100;
    week.resetAt = weekly->resetsAt;
    week.resetPeriod = ResetPeriod::weekly;
    week.lastUpdated = now;
    week.note = "Weekly";
    record.auxiliaryUsage.push_back(std::move(week));
  }
  return record;
}

}  // namespace ollama

// ---- Service ----

UsageData OllamaService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string cookie = requireCredential<OllamaError>(credential);
  const Timestamp now = context_.clock.now();
  const std::string origin = context_.origins.get(ollama::kOriginKey);
  const std::string body =
      okBody<OllamaError>(context_.transport, ollama::settingsRequest(origin, cookie), std::move(stop));
  // A page that is not UTF-8 is read as an empty one, which holds no usage data.
  const std::string_view html = isValidUTF8(body) ? std::string_view(body) : std::string_view();
  return ollama::readUsage(html, origin, now);
}

// ---- Errors ----

OllamaError OllamaError::parseFailed(const std::string& message) {
  return {OllamaErrorCode::parseFailed, "Failed to parse Ollama usage: ", message};
}

OllamaError OllamaError::notLoggedIn() { return {OllamaErrorCode::notLoggedIn, "Not logged in to Ollama"}; }

}  // namespace dapplewick
