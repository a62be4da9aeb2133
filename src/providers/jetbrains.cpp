#include "providers/jetbrains.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <utility>

#include <pugixml.hpp>
#include <re2/re2.h>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/local_file.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace dapplewick {
namespace jetbrains {
namespace {

namespace fs = std::filesystem;

const KnownIDE* ideForFolder(std::string_view folderName) {
  const std::string lowered = toLowerASCII(folderName);
  for (const KnownIDE& ide : kKnownIDEs) {
    if (startsWith(lowered, toLowerASCII(ide.prefix))) return &ide;
  }
  return nullptr;
}

}  // namespace

// ---- Finding the quota file ----

std::vector<fs::path> configurationRoots(const Environment& environment) {
#ifdef __APPLE__
  const auto home = environment.get("HOME");
  if (!home || home->empty()) return {};
  const fs::path base = fs::path(*home) / "Library/Application Support";
#else
  // The IDEs and Android Studio keep `<Product><version>/options/` under the XDG configuration folder on Linux.
  const auto xdg = xdgConfigHome(environment);
  if (!xdg) return {};
  const fs::path& base = *xdg;
#endif
  return {base / "JetBrains", base / "Google"};
}

QuotaFile findQuotaFile(const std::vector<fs::path>& roots) {
  std::optional<QuotaFile> chosen;
  fs::file_time_type newest = fs::file_time_type::min();
  for (const fs::path& root : roots) {
    std::error_code error;
    fs::directory_iterator entries(root, error);
    // A root that cannot be listed holds no IDE for us; neither does one that fails halfway.
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
      const KnownIDE* ide = ideForFolder(entries->path().filename().string());
      if (ide == nullptr) continue;
      const fs::path file = entries->path() / kQuotaFile;
      std::error_code statError;
      if (!fs::exists(file, statError)) continue;
      // Unreadable attributes count as the distant past.
      fs::file_time_type modified = fs::last_write_time(file, statError);
      if (statError) modified = fs::file_time_type::min();
      if (!chosen || newest < modified) {
        chosen = QuotaFile{file.string(), std::string(ide->name)};
        newest = modified;
      }
    }
  }
  if (!chosen) throw JetBrainsError::noIDEDetected();
  return *chosen;
}

// ---- Reading the quota file ----

namespace {

std::optional<std::string> valueByXPath(const pugi::xml_document& document, std::string_view option) {
  const std::string query =
      "//component[@name='AIAssistantQuotaManager2']/option[@name='" + std::string(option) + "']/@value";
  const pugi::xpath_node node = document.select_node(query.c_str());
  if (!node.attribute()) return std::nullopt;
  return std::string(node.attribute().value());
}

std::optional<std::string> valueByPattern(std::string_view text, std::string_view option) {
  const std::string name(option);
  const std::string patterns[] = {
      R"(<option[^>]*name\s*=\s*["'])" + name + R"(["'][^>]*value\s*=\s*["']([^"']*)["'])",
      R"(<option[^>]*value\s*=\s*["']([^"']*)["'][^>]*name\s*=\s*["'])" + name + R"(["'])",
  };
  for (const std::string& pattern : patterns) {
    const RE2 expression(pattern, RE2::Quiet);
    std::string value;
    if (expression.ok() && RE2::PartialMatch(text, expression, &value)) return value;
  }
  return std::nullopt;
}

}  // namespace

OptionValues extractOptionValues(std::string_view bytes) {
  pugi::xml_document document;
  if (document.load_buffer(bytes.data(), bytes.size())) {
    return {valueByXPath(document, "quotaInfo"), valueByXPath(document, "nextRefill")};
  }
  if (!isValidUTF8(bytes)) return {};
  return {valueByPattern(bytes, "quotaInfo"), valueByPattern(bytes, "nextRefill")};
}

