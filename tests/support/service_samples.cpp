#include "support/service_samples.hpp"

namespace dapplewick::testing {

const std::vector<ServiceSample>& serviceSamples() {
  const std::string canary(kCanary);
  static const std::vector<ServiceSample> samples = {
      {Provider::azureOpenAI, "https://res.example.com::gpt-4o::az-" + canary, {}, 1, true},
      // Both plans ask the console page first, then post the form.
      {Provider::alibaba, "web: login_aliyunid_ticket=" + canary + "; csrf=c1 ", {}, 1, true},
      {Provider::alibabaTokenPlan, "sec_token=" + canary, {}, 1, true},
      {Provider::factory, "api:fk-" + canary, {}, 1, true},
      {Provider::antigravity, "api:ya29." + canary + "\n", {}, 1, true},
      {Provider::zai, "api: zk-" + canary + "\n", {}, 1, true},
      // Both paths send the credential as it is, a blank one too.
      {Provider::minimax, "api:sk-" + canary, {}, 1, false},
      {Provider::manus, "web:other=1; Session_ID=" + canary + "==\n", {}, 1, true},
      // The token goes out exactly as it arrives, even empty.
      {Provider::kimi, "web:" + canary, {}, 1, false},
      {Provider::kilo, "api: kilo-" + canary + "\n", {}, 1, true},
      // Runs the local kiro-cli and takes no credential; without PATH it finds no tool.
      {Provider::kiro, "x", {}, 0, false},
      {Provider::vertexAI, "my-project:ya29." + canary, {}, 1, true},
      {Provider::augment, "web:_session=" + canary, {}, 1, true},
      // Reads a local quota file and takes no credential; the configuration folder named here does not exist.
      {Provider::jetBrains, "x", {{"XDG_CONFIG_HOME", "/nonexistent/dapplewick-test"}}, 0, false},
      {Provider::kimiK2, "kk-" + canary, {}, 1, true},
      {Provider::moonshot, "api:sk-" + canary, {}, 1, true},
      {Provider::t3Chat, "web:session=" + canary + "\n", {}, 1, true},
      {Provider::ollama, "web:session=" + canary, {}, 1, true},
      {Provider::synthetic, "syn_" + canary, {}, 1, true},
      {Provider::warp, "api:wk-" + canary, {}, 1, true},
      {Provider::openRouter, "sk-or-" + canary, {}, 1, true},
      {Provider::elevenLabs, "sk_" + canary, {}, 1, true},
      {Provider::windsurf, R"({"devin_session_token":")" + canary + R"("})", {}, 1, true},
      {Provider::perplexity, canary, {}, 1, true},
      {Provider::mimo, "web:userId=7; api-platform_serviceToken=" + canary, {}, 3, true},
      {Provider::doubao, "api:AKLT-id:" + canary + ":cn-beijing", {}, 1, true},
      {Provider::abacus, "web:session_id=" + canary, {}, 2, true},
      {Provider::mistral, "web:csrftoken=" + canary, {}, 1, true},
      {Provider::deepSeek, "api:sk-" + canary, {}, 2, true},
      {Provider::codebuff, "web: " + canary, {}, 2, true},
      {Provider::venice, "api:" + canary, {}, 1, true},
      {Provider::stepFun, "web:" + canary + "...", {}, 1, true},
      {Provider::bedrock, "eu-west-1:AKIA-id:" + canary, {}, 1, true},
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
