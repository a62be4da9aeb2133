#include "support/service_samples.hpp"

namespace dapplewick::testing {

const std::vector<ServiceSample>& serviceSamples() {
  const std::string canary(kCanary);
  const std::string zaiLimit = R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250})";
  const std::string vertexSeries =
      R"({"timeSeries":[{"metric":{"labels":{"quota_metric":")" + canary +
      R"("}},"resource":{"labels":{"location":"global"}},"points":[{"value":{"doubleValue":)";
  // A protocol-buffer field of `bytes` under `key`.
  const auto message = [](char key, const std::string& bytes) {
    return key + std::string(1, static_cast<char>(bytes.size())) + bytes;
  };
  // clang-format off
  static const std::vector<ServiceSample> samples = {
      // The endpoint, the deployment and the API version are no secrets.
      {Provider::azureOpenAI, "https://res.example.com::gpt-4o-mini::az-" + canary + "::2024-10-21", {}, 1, true, {}, {},
       {{"/chat/completions", R"({"model":"gpt-4o-mini-2024-10-21 )" + canary + "\"}"}},
       {"reachable \u00B7 gpt-4o-mini \u00B7 Model: gpt-4o-mini-2024-10-21 "}},
      // Both plans ask the console page first, then post the form.
      {Provider::alibaba, "web: login_aliyunid_ticket=" + canary + "; csrf=c1 ", {}, 1, true},
      {Provider::alibabaTokenPlan, "sec_token=" + canary, {}, 1, true},
      {Provider::factory, "api:fk-" + canary, {}, 1, true, {}, {},
       {{"/auth/me", R"({"organization":{"subscription":{"factoryTier":")" + canary + R"("}},"userProfile":{}})"},
        {"/subscription/usage", R"({"usage":{"standard":{"totalAllowance":100,"usedRatio":0.25}}})"}}},
      {Provider::antigravity, "api:ya29." + canary + "\n", {}, 1, true, {}, {},
       {{"fetchAvailableModels", R"({"models":{"m":{"label":")" + canary + R"(","quotaInfo":{"remainingFraction":1}}}})"}}},
      {Provider::zai, "api: zk-" + canary + "\n", {}, 1, true, {}, {},
       {{"/quota/limit", R"({"code":200,"msg":"ok","success":true,"data":{"planName":")" + canary + R"(","limits":[)" + zaiLimit +
                             "]}}"}}},
      // Both paths send the credential as it is, a blank one too.
      {Provider::minimax, "api:sk-" + canary, {}, 1, false},
      {Provider::manus, "web:other=1; Session_ID=" + canary + "==\n", {}, 1, true},
      // The token goes out exactly as it arrives, even empty.
      {Provider::kimi, "web:" + canary, {}, 1, false},
      {Provider::kilo, "api: kilo-" + canary + "\n", {}, 1, true},
      // Runs the local kiro-cli and takes no credential; without PATH it finds no tool.
      {Provider::kiro, "x", {}, 0, false},
      // The project is no secret.
      {Provider::vertexAI, "my-project:ya29." + canary, {}, 1, true, {}, {},
       {{"quota/allocation/usage", vertexSeries + "5}}]}]}"}, {"quota/limit", vertexSeries + "10}}]}]}"}},
       {"(project: my-project)"}},
      {Provider::augment, "web:_session=" + canary, {}, 1, true, {}, {},
       {{"/api/credits", R"({"usageUnitsRemaining":70,"usageUnitsConsumedThisBillingCycle":30})"},
        {"/api/subscription", R"({"planName":")" + canary + "\"}"}}},
      // Reads a local quota file and takes no credential; the configuration folder named here does not exist.
      {Provider::jetBrains, "x", {{"XDG_CONFIG_HOME", "/nonexistent/dapplewick-test"}}, 0, false},
      {Provider::kimiK2, "kk-" + canary, {}, 1, true},
      {Provider::moonshot, "api:sk-" + canary, {}, 1, true},
      {Provider::t3Chat, "web:session=" + canary + "\n", {}, 1, true, {}, {},
       {{"getCustomerData", R"({"json":{"usageFourHourPercentage":5,"usageBand":")" + canary + "\"}}"}}},
      {Provider::ollama, "web:session=" + canary, {}, 1, true, {}, {},
       {{"/settings", "<span>Cloud Usage</span> <span>" + canary + "</span><h2>Session usage</h2><p>5% used</p>"}}},
      {Provider::synthetic, "syn_" + canary, {}, 1, true, {}, {},
       {{"/quotas", R"({"plan":")" + canary + R"(","rollingFiveHourLimit":{"percentUsed":0.42}})"}}},
      {Provider::warp, "api:wk-" + canary, {}, 1, true},
      {Provider::openRouter, "sk-or-" + canary, {}, 1, true},
      {Provider::elevenLabs, "sk_" + canary, {}, 1, true, {}, {},
       {{"/subscription", R"({"tier":")" + canary + R"(","character_count":5,"character_limit":10})"}}},
      {Provider::windsurf, R"({"devin_session_token":")" + canary + R"("})", {}, 1, true, {}, {},
       {{"GetPlanStatus", message('\x0A', message('\x0A', message('\x12', canary)))}}},
      {Provider::perplexity, canary, {}, 1, true},
      {Provider::mimo, "web:userId=7; api-platform_serviceToken=" + canary, {}, 3, true, {}, {},
       {{"/balance", R"({"code":0,"data":{"balance":"1","currency":"CNY"}})"},
        {"/detail", R"({"code":0,"data":{"expired":false,"planCode":")" + canary + "\"}}"},
        {"/tokenPlan/usage",
         R"({"code":0,"data":{"monthUsage":{"percent":1,"items":[{"name":"t","used":1,"limit":9,"percent":1}]}}})"}}},
      // A level the service does not know names its window. The region is no secret.
      {Provider::doubao, "api:AKLT-id:" + canary + ":cn-beijing", {}, 1, true, {}, {},
       {{"GetCodingPlanUsage", R"({"Result":{"QuotaUsage":[{"Level":"session","Percent":1},{"Level":")" + canary +
                                   R"(","Percent":2}]}})"}}},
      {Provider::abacus, "web:session_id=" + canary, {}, 2, true},
      {Provider::mistral, "web:csrftoken=" + canary, {}, 1, true, {}, {},
       {{"/billing/v2/usage", R"({"currency_symbol":")" + canary + "\"}"}}},
      {Provider::deepSeek, "api:sk-" + canary, {}, 2, true},
      {Provider::codebuff, "web: " + canary, {}, 2, true, {}, {},
       {{"/v1/usage", R"({"used":1,"limit":10})"}, {"/subscription", R"({"subscription":{"displayName":")" + canary +
                                                                         "\"}}"}}},
      {Provider::venice, "api:" + canary, {}, 1, true},
      {Provider::stepFun, "web:" + canary + "...", {}, 1, true},
      {Provider::bedrock, "my-profile:ap-northeast-1:AKIA-id:" + canary, {}, 1, true, "default",
       {{"AWS_ACCESS_KEY_ID", "AKIA-" + canary}, {"AWS_SECRET_ACCESS_KEY", canary}, {"AWS_SESSION_TOKEN", "t-" + canary}}},
      {Provider::groq, "gsk_" + canary, {}, 4, true},
      {Provider::llmProxy, "sk-" + canary, {{"LLM_PROXY_BASE_URL", "https://proxy.example.com/team"}}, 1, true,
       "https://proxy.example.com/team", {{"LLM_PROXY_API_KEY", "sk-" + canary}}},
      {Provider::deepgram, "api:" + canary, {}, 1, true, {}, {},
       {{"/usage/breakdown", R"({"results":[{"requests":1}]})"},
        {"/v1/projects", R"({"projects":[{"project_id":"p1","name":")" + canary + "\"}]}"}}},
  };
  // clang-format on
  return samples;
}

const ServiceSample* sampleFor(Provider provider) {
  for (const ServiceSample& sample : serviceSamples()) {
    if (sample.provider == provider) return &sample;
  }
  return nullptr;
}

}  // namespace dapplewick::testing
