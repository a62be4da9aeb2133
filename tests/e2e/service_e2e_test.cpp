// Every service end to end: the real binary, a saved credential and the real transport against loopback servers
// that play the provider (for Kiro, a stand-in kiro-cli first on PATH). One row of the scenario table each.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"
#include "support/process_probe.hpp"

namespace dapplewick {
namespace {

using testing::LoopbackServer;
using testing::ReceivedRequest;

struct Answer {
  std::vector<std::string> when;  // texts the raw request holds, all of them; the first answer that fits is given
  int status;
  std::string body;
  std::chrono::milliseconds delay{};  // before the answer is sent
};

// One provider host; a request that no answer fits gets a 404.
struct Host {
  std::vector<std::string> originKeys;
  std::vector<Answer> answers;
  std::size_t wantRequests;
};

struct Scenario {
  std::string name;
  std::string provider;
  std::string credential;  // "{origin}" stands for the first host's origin, here and in `environment`
  std::string secret;      // never printed
  std::vector<Host> hosts;
  std::vector<std::string> onEveryRequest;  // header lines, exactly as sent
  Json want;                                // fields of the record ("/a/0/b" paths of it)
  std::map<std::string, std::string> environment{};
  // Shell commands of a stand-in kiro-cli placed first on PATH, for `whoami` and for the usage report.
  std::string kiroWhoami{}, kiroUsage{};
};

// The stand-in prints only for the terminal the tool is told to expect, and refuses any other command line.
std::string kiroScript(const Scenario& scenario) {
  return "[ \"$TERM\" = xterm-256color ] || exit 65\ncase \"$*\" in\n  whoami) " + scenario.kiroWhoami +
         " ;;\n  'chat --no-interactive /usage') " + scenario.kiroUsage + " ;;\n  *) exit 64 ;;\nesac\n";
}

const std::string kZaiQuota =
    R"({"code":200,"msg":"ok","success":true,"data":{"planName":"Pro","limits":[)"
    R"({"type":"TOKENS_LIMIT","unit":6,"number":1,"percentage":10,"nextResetTime":1767830400000},)"
    R"({"type":"TIME_LIMIT","unit":4,"number":1,"percentage":7},)"
    R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250,"percentage":25,)"
    R"("nextResetTime":1767225600000}]}})";
const Json kZaiRecord = {{"error", nullptr}, {"used", 25}, {"resetAt", "2026-01-01T00:00:00.000Z"},
                         {"note", "Pro \u00B7 Monthly: 7% used"}, {"auxiliaryUsage", {{{"note", "1 week window"}}}}};

// Only a key the international host rejects is tried on the mainland-China host.
Scenario zai(std::string name, int firstStatus, std::string firstBody, int secondStatus, std::size_t second,
             Json want) {
  const std::string path = "GET /api/monitor/usage/quota/limit ";
  return {"Zai" + name, "zai", "api:  zai-key\n", "zai-key",
          {{{"zai.international"}, {{{path}, firstStatus, std::move(firstBody)}}, 1},
           {{"zai.china"}, {{{path}, secondStatus, kZaiQuota}}, second}},
          {"authorization: Bearer zai-key"}, std::move(want)};
}

Scenario codebuff(std::string name, int subscriptionStatus, std::string subscriptionBody, Json want) {
  return {"Codebuff" + name, "codebuff", "web: cb-token ", "cb-token",
          {{{"codebuff"},
            {{{"POST /api/v1/usage ", "\r\n\r\n" R"({"fingerprintId":"dapple-wick"})"}, 200,
              R"({"usage":250,"quota":1000,"next_quota_reset":"2026-02-01T00:00:00Z"})"},
             {{"GET /api/user/subscription "}, subscriptionStatus, std::move(subscriptionBody)}},
            2}},
          {"Authorization: Bearer cb-token",
           "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36"},
          std::move(want)};
}

Scenario llmProxy(std::string name, std::string credential, std::map<std::string, std::string> environment) {
  return {"LLMProxy" + name, "llmproxy", std::move(credential), "sk-e2e",
          {{{},
            {{{"GET /team/v1/quota-stats "}, 200,
              R"({"providers": {"openai": {"total_requests": 5, "quota_groups": [{"remaining_percent": 80,)"
              R"( "reset_time": "2030-01-02T00:00:00Z"}]}, "anthropic": {"total_requests": 7, "quota_groups":)"
              R"( {"pro": {"remaining_percent": 35, "reset_time": "2030-01-01T12:00:00.500Z"}}}},)"
              R"( "summary": {"total_tokens": 1500, "approx_cost": 0.25}})"}},
            1}},
          {"Authorization: Bearer sk-e2e", "Accept: application/json"},
          {{"error", nullptr}, {"used", 65}, {"limit", 100}, {"cost", 0.25}, {"resetAt", "2030-01-01T12:00:00.500Z"},
           {"note", "2 providers \u00B7 12 requests \u00B7 1.5K tokens \u00B7 $0.2500"}},
          std::move(environment)};
}

std::string vertexSeries(const std::string& metric, const std::string& location, int value) {
  return R"({"metric": {"labels": {"quota_metric": ")" + metric + R"("}}, "resource": {"labels": {"location": ")" +
         location + R"("}}, "points": [{"value": {"doubleValue": )" + std::to_string(value) + "}}]}";
}

