#include "model/provider.hpp"

#include <string>

namespace dapplewick {
namespace {

struct Entry {
  Provider provider;
  std::string_view caseName;
  std::string_view raw;
};

constexpr std::array<Entry, kProviderCount> kEntries{{
    {Provider::codex, "codex", "codex"},
    {Provider::openAI, "openAI", "openai"},
    {Provider::azureOpenAI, "azureOpenAI", "azureopenai"},
    {Provider::claude, "claude", "claude"},
    {Provider::cursor, "cursor", "cursor"},
    {Provider::opencode, "opencode", "opencode"},
    {Provider::opencodeGo, "opencodeGo", "opencodego"},
    {Provider::alibaba, "alibaba", "alibaba"},
    {Provider::alibabaTokenPlan, "alibabaTokenPlan", "alibabatokenplan"},
    {Provider::factory, "factory", "factory"},
    {Provider::gemini, "gemini", "gemini"},
    {Provider::antigravity, "antigravity", "antigravity"},
    {Provider::copilot, "copilot", "copilot"},
    {Provider::zai, "zai", "zai"},
    {Provider::minimax, "minimax", "minimax"},
    {Provider::manus, "manus", "manus"},
    {Provider::kimi, "kimi", "kimi"},
    {Provider::kilo, "kilo", "kilo"},
    {Provider::kiro, "kiro", "kiro"},
    {Provider::vertexAI, "vertexAI", "vertexai"},
    {Provider::augment, "augment", "augment"},
    {Provider::jetBrains, "jetBrains", "jetbrains"},
    {Provider::kimiK2, "kimiK2", "kimik2"},
    {Provider::moonshot, "moonshot", "moonshot"},
    {Provider::amp, "amp", "amp"},
    {Provider::t3Chat, "t3Chat", "t3chat"},
    {Provider::ollama, "ollama", "ollama"},
    {Provider::synthetic, "synthetic", "synthetic"},
    {Provider::warp, "warp", "warp"},
    {Provider::openRouter, "openRouter", "openrouter"},
    {Provider::elevenLabs, "elevenLabs", "elevenlabs"},
    {Provider::windsurf, "windsurf", "windsurf"},
    {Provider::perplexity, "perplexity", "perplexity"},
    {Provider::mimo, "mimo", "mimo"},
    {Provider::doubao, "doubao", "doubao"},
    {Provider::abacus, "abacus", "abacus"},
    {Provider::mistral, "mistral", "mistral"},
    {Provider::deepSeek, "deepSeek", "deepseek"},
    {Provider::codebuff, "codebuff", "codebuff"},
    {Provider::crof, "crof", "crof"},
    {Provider::venice, "venice", "venice"},
    {Provider::commandCode, "commandCode", "commandcode"},
    {Provider::stepFun, "stepFun", "stepfun"},
    {Provider::bedrock, "bedrock", "bedrock"},
    {Provider::grok, "grok", "grok"},
    {Provider::groq, "groq", "groq"},
    {Provider::llmProxy, "llmProxy", "llmproxy"},
    {Provider::deepgram, "deepgram", "deepgram"},
}};

constexpr bool entriesFollowEnumOrder() {
  for (std::size_t i = 0; i < kEntries.size(); ++i) {
    if (static_cast<std::size_t>(kEntries[i].provider) != i) return false;
  }
  return true;
}
static_assert(entriesFollowEnumOrder(), "the table must list providers in enum order");

const Entry& entry(Provider provider) { return kEntries[static_cast<std::size_t>(provider)]; }

}  // namespace

const std::array<Provider, kProviderCount>& allProviders() {
  static const std::array<Provider, kProviderCount> providers = [] {
    std::array<Provider, kProviderCount> list{};
    for (std::size_t i = 0; i < kEntries.size(); ++i) list[i] = kEntries[i].provider;
    return list;
  }();
  return providers;
}

std::string_view rawValue(Provider provider) { return entry(provider).raw; }

std::string_view caseName(Provider provider) { return entry(provider).caseName; }

std::optional<Provider> providerFromRawValue(std::string_view raw) {
  for (const Entry& e : kEntries) {
    if (e.raw == raw) return e.provider;
  }
  return std::nullopt;
}

}  // namespace dapplewick
