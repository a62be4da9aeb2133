#include "model/configuration.hpp"

#include <algorithm>

#include "common/excerpt.hpp"
#include "common/json_read.hpp"
#include "common/local_file.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "model/trusted_location.hpp"

namespace dapplewick {

const std::vector<OriginKey>& originKeys() {
  static const std::vector<OriginKey> keys = [] {
    std::vector<OriginKey> list{
        {"abacus", "https://apps.abacus.ai"},
        {"alibaba.china", "https://bailian.console.aliyun.com"},
        {"alibaba.chinagateway", "https://bailian.console.aliyun.com"},
        {"alibaba.international", "https://modelstudio.console.alibabacloud.com"},
        {"alibaba.internationalgateway", "https://modelstudio.console.alibabacloud.com"},
        {"antigravity", "https://cloudcode-pa.googleapis.com"},
        {"augment", "https://app.augmentcode.com"},
        {"bedrock", "https://ce.us-east-1.amazonaws.com"},
        {"codebuff", "https://www.codebuff.com"},
        {"deepgram", "https://api.deepgram.com"},
        {"deepseek.api", "https://api.deepseek.com"},
        {"deepseek.platform", "https://platform.deepseek.com"},
        {"doubao.ark", "https://ark.cn-beijing.volces.com"},
        {"doubao.openapi", "https://open.volcengineapi.com"},
        {"elevenlabs", "https://api.elevenlabs.io"},
        {"factory.api", "https://api.factory.ai"},
        {"factory.app", "https://app.factory.ai"},
        {"groq", "https://api.groq.com"},
        {"kilo", "https://app.kilo.ai"},
        {"kimi", "https://www.kimi.com"},
        {"kimik2", "https://kimi-k2.ai"},
        {"manus", "https://api.manus.im"},
        {"mimo", "https://platform.xiaomimimo.com"},
        {"minimax.china", "https://api.minimaxi.com"},
        {"minimax.international", "https://api.minimax.io"},
        {"minimax.platform", "https://platform.minimax.io"},
        {"mistral", "https://admin.mistral.ai"},
        {"moonshot.china", "https://api.moonshot.cn"},
        {"moonshot.international", "https://api.moonshot.ai"},
        {"ollama", "https://ollama.com"},
        {"openrouter", "https://openrouter.ai"},
        {"perplexity", "https://www.perplexity.ai"},
        {"stepfun", "https://platform.stepfun.com"},
        {"synthetic", "https://api.synthetic.new"},
        {"t3chat", "https://t3.chat"},
        {"venice", "https://api.venice.ai"},
        {"vertexai", "https://monitoring.googleapis.com"},
        {"warp", "https://app.warp.dev"},
        {"windsurf", "https://windsurf.com"},
        {"zai.china", "https://open.bigmodel.cn"},
        {"zai.international", "https://api.z.ai"},
    };
    std::sort(list.begin(), list.end(), [](const OriginKey& a, const OriginKey& b) { return a.key < b.key; });
    return list;
  }();
  return keys;
}

namespace {

// No DNS name is longer; a longer host can name no server.
constexpr std::size_t kMaxOriginHostCharacters = 253;

const OriginKey* findKey(std::string_view key) {
  for (const auto& entry : originKeys()) {
    if (entry.key == key) return &entry;
  }
  return nullptr;
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The host of an http(s) origin as it stands in the authority (a bracketed IPv6 literal with its brackets); nothing
// when `origin` is not "http(s)://host[:port]".
std::optional<std::string_view> originHost(std::string_view origin) {
  std::string_view rest;
  if (startsWith(origin, "https://")) {
    rest = origin.substr(8);
  } else if (startsWith(origin, "http://")) {
    rest = origin.substr(7);
  } else {
    return std::nullopt;
  }
  std::string_view host = rest;
  std::string_view port;
  if (startsWith(rest, "[")) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    for (const char c : rest.substr(1, close - 1)) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.')) {
        return std::nullopt;
      }
    }
    const auto after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      if (port.empty()) return std::nullopt;
    }
    host = rest.substr(0, close + 1);
  } else if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (port.empty()) return std::nullopt;
  }
  if (!port.empty()) {
    if (port.size() > 5) return std::nullopt;
    for (const char c : port) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    const int number = std::stoi(std::string(port));
    if (number < 1 || number > 65535) return std::nullopt;
  }
  if (!startsWith(rest, "[")) {
    if (host.empty()) return std::nullopt;
    for (const char c : host) {
      if (!isHostCharacter(c)) return std::nullopt;
    }
  }
  return host;
}

