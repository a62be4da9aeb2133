#include "providers/windsurf.hpp"

#include <algorithm>
#include <cstddef>
#include <initializer_list>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/secrets.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::windsurf {
namespace {

constexpr std::string_view kProfilePath = "/profile";
constexpr std::size_t kMaxVarintBytes = 10;
// Lengths and figures at or above this do not fit the signed 64-bit values protocol buffers promise.
constexpr std::uint64_t kFirstUnsigned = std::uint64_t{1} << 63;

enum WireType : std::uint64_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5 };

// A cursor over the bytes of one protocol-buffer message.
class ProtoReader {
 public:
  explicit ProtoReader(std::string_view bytes) : bytes_(bytes) {}

  bool atEnd() const { return position_ == bytes_.size(); }
  // At most ten bytes, the tenth contributing its lowest bit only. Nothing when the bytes end first (the position
  // then is at the end) or the tenth byte still carries the high bit.
  std::optional<std::uint64_t> readVarint();
  // A varint length and that many bytes. Nothing when the length is unreadable or longer than what remains (the
  // position then is past the length bytes); a length of 2^63 or more is WindsurfError::invalidResponse.
  std::optional<std::string_view> readLengthDelimited();
  // Passes over one value of the wire type, never beyond the end.
  void skip(std::uint64_t wireType);

 private:
  std::size_t remaining() const { return bytes_.size() - position_; }

  std::string_view bytes_;
  std::size_t position_ = 0;
};

std::string firstToken(const Json& object, std::initializer_list<std::string_view> keys) {
  for (const std::string_view key : keys) {
    if (auto text = lenientText(member(&object, key))) return *text;
  }
  return "";
}

void appendVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Calls `read(field, wireType, reader)` for each field until the bytes end or a key is unreadable or names field
// 0; `read` returns false for a field it does not take, which is then skipped.
template <class Read>
void walkMessage(std::string_view bytes, Read read) {
  ProtoReader reader(bytes);
  while (!reader.atEnd()) {
    const auto key = reader.readVarint();
    if (!key || *key < 8) return;
    if (!read(*key >> 3, *key & 7, reader)) reader.skip(*key & 7);
  }
}

void readPlanInfo(std::string_view bytes, PlanStatus& status) {
  walkMessage(bytes, [&status](std::uint64_t field, std::uint64_t wireType, ProtoReader& reader) {
    if (field != 2 || wireType != kLengthDelimited) return false;
    const auto name = reader.readLengthDelimited();
    status.planName = name && isValidUTF8(*name) ? std::optional<std::string>(*name) : std::nullopt;
    return true;
  });
}

void readPlanStatusFields(std::string_view bytes, PlanStatus& status) {
  walkMessage(bytes, [&status](std::uint64_t field, std::uint64_t wireType, ProtoReader& reader) {
    if (field == 1 && wireType == kLengthDelimited) {
      if (const auto info = reader.readLengthDelimited()) readPlanInfo(*info, status);
      return true;
    }
    std::optional<std::uint64_t>* slot = field == 14   ? &status.remainingPercent
                                         : field == 17 ? &status.resetAt
                                         : field == 18 ? &status.fallbackResetAt
                                                       : nullptr;
    if (slot == nullptr || wireType != kVarint) return false;
    // An unreadable figure still counts as given, as 0.
    const std::uint64_t value = reader.readVarint().value_or(0);
    if (value >= kFirstUnsigned) throw WindsurfError::invalidResponse();
    *slot = value;
    return true;
  });
}

}  // namespace

// ---- Credential ----

std::optional<DevinAuth> parseDevinAuth(std::string_view trimmedCredential) {
  const auto document = parseJsonOrNothing(trimmedCredential);
  if (!document || !document->is_object()) return std::nullopt;
  DevinAuth auth;
  auth.sessionToken = firstToken(*document, {"devin_session_token", "devinSessionToken", "sessionToken"});
  if (auth.sessionToken.empty()) return std::nullopt;
  auth.auth1Token = firstToken(*document, {"devin_auth1_token", "devinAuth1Token", "auth1Token"});
  auth.accountID = firstToken(*document, {"devin_account_id", "devinAccountId", "accountID", "accountId"});
  auth.primaryOrgID =
      firstToken(*document, {"devin_primary_org_id", "devinPrimaryOrgId", "primaryOrgID", "primaryOrgId"});
  return auth;
}

std::vector<std::string> secrets(std::string_view credential, const Environment& environment) {
  if (auto auth = parseDevinAuth(prepareCredential(credential))) {
    return {std::move(auth->sessionToken), std::move(auth->auth1Token), std::move(auth->accountID),
            std::move(auth->primaryOrgID)};
  }
  return storedKeySecrets(credential, environment);
}

// ---- Requests ----

std::string encodePlanStatusRequest(std::string_view sessionToken, bool flag) {
  std::string body = "\x0A";
  appendVarint(body, sessionToken.size());
  body.append(sessionToken);
  body.push_back('\x10');
  body.push_back(flag ? '\x01' : '\x00');
  return body;
}

