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
#include "providers/shared/secrets.hpp"
#include "providers/stepfun.hpp"
#include "providers/synthetic.hpp"
#include "providers/t3chat.hpp"
#include "providers/venice.hpp"
#include "providers/vertex_ai.hpp"
#include "providers/warp.hpp"
#include "providers/windsurf.hpp"
#include "providers/zai.hpp"

namespace dapplewick {
namespace {

using enum CredentialRoute;

// One line per provider this build reads, in catalogue order.
const std::array kServiceTable{
    line<unchanged, &AzureOpenAIService::fetchUsage>(Provider::azureOpenAI, &azure_openai::secrets),
    line<unchanged, &AlibabaService::fetchUsage>(Provider::alibaba, &storedCookieSecrets, alibaba::kOriginKeys),
    line<unchanged, &AlibabaService::fetchTokenPlanUsage>(Provider::alibabaTokenPlan, &storedCookieSecrets,
                                                          alibaba::kOriginKeys),
    line<withKindFlag, &FactoryService::fetchUsage>(Provider::factory, &cookieSecrets, &keySecrets,
                                                    factory::kOriginKeys),
    line<unchanged, &AntigravityService::fetchUsage>(Provider::antigravity, &storedKeySecrets,
                                                     antigravity::kOriginKeys),
    line<unchanged, &ZaiService::fetchUsage>(Provider::zai, &storedKeySecrets, zai::kOriginKeys),
    line<twoPaths, &MiniMaxService::fetchUsageWithCookie, &MiniMaxService::fetchUsageWithAPIKey>(
        Provider::minimax, &cookieSecrets, &keySecrets, minimax::kOriginKeys),
    line<prefixDropped, &ManusService::fetchUsage>(Provider::manus, &cookieSecrets, manus::kOriginKeys),
    line<prefixDropped, &KimiService::fetchUsage>(Provider::kimi, &keySecrets, kimi::kOriginKeys),
    line<unchanged, &KiloService::fetchUsage>(Provider::kilo, &storedKeySecrets, kilo::kOriginKeys),
    line<notPassed, &KiroService::fetchUsage>(Provider::kiro),
    line<unchanged, &VertexAIService::fetchUsage>(Provider::vertexAI, &vertex_ai::secrets, vertex_ai::kOriginKeys),
    line<unchanged, &AugmentService::fetchUsage>(Provider::augment, &storedCookieSecrets, augment::kOriginKeys),
    line<notPassed, &JetBrainsService::fetchUsage>(Provider::jetBrains),
    line<unchanged, &KimiK2Service::fetchUsage>(Provider::kimiK2, &storedKeySecrets, kimi_k2::kOriginKeys),
    line<unchanged, &MoonshotService::fetchUsage>(Provider::moonshot, &storedKeySecrets, moonshot::kOriginKeys),
    line<unchanged, &T3ChatService::fetchUsage>(Provider::t3Chat, &storedCookieSecrets, t3chat::kOriginKeys),
    line<unchanged, &OllamaService::fetchUsage>(Provider::ollama, &storedCookieSecrets, ollama::kOriginKeys),
    line<unchanged, &SyntheticService::fetchUsage>(Provider::synthetic, &storedKeySecrets, synthetic::kOriginKeys),
    line<unchanged, &WarpService::fetchUsage>(Provider::warp, &storedKeySecrets, warp::kOriginKeys),
    line<unchanged, &OpenRouterService::fetchUsage>(Provider::openRouter, &storedKeySecrets, openrouter::kOriginKeys),
    line<unchanged, &ElevenLabsService::fetchUsage>(Provider::elevenLabs, &storedKeySecrets, elevenlabs::kOriginKeys),
    line<unchanged, &WindsurfService::fetchUsage>(Provider::windsurf, &windsurf::secrets, windsurf::kOriginKeys),
    line<unchanged, &PerplexityService::fetchUsage>(Provider::perplexity, &storedCookieSecrets,
                                                    perplexity::kOriginKeys),
    line<prefixDropped, &MiMoService::fetchUsage>(Provider::mimo, &cookieSecrets, mimo::kOriginKeys),
    line<unchanged, &DoubaoService::fetchUsage>(Provider::doubao, &doubao::secrets, doubao::kOriginKeys),
    line<prefixDropped, &AbacusService::fetchUsage>(Provider::abacus, &cookieSecrets, abacus::kOriginKeys),
    line<unchanged, &MistralService::fetchUsage>(Provider::mistral, &storedCookieSecrets, mistral::kOriginKeys),
    line<unchanged, &DeepSeekService::fetchUsage>(Provider::deepSeek, &storedKeySecrets, deepseek::kOriginKeys),
    line<unchanged, &CodebuffService::fetchUsage>(Provider::codebuff, &storedKeySecrets, codebuff::kOriginKeys),
    line<unchanged, &VeniceService::fetchUsage>(Provider::venice, &storedKeySecrets, venice::kOriginKeys),
    line<prefixDropped, &StepFunService::fetchUsage>(Provider::stepFun, &stepfun::secrets, stepfun::kOriginKeys),
    line<unchanged, &BedrockService::fetchUsage>(Provider::bedrock, &bedrock::secrets, bedrock::kOriginKeys),
    line<unchanged, &GroqService::fetchUsage>(Provider::groq, &storedKeySecrets, groq::kOriginKeys),
    line<unchanged, &LLMProxyService::fetchUsage>(Provider::llmProxy, &llm_proxy::secrets),
    line<unchanged, &DeepgramService::fetchUsage>(Provider::deepgram, &storedKeySecrets, deepgram::kOriginKeys),
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

std::vector<std::string> lineSecrets(const ServiceLine& entry, const RoutedCredential& routed,
                                     const Environment& environment) {
  // Only the two routes that tell the kinds apart ever route an API key.
  const SecretsOf secretsOf = routed.isAPIKey ? entry.apiKeySecrets : entry.secrets;
  std::vector<std::string> secrets;
  for (std::string& secret : secretsOf(routed.credential, environment)) {
    if (!secret.empty() && std::find(secrets.begin(), secrets.end(), secret) == secrets.end()) {
      secrets.push_back(std::move(secret));
    }
  }
  return secrets;
}

RoutedCredential routedCredential(CredentialRoute route, std::string_view stored, Provider provider) {
  switch (route) {
    case unchanged: return {std::string(stored)};
    case prefixDropped: return {std::string(stripKindPrefix(stored))};
    case withKindFlag:
    case twoPaths:
      if (startsWith(stored, "web:")) return {std::string(stored.substr(4)), false};
      if (startsWith(stored, "api:")) return {std::string(stored.substr(4)), true};
      return {std::string(stored), isAPIKeyCredential(stored, provider)};
    case notPassed: break;
  }
  return {};
}

}  // namespace dapplewick