// How config.json's errors name what they refuse: what it is, its key quoted, and the file by its path.
std::string keyInFile(std::string_view what, std::string_view key, const std::filesystem::path& file) {
  return std::string(what) + " \"" + printableExcerpt(key) + "\" in " + file.string();
}

}  // namespace

bool isValidOrigin(std::string_view origin) { return originHost(origin).has_value(); }

Origins::Origins(const std::map<std::string, std::string>& overrides, const std::filesystem::path& file) {
  for (const auto& [key, value] : overrides) {
    if (findKey(key) == nullptr) {
      std::string known;
      for (const auto& entry : originKeys()) {
        if (!known.empty()) known += ", ";
        known += entry.key;
      }
      throw ConfigurationError(keyInFile("unknown origin key", key, file) + " (known keys: " + known + ")");
    }
    // An address copied from a browser ends in "/"; that alone is no path, and the services add their own.
    const std::string_view origin = value.ends_with('/') ? std::string_view(value).substr(0, value.size() - 1) : value;
    if (!isValidOrigin(origin)) {
      // Quoted without the password it may carry.
      throw ConfigurationError(keyInFile("origin", key, file) + " must be http(s)://host[:port] with no path, not \"" +
                               printableExcerpt(maskAddressPassword(value)) + "\"");
    }
    overrides_[key] = std::string(origin);
  }
}

std::string Origins::get(std::string_view key) const {
  if (auto it = overrides_.find(key); it != overrides_.end()) return it->second;
  const OriginKey* entry = findKey(key);
  if (entry == nullptr) throw std::out_of_range("unknown origin key " + std::string(key));
  return std::string(entry->defaultOrigin);
}

std::filesystem::path configurationFolder(const Environment& environment) {
  if (auto dir = environment.get("DAPPLEWICK_CONFIG_DIR"); dir && !dir->empty()) return *dir;
  if (auto base = xdgConfigHome(environment)) return *base / "dapplewick";
  throw ConfigurationError("cannot find the configuration folder: set DAPPLEWICK_CONFIG_DIR or HOME");
}

std::filesystem::path configurationFile(const std::filesystem::path& folder) { return folder / "config.json"; }

Configuration parseConfiguration(std::string_view text, const std::filesystem::path& file) {
  const std::string named = file.string();
  Json document;
  try {
    document = parseJson(text);
  } catch (const DecodingError&) {
    throw ConfigurationError(named + " is not valid JSON");
  }
  if (!document.is_object()) throw ConfigurationError(named + " must hold a JSON object");
  Configuration configuration;
  std::map<std::string, std::string> overrides;
  for (const auto& [key, value] : document.items()) {
    if (key == "origins") {
      if (!value.is_object()) throw ConfigurationError("\"origins\" in " + named + " must be an object");
      for (const auto& [originKey, origin] : value.items()) {
        if (!origin.is_string()) throw ConfigurationError(keyInFile("origin", originKey, file) + " must be a string");
        overrides[originKey] = origin.get<std::string>();
      }
    } else if (key == "caBundle") {
      if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
        throw ConfigurationError("\"caBundle\" in " + named + " must be a file path");
      }
      configuration.caBundle = value.get<std::string>();
    } else {
      throw ConfigurationError(keyInFile("unknown key", key, file));
    }
  }
  configuration.origins = Origins(overrides, file);
  // Every origin is well formed by now. A host past any DNS name's length would otherwise be quoted whole in every
  // error that names the origin.
  for (const auto& entry : overrides) {
    const std::string& key = entry.first;
    const std::string origin = configuration.origins.get(key);
    if (const auto host = originHost(origin); host->size() > kMaxOriginHostCharacters) {
      throw ConfigurationError(keyInFile("origin", key, file) + " has a host of " + std::to_string(host->size()) +
                               " characters; no host name is longer than " + std::to_string(kMaxOriginHostCharacters));
    }
  }
  return configuration;
}

Configuration loadConfiguration(const std::filesystem::path& folder) {
  const auto path = configurationFile(folder);
  // Origins planted by someone else would receive the saved keys.
  if (auto why = untrustedLocation(path)) throw ConfigurationError(*why);
  std::optional<std::string> text;
  try {
    // It holds a few origins and a path; a FIFO or a device in its place is refused at once, never waited on.
    text = readLocalFile(path, kMaxConfigurationBytes);
  } catch (const LocalFileError& error) {
    const std::string reason =
        error.reason() == LocalFileError::Reason::tooLarge ? "it is larger than 1 MiB" : std::string(error.what());
    throw ConfigurationError("cannot read " + path.string() + ": " + reason);
  }
  if (!text) return {};
  return parseConfiguration(*text, path);
}

}  // namespace dapplewick