HTTPRequest planStatusRequest(std::string_view origin, const DevinAuth& auth) {
  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + std::string(kPlanStatusPath);
  request.headers = {
      {"Content-Type", "application/proto"}, {"Connect-Protocol-Version", "1"},
      {"Origin", std::string(origin)},       {"Referer", std::string(origin) + std::string(kProfilePath)},
      {"x-auth-token", auth.sessionToken},   {"x-devin-session-token", auth.sessionToken}};
  const auto addIfGiven = [&request](std::string name, const std::string& value) {
    if (!value.empty()) request.headers.add(std::move(name), value);
  };
  addIfGiven("x-devin-auth1-token", auth.auth1Token);
  addIfGiven("x-devin-account-id", auth.accountID);
  addIfGiven("x-devin-primary-org-id", auth.primaryOrgID);
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  request.body = encodePlanStatusRequest(auth.sessionToken, true);
  return request;
}

// ---- The binary answer ----

namespace {

std::optional<std::uint64_t> ProtoReader::readVarint() {
  std::uint64_t value = 0;
  for (std::size_t index = 0; index < kMaxVarintBytes; ++index) {
    if (atEnd()) return std::nullopt;
    const auto byte = static_cast<std::uint8_t>(bytes_[position_++]);
    if (index == kMaxVarintBytes - 1) {
      if ((byte & 0x80) != 0) return std::nullopt;
      return value | (std::uint64_t{byte} & 1) << 63;
    }
    value |= (std::uint64_t{byte} & 0x7F) << (7 * index);
    if ((byte & 0x80) == 0) return value;
  }
  return std::nullopt;
}

std::optional<std::string_view> ProtoReader::readLengthDelimited() {
  const auto length = readVarint();
  if (!length) return std::nullopt;
  if (*length >= kFirstUnsigned) throw WindsurfError::invalidResponse();
  // Compared with what remains, so no length can carry the position past the end or wrap it.
  if (*length > remaining()) return std::nullopt;
  const std::string_view value = bytes_.substr(position_, static_cast<std::size_t>(*length));
  position_ += value.size();
  return value;
}

void ProtoReader::skip(std::uint64_t wireType) {
  switch (wireType) {
    case kVarint:
      for (std::size_t index = 0; index < kMaxVarintBytes && !atEnd(); ++index) {
        if ((static_cast<std::uint8_t>(bytes_[position_++]) & 0x80) == 0) break;
      }
      break;
    case kFixed64: position_ += std::min<std::size_t>(8, remaining()); break;
    case kFixed32: position_ += std::min<std::size_t>(4, remaining()); break;
    case kLengthDelimited: (void)readLengthDelimited(); break;
    default: break;  // group markers and unknown types carry nothing beyond the key
  }
}

}  // namespace

bool isWebPage(const HTTPResponse& response) {
  const std::string type = response.headers.get("Content-Type").value_or("");
  const std::string_view mediaType = trimSpacesAndTabs(std::string_view(type).substr(0, type.find(';')));
  return equalsIgnoringASCIICase(mediaType, "text/html") || startsWith(response.body, "<");
}

PlanStatus readPlanStatus(std::string_view body) {
  PlanStatus status;
  walkMessage(body, [&status](std::uint64_t field, std::uint64_t wireType, ProtoReader& reader) {
    if (field != 1 || wireType != kLengthDelimited) return false;
    const auto planStatus = reader.readLengthDelimited();
    if (!planStatus) throw WindsurfError::invalidResponse();
    readPlanStatusFields(*planStatus, status);
    return true;
  });
  return status;
}

// ---- Mapping ----

UsageData makeUsageData(const PlanStatus& status, Timestamp now) {
  UsageData data = UsageData::blank(Provider::windsurf);
  if (status.remainingPercent) {
    data.used = 100 - static_cast<double>(std::min<std::uint64_t>(*status.remainingPercent, 100));
    data.limit = 100;
    data.resetPeriod = ResetPeriod::daily;
  } else {
    data.resetPeriod = ResetPeriod::weekly;
  }
  if (const auto seconds = status.resetAt ? status.resetAt : status.fallbackResetAt) {
    data.resetAt = fromEpochSeconds(static_cast<double>(*seconds));
  }
  data.lastUpdated = now;
  if (status.planName) data.note = "Plan: " + *status.planName;
  return data;
}

}  // namespace dapplewick::windsurf

namespace dapplewick {

// ---- The service ----

UsageData WindsurfService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string trimmed = requireCredential<WindsurfError>(credential);
  // Anything but a JSON object of tokens is taken as the bare session token, which also serves as the auth1 token.
  const windsurf::DevinAuth auth =
      windsurf::parseDevinAuth(trimmed).value_or(windsurf::DevinAuth{trimmed, trimmed, "", ""});
  const auto request = windsurf::planStatusRequest(context_.origins.get(windsurf::kOriginKey), auth);
  const HTTPResponse response = context_.transport.data(request, std::move(stop));
  requireOK<WindsurfError>(response);
  // Read as a message, a page would hold no plan status and pass for an empty allowance.
  if (windsurf::isWebPage(response)) throw WindsurfError::invalidResponse();
  return windsurf::makeUsageData(windsurf::readPlanStatus(response.body), context_.clock.now());
}

}  // namespace dapplewick
