#include "engine/service_table.hpp"

#include <algorithm>
#include <array>

#include "common/text.hpp"
#include "providers/abacus.hpp"
#include "providers/codebuff.hpp"
#include "providers/deepgram.hpp"
#include "providers/deepseek.hpp"
#include "providers/elevenlabs.hpp"
#include "providers/groq.hpp"
#include "providers/kiro.hpp"
#include "providers/llm_proxy.hpp"
#include "providers/ollama.hpp"
#include "providers/openrouter.hpp"
#include "providers/perplexity.hpp"
#include "providers/stepfun.hpp"
#include "providers/synthetic.hpp"
#include "providers/vertex_ai.hpp"
#include "providers/zai.hpp"

namespace dapplewick {
namespace {

using enum CredentialRoute;

// One line per provider this build reads, in catalogue order.
const std::array kServiceTable{
    line<unchanged, &ZaiService::fetchUsage>(Provider::zai),
    line<notPassed, &KiroService::fetchUsage>(Provider::kiro),
    line<unchanged, &VertexAIService::fetchUsage>(Provider::vertexAI),
    line<unchanged, &OllamaService::fetchUsage>(Provider::ollama),
    line<unchanged, &SyntheticService::fetchUsage>(Provider::synthetic),
    line<unchanged, &OpenRouterService::fetchUsage>(Provider::openRouter),
    line<unchanged, &ElevenLabsService::fetchUsage>(Provider::elevenLabs),
    line<unchanged, &PerplexityService::fetchUsage>(Provider::perplexity),
    line<prefixDropped, &AbacusService::fetchUsage>(Provider::abacus),
    line<unchanged, &DeepSeekService::fetchUsage>(Provider::deepSeek),
    line<unchanged, &CodebuffService::fetchUsage>(Provider::codebuff),
    line<prefixDropped, &StepFunService::fetchUsage>(Provider::stepFun),
    line<unchanged, &GroqService::fetchUsage>(Provider::groq),
    line<unchanged, &LLMProxyService::fetchUsage>(Provider::llmProxy),
    line<unchanged, &DeepgramService::fetchUsage>(Provider::deepgram),
};

}  // namespace

std::span<const ServiceLine> serviceTable() { return kServiceTable; }

const ServiceLine* serviceLineFor(Provider provider) {
  const auto it = std::find_if(kServiceTable.begin(), kServiceTable.end(),
                               [provider](const ServiceLine& entry) { return entry.provider == provider; });
  return it == kServiceTable.end() ? nullptr : &*it;
}

CredentialRoute credentialRouteFor(Provider provider) {
  const ServiceLine* entry = serviceLineFor(provider);
  return entry ? entry->route : CredentialRoute::unchanged;
}

FlaggedCredential flaggedCredential(std::string_view stored, Provider provider) {
  if (startsWith(stored, "web:")) return {std::string(stored.substr(4)), false};
  if (startsWith(stored, "api:")) return {std::string(stored.substr(4)), true};
  return {std::string(stored), isAPIKeyCredential(stored, provider)};
}

RoutedCredential routedCredential(std::string_view stored, Provider provider) {
  const FlaggedCredential flagged = flaggedCredential(stored, provider);
  return {flagged.isAPIKey ? CredentialPath::apiKey : CredentialPath::cookie, flagged.credential};
}

}  // namespace dapplewick
