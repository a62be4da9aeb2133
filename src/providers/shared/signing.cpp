#include "providers/shared/signing.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "common/dates.hpp"
#include "common/text.hpp"
#include "common/url.hpp"

namespace dapplewick {

// ---- Bytes ----

std::string sha256(std::string_view data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return {reinterpret_cast<const char*>(digest.data()), length};
}

std::string sha256Hex(std::string_view data) { return hexLower(sha256(data)); }

std::string hmacSHA256(std::string_view key, std::string_view data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> code{};
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), code.data(), &length);
  return {reinterpret_cast<const char*>(code.data()), length};
}

// ---- Shared pieces ----

void setHeader(HTTPHeaders& headers, std::string_view name, std::string value) {
  HTTPHeaders out;
  bool placed = false;
  for (const HTTPHeader& header : headers.list()) {
    if (!equalsIgnoringASCIICase(header.name, name)) {
      out.add(header.name, header.value);
    } else if (!placed) {
      out.add(std::string(name), value);
      placed = true;
    }
  }
  if (!placed) out.add(std::string(name), std::move(value));
  headers = std::move(out);
}

std::string canonicalURI(std::string_view url) {
  const auto parts = parseURL(url);
  const std::string path = parts ? percentDecode(parts->path) : std::string();
  if (path.empty()) return "/";
  std::string out;
  std::size_t start = 0;
  while (true) {
    const auto slash = path.find('/', start);
    out += percentEncode(std::string_view(path).substr(start, slash - start));
    if (slash == std::string::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

std::string hostOf(std::string_view url) {
  const auto parts = parseURL(url);
  return parts ? parts->host : std::string();
}

namespace {

// Spaces and tabs as the servers strip them: ASCII only, inner runs kept.
std::string_view trimHeaderValue(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  return value;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += '\n';
    out += lines[i];
  }
  return out;
}

// Each step's code keys the next: date, region, service, terminator.
std::string deriveKey(std::string key, std::initializer_list<std::string_view> steps) {
  for (const std::string_view step : steps) key = hmacSHA256(key, step);
  return key;
}

}  // namespace

// ---- AWS Signature Version 4 ----

void signAWSHeaders(HTTPRequest& request, const AWSCredentials& credentials, const AWSScope& scope, Timestamp instant) {
  const std::string requestTime = formatCompactDateTimeUTC(instant);
  const std::string dateStamp = formatCompactDateUTC(instant);
  const std::string payloadHash = sha256Hex(request.body.value_or(""));

  std::vector<std::pair<std::string, std::string>> canonical;
  for (const HTTPHeader& header : request.headers.list()) {
    canonical.emplace_back(toLowerASCII(header.name), std::string(trimHeaderValue(header.value)));
  }
  std::stable_sort(canonical.begin(), canonical.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string headerBlock;
  std::string signedHeaders;
  for (std::size_t i = 0; i < canonical.size(); ++i) {
    if (i > 0) {
      headerBlock += '\n';
      signedHeaders += ';';
    }
    headerBlock.append(canonical[i].first).append(":").append(canonical[i].second);
    signedHeaders += canonical[i].first;
  }

  const std::string canonicalRequest =
      joinLines({request.method.empty() ? "POST" : request.method, canonicalURI(request.url), "", headerBlock + "\n",
                 signedHeaders, payloadHash});
  const std::string credentialScope = dateStamp + "/" + scope.region + "/" + scope.service + "/aws4_request";
  const std::string stringToSign =
      joinLines({"AWS4-HMAC-SHA256", requestTime, credentialScope, sha256Hex(canonicalRequest)});
  const std::string key =
      deriveKey("AWS4" + credentials.secretAccessKey, {dateStamp, scope.region, scope.service, "aws4_request"});
  setHeader(request.headers, "Authorization",
            "AWS4-HMAC-SHA256 Credential=" + credentials.accessKeyID + "/" + credentialScope +
                ", SignedHeaders=" + signedHeaders + ", Signature=" + hexLower(hmacSHA256(key, stringToSign)));
}

void signAWSRequest(HTTPRequest& request, const AWSCredentials& credentials, const AWSScope& scope, Timestamp instant) {
  setHeader(request.headers, "X-Amz-Date", formatCompactDateTimeUTC(instant));
  if (credentials.sessionToken) setHeader(request.headers, "X-Amz-Security-Token", *credentials.sessionToken);
  // Set on the request, so that the host sent is the host signed.
  setHeader(request.headers, "Host", hostOf(request.url));
  setHeader(request.headers, "x-amz-content-sha256", sha256Hex(request.body.value_or("")));
  signAWSHeaders(request, credentials, scope, instant);
}

// ---- Volcengine ----

namespace {

constexpr std::string_view kVolcengineService = "ark";
constexpr std::string_view kVolcengineSignedHeaders = "content-type;host;x-content-sha256;x-date";
constexpr std::string_view kFormContentType = "application/x-www-form-urlencoded; charset=utf-8";

}  // namespace

std::string volcengineCanonicalQuery(std::string_view url) {
  const auto parts = parseURL(url);
  if (!parts || !parts->query || parts->query->empty()) return "";
  std::vector<std::pair<std::string, std::string>> items;
  std::string_view rest = *parts->query;
  while (true) {
    const auto amp = rest.find('&');
    const std::string_view item = rest.substr(0, amp);
    const auto equals = item.find('=');
    const std::string_view value = equals == std::string_view::npos ? "" : item.substr(equals + 1);
    items.emplace_back(percentEncode(percentDecode(item.substr(0, equals))), percentEncode(percentDecode(value)));
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  std::sort(items.begin(), items.end());
  std::string out;
  for (const auto& [name, value] : items) {
    if (!out.empty()) out += '&';
    out.append(name).append("=").append(value);
  }
  return out;
}

void signVolcengineRequest(HTTPRequest& request, const VolcengineCredentials& credentials, Timestamp instant) {
  const std::string xDate = formatCompactDateTimeUTC(instant);
  const std::string shortDate = formatCompactDateUTC(instant);
  const std::string bodyHash = sha256Hex(request.body.value_or(""));
  const std::string contentType = request.headers.get("Content-Type").value_or(std::string(kFormContentType));
  const std::string host = hostOf(request.url);
  setHeader(request.headers, "Content-Type", contentType);
  setHeader(request.headers, "X-Date", xDate);
  setHeader(request.headers, "X-Content-Sha256", bodyHash);
  setHeader(request.headers, "Host", host);

  const std::string canonicalRequest = joinLines(
      {request.method.empty() ? "POST" : request.method, canonicalURI(request.url),
       volcengineCanonicalQuery(request.url), "content-type:" + contentType, "host:" + host,
       "x-content-sha256:" + bodyHash, "x-date:" + xDate, "", std::string(kVolcengineSignedHeaders), bodyHash});
  const std::string scope = shortDate + "/" + credentials.region + "/" + std::string(kVolcengineService) + "/request";
  const std::string stringToSign = joinLines({"HMAC-SHA256", xDate, scope, sha256Hex(canonicalRequest)});
  // Unlike AWS, the secret is the first key as it is, with nothing in front.
  const std::string key =
      deriveKey(credentials.secretAccessKey, {shortDate, credentials.region, kVolcengineService, "request"});
  setHeader(request.headers, "Authorization",
            "HMAC-SHA256 Credential=" + credentials.accessKeyId + "/" + scope + ", SignedHeaders=" +
                std::string(kVolcengineSignedHeaders) + ", Signature=" + hexLower(hmacSHA256(key, stringToSign)));
}

}  // namespace dapplewick
