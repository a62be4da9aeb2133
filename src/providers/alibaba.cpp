#include "providers/alibaba.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/patterns.hpp"
#include "common/random.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/alibaba_json.hpp"
#include "providers/shared/cookie.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace alibaba {
namespace {

using namespace std::string_view_literals;

// ---- Constants ----

// What differs between the two sites, besides their origins.
struct SiteTexts {
  std::string_view codingPlanPage;  // after the console origin
  std::string_view tokenPlanPage;
  std::string_view gatewayAction;
  std::string_view region;
  std::string_view consoleSite;
  std::string_view codingPlanCommodity;
  std::string_view tokenPlanProduct;
};

// The China token-plan page has no "/" before its "?", unlike the other three.
constexpr SiteTexts kInternationalTexts{"/ap-southeast-1/?tab=coding-plan#/efm/coding_plan",
                                        "/ap-southeast-1/?tab=plan#/efm/subscription/token-plan",
                                        "IntlBroadScopeAspnGateway",
                                        "ap-southeast-1",
                                        "MODELSTUDIO_ALIBABACLOUD",
                                        "sfm_codingplan_public_intl",
                                        "sfm_tokenplanteams_dp_intl"};
constexpr SiteTexts kChinaTexts{"/cn-beijing/?tab=model#/efm/coding_plan",
                                "/cn-beijing?tab=plan#/efm/subscription/token-plan",
                                "BroadScopeAspnGateway",
                                "cn-beijing",
                                "BAILIAN_ALIYUN",
                                "sfm_codingplan_public_cn",
                                "sfm_tokenplanteams_dp_cn"};

const SiteTexts& textsOf(ConsoleSite site) {
  return site == ConsoleSite::international ? kInternationalTexts : kChinaTexts;
}

constexpr std::string_view kDataPath = "/data/api.json";
constexpr std::string_view kCodingPlanAPI = "zeldaEasy.broadscope-bailian.codingPlan.queryCodingPlanInstanceInfoV2";
constexpr std::string_view kTokenPlanAction = "GetSubscriptionSummary";
constexpr std::string_view kTokenPlanProduct = "BssOpenAPI-V3";
// The pages are asked for as a desktop browser navigates to them, so that they come with their scripts' token.
constexpr std::string_view kPageUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/26.3 "
    "Safari/605.1.15";
constexpr std::string_view kPageAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

// "host[:port]" of an origin, so that an overridden console keeps its port.
std::string_view hostOf(std::string_view origin) {
  const auto scheme = origin.find("://");
  return scheme == std::string_view::npos ? origin : origin.substr(scheme + 3);
}

HTTPRequest dataRequest(std::string url, std::string_view consoleOrigin, std::string referer, const Session& session,
                        QueryItems form) {
  if (session.secToken) form.emplace_back("sec_token", *session.secToken);
  HTTPRequest request;
  request.method = "POST";
  request.url = std::move(url);
  request.headers.add("Content-Type", "application/x-www-form-urlencoded");
  request.headers.add("Accept", "*/*");
  request.headers.add("Cookie", session.cookie);
  request.headers.add("X-Requested-With", "XMLHttpRequest");
  request.headers.add("User-Agent", std::string(kChrome143UserAgent));
  request.headers.add("Origin", std::string(consoleOrigin));
  request.headers.add("Referer", std::move(referer));
  // The first cookie piece with a name decides, so an empty login_aliyunid_csrf falls back to csrf.
  auto antiForgery = cookieValue("login_aliyunid_csrf", session.cookie);
  if (!antiForgery) antiForgery = cookieValue("csrf", session.cookie);
  if (antiForgery) {
    request.headers.add("x-xsrf-token", *antiForgery);
    request.headers.add("x-csrf-token", *antiForgery);
  }
  request.body = formEncode(form);
  return request;
}

std::string compactJSON(const Json& value, std::string_view failure) {
  try {
    return value.dump();
  } catch (const Json::exception&) {
    throw AlibabaError::parseFailed(std::string(failure));
  }
}

}  // namespace

// ---- Requests ----