std::string unescapeXML(std::string_view text) {
  // One entity after the other over the whole text, "&amp;" before "&lt;": "&amp;lt;" ends as "<".
  static constexpr std::pair<std::string_view, std::string_view> kEntities[] = {
      {"&#10;", "\n"}, {"&quot;", "\""}, {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&apos;", "'"}};
  std::string out(text);
  for (const auto& [entity, replacement] : kEntities) {
    std::string next;
    std::size_t pos = 0;
    for (auto hit = out.find(entity); hit != std::string::npos; hit = out.find(entity, pos)) {
      next.append(out, pos, hit - pos).append(replacement);
      pos = hit + entity.size();
    }
    out = next.append(out, pos);
  }
  return out;
}

namespace {

std::optional<double> decimalString(const Json* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return parseDecimal(value->get_ref<const std::string&>());
}

const Json* nonEmptyObject(const Json* value) {
  return value != nullptr && value->is_object() && !value->empty() ? value : nullptr;
}

}  // namespace

QuotaInfo parseQuotaInfo(std::string_view text) {
  const auto document = parseJsonOrNothing(text);
  if (!document || !document->is_object()) throw JetBrainsError::parseError("Invalid quotaInfo JSON");
  const Json* root = &*document;
  QuotaInfo quota;
  if (const Json* type = member(root, "type"); type != nullptr && type->is_string()) {
    quota.type = type->get<std::string>();
  }
  quota.used = decimalString(member(root, "current")).value_or(0);
  quota.maximum = decimalString(member(root, "maximum")).value_or(0);
  quota.tariffQuotaAvailable = decimalString(member(nonEmptyObject(member(root, "tariffQuota")), "available"));
  return quota;
}

std::optional<Timestamp> parseNextRefill(std::string_view text) {
  const auto document = parseJsonOrNothing(text);
  if (!document) return std::nullopt;
  const Json* next = member(nonEmptyObject(&*document), "next");
  if (next == nullptr || !next->is_string()) return std::nullopt;
  return parseInternetDate(next->get_ref<const std::string&>());
}

// ---- Mapping ----

double usedPercent(const QuotaInfo& quota) {
  if (!(quota.maximum > 0)) return 0;
  const double consumed = quota.tariffQuotaAvailable ? quota.maximum - *quota.tariffQuotaAvailable : quota.used;
  const double percent = consumed / quota.maximum * 100;
  // Extreme figures can overflow the quotient; an infinite share of the quota is no reading at all.
  if (!std::isfinite(percent)) return 0;
  if (quota.tariffQuotaAvailable && percent < 0) return 0;
  return std::min(percent, 100.0);
}

UsageData makeUsageData(const QuotaInfo& quota, std::optional<Timestamp> refill,
                        const std::optional<std::string>& ideName, Timestamp now) {
  UsageData record = UsageData::blank(Provider::jetBrains);
  record.used = usedPercent(quota);
  record.limit = 100;
  record.resetAt = refill;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  std::vector<std::string> parts;
  if (quota.type) parts.push_back("Plan: " + *quota.type);
  if (ideName) parts.push_back("IDE: " + *ideName);
  record.note = joinNotes(parts);
  return record;
}

}  // namespace jetbrains

// ---- Service ----

UsageData JetBrainsService::fetchUsage(std::stop_token /*stop*/) {
  const jetbrains::QuotaFile file = findQuotaFile();
  return readQuotaFile(file.path, file.ideName);
}

jetbrains::QuotaFile JetBrainsService::findQuotaFile() const {
  return jetbrains::findQuotaFile(jetbrains::configurationRoots(context_.environment));
}

UsageData JetBrainsService::readQuotaFile(const std::string& path, const std::optional<std::string>& ideName) const {
  std::optional<std::string> bytes;
  try {
    // Opened without blocking and bounded: a FIFO or a device in place of the file must not hang the fetch.
    bytes = readLocalFile(path, jetbrains::kMaxQuotaFileBytes);
  } catch (const LocalFileError& error) {
    throw JetBrainsError::parseError("Cannot read file: " + std::string(error.what()));
  }
  if (!bytes) throw JetBrainsError::quotaFileNotFound(path);
  const jetbrains::OptionValues values = jetbrains::extractOptionValues(*bytes);
  if (!values.quotaInfo || values.quotaInfo->empty()) throw JetBrainsError::noQuotaInfo();
  const jetbrains::QuotaInfo quota = jetbrains::parseQuotaInfo(jetbrains::unescapeXML(*values.quotaInfo));
  std::optional<Timestamp> refill;
  if (values.nextRefill && !values.nextRefill->empty()) {
    refill = jetbrains::parseNextRefill(jetbrains::unescapeXML(*values.nextRefill));
  }
  return jetbrains::makeUsageData(quota, refill, ideName, context_.clock.now());
}

// ---- Errors ----

JetBrainsError JetBrainsError::quotaFileNotFound(std::string_view path) {
  return {JetBrainsErrorCode::quotaFileNotFound, "JetBrains AI quota file not found at ", path};
}
JetBrainsError JetBrainsError::parseError(std::string_view message) {
  return {JetBrainsErrorCode::parseError, "Could not parse JetBrains AI quota: ", message};
}
JetBrainsError JetBrainsError::noIDEDetected() {
  return {JetBrainsErrorCode::noIDEDetected, "No JetBrains IDE with AI Assistant detected"};
}
JetBrainsError JetBrainsError::noQuotaInfo() {
  return {JetBrainsErrorCode::noQuotaInfo, "No quota information found in JetBrains AI configuration"};
}

}  // namespace dapplewick
