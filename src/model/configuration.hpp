#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/environment.hpp"

namespace dapplewick {

// A configuration file that cannot be used: unreadable, not JSON, an unknown key, a malformed origin.
class ConfigurationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One configurable origin: its key in config.json and the provider's real public origin.
struct OriginKey {
  std::string_view key;
  std::string_view defaultOrigin;
};

// Every origin key this build knows, sorted by key.
const std::vector<OriginKey>& originKeys();

// The origins in force: the defaults, with any configured overrides. An origin is "scheme://host[:port]" with no
// path; a configured one may end in a single "/", which is dropped.
class Origins {
 public:
  Origins() = default;
  // Throws ConfigurationError for an unknown key or a value that is not an http(s) origin, naming `file`, the
  // config.json the overrides were read from.
  explicit Origins(const std::map<std::string, std::string>& overrides, const std::filesystem::path& file);
  // The origin for a known key. Throws std::out_of_range for a key this build does not know (a programming error).
  std::string get(std::string_view key) const;

 private:
  std::map<std::string, std::string, std::less<>> overrides_;
};

// True for "http://host[:port]" or "https://host[:port]" with nothing after the authority.
bool isValidOrigin(std::string_view origin);

struct Configuration {
  Origins origins;
  std::optional<std::string> caBundle;
};

// $DAPPLEWICK_CONFIG_DIR, else $XDG_CONFIG_HOME/dapplewick, else $HOME/.config/dapplewick.
// Throws ConfigurationError when none of them is set.
std::filesystem::path configurationFolder(const Environment& environment);

// The largest config.json read.
inline constexpr std::uintmax_t kMaxConfigurationBytes = std::uintmax_t{1024} * 1024;

// The path of config.json in `folder`, by which its errors name it.
std::filesystem::path configurationFile(const std::filesystem::path& folder);
// Reads config.json from `folder`, a regular file of at most kMaxConfigurationBytes; a missing file gives the
// defaults. A folder or file others could have changed is refused (see model/trusted_location.hpp).
Configuration loadConfiguration(const std::filesystem::path& folder);
// The same from the text of the config.json at `file`, which the errors name.
Configuration parseConfiguration(std::string_view text, const std::filesystem::path& file);

}  // namespace dapplewick
