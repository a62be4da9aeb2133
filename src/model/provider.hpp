#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace dapplewick {

// Every supported service, in the catalogue's fixed order, which is also the display and refresh order.
// clang-format off
enum class Provider {
  codex, openAI, azureOpenAI, claude, cursor, opencode, opencodeGo, alibaba, alibabaTokenPlan, factory,
  gemini, antigravity, copilot, zai, minimax, manus, kimi, kilo, kiro, vertexAI,
  augment, jetBrains, kimiK2, moonshot, amp, t3Chat, ollama, synthetic, warp, openRouter,
  elevenLabs, windsurf, perplexity, mimo, doubao, abacus, mistral, deepSeek, codebuff, crof,
  venice, commandCode, stepFun, bedrock, grok, groq, llmProxy, deepgram,
};
// clang-format on

inline constexpr std::size_t kProviderCount = 48;

// All providers in catalogue order.
const std::array<Provider, kProviderCount>& allProviders();

// The raw value: the case name in lower case ("openai", "alibabatokenplan"). It keys the credential store.
std::string_view rawValue(Provider provider);

// The case name as written in code ("openAI"), used where a record names its provider in JSON.
std::string_view caseName(Provider provider);

// Looks a provider up by its raw value; matching is exact.
std::optional<Provider> providerFromRawValue(std::string_view raw);

}  // namespace dapplewick
