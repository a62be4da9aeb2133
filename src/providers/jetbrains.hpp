#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/environment.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace jetbrains {

// ---- Constants ----

struct KnownIDE {
  std::string_view prefix;  // of the IDE's configuration folder name, compared ignoring ASCII case
  std::string_view name;
};

// The first row whose prefix matches a folder decides its IDE.
inline constexpr std::array<KnownIDE, 15> kKnownIDEs{{
    {"IntelliJIdea", "IntelliJ IDEA"},
    {"PyCharm", "PyCharm"},
    {"WebStorm", "WebStorm"},
    {"GoLand", "GoLand"},
    {"CLion", "CLion"},
    {"DataGrip", "DataGrip"},
    {"RubyMine", "RubyMine"},
    {"Rider", "Rider"},
    {"PhpStorm", "PhpStorm"},
    {"AppCode", "AppCode"},
    {"Fleet", "Fleet"},
    {"AndroidStudio", "Android Studio"},
    {"RustRover", "RustRover"},
    {"Aqua", "Aqua"},
    {"DataSpell", "DataSpell"},
}};

inline constexpr std::string_view kQuotaFile = "options/AIAssistantQuotaManager2.xml";
// An options file is a few kilobytes; anything this large is not one and is not read into memory.
inline constexpr std::uintmax_t kMaxQuotaFileBytes = std::uintmax_t{1} << 20;  // 1 MiB

// ---- Finding the quota file ----

// Where the IDEs keep their configuration folders, searched in this order: the JetBrains folder, then Google's
// (Android Studio), under $XDG_CONFIG_HOME (default $HOME/.config), or on macOS under Application Support.
std::vector<std::filesystem::path> configurationRoots(const Environment& environment);

struct QuotaFile {
  std::string path;
  std::string ideName;
  bool operator==(const QuotaFile&) const = default;
};

// The most recently modified quota file of a known IDE; a tie keeps the one found first. Unlistable roots and
// unreadable attributes never fail the search. Throws JetBrainsError::noIDEDetected() when there is none.
QuotaFile findQuotaFile(const std::vector<std::filesystem::path>& roots);

// ---- Reading the quota file ----

struct OptionValues {
  std::optional<std::string> quotaInfo;
  std::optional<std::string> nextRefill;
  bool operator==(const OptionValues&) const = default;
};

// The raw values of the quotaInfo and nextRefill options, by XPath in a document that parses, else by pattern.
OptionValues extractOptionValues(std::string_view bytes);
std::string unescapeXML(std::string_view text);

struct QuotaInfo {
  std::optional<std::string> type;
  double used = 0;
  double maximum = 0;
  std::optional<double> tariffQuotaAvailable;
  bool operator==(const QuotaInfo&) const = default;
};

// Figures are read only from strings; throws JetBrainsError::parseError() when the text is no JSON object.
QuotaInfo parseQuotaInfo(std::string_view text);
// Nothing, never an error, for anything but an object whose "next" is an internet date-time.
std::optional<Timestamp> parseNextRefill(std::string_view text);

// ---- Mapping ----

double usedPercent(const QuotaInfo& quota);
UsageData makeUsageData(const QuotaInfo& quota, std::optional<Timestamp> refill,
                        const std::optional<std::string>& ideName, Timestamp now);

}  // namespace jetbrains

// ---- Service ----

// Reads the JetBrains AI Assistant quota that an IDE keeps in a local options file; nothing goes over the network.
class JetBrainsService {
 public:
  explicit JetBrainsService(const ServiceContext& context) : context_(context) {}

  // findQuotaFile, then readQuotaFile. Takes no credential: a saved one only enables the provider.
  UsageData fetchUsage(std::stop_token stop = {});

  jetbrains::QuotaFile findQuotaFile() const;
  // Throws JetBrainsError quotaFileNotFound, parseError or noQuotaInfo.
  UsageData readQuotaFile(const std::string& path, const std::optional<std::string>& ideName) const;

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class JetBrainsErrorCode { quotaFileNotFound, parseError, noIDEDetected, noQuotaInfo };

class JetBrainsError : public ServiceErrorOf<JetBrainsError, JetBrainsErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static JetBrainsError quotaFileNotFound(std::string_view path);
  static JetBrainsError parseError(std::string_view message);
  static JetBrainsError noIDEDetected();
  static JetBrainsError noQuotaInfo();
};

}  // namespace dapplewick
