#include "engine/usage_service.hpp"

#include <algorithm>
#include <exception>

#include "engine/credential_rules.hpp"
#include "providers/abacus.hpp"
#include "providers/codebuff.hpp"
#include "providers/deepgram.hpp"
#include "providers/deepseek.hpp"
#include "providers/elevenlabs.hpp"
#include "providers/groq.hpp"
#include "providers/kiro.hpp"
#include "providers/llm_proxy.hpp"
#include "common/task_group.hpp"
#include "model/credential_kind.hpp"
#include "providers/vertex_ai.hpp"
#include "providers/zai.hpp"

namespace dapplewick {

UsageService::UsageService(KeychainService& keychain, const ServiceContext& context)
    : keychain_(keychain),
      context_(context),
      abacus_(std::make_unique<AbacusService>(context)),
      codebuff_(std::make_unique<CodebuffService>(context)),
      deepgram_(std::make_unique<DeepgramService>(context)),
      deepSeek_(std::make_unique<DeepSeekService>(context)),
      elevenLabs_(std::make_unique<ElevenLabsService>(context)),
      groq_(std::make_unique<GroqService>(context)),
      kiro_(std::make_unique<KiroService>(context)),
      llmProxy_(std::make_unique<LLMProxyService>(context)),
      vertexAI_(std::make_unique<VertexAIService>(context)),
      zai_(std::make_unique<ZaiService>(context)) {}

UsageService::~UsageService() = default;

bool UsageService::isSupported(Provider provider) {
  switch (provider) {
    case Provider::abacus:
    case Provider::codebuff:
    case Provider::deepgram:
    case Provider::deepSeek:
    case Provider::elevenLabs:
    case Provider::groq:
    case Provider::kiro:
    case Provider::llmProxy:
    case Provider::vertexAI:
    case Provider::zai:
      return true;
    default:
      return false;
  }
}

UsageData UsageService::dispatch(Provider provider, const std::string& credential, std::stop_token stop) {
  switch (provider) {
    case Provider::zai: return zai_->fetchUsage(credential, stop);
    case Provider::codebuff: return codebuff_->fetchUsage(credential, stop);
    case Provider::abacus: return abacus_->fetchUsage(stripKindPrefix(credential), stop);
    case Provider::elevenLabs: return elevenLabs_->fetchUsage(credential, stop);
    case Provider::groq: return groq_->fetchUsage(credential, stop);
    case Provider::deepgram: return deepgram_->fetchUsage(credential, stop);
    case Provider::deepSeek: return deepSeek_->fetchUsage(credential, stop);
    case Provider::llmProxy: return llmProxy_->fetchUsage(credential, stop);
    case Provider::vertexAI: return vertexAI_->fetchUsage(credential, stop);
    case Provider::kiro: {
      // Three steps, each awaited before the next; the first failure ends the fetch.
      const auto email = kiro_->fetchAccountInfo(stop);
      const auto report = kiro_->runUsageCommand(stop);
      return kiro_->parseUsage(report, email);
    }
    default:
      throw std::runtime_error("This build of Dapplewick does not read " + std::string(rawValue(provider)));
  }
}

UsageData UsageService::fetchDispatch(Provider provider, std::stop_token stop) {
  try {
    const auto credential = keychain_.load(provider);
    if (!credential) return UsageData::failure(provider, "No credential saved", context_.clock.now());
    return dispatch(provider, *credential, stop);
  } catch (const std::exception& error) {
    return UsageData::failure(provider, error.what(), context_.clock.now());
  } catch (...) {
    return UsageData::failure(provider, "Unknown error", context_.clock.now());
  }
}

void UsageService::store(const UsageData& record) {
  std::lock_guard lock(mutex_);
  results_[record.provider] = record;
}

bool UsageService::refreshAll(const std::vector<Provider>& enabled, std::stop_token stop, ResultCallback onResult) {
  bool expected = false;
  if (!refreshing_.compare_exchange_strong(expected, true)) return false;
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag.store(false); }
  } release{refreshing_};

  std::vector<Provider> withCredential;
  const auto saved = keychain_.savedProviders();
  for (Provider provider : allProviders()) {
    const bool isEnabled = std::find(enabled.begin(), enabled.end(), provider) != enabled.end();
    const bool isSaved = std::find(saved.begin(), saved.end(), provider) != saved.end();
    if (isEnabled && isSaved) withCredential.push_back(provider);
  }

  std::mutex callbackMutex;
  {
    TaskGroup group(stop);
    std::vector<TaskGroup::Child<void>> workers;
    workers.reserve(withCredential.size());
    for (Provider provider : withCredential) {
      workers.push_back(group.spawn([this, provider, &onResult, &callbackMutex](std::stop_token token) {
        const UsageData record = fetchDispatch(provider, token);
        store(record);
        if (onResult) {
          std::lock_guard lock(callbackMutex);
          onResult(record);
        }
      }));
    }
    for (auto& worker : workers) worker.awaitOptional();
  }

  std::lock_guard lock(mutex_);
  lastRefreshed_ = context_.clock.now();
  return true;
}

UsageData UsageService::refresh(Provider provider, std::stop_token stop) {
  UsageData placeholder = UsageData::blank(provider);
  placeholder.isLoading = true;
  store(placeholder);
  UsageData record = fetchDispatch(provider, stop);
  store(record);
  return record;
}

std::vector<UsageData> UsageService::usageData() const {
  std::lock_guard lock(mutex_);
  std::vector<UsageData> list;
  for (const auto& [provider, record] : results_) list.push_back(record);
  return list;
}

std::optional<UsageData> UsageService::usageData(Provider provider) const {
  std::lock_guard lock(mutex_);
  auto it = results_.find(provider);
  if (it == results_.end()) return std::nullopt;
  return it->second;
}

std::optional<Timestamp> UsageService::lastRefreshed() const {
  std::lock_guard lock(mutex_);
  return lastRefreshed_;
}

}  // namespace dapplewick
