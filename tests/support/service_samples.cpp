#include "support/service_samples.hpp"

namespace dapplewick::testing {

const std::vector<ServiceSample>& serviceSamples() {
  const std::string canary(kCanary);
  static const std::vector<ServiceSample> samples = {
      {Provider::zai, "api: zk-" + canary + "\n", {}, 1, true},
      // Runs the local kiro-cli and takes no credential; without PATH it finds no tool.
      {Provider::kiro, "x", {}, 0, false},
      {Provider::vertexAI, "my-project:ya29." + canary, {}, 1, true},
      {Provider::ollama, "web:session=" + canary, {}, 1, true},
      {Provider::synthetic, "syn_" + canary, {}, 1, true},
      {Provider::openRouter, "sk-or-" + canary, {}, 1, true},
      {Provider::elevenLabs, "sk_" + canary, {}, 1, true},
      {Provider::perplexity, canary, {}, 1, true},
      {Provider::abacus, "web:session_id=" + canary, {}, 2, true},
      {Provider::deepSeek, "api:sk-" + canary, {}, 2, true},
      {Provider::codebuff, "web: " + canary, {}, 2, true},
      {Provider::stepFun, "web:" + canary + "...", {}, 1, true},
      {Provider::groq, "gsk_" + canary, {}, 4, true},
      {Provider::llmProxy, "sk-" + canary, {{"LLM_PROXY_BASE_URL", "https://proxy.example.com/team"}}, 1, true},
      {Provider::deepgram, "api:" + canary, {}, 1, true},
  };
  return samples;
}

const ServiceSample* sampleFor(Provider provider) {
  for (const ServiceSample& sample : serviceSamples()) {
    if (sample.provider == provider) return &sample;
  }
  return nullptr;
}

}  // namespace dapplewick::testing