// Cloud Monitoring: the usage series in two pages, then the limits; only the right query is answered.
Answer vertex(const std::string& filter, std::optional<std::string> page, std::string series,
              std::optional<std::string> next) {
  std::vector<std::string> when = {"GET /v3/projects/my-project/timeSeries?filter=metric.type%3D%22",
                                   filter + "%22", "resource.label.service%3D%22aiplatform.googleapis.com%22",
                                   "&aggregation.perSeriesAligner=ALIGN_MAX"};
  if (page) when.push_back("&pageToken=" + *page + " ");
  const std::string token = next ? R"(, "nextPageToken": ")" + *next + "\"" : "";
  return {when, 200, R"({"timeSeries": [)" + series + "]" + token + "}"};
}

std::vector<Scenario> scenarios() {
  const std::string bar = "\\342\\226\\210";
  const std::string usagePath = "serviceruntime.googleapis.com/quota/allocation/usage";
  const auto kiro = [](std::string name, std::string whoami, std::string usage, Json want) {
    // Without a stand-in, PATH names only a missing folder: a kiro-cli installed on this machine must not be found.
    std::map<std::string, std::string> path;
    if (whoami.empty()) path["PATH"] = "/nonexistent";
    return Scenario{"Kiro" + name, "kiro", "x", "", {}, {}, std::move(want), path, std::move(whoami), std::move(usage)};
  };
  const auto groq = [](const std::string& metric, const std::string& values) {
    return Answer{{"GET /v1/metrics/prometheus/api/v1/query?query=sum(" + metric + ") "}, 200,
                  R"({"status":"success","data":{"resultType":"vector","result":[)" + values + "]}}"};
  };
  return {
      zai("FirstHostAnswers", 200, kZaiQuota, 500, 0, kZaiRecord),
      zai("RejectedKeyFallsBack", 401, R"({"error":"unauthorized"})", 200, 1, kZaiRecord),
      zai("RejectedByBoth", 401, "", 403, 1, {{"error", "Invalid z.ai API key"}}),
      kiro("ColouredReport", "printf '\\033[1mLogged in with Builder ID\\033[0m\\nEmail: someone@example.com\\n'",
           "printf '\\033]0;kiro\\007\\033[1mPlan:\\033[0m KIRO PRO\\n\\033[32m" + bar + bar + "\\033[0m 42%%\\n"
           "(10.5 of 50 covered in plan), resets on 2099-03-01\\n"
           "\\033[1mBonus credits\\033[0m: 25 / 100 credits used, expires in 7 days\\n'",
           {{"error", nullptr}, {"used", 42}, {"limit", 100}, {"cost", 0}, {"costSemantic", "none"},
            {"resetPeriod", "monthly"}, {"resetAt", "2099-03-01T00:00:00.000Z"}, {"percentage", 42},
            {"note", "KIRO PRO \u00B7 someone@example.com"}, {"isLoading", false},
            {"auxiliaryUsage", {{{"used", 25}, {"limit", 100}, {"note", "Bonus credits"}}}}}),
      kiro("ReportOnStandardError", "true", "printf 'Plan: Pro\\n" + bar + " 7%%\\n' >&2",
           {{"error", nullptr}, {"used", 7}, {"note", "Pro"}}),
      kiro("NotLoggedIn", "printf '\\033[31merror:\\033[0m Not logged in. Run kiro-cli login.\\n' >&2; exit 1",
           "exit 70", {{"error", "Not logged in to Kiro. Run 'kiro-cli login' first."}, {"limit", 0}}),
      kiro("NoTool", "", "", {{"error", "kiro-cli not found. Install it from https://kiro.dev"}}),
      {"VertexAI", "vertexai", "my-project:ya29.e2e", "ya29.e2e",
       {{{"vertexai"},
         {vertex(usagePath, "p%2B2", vertexSeries("requests", "global", 10), std::nullopt),
          vertex(usagePath, std::nullopt, vertexSeries("tokens", "us-central1", 80), "p+2"),
          vertex("serviceruntime.googleapis.com/quota/limit", std::nullopt,
                 vertexSeries("tokens", "us-central1", 100) + "," + vertexSeries("requests", "global", 40),
                 std::nullopt)},
         3}},
       {"Authorization: Bearer ya29.e2e"},
       {{"error", nullptr}, {"used", 80}, {"limit", 100}, {"resetPeriod", "daily"},
        {"note", "Vertex AI quota via Cloud Monitoring (project: my-project) \u2014 tokens (us-central1)"},
        {"auxiliaryUsage", {{{"used", 25}, {"note", "requests"}}, nullptr}}}},
      {"ElevenLabs", "elevenlabs", "api:sk_test_key\n", "sk_test_key",
       {{{"elevenlabs"},
         {{{"GET /v1/user/subscription "}, 200,
           R"({"tier":"creator_plus","character_count":25000,"character_limit":100000,"voice_slots_used":2,)"
           R"("voice_limit":10,"next_character_count_reset_unix":1775001600,"status":"active"})"}},
         1}},
       {"xi-api-key: sk_test_key"},
       {{"error", nullptr}, {"used", 25000}, {"resetAt", "2026-04-01T00:00:00.000Z"}, {"note", "Plan: Creator Plus"},
        {"auxiliaryUsage", {{{"note", "Voice slots"}}}}}},
      {"Abacus", "abacus", "web:session_id=abc123; csrf=xyz\n", "abc123",
       {{{"abacus"},
         {{{"GET /api/_getOrganizationComputePoints "}, 200,
           R"({"success":true,"result":{"totalComputePoints":2500,"computePointsLeft":1000}})"},
          {{"POST /api/_getBillingInfo ", "\r\n\r\n{}"}, 200,
           R"({"success":true,"result":{"nextBillingDate":"2026-04-01T00:00:00.000Z"}})"}},
         2}},
       {"Cookie: session_id=abc123; csrf=xyz"},
       {{"error", nullptr}, {"used", 60}, {"resetAt", "2026-04-01T00:00:00.000Z"},
        {"note", "Abacus AI compute points: 1,500 / 2,500"}}},
      // One server plays both the API and the platform console.
      {"DeepSeek", "deepseek", "api:sk-e2e\n", "sk-e2e",
       {{{"deepseek.api", "deepseek.platform"},
         {{{"GET /user/balance "}, 200,
           R"({"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.5",)"
           R"("granted_balance":"10","topped_up_balance":"100.5"}]})"},
          {{"GET /api/v0/usage/cost?"}, 200,
           R"({"code":0,"data":{"biz_data":[{"total":[{"type":"chat","amount":"1.25"},)"
           R"({"type":"reasoner","amount":"NaN"},{"type":"cache","amount":"0.25"}]}]}})"}},
         2}},
       {"Authorization: Bearer sk-e2e"},
       {{"error", nullptr}, {"cost", 1.5}, {"costSemantic", "periodCumulative"},
        {"note", "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000"}}},
      codebuff("UsageAndSubscription", 200,
               R"({"subscription":{"displayName":"Pro","currentPeriodEnd":"2026-03-01T00:00:00Z"},)"
               R"("rateLimit":{"weeklyUsed":40,"weeklyLimit":200,"weeklyResetsAt":1767571200000}})",
               {{"error", nullptr}, {"used", 250}, {"limit", 1000}, {"resetAt", "2026-02-01T00:00:00.000Z"},
                {"note", "Tier: Pro"}, {"auxiliaryUsage", {{{"used", 40}, {"resetAt", "2026-01-05T00:00:00.000Z"}}}}}),
      codebuff("FailedSubscriptionStillGivesARecord", 500, R"({"error":"internal"})",
               {{"error", nullptr}, {"used", 250}, {"note", nullptr}, {"auxiliaryUsage", {nullptr}}}),
      // The cache query finds no answer, which only drops its part of the note; an empty rate is written NaN.
      {"Groq", "groq", "api:  gsk_e2e_key \n", "gsk_e2e_key",
       {{{"groq"},
         {groq("model_project_id_status_code:requests:rate5m", R"({"value":[1,"NaN"]},{"value":[1,"0.5"]})"),
          groq("model_project_id:tokens_in:rate5m", R"({"value":[1,"100"]})"),
          groq("model_project_id:tokens_out:rate5m", R"({"value":[1,"20"]})")},
         4}},
       {"Authorization: Bearer gsk_e2e_key"},
       {{"error", nullptr}, {"note", "30.0 req/min \u00B7 7200 tok/min"}}},
      // Plain http, which is allowed on loopback; the address comes from the credential, then from the environment.
      llmProxy("AddressInTheCredential", "{origin}/team:sk-e2e", {}),
      llmProxy("AddressFromTheEnvironment", "sk-e2e", {{"LLM_PROXY_BASE_URL", "{origin}/team/v1/"}}),
      // Two projects, the second failing: the record shows the first one's figures and how many answered.
      {"Ollama", "ollama", "web:session=ol-e2e\n", "ol-e2e",
       {{{"ollama"},
         {{{"GET /settings "}, 200,
           "<span>Cloud Usage</span> <span> Pro plan </span><h2>Session usage</h2><p>45.5% used</p>"
           "<time data-time=\"2025-07-01T12:00:00.000Z\"></time><h2>Weekly usage</h2><div style=\"width: 12%\">"}},
         1}},
       {"Cookie: session=ol-e2e", "Accept-Language: en-US,en;q=0.9"},
       {{"error", nullptr}, {"used", 45.5}, {"limit", 100}, {"resetAt", "2025-07-01T12:00:00.000Z"},
        {"note", "Pro plan"}, {"auxiliaryUsage", {{{"used", 12}, {"resetPeriod", "weekly"}, {"note", "Weekly"}}}}}},
      {"Synthetic", "synthetic", "api:syn_e2e\n", "syn_e2e",
       {{{"synthetic"},
         {{{"GET /v2/quotas "}, 200,
           R"({"plan":"Pro","rollingFiveHourLimit":{"percentUsed":0.42,"resetAt":"2026-01-01T00:00:00Z"}})"}},
         1}},
       {"Authorization: Bearer syn_e2e", "Accept: application/json"},
       {{"error", nullptr}, {"used", 42}, {"resetPeriod", "window"}, {"resetAt", "2026-01-01T00:00:00.000Z"},
        {"note", "Plan: Pro"}}},
      // The key endpoint answers too late: the record is the balance one, a second later at most.
      {"OpenRouterSlowKey", "openrouter", "api:  sk-or-e2e\n", "sk-or-e2e",
       {{{"openrouter"},
         {{{"GET /api/v1/credits "}, 200, R"({"data":{"total_credits":50,"total_usage":12.5}})"},
          {{"GET /api/v1/key "}, 200, R"({"data":{"limit":20,"limit_remaining":5}})", std::chrono::seconds(5)}},
         2}},
       {"Authorization: Bearer sk-or-e2e", "User-Agent: Dapplewick/1.0"},
       {{"error", nullptr}, {"used", 12.5}, {"limit", 0}, {"cost", 12.5}, {"costSemantic", "lifetime"},
        {"note", "Balance: $37.5000 \u00B7 Lifetime spend: $12.5000"}}},
      {"Perplexity", "perplexity", "web: px-e2e\n", "px-e2e",
       {{{"perplexity"},
         {{{"GET /rest/billing/credits?version=2.18&source=default "}, 200,
           R"({"balance_cents":10800,"renewal_date_ts":1751328000,"current_period_purchased_cents":0,)"
           R"("credit_grants":[{"type":"recurring","amount_cents":15000}],"total_usage_cents":4200})"}},
         1}},
       {"Cookie: __Secure-next-auth.session-token=px-e2e"},
       {{"error", nullptr}, {"used", 4200}, {"limit", 15000}, {"resetAt", "2025-07-01T00:00:00.000Z"},
        {"note", "Balance: 108 credits"}}},
      {"StepFun", "stepfun", "web: sf-e2e...\n", "sf-e2e",
       {{{"stepfun"},
         {{{"POST /api/step.openapi.devcenter.Dashboard/QueryStepPlanRateLimit ", "\r\n\r\n{}"}, 200,
           R"({"status":1,"five_hour_usage_left_rate":0.25,"weekly_usage_left_rate":0.6,)"
           R"("five_hour_usage_reset_time":"1751328000","weekly_usage_reset_time":1751932800})"}},
         1}},
       {"oasis-appid: 10300", "Cookie: Oasis-Token=sf-e2e; Oasis-Webid=5e07b3d91a4c8f26e0b7d35a9c14f8e2b6d0a73c"},
       {{"error", nullptr}, {"used", 40}, {"resetPeriod", "weekly"}, {"resetAt", "2025-07-08T00:00:00.000Z"},
        {"auxiliaryUsage", {{{"used", 75}, {"resetPeriod", "window"}}}}}},
      {"Deepgram", "deepgram", "api:  dg-e2e-key\n", "dg-e2e-key",
       {{{"deepgram"},
         {{{"GET /v1/projects "}, 200,
           R"({"projects":[{"project_id":"p-main","name":"Main"},{"project_id":"p-old"}]})"},
          {{"GET /v1/projects/p-main/usage/breakdown?"}, 200,
           R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"hours":0.25}]})"},
          {{"GET /v1/projects/p-old/usage/breakdown?"}, 500, ""}},
         3}},
       {"Authorization: Token dg-e2e-key"},
       {{"error", nullptr}, {"used", 15}, {"note", "1/2 projects aggregated"}, {"auxiliaryUsage", {{{"used", 1.75}}}}}},
  };
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class ServiceEndToEnd : public ::testing::TestWithParam<Scenario> {};