std::string codingPlanConsoleURL(std::string_view consoleOrigin, ConsoleSite site) {
  return std::string(consoleOrigin) + std::string(textsOf(site).codingPlanPage);
}

std::string tokenPlanConsoleURL(std::string_view consoleOrigin, ConsoleSite site) {
  return std::string(consoleOrigin) + std::string(textsOf(site).tokenPlanPage);
}

HTTPRequest pageRequest(std::string pageURL, std::string_view cookie) {
  HTTPRequest request;
  request.url = std::move(pageURL);
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("User-Agent", std::string(kPageUserAgent));
  request.headers.add("Accept", std::string(kPageAccept));
  return request;
}

std::optional<std::string> scrapeSecToken(std::string_view html) {
  static const std::array<RE2, 5> patterns = [] {
    const std::string space = std::string(unicode_class::kSpace) + "*";
    const auto assignment = [&](std::string_view name) {
      return std::string(name) + space + ":" + space + R"re("([^"]+)")re";
    };
    return std::array<RE2, 5>{RE2(assignment("SEC_TOKEN")), RE2(assignment("secToken")), RE2(assignment("sec_token")),
                              RE2(assignment(R"("secToken")")), RE2(assignment(R"("sec_token")"))};
  }();
  for (const RE2& pattern : patterns) {
    std::string token;
    if (!pattern.ok() || !RE2::PartialMatch(html, pattern, &token)) continue;
    const std::string_view trimmed = trimSpacesAndTabs(token);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return std::nullopt;
}

HTTPRequest codingPlanRequest(const SiteOrigins& origins, ConsoleSite site, const Session& session,
                              std::string_view traceId) {
  const SiteTexts& texts = textsOf(site);
  const std::string page = codingPlanConsoleURL(origins.console, site);
  const Json params = {
      {"Api", kCodingPlanAPI},
      {"V", "1.0"},
      {"Data",
       {{"queryCodingPlanInstanceInfoRequest", {{"commodityCode", texts.codingPlanCommodity}, {"onlyLatestOne", true}}},
        {"cornerstoneParam",
         {{"feTraceId", traceId},
          {"feURL", page},
          {"protocol", "V2"},
          {"console", "ONE_CONSOLE"},
          {"productCode", "p_efm"},
          {"domain", hostOf(origins.console)},
          {"consoleSite", texts.consoleSite},
          {"userNickName", ""},
          {"userPrincipalName", ""},
          {"xsp_lang", "en-US"}}}}}};
  const std::string url =
      withQuery(origins.gateway + std::string(kDataPath), {{"action", std::string(texts.gatewayAction)},
                                                           {"product", "sfm_bailian"},
                                                           {"api", std::string(kCodingPlanAPI)},
                                                           {"_v", "undefined"}});
  return dataRequest(
      url, origins.console, page, session,
      {{"params", compactJSON(params, "Could not build request body")}, {"region", std::string(texts.region)}});
}

HTTPRequest tokenPlanRequest(std::string_view consoleOrigin, ConsoleSite site, const Session& session) {
  const SiteTexts& texts = textsOf(site);
  const std::string url =
      withQuery(std::string(consoleOrigin) + std::string(kDataPath),
                {{"action", std::string(kTokenPlanAction)}, {"product", std::string(kTokenPlanProduct)}, {"_tag", ""}});
  const Json params = {{"ProductCode", texts.tokenPlanProduct}};
  return dataRequest(url, consoleOrigin, tokenPlanConsoleURL(consoleOrigin, site), session,
                     {{"product", std::string(kTokenPlanProduct)},
                      {"action", std::string(kTokenPlanAction)},
                      {"params", compactJSON(params, "Could not build token plan request")},
                      {"region", std::string(texts.region)}});
}

// ---- Readers ----

namespace {

constexpr std::array kLoginNames{"code"sv, "status"sv};
constexpr std::array kQuotaNames{"codingPlanQuotaInfo"sv, "coding_plan_quota_info"sv};
constexpr std::array kQuotaMarkers{"per5HourUsedQuota"sv, "per5HourTotalQuota"sv,    "perWeekUsedQuota"sv,
                                   "perWeekTotalQuota"sv, "perBillMonthUsedQuota"sv, "perBillMonthTotalQuota"sv};
constexpr std::array kFiveHourUsed{"per5HourUsedQuota"sv, "perFiveHourUsedQuota"sv};
constexpr std::array kFiveHourTotal{"per5HourTotalQuota"sv, "perFiveHourTotalQuota"sv};
constexpr std::array kFiveHourReset{"per5HourQuotaNextRefreshTime"sv, "perFiveHourQuotaNextRefreshTime"sv};
constexpr std::array kWeekUsed{"perWeekUsedQuota"sv};
constexpr std::array kWeekTotal{"perWeekTotalQuota"sv};
constexpr std::array kWeekReset{"perWeekQuotaNextRefreshTime"sv};
constexpr std::array kMonthUsed{"perBillMonthUsedQuota"sv, "perMonthUsedQuota"sv};
constexpr std::array kMonthTotal{"perBillMonthTotalQuota"sv, "perMonthTotalQuota"sv};
constexpr std::array kMonthReset{"perBillMonthQuotaNextRefreshTime"sv, "perMonthQuotaNextRefreshTime"sv};

struct Window {
  Names used, total, reset;
  ResetPeriod period;
  std::string_view noteSuffix;
};
const std::array<Window, 3> kWindows{{
    {kFiveHourUsed, kFiveHourTotal, kFiveHourReset, ResetPeriod::window, " requests used (5h window)"},
    {kWeekUsed, kWeekTotal, kWeekReset, ResetPeriod::weekly, " requests used (weekly)"},
    {kMonthUsed, kMonthTotal, kMonthReset, ResetPeriod::monthly, " requests used (monthly)"},
}};
constexpr std::string_view kNoWindows = "No usable quota windows found in Coding Plan response";

constexpr std::array kSuccessNames{"Success"sv, "success"sv};
constexpr std::array kMessageNames{"Message"sv, "message"sv, "Code"sv, "code"sv};
constexpr std::array kContainerNames{"Data"sv, "data"sv, "successResponse"sv};
constexpr std::array kPayloadMarkers{"usedQuota"sv,      "usedCredits"sv,       "totalQuota"sv,       "totalCredits"sv,
                                     "remainingQuota"sv, "totalSurplusValue"sv, "TotalSurplusValue"sv};
constexpr std::array kTotalNames{"totalQuota"sv,  "total_quota"sv,  "totalCredits"sv, "totalCredit"sv, "quota"sv,
                                 "creditLimit"sv, "creditsTotal"sv, "amount"sv,       "totalValue"sv,  "TotalValue"sv};
constexpr std::array kUsedNames{"usedQuota"sv,       "used_quota"sv, "usedCredits"sv,   "usedCredit"sv,
                                "consumedCredits"sv, "usage"sv,      "used"sv,          "usedAmount"sv,
                                "usedValue"sv,       "UsedValue"sv,  "consumedValue"sv, "ConsumedValue"sv};
constexpr std::array kRemainingNames{"remainingQuota"sv,   "remainQuota"sv,       "remainingCredits"sv,
                                     "availableCredits"sv, "balance"sv,           "remaining"sv,
                                     "availableAmount"sv,  "totalSurplusValue"sv, "TotalSurplusValue"sv,
                                     "surplusValue"sv,     "SurplusValue"sv};
constexpr std::array kResetNames{"nextRefreshTime"sv,   "resetTime"sv,        "periodEndTime"sv,  "billingCycleEnd"sv,
                                 "billCycleEndTime"sv,  "expireTime"sv,       "expirationTime"sv, "endTime"sv,
                                 "nearestExpireDate"sv, "NearestExpireDate"sv};

bool mentionsLogin(std::string_view text) { return containsIgnoringASCIICase(text, "login"); }  // "needlogin" too

bool hasAnyMember(const Json& object, Names names) {
  return std::any_of(names.begin(), names.end(), [&](std::string_view name) { return member(&object, name); });
}

UsageData planRecord(Provider provider, double used, Timestamp now) {
  UsageData record = UsageData::blank(provider);
  record.used = used;
  record.limit = 100;
  record.costSemantic = CostSemantic::none;
  record.lastUpdated = now;
  return record;
}

}  // namespace

UsageData parseCodingPlanResponse(std::string_view body, Timestamp now) {
  if (body.empty()) throw AlibabaError::parseFailed("Empty response");
  const auto document = parseJsonOrNothing(body);
  if (!document || !(document->is_object() || document->is_array())) throw AlibabaError::parseFailed("Invalid JSON");
  const Json answer = normalizeJSON(*document);
  if (!answer.is_object()) throw AlibabaError::parseFailed("Unexpected payload shape");
  if (const auto status = findString(kLoginNames, answer); status && mentionsLogin(*status)) {
    throw AlibabaError::loginRequired();
  }
  const Json* quota = findDictionary(kQuotaNames, answer);
  if (quota == nullptr) quota = findDictionaryContainingAnyKey(kQuotaMarkers, answer);
  if (quota == nullptr) throw AlibabaError::parseFailed(std::string(kNoWindows));

  for (const Window& window : kWindows) {
    const auto used = firstInt(window.used, *quota);
    const auto total = firstInt(window.total, *quota);
    if (!used || !total || *total < 1) continue;
    // A negative count is shown as it is; only the top is capped.
    UsageData record = planRecord(Provider::alibaba,
                                  std::min(static_cast<double>(*used) / static_cast<double>(*total) * 100, 100.0), now);
    record.resetAt = firstDate(window.reset, *quota);
    record.resetPeriod = window.period;
    record.note = std::to_string(*used) + " / " + std::to_string(*total) + std::string(window.noteSuffix);
    return record;
  }
  throw AlibabaError::parseFailed(std::string(kNoWindows));
}

UsageData parseTokenPlanResponse(std::string_view body, Timestamp now) {
  if (body.empty()) throw AlibabaError::parseFailed("Empty token plan response");
  const auto document = parseJsonOrNothing(body);
  if (!document || !(document->is_object() || document->is_array())) {
    // The console answers a lapsed session with its sign-in page.
    if (isValidUTF8(body) && containsIgnoringASCIICase(body, "<html")) throw AlibabaError::loginRequired();
    throw AlibabaError::parseFailed("Invalid JSON in token plan response");
  }
  const Json answer = normalizeJSON(*document);
  if (!answer.is_object()) throw AlibabaError::parseFailed("Unexpected token plan payload");
  if (const auto flags = collectFlags(kSuccessNames, answer);
      flags && std::find(flags->begin(), flags->end(), false) != flags->end()) {
    const std::string message = findString(kMessageNames, answer).value_or("request failed");
    if (mentionsLogin(message)) throw AlibabaError::loginRequired();
    throw AlibabaError::apiError(message);
  }

  const Json* payload = findDictionary(kContainerNames, answer);
  if (payload == nullptr || !hasAnyMember(*payload, kPayloadMarkers)) {
    payload = findDictionaryContainingAnyKey(kPayloadMarkers, answer);
  }
  if (payload == nullptr) payload = &answer;
  const auto total = firstDouble(kTotalNames, *payload);
  const auto used = firstDouble(kUsedNames, *payload);
  const auto remaining = firstDouble(kRemainingNames, *payload);

  UsageData record = planRecord(Provider::alibabaTokenPlan, 0, now);
  record.resetAt = firstDate(kResetNames, *payload);
  record.resetPeriod = ResetPeriod::monthly;
  if (total && *total > 0) {
    const double usedAmount = used ? *used : remaining ? std::max(*total - *remaining, 0.0) : 0;
    const double share = usedAmount / *total * 100;
    // A huge figure over a tiny total is no share at all.
    record.used = std::isfinite(share) ? std::min(share, 100.0) : 0;
    return record;
  }
  if (!remaining) throw AlibabaError::parseFailed("Missing token quota data in response");
  // No total: the remaining credits alone, with no percentage.
  record.used = std::max(*remaining, 0.0);
  record.limit = 0;
  record.note = formatFixed(*remaining, 2) + " credits remaining";
  return record;
}

}  // namespace alibaba

// ---- Service ----

using alibaba::ConsoleSite;

UsageData AlibabaService::fetchUsage(std::string_view credential, std::stop_token stop) {
  return fetchPlan(Plan::coding, credential, std::move(stop));
}

UsageData AlibabaService::fetchTokenPlanUsage(std::string_view credential, std::stop_token stop) {
  return fetchPlan(Plan::token, credential, std::move(stop));
}

UsageData AlibabaService::fetchPlan(Plan plan, std::string_view credential, std::stop_token stop) const {
  const std::string cookie = requireCredential<AlibabaError>(credential);
  try {
    return attempt(plan, cookie, ConsoleSite::international, stop);
  } catch (const AlibabaError& error) {
    // A session the international site does not know may belong to the China site; any other failure is final.
    const bool rejected =
        error.code() == AlibabaErrorCode::loginRequired ||
        (error.code() == AlibabaErrorCode::httpError && (error.value() == 403 || error.value() == 404));
    if (!rejected) throw;
  }
  return attempt(plan, cookie, ConsoleSite::china, stop);
}

UsageData AlibabaService::attempt(Plan plan, const std::string& cookie, ConsoleSite site, std::stop_token stop) const {
  const Timestamp now = context_.clock.now();
  const bool international = site == ConsoleSite::international;
  const alibaba::SiteOrigins origins{
      context_.origins.get(international ? alibaba::kInternationalOriginKey : alibaba::kChinaOriginKey),
      context_.origins.get(international ? alibaba::kInternationalGatewayOriginKey : alibaba::kChinaGatewayOriginKey)};
  const bool coding = plan == Plan::coding;
  const std::string page = coding ? alibaba::codingPlanConsoleURL(origins.console, site)
                                  : alibaba::tokenPlanConsoleURL(origins.console, site);
  throwIfCancelled(stop);
  const alibaba::Session session{cookie, fetchSecToken(cookie, page, stop)};
  const HTTPRequest request = coding ? alibaba::codingPlanRequest(origins, site, session, randomUUID())
                                     : alibaba::tokenPlanRequest(origins.console, site, session);
  throwIfCancelled(stop);
  const HTTPResponse response = context_.transport.data(request, std::move(stop));
  // The console reads a 403 as a lapsed session too, and only 200 carries an answer.
  switch (judgeResponse(response)) {
    case ResponseVerdict::ok: break;
    case ResponseVerdict::notHTTP: throw AlibabaError::invalidResponse();
    case ResponseVerdict::unauthorized: throw AlibabaError::loginRequired();
    case ResponseVerdict::httpError: throw AlibabaError::httpError(response.status);
  }
  return coding ? alibaba::parseCodingPlanResponse(response.body, now)
                : alibaba::parseTokenPlanResponse(response.body, now);
}

std::optional<std::string> AlibabaService::fetchSecToken(const std::string& cookie, const std::string& pageURL,
                                                         const std::stop_token& stop) const {
  try {
    const HTTPResponse response = context_.transport.data(alibaba::pageRequest(pageURL, cookie), stop);
    if (response.isHTTP && response.status == 200 && isValidUTF8(response.body)) {
      if (auto token = alibaba::scrapeSecToken(response.body)) return token;
    }
  } catch (const TransportError& error) {
    // A stop ends the fetch; any other failure only costs the page's token.
    if (error.kind() == TransportError::Kind::cancelled) throw;
  }
  return cookieValue("sec_token", cookie);
}

// ---- Errors ----

AlibabaError AlibabaError::apiError(std::string_view message) {
  return AlibabaError(AlibabaErrorCode::apiError, "Alibaba API error: ", errorExcerpt(message));
}

AlibabaError AlibabaError::parseFailed(const std::string& detail) {
  return AlibabaError(AlibabaErrorCode::parseFailed, "Failed to parse Alibaba response: ", detail);
}

AlibabaError AlibabaError::loginRequired() {
  return AlibabaError(AlibabaErrorCode::loginRequired, "Alibaba session expired \u2014 please sign in again");
}

}  // namespace dapplewick
