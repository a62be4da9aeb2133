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
      {.provider = Provider::azureOpenAI,
       .credential = "https://res.example.com::gpt-4o-mini::az-" + canary + "::2024-10-21",
       .answers = {{"/chat/completions", R"({"model":"gpt-4o-mini-2024-10-21 )" + canary + "\"}"}},
       .shows = {"reachable \u00B7 gpt-4o-mini \u00B7 Model: gpt-4o-mini-2024-10-21 "}},
      // Both plans ask the console page first, then post the form.
      {.provider = Provider::alibaba, .credential = "web: login_aliyunid_ticket=" + canary + "; csrf=c1 "},
      {.provider = Provider::alibabaTokenPlan, .credential = "sec_token=" + canary},
      {.provider = Provider::factory, .credential = "api:fk-" + canary, .answers = {
           {"/auth/me", R"({"organization":{"subscription":{"factoryTier":")" + canary + R"("}},"userProfile":{}})"},
           {"/subscription/usage", R"({"usage":{"standard":{"totalAllowance":100,"usedRatio":0.25}}})"}}},
      {.provider = Provider::antigravity, .credential = "api:ya29." + canary + "\n", .answers = {
           {"fetchAvailableModels", R"({"models":{"m":{"label":")" + canary +
                                        R"(","quotaInfo":{"remainingFraction":1}}}})"}}},
      {.provider = Provider::zai, .credential = "api: zk-" + canary + "\n", .answers = {{"/quota/limit",
           R"({"code":200,"msg":"ok","success":true,"data":{"planName":")" + canary + R"(","limits":[)" + zaiLimit +
           "]}}"}}},
      // Both paths send the credential as it is, a blank one too.
      {.provider = Provider::minimax, .credential = "api:sk-" + canary, .refusesBlank = false},
      {.provider = Provider::manus, .credential = "web:other=1; Session_ID=" + canary + "==\n"},
      // The token goes out exactly as it arrives, even empty.
      {.provider = Provider::kimi, .credential = "web:" + canary, .refusesBlank = false},
      {.provider = Provider::kilo, .credential = "api: kilo-" + canary + "\n"},
      // Runs the local kiro-cli and takes no credential; without PATH it finds no tool.
      {.provider = Provider::kiro, .credential = "x", .inFlight = 0, .refusesBlank = false},
      // The project is no secret.
      {.provider = Provider::vertexAI, .credential = "my-project:ya29." + canary,
       .answers = {{"quota/allocation/usage", vertexSeries + "5}}]}]}"}, {"quota/limit", vertexSeries + "10}}]}]}"}},
       .shows = {"(project: my-project)"}},
      {.provider = Provider::augment, .credential = "web:_session=" + canary, .answers = {
           {"/api/credits", R"({"usageUnitsRemaining":70,"usageUnitsConsumedThisBillingCycle":30})"},
           {"/api/subscription", R"({"planName":")" + canary + "\"}"}}},
      // Reads a local quota file and takes no credential; the configuration folder named here does not exist.
      {.provider = Provider::jetBrains, .credential = "x",
       .environment = {{"XDG_CONFIG_HOME", "/nonexistent/dapplewick-test"}}, .inFlight = 0, .refusesBlank = false},
      {.provider = Provider::kimiK2, .credential = "kk-" + canary},
      {.provider = Provider::moonshot, .credential = "api:sk-" + canary},
      {.provider = Provider::t3Chat, .credential = "web:session=" + canary + "\n", .answers = {
           {"getCustomerData", R"({"json":{"usageFourHourPercentage":5,"usageBand":")" + canary + "\"}}"}}},
      {.provider = Provider::ollama, .credential = "web:session=" + canary, .answers = {
           {"/settings", "<span>Cloud Usage</span> <span>" + canary + "</span><h2>Session usage</h2><p>5% used</p>"}}},
      {.provider = Provider::synthetic, .credential = "syn_" + canary, .answers = {
           {"/quotas", R"({"plan":")" + canary + R"(","rollingFiveHourLimit":{"percentUsed":0.42}})"}}},
      {.provider = Provider::warp, .credential = "api:wk-" + canary},
      {.provider = Provider::openRouter, .credential = "sk-or-" + canary},
      {.provider = Provider::elevenLabs, .credential = "sk_" + canary, .answers = {
           {"/subscription", R"({"tier":")" + canary + R"(","character_count":5,"character_limit":10})"}}},
      {.provider = Provider::windsurf, .credential = R"({"devin_session_token":")" + canary + R"("})",
       .answers = {{"GetPlanStatus", message('\x0A', message('\x0A', message('\x12', canary)))}}},
      {.provider = Provider::perplexity, .credential = canary},
      {.provider = Provider::mimo, .credential = "web:userId=7; api-platform_serviceToken=" + canary, .inFlight = 3,
       .answers = {{"/balance", R"({"code":0,"data":{"balance":"1","currency":"CNY"}})"},
        {"/detail", R"({"code":0,"data":{"expired":false,"planCode":")" + canary + "\"}}"},
        {"/tokenPlan/usage",
         R"({"code":0,"data":{"monthUsage":{"percent":1,"items":[{"name":"t","used":1,"limit":9,"percent":1}]}}})"}}},
      // A level the service does not know names its window. The region is no secret.
      {.provider = Provider::doubao, .credential = "api:AKLT-id:" + canary + ":cn-beijing", .answers = {
           {"GetCodingPlanUsage", R"({"Result":{"QuotaUsage":[{"Level":"session","Percent":1},{"Level":")" + canary +
                                      R"(","Percent":2}]}})"}}},
      {.provider = Provider::abacus, .credential = "web:session_id=" + canary, .inFlight = 2},
      {.provider = Provider::mistral, .credential = "web:csrftoken=" + canary,
       .answers = {{"/billing/v2/usage", R"({"currency_symbol":")" + canary + "\"}"}}},
      {.provider = Provider::deepSeek, .credential = "api:sk-" + canary, .inFlight = 2},
      {.provider = Provider::codebuff, .credential = "web: " + canary, .inFlight = 2, .answers = {
           {"/v1/usage", R"({"used":1,"limit":10})"},
           {"/subscription", R"({"subscription":{"displayName":")" + canary + "\"}}"}}},
      {.provider = Provider::venice, .credential = "api:" + canary},
      {.provider = Provider::stepFun, .credential = "web:" + canary + "..."},
      {.provider = Provider::bedrock, .credential = "my-profile:ap-northeast-1:AKIA-id:" + canary,
       .keylessCredential = "default", .keyEnvironment = {{"AWS_ACCESS_KEY_ID", "AKIA-" + canary},
           {"AWS_SECRET_ACCESS_KEY", canary}, {"AWS_SESSION_TOKEN", "t-" + canary}}},
      {.provider = Provider::groq, .credential = "gsk_" + canary, .inFlight = 4},
      {.provider = Provider::llmProxy, .credential = "sk-" + canary,
       .environment = {{"LLM_PROXY_BASE_URL", "https://proxy.example.com/team"}},
       .keylessCredential = "https://proxy.example.com/team",
       .keyEnvironment = {{"LLM_PROXY_API_KEY", "sk-" + canary}}},
      {.provider = Provider::deepgram, .credential = "api:" + canary, .answers = {
           {"/usage/breakdown", R"({"results":[{"requests":1}]})"},
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