TEST_P(ServiceEndToEnd, PrintsTheRecordOfWhatTheProviderAnswers) {
  const Scenario& scenario = GetParam();
  testing::Sandbox sandbox;
  std::vector<std::unique_ptr<LoopbackServer>> servers;
  std::map<std::string, std::string> origins;
  for (const Host& host : scenario.hosts) {
    servers.push_back(std::make_unique<LoopbackServer>([&host](const ReceivedRequest& request, auto& connection) {
      for (const Answer& answer : host.answers) {
        const auto holds = [&](const std::string& text) { return request.raw.find(text) != std::string::npos; };
        if (std::all_of(answer.when.begin(), answer.when.end(), holds)) {
          if (answer.delay.count() > 0) connection.stall(answer.delay);
          return testing::httpResponse(answer.status, answer.body, {"Content-Type: application/json"});
        }
      }
      return testing::httpResponse(404);
    }));
    for (const auto& key : host.originKeys) origins[key] = servers.back()->origin();
  }
  if (!origins.empty()) sandbox.setOrigins(origins);
  const auto expand = [&](std::string text) {
    if (const auto at = text.find("{origin}"); at != std::string::npos) text.replace(at, 8, servers[0]->origin());
    return text;
  };
  for (const auto& [name, value] : scenario.environment) sandbox.setEnv(name, expand(value));
  testing::TempDir bin;
  if (!scenario.kiroWhoami.empty()) {
    testing::writeScript(bin.path(), "kiro-cli", kiroScript(scenario));
    sandbox.setEnv("PATH", bin.path().string() + ":/usr/bin:/bin");
  }
  sandbox.saveCredential(scenario.provider, expand(scenario.credential));

  const auto begin = std::chrono::steady_clock::now();
  const Json records = sandbox.runJson({scenario.provider});
  // A service that gives up on a slow answer after its time-out must not wait for it much longer.
  const bool delayed = std::any_of(scenario.hosts.begin(), scenario.hosts.end(), [](const Host& host) {
    return std::any_of(host.answers.begin(), host.answers.end(), [](const Answer& a) { return a.delay.count() > 0; });
  });
  if (delayed) {
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2500));
  }
  ASSERT_EQ(records.size(), 1u) << records.dump();
  EXPECT_EQ(records[0].value("id", ""), scenario.provider);
  const Json want = scenario.want.flatten();
  for (const auto& [pointer, value] : want.items()) {
    EXPECT_EQ(records[0].value(Json::json_pointer(pointer), Json()), value) << pointer << " in " << records[0].dump();
  }
  for (std::size_t i = 0; i < servers.size(); ++i) {
    EXPECT_EQ(servers[i]->requests().size(), scenario.hosts[i].wantRequests) << "host " << i;
    for (const ReceivedRequest& request : servers[i]->requests()) {
      for (const auto& line : scenario.onEveryRequest) {
        EXPECT_NE(request.raw.find("\r\n" + line + "\r\n"), std::string::npos) << line << " in\n" << request.raw;
      }
    }
  }
  if (!scenario.secret.empty()) {
    const std::string shown = records.dump() + sandbox.run({scenario.provider}).out;
    EXPECT_EQ(shown.find(scenario.secret), std::string::npos) << shown;
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ServiceEndToEnd, ::testing::ValuesIn(scenarios()),
                         [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace dapplewick
