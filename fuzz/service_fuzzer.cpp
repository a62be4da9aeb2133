// One libFuzzer target over the service table. The input is a script of answers (tests/support/answer_script.hpp)
// for the scripted transport; one service of the table, named by DAPPLEWICK_FUZZ_SERVICE, fetches through the
// engine with its sample credential and environment (tests/support/service_samples.cpp). Whatever the answers,
// nothing may crash, the record must print as JSON and as text with finite figures, and no secret the service's
// line names may show in any form. "@@" in an answer stands for each of those secrets in turn, so that echoes are
// tried too; a service that reads keys from the environment is fuzzed a second time with those (the sample's
// keyless credential). Services that send no request have nothing to fuzz and are left out;
// DAPPLEWICK_FUZZ_SERVICE=list prints the others.

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

// Reads from the front of `bytes`, never beyond its end.
struct Reader {
  std::string_view bytes;
  std::size_t number(int count) {
    std::size_t value = 0;
    for (int i = 0; i < count; ++i) {
      value <<= 8;
      if (!bytes.empty()) {
        value |= static_cast<unsigned char>(bytes.front());
        bytes.remove_prefix(1);
      }
    }
    return value;
  }
  std::string text(std::size_t length) {
    const std::string_view piece = bytes.substr(0, length);
    bytes.remove_prefix(piece.size());
    return std::string(piece);
  }
};

// The answers of an input, as encodeAnswer writes them (tests/support/answer_script.hpp).
std::vector<HTTPResponse> decodeAnswers(std::string_view bytes) {
  std::vector<HTTPResponse> answers;
  Reader reader{bytes};
  while (!reader.bytes.empty()) {
    HTTPResponse answer;
    answer.status = static_cast<int>(reader.number(2));
    answer.isHTTP = answer.status != 0;
    const std::size_t count = reader.number(1);
    for (std::size_t i = 0; i < count && !reader.bytes.empty(); ++i) {
      std::string name = reader.text(reader.number(1));
      std::string value = reader.text(reader.number(1));
      answer.headers.add(std::move(name), std::move(value));
    }
    answer.body = reader.text(reader.number(3));
    answers.push_back(std::move(answer));
  }
  return answers;
}

const Timestamp kNow{std::chrono::milliseconds(1796576595000)};

std::vector<const testing::ServiceSample*> fuzzedServices() {
  std::vector<const testing::ServiceSample*> list;
  for (const ServiceLine& line : serviceTable()) {
    const testing::ServiceSample* sample = testing::sampleFor(line.provider);
    if (sample != nullptr && sample->inFlight > 0) list.push_back(sample);
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

  testing::ServiceWorld world(kNow);
  for (const auto& [variable, value] : setup.environment) world.environment.set(variable, value);
  std::mutex mutex;
  std::size_t next = 0;
  world.transport.handleUnscripted([&](const HTTPRequest& request, std::stop_token) -> HTTPResponse {
    const std::lock_guard lock(mutex);
    if (next >= answers.size()) throw TransportError(TransportError::Kind::connection, "no more answers");
    HTTPResponse answer = answers[next++];
    answer.url = request.url;
    return answer;
  });
  MemoryKeychain keychain;
  keychain.save(chosen->provider, setup.credential);
  UsageService engine(keychain, world.context);
  const UsageData record = engine.fetchDispatch(chosen->provider);

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
  const std::vector<HTTPResponse> answers = decodeAnswers({reinterpret_cast<const char*>(data), size});
  for (const Setup& setup : setups) {
    for (const std::string& secret : setup.secrets) fuzzOnce(answers, setup, secret);
  }
  return 0;
}
