// One libFuzzer target over the service table. The input is a script of answers (tests/support/answer_script.hpp)
// for the scripted transport and tool runner; one service of the table, named by DAPPLEWICK_FUZZ_SERVICE, fetches
// through the engine with its sample credential and environment (tests/support/service_samples.cpp), and a PATH
// where the scripted runner finds any tool. Whatever the answers, nothing may crash, the record must print as JSON
// and as text with finite figures, and no secret the service's line names may show in any form. "@@" in an answer
// stands for each of those secrets in turn, so that echoes are tried too; a service that reads keys from the
// environment is fuzzed a second time with those (the sample's keyless credential). Services that send no request and
// run no tool have nothing to fuzz and are left out; DAPPLEWICK_FUZZ_SERVICE=list prints the others.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cli/json_output.hpp"
#include "cli/text_output.hpp"
#include "common/text.hpp"
#include "engine/usage_service.hpp"
#include "model/keychain.hpp"
#include "support/answer_script.hpp"
#include "support/secret_echo.hpp"
#include "support/service_samples.hpp"
#include "support/service_world.hpp"

namespace {

using namespace dapplewick;

const Timestamp kNow{std::chrono::milliseconds(1796576595000)};

// One fetch through the engine, each request and each tool run answered by the next of `answers`; `asked` counts
// them, answered or not.
UsageData fetchWith(Provider provider, const std::string& credential, const testing::Variables& environment,
                    const std::vector<HTTPResponse>& answers, std::size_t& asked) {
  testing::ServiceWorld world(kNow);
  world.environment.set("PATH", "/usr/local/bin");
  for (const auto& [variable, value] : environment) world.environment.set(variable, value);
  std::mutex mutex;
  const auto next = [&]() -> const HTTPResponse* {
    const std::lock_guard lock(mutex);
    return asked++ < answers.size() ? &answers[asked - 1] : nullptr;
  };
  world.transport.handleUnscripted([&](const HTTPRequest& request, std::stop_token) -> HTTPResponse {
    const HTTPResponse* answer = next();
    if (answer == nullptr) throw TransportError(TransportError::Kind::connection, "no more answers");
    HTTPResponse copy = *answer;
    copy.url = request.url;
    return copy;
  });
  world.tools.handleUnscripted([&](const testing::FakeToolRunner::Run& run, std::stop_token) {
    const HTTPResponse* answer = next();
    if (answer == nullptr) throw ProcessError::launchFailed(run.binary, ENOENT);
    return testing::toolResultOfAnswer(*answer);
  });
  MemoryKeychain keychain;
  keychain.save(provider, credential);
  UsageService engine(keychain, world.context);
  return engine.fetchDispatch(provider);
}

// The services whose fetch, with no answer to get, asks for one.
std::vector<const testing::ServiceSample*> fuzzedServices() {
  std::vector<const testing::ServiceSample*> list;
  for (const ServiceLine& line : serviceTable()) {
    const testing::ServiceSample* sample = testing::sampleFor(line.provider);
    std::size_t asked = 0;
    if (sample != nullptr) fetchWith(sample->provider, sample->credential, sample->environment, {}, asked);
    if (asked > 0) list.push_back(sample);
  }
  return list;
}

[[noreturn]] void fail(const std::string& what, const std::string& shown) {
  std::fprintf(stderr, "service fuzzer: %s\n%s\n", what.c_str(), shown.c_str());
  std::abort();
}

const testing::ServiceSample* chosen = nullptr;

// One way the chosen service is fuzzed: a credential, the environment, and the secrets its line names for them.
struct Setup {
  std::string credential;
  testing::Variables environment;
  std::vector<std::string> secrets;
  std::vector<testing::SecretEchoes> echoes = {};  // of each secret
};
std::vector<Setup> setups;

void replaceMarker(std::string& text, const std::string& secret) {
  for (std::size_t at = text.find("@@"); at != std::string::npos; at = text.find("@@", at + secret.size())) {
    text.replace(at, 2, secret);
  }
}

void checkRecord(const UsageData& record, const std::string& shown) {
  for (const double figure : {record.used, record.limit, record.cost}) {
    if (!std::isfinite(figure)) fail("a figure is not finite", shown);
  }
  for (const UsageData& auxiliary : record.auxiliaryUsage) checkRecord(auxiliary, shown);
}

// One fetch through the engine with the answers of an input, "@@" standing for `secret`.
void fuzzOnce(std::vector<HTTPResponse> answers, const Setup& setup, const std::string& secret) {
  for (HTTPResponse& answer : answers) {
    replaceMarker(answer.body, secret);
    HTTPHeaders headers;
    for (const HTTPHeader& header : answer.headers.list()) {
      std::string value = header.value;
      replaceMarker(value, secret);
      headers.add(header.name, std::move(value));
    }
    answer.headers = std::move(headers);
  }

  std::size_t asked = 0;
  const UsageData record = fetchWith(chosen->provider, setup.credential, setup.environment, answers, asked);

  const std::string json = formatUsageJson({record});
  const std::string text = formatUsageText({record}, kNow);
  checkRecord(record, json);
  const auto parsed = parseJsonOrNothing(json);
  if (!parsed || !parsed->is_array() || parsed->size() != 1) fail("the record does not print as JSON", json);
  if (!isValidUTF8(text)) fail("the text form is not UTF-8", text);
  // The fuzzer learns the canary from the comparisons the redaction makes, and a server may well say it alone;
  // what must never show is a secret the line names, in any form a server echoes it in.
  for (const std::string* shown : {&json, &text}) {
    for (const testing::SecretEchoes& echoes : setup.echoes) {
      if (const auto form = echoes.in(*shown)) fail("the credential shows (" + *form + ")", *shown);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* name = std::getenv("DAPPLEWICK_FUZZ_SERVICE");
  const std::string wanted = name != nullptr ? name : "";
  for (const testing::ServiceSample* sample : fuzzedServices()) {
    if (wanted == "list") std::printf("%s\n", std::string(rawValue(sample->provider)).c_str());
    if (wanted == rawValue(sample->provider)) chosen = sample;
  }
  if (wanted == "list") std::exit(0);
  if (chosen == nullptr) {
    std::fprintf(stderr, "service fuzzer: set DAPPLEWICK_FUZZ_SERVICE to a service (\"list\" lists them)\n");
    std::exit(2);
  }
  setups.push_back({chosen->credential, chosen->environment, {}});
  if (!chosen->keylessCredential.empty()) {
    setups.push_back({chosen->keylessCredential, chosen->environment, {}});
    setups.back().environment.insert(chosen->keyEnvironment.begin(), chosen->keyEnvironment.end());
  }
  for (Setup& setup : setups) {
    const ServiceLine& line = *serviceLineFor(chosen->provider);
    const RoutedCredential routed = routedCredential(line.route, setup.credential, chosen->provider);
    setup.secrets = lineSecrets(line, routed, MapEnvironment(setup.environment));
    for (const std::string& secret : setup.secrets) setup.echoes.emplace_back(secret);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<HTTPResponse> answers = testing::decodeAnswers({reinterpret_cast<const char*>(data), size});
  for (const Setup& setup : setups) {
    for (const std::string& secret : setup.secrets) fuzzOnce(answers, setup, secret);
    // A service that sends no secret (one that runs a tool) is fuzzed once, its "@@" kept as they are.
    if (setup.secrets.empty()) fuzzOnce(answers, setup, "@@");
  }
  return 0;
}
