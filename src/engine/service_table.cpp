#include "engine/service_table.hpp"

#include <algorithm>
#include <array>

#include "common/json_read.hpp"
#include "common/redaction.hpp"
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
#include "providers/zai.hpp"

namespace dapplewick {
namespace {

using enum CredentialRoute;

// One line per provider this build reads, in catalogue order.
const std::array kServiceTable{
    line<unchanged, &AzureOpenAIService::fetchUsage>(Provider::azureOpenAI),
    line<unchanged, &AlibabaService::fetchUsage>(Provider::alibaba),
    line<unchanged, &AlibabaService::fetchTokenPlanUsage>(Provider::alibabaTokenPlan),
    line<withKindFlag, &FactoryService::fetchUsage>(Provider::factory),
    line<unchanged, &AntigravityService::fetchUsage>(Provider::antigravity),
    line<unchanged, &ZaiService::fetchUsage>(Provider::zai),
    line<twoPaths, &MiniMaxService::fetchUsageWithCookie, &MiniMaxService::fetchUsageWithAPIKey>(Provider::minimax),
    line<prefixDropped, &ManusService::fetchUsage>(Provider::manus),
    line<prefixDropped, &KimiService::fetchUsage>(Provider::kimi),
    line<unchanged, &KiloService::fetchUsage>(Provider::kilo),
    line<notPassed, &KiroService::fetchUsage>(Provider::kiro),
    line<unchanged, &VertexAIService::fetchUsage>(Provider::vertexAI),
    line<unchanged, &AugmentService::fetchUsage>(Provider::augment),
    line<notPassed, &JetBrainsService::fetchUsage>(Provider::jetBrains),
    line<unchanged, &KimiK2Service::fetchUsage>(Provider::kimiK2),
    line<unchanged, &MoonshotService::fetchUsage>(Provider::moonshot),
    line<unchanged, &T3ChatService::fetchUsage>(Provider::t3Chat),
    line<unchanged, &OllamaService::fetchUsage>(Provider::ollama),
    line<unchanged, &SyntheticService::fetchUsage>(Provider::synthetic),
    line<unchanged, &WarpService::fetchUsage>(Provider::warp),
    line<unchanged, &OpenRouterService::fetchUsage>(Provider::openRouter),
    line<unchanged, &ElevenLabsService::fetchUsage>(Provider::elevenLabs),
    line<unchanged, &WindsurfService::fetchUsage>(Provider::windsurf),
    line<unchanged, &PerplexityService::fetchUsage>(Provider::perplexity),
    line<prefixDropped, &MiMoService::fetchUsage>(Provider::mimo),
    line<unchanged, &DoubaoService::fetchUsage>(Provider::doubao),
    line<prefixDropped, &AbacusService::fetchUsage>(Provider::abacus),
    line<unchanged, &MistralService::fetchUsage>(Provider::mistral),
    line<unchanged, &DeepSeekService::fetchUsage>(Provider::deepSeek),
    line<unchanged, &CodebuffService::fetchUsage>(Provider::codebuff),
    line<unchanged, &VeniceService::fetchUsage>(Provider::venice),
    line<prefixDropped, &StepFunService::fetchUsage>(Provider::stepFun),
    line<unchanged, &BedrockService::fetchUsage>(Provider::bedrock),
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

namespace {

// An address is no secret (error texts name the origin they could not reach); a key in its query is a piece of
// its own.
void addSecret(std::vector<std::string>& secrets, std::string_view piece) {
  piece = trimWhitespace(piece);
  if (piece.size() < kMinRedactedSecretBytes || startsWith(piece, "http://") || startsWith(piece, "https://")) return;
  if (std::find(secrets.begin(), secrets.end(), piece) == secrets.end()) secrets.emplace_back(piece);
}

// A secret that holds a smaller one goes: every form of it holds a form of the smaller one, which redacts the
// secret part, while what surrounds it (a project name before "PROJECT:TOKEN") stays readable.
void dropContainingSecrets(std::vector<std::string>& secrets) {
  std::vector<std::string> kept;
  for (const std::string& secret : secrets) {
    const bool holdsAnother = std::any_of(secrets.begin(), secrets.end(), [&](const std::string& other) {
      return other.size() < secret.size() && secret.find(other) != std::string::npos;
    });
    if (!holdsAnother) kept.push_back(secret);
  }
  secrets = std::move(kept);
}

// Splits at every occurrence of `separator`.
void addJsonStrings(std::vector<std::string>& secrets, const Json& value, int depth) {
  if (depth > kMaxJsonDepth) return;
  if (value.is_string()) addSecret(secrets, value.get_ref<const std::string&>());
  if (value.is_structured()) {
    for (const auto& element : value) addJsonStrings(secrets, element, depth + 1);
  }
}

}  // namespace

std::vector<std::string> credentialSecrets(std::string_view stored) {
  std::vector<std::string> secrets;
  addSecret(secrets, stored);
  const std::string_view credential = trimWhitespace(stripKindPrefix(trimWhitespace(stored)));
  addSecret(secrets, credential);
  if (startsWith(credential, "{")) {
    if (const auto document = parseJsonOrNothing(credential)) {
      addJsonStrings(secrets, *document, 0);
      dropContainingSecrets(secrets);
      return secrets;
    }
  }
  for (const std::string_view piece : splitKeepingEmpty(credential, "::")) addSecret(secrets, piece);
  // After a colon, except a URL's host and path and any port after the host: an address is no secret.
  const auto colonPieces = splitKeepingEmpty(credential, ":");
  for (std::size_t i = 1; i < colonPieces.size(); ++i) {
    if (startsWith(colonPieces[i], "//")) {
      if (colonPieces[i].find('/', 2) == std::string_view::npos) ++i;
      continue;
    }
    addSecret(secrets, colonPieces[i]);
  }
  for (const std::string_view pair : splitKeepingEmpty(credential, ";")) {
    const auto equals = pair.find('=');
    if (equals != std::string_view::npos) addSecret(secrets, pair.substr(equals + 1));
  }
  for (const std::string_view word : splitKeepingEmpty(credential, " ")) addSecret(secrets, word);
  dropContainingSecrets(secrets);
  return secrets;
}

std::vector<std::string> declaredSecrets(Provider provider, std::string_view stored) {
  std::vector<std::string> secrets = credentialSecrets(stored);
  const ServiceLine* entry = serviceLineFor(provider);
  if (entry != nullptr && entry->moreSecrets != nullptr) {
    for (const std::string& secret : entry->moreSecrets(stored)) addSecret(secrets, secret);
    dropContainingSecrets(secrets);
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
