#include "engine/service_table.hpp"

#include <algorithm>
#include <array>

#include "common/text.hpp"
#include "providers/abacus.hpp"
#include "providers/alibaba.hpp"
#include "providers/antigravity.hpp"
#include "providers/augment.hpp"
#include "providers/azure_openai.hpp"
#include "providers/bedrock.hpp"
#include "providers/codebuff.hpp"
#include "providers/deepgram.hpp"
#include "providers/deepseek.hpp"
#include "providers/doubao.hpp"
#include "providers/elevenlabs.hpp"
#include "providers/factory.hpp"
#include "providers/groq.hpp"
#include "providers/jetbrains.hpp"
#include "providers/kilo.hpp"
#include "providers/kimi.hpp"
#include "providers/kimi_k2.hpp"
#include "providers/kiro.hpp"
#include "providers/llm_proxy.hpp"
#include "providers/manus.hpp"
#include "providers/mimo.hpp"
#include "providers/minimax.hpp"
#include "providers/mistral.hpp"
#include "providers/moonshot.hpp"
#include "providers/ollama.hpp"
#include "providers/openrouter.hpp"
#include "providers/perplexity.hpp"
#include "providers/stepfun.hpp"
#include "providers/synthetic.hpp"
#include "providers/t3chat.hpp"
#include "providers/venice.hpp"
#include "providers/vertex_ai.hpp"
#include "providers/warp.hpp"
#include "providers/windsurf.hpp"
#include "providers/shared/secrets.hpp"
#include "providers/zai.hpp"

namespace dapplewick {
namespace {

using enum CredentialRoute;

// One line per provider this build reads, in catalogue order.
const std::array kServiceTable{
    line<unchanged, &AzureOpenAIService::fetchUsage>(Provider::azureOpenAI, &azure_openai::secrets),
    line<unchanged, &AlibabaService::fetchUsage>(Provider::alibaba, &cookieSecrets),
    line<unchanged, &AlibabaService::fetchTokenPlanUsage>(Provider::alibabaTokenPlan, &cookieSecrets),
    line<withKindFlag, &FactoryService::fetchUsage>(Provider::factory, &factory::secrets),
    line<unchanged, &AntigravityService::fetchUsage>(Provider::antigravity, &keySecrets),
    line<unchanged, &ZaiService::fetchUsage>(Provider::zai, &keySecrets),
    line<twoPaths, &MiniMaxService::fetchUsageWithCookie, &MiniMaxService::fetchUsageWithAPIKey>(Provider::minimax,
                                                                                                  &minimax::secrets),
    line<prefixDropped, &ManusService::fetchUsage>(Provider::manus, &cookieSecrets),
    line<prefixDropped, &KimiService::fetchUsage>(Provider::kimi, &keySecrets),
    line<unchanged, &KiloService::fetchUsage>(Provider::kilo, &keySecrets),
    line<notPassed, &KiroService::fetchUsage>(Provider::kiro),
    line<unchanged, &VertexAIService::fetchUsage>(Provider::vertexAI, &vertex_ai::secrets),
    line<unchanged, &AugmentService::fetchUsage>(Provider::augment, &cookieSecrets),
    line<notPassed, &JetBrainsService::fetchUsage>(Provider::jetBrains),
    line<unchanged, &KimiK2Service::fetchUsage>(Provider::kimiK2, &keySecrets),
    line<unchanged, &MoonshotService::fetchUsage>(Provider::moonshot, &keySecrets),
    line<unchanged, &T3ChatService::fetchUsage>(Provider::t3Chat, &cookieSecrets),
    line<unchanged, &OllamaService::fetchUsage>(Provider::ollama, &cookieSecrets),
    line<unchanged, &SyntheticService::fetchUsage>(Provider::synthetic, &keySecrets),
    line<unchanged, &WarpService::fetchUsage>(Provider::warp, &keySecrets),
    line<unchanged, &OpenRouterService::fetchUsage>(Provider::openRouter, &keySecrets),
    line<unchanged, &ElevenLabsService::fetchUsage>(Provider::elevenLabs, &keySecrets),
    line<unchanged, &WindsurfService::fetchUsage>(Provider::windsurf, &windsurf::secrets),
    line<unchanged, &PerplexityService::fetchUsage>(Provider::perplexity, &cookieSecrets),
    line<prefixDropped, &MiMoService::fetchUsage>(Provider::mimo, &cookieSecrets),
    line<unchanged, &DoubaoService::fetchUsage>(Provider::doubao, &doubao::secrets),
    line<prefixDropped, &AbacusService::fetchUsage>(Provider::abacus, &cookieSecrets),
    line<unchanged, &MistralService::fetchUsage>(Provider::mistral, &cookieSecrets),
    line<unchanged, &DeepSeekService::fetchUsage>(Provider::deepSeek, &keySecrets),
    line<unchanged, &CodebuffService::fetchUsage>(Provider::codebuff, &keySecrets),
    line<unchanged, &VeniceService::fetchUsage>(Provider::venice, &keySecrets),
    line<prefixDropped, &StepFunService::fetchUsage>(Provider::stepFun, &stepfun::secrets),
    line<unchanged, &BedrockService::fetchUsage>(Provider::bedrock, &bedrock::secrets),
    line<unchanged, &GroqService::fetchUsage>(Provider::groq, &keySecrets),
    line<unchanged, &LLMProxyService::fetchUsage>(Provider::llmProxy, &llm_proxy::secrets),
    line<unchanged, &DeepgramService::fetchUsage>(Provider::deepgram, &keySecrets),
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

std::vector<std::string> noSecrets(std::string_view /*credential*/, const Environment& /*environment*/) { return {}; }

std::vector<std::string> lineSecrets(const ServiceLine& entry, std::string_view stored,
                                     const Environment& environment) {
  std::string passed;
  switch (entry.route) {
    case unchanged: passed = stored; break;
    case prefixDropped: passed = stripKindPrefix(stored); break;
    // The kind the route decided goes along as the credential's prefix, so that the service's function names the
    // secrets of the path its fetch took, even where an explicit prefix overrules the kind test.
    case withKindFlag:
    case twoPaths: {
      const FlaggedCredential flagged = flaggedCredential(stored, entry.provider);
      passed = (flagged.isAPIKey ? "api:" : "web:") + flagged.credential;
      break;
    }
    case notPassed: break;
  }
  std::vector<std::string> secrets;
  for (std::string& secret : entry.secrets(passed, environment)) {
    if (!secret.empty() && std::find(secrets.begin(), secrets.end(), secret) == secrets.end()) {
      secrets.push_back(std::move(secret));
    }
  }
  return secrets;
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
