#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/timestamp.hpp"
#include "model/http.hpp"

namespace dapplewick {

// Request signing of the cloud APIs: AWS Signature Version 4 and its Volcengine relative. Every function is pure:
// the caller passes the instant of sending, and the body signed is the one the request carries (none hashes as
// empty input).

// ---- Bytes ----

// The 32-byte SHA-256 digest.
std::string sha256(std::string_view data);
std::string sha256Hex(std::string_view data);
// The 32-byte HMAC-SHA256 code of `data` under all the bytes of `key`.
std::string hmacSHA256(std::string_view key, std::string_view data);

// ---- Shared pieces ----

// Sets a header, replacing (in its place) any header of the same name in any letter case.
void setHeader(HTTPHeaders& headers, std::string_view name, std::string value);
// The URL's path, percent-decoded and then encoded again segment by segment, or "/" for an empty path. Only ASCII
// letters, digits and "-._~" stay as they are: the servers encode every other byte, so a non-ASCII letter left
// alone would sign a path they never see.
std::string canonicalURI(std::string_view url);
// The URL's host without a port, or the empty text when it has none.
std::string hostOf(std::string_view url);

// ---- AWS Signature Version 4 ----

struct AWSCredentials {
  std::string accessKeyID;
  std::string secretAccessKey;
  std::optional<std::string> sessionToken;  // present but empty is still sent and signed
};

// Where a signature is valid: "us-east-1" and "ce", say.
struct AWSScope {
  std::string region;
  std::string service;
};

// Signs exactly the headers the request carries, then adds "Authorization". The query is not signed: the
// requests signed here carry none.
void signAWSHeaders(HTTPRequest& request, const AWSCredentials& credentials, const AWSScope& scope, Timestamp instant);
// Sets "X-Amz-Date", "X-Amz-Security-Token" (with a token only), "Host" and "x-amz-content-sha256" in that order,
// then signs as signAWSHeaders does.
void signAWSRequest(HTTPRequest& request, const AWSCredentials& credentials, const AWSScope& scope, Timestamp instant);

// ---- Volcengine ----

struct VolcengineCredentials {
  std::string accessKeyId;
  std::string secretAccessKey;
  std::string region;
};

// The URL's query items, decoded, encoded again (a blank as %20), sorted by name and then value, joined with "&".
std::string volcengineCanonicalQuery(std::string_view url);
// Sets "Content-Type" (kept when present, else the form type), "X-Date", "X-Content-Sha256", "Host" and
// "Authorization", in that order, signing only content-type, host, x-content-sha256 and x-date for the "ark"
// service.
void signVolcengineRequest(HTTPRequest& request, const VolcengineCredentials& credentials, Timestamp instant);

}  // namespace dapplewick
