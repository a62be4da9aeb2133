#include "providers/warp.hpp"

#include <charconv>
#include <cmath>
#include <utility>

#if defined(__APPLE__)
#include <sys/sysctl.h>

#include <cstring>
#else
#include <sys/utsname.h>
#endif

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"

namespace dapplewick::warp {
namespace {

constexpr std::string_view kUserAgent = "Warp/1.0";

// One decimal number at `at`, advancing past its digits; no digits (or more than fit) read 0.
std::string versionNumber(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  unsigned long long number = 0;
  std::from_chars(text.data() + start, text.data() + at, number);
  return std::to_string(number);
}

}  // namespace

// ---- The running system's version ----

std::string threePartVersion(std::string_view release) {
  std::size_t at = 0;
  std::string version = versionNumber(release, at);
  for (int part = 1; part < 3; ++part) {
    const bool more = at < release.size() && release[at] == '.';
    if (more) ++at;
    version += "." + (more ? versionNumber(release, at) : std::string("0"));
  }
  return version;
}

std::string runningOSVersion() {
#if defined(__APPLE__)
  char product[64] = {};
  std::size_t size = sizeof product;
  if (sysctlbyname("kern.osproductversion", product, &size, nullptr, 0) != 0) return threePartVersion("");
  return threePartVersion(std::string_view(product, strnlen(product, sizeof product)));
#else
  struct utsname names {};
  if (uname(&names) != 0) return threePartVersion("");
  return threePartVersion(names.release);
#endif
}

// ---- Requests ----

HTTPRequest requestLimitRequest(std::string_view origin, std::string_view apiKey, std::string_view osVersion) {
  HTTPRequest request;
  request.method = "POST";
  request.url = withQuery(std::string(origin) + std::string(kGraphQLPath), {{"op", std::string(kOperationName)}});
  request.headers = {{"Content-Type", "application/json"},
                     {"Accept", "application/json"},
                     bearerHeader(apiKey),
                     {"x-warp-client-id", "warp-app"},
                     {"x-warp-os-category", std::string(kOSName)},
                     {"x-warp-os-name", std::string(kOSName)},
                     {"User-Agent", std::string(kUserAgent)},
                     {"x-warp-os-version", std::string(osVersion)}};
  const Json osContext = {{"category", kOSName}, {"name", kOSName}, {"version", osVersion}};
  const Json requestContext = {{"clientContext", Json::object()}, {"osContext", osContext}};
  request.body = Json{{"query", kRequestLimitQuery},
                      {"variables", {{"requestContext", requestContext}}},
                      {"operationName", kOperationName}}
                     .dump();
  return request;
}

// ---- Readers ----

bool boolValue(const Json* value) {
  if (value == nullptr) return false;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) return value->get<double>() != 0;
  if (value->is_string()) {
    const std::string lower = toLowerASCII(value->get_ref<const std::string&>());
    return lower == "true" || lower == "1" || lower == "yes";
  }
  return false;
}

std::int64_t intValue(const Json* value) {
  if (value == nullptr) return 0;
  if (value->is_number_float()) {
    // A figure beyond the 64-bit range has no integer value; converting it would be undefined.
    const double whole = std::trunc(value->get<double>());
    if (whole >= -9223372036854775808.0 && whole < 9223372036854775808.0) return static_cast<std::int64_t>(whole);
    return 0;
  }
  if (value->is_string()) return parseInteger(value->get_ref<const std::string&>()).value_or(0);
  return integerValue(value).value_or(0);
}

UsageData parseRequestLimitInfo(std::string_view body, Timestamp now) {
  const auto document = parseJsonOrNothing(body);
  if (!document || !document->is_object()) throw WarpError::invalidResponse();
  // GraphQL reports a refused key as a 200 answer with errors; whatever they say, the key is what failed.
  if (const Json* errors = member(&*document, "errors"); errors && errors->is_array() && !errors->empty()) {
    throw WarpError::invalidCredentials();
  }
  const Json* info = &*document;
  for (const std::string_view key : {"data", "user", "user", "requestLimitInfo"}) {
    info = asObject(member(info, key));
    if (info == nullptr) throw WarpError::invalidResponse();
  }

  UsageData data = UsageData::blank(Provider::warp);
  data.resetPeriod = ResetPeriod::monthly;
  data.lastUpdated = now;
  if (boolValue(member(info, "isUnlimited"))) {
    data.note = "Unlimited plan";
    return data;
  }
  data.used = static_cast<double>(intValue(member(info, "requestsUsedSinceLastRefresh")));
  data.limit = static_cast<double>(intValue(member(info, "requestLimit")));
  if (const Json* refresh = member(info, "nextRefreshTime"); refresh && refresh->is_string()) {
    data.resetAt = parseInternetDate(refresh->get_ref<const std::string&>());
  }
  return data;
}

}  // namespace dapplewick::warp

namespace dapplewick {

// ---- The service ----

UsageData WarpService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = requireCredential<WarpError>(credential);
  const auto request = warp::requestLimitRequest(context_.origins.get(warp::kOriginKey), apiKey, osVersion_);
  const std::string body = okBody<WarpError>(context_.transport, request, std::move(stop));
  return warp::parseRequestLimitInfo(body, context_.clock.now());
}

}  // namespace dapplewick
