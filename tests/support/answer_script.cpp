#include "support/answer_script.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace dapplewick::testing {
namespace {

void putNumber(std::string& out, std::size_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

}  // namespace

std::string encodeAnswer(const HTTPResponse& answer) {
  constexpr std::size_t kShort = 255;
  constexpr std::size_t kLong = 0xFFFFFF;
  std::string out;
  putNumber(out, answer.isHTTP ? static_cast<std::size_t>(std::clamp(answer.status, 0, 0xFFFF)) : 0, 2);
  const auto& headers = answer.headers.list();
  const std::size_t count = std::min<std::size_t>(headers.size(), kShort);
  putNumber(out, count, 1);
  for (std::size_t i = 0; i < count; ++i) {
    for (const std::string* text : {&headers[i].name, &headers[i].value}) {
      const std::size_t length = std::min(text->size(), kShort);
      putNumber(out, length, 1);
      out.append(*text, 0, length);
    }
  }
  const std::size_t length = std::min(answer.body.size(), kLong);
  putNumber(out, length, 3);
  out.append(answer.body, 0, length);
  return out;
}

std::vector<HTTPResponse> decodeAnswers(std::string_view bytes) {
  // Both read from the front of `bytes`, never beyond its end.
  const auto number = [&bytes](int count) {
    std::size_t value = 0;
    for (int i = 0; i < count; ++i) {
      value = value << 8 | (bytes.empty() ? 0U : static_cast<unsigned char>(bytes.front()));
      bytes.remove_prefix(bytes.empty() ? 0 : 1);
    }
    return value;
  };
  const auto text = [&bytes](std::size_t length) {
    std::string piece(bytes.substr(0, length));
    bytes.remove_prefix(piece.size());
    return piece;
  };
  std::vector<HTTPResponse> answers;
  while (!bytes.empty()) {
    HTTPResponse& answer = answers.emplace_back();
    answer.status = static_cast<int>(number(2));
    answer.isHTTP = answer.status != 0;
    for (std::size_t count = number(1); count > 0 && !bytes.empty(); --count) {
      std::string name = text(number(1));
      answer.headers.add(std::move(name), text(number(1)));
    }
    answer.body = text(number(3));
  }
  return answers;
}

HTTPResponse answerOfToolResult(const ProcessResult& result) {
  HTTPResponse answer{true, result.status, {}, result.standardOutput, ""};
  if (!result.standardError.empty()) answer.headers.add("stderr", result.standardError);
  if (result.timedOut) answer.headers.add("timedOut", "");
  return answer;
}

ProcessResult toolResultOfAnswer(const HTTPResponse& answer) {
  return {answer.body, answer.headers.get("stderr").value_or(""), answer.status,
          answer.headers.get("timedOut").has_value()};
}

const std::filesystem::path& seedFolder() {
  static const std::filesystem::path folder = [] {
    const char* named = std::getenv("DAPPLEWICK_FUZZ_SEEDS");
    return std::filesystem::path(named != nullptr ? named : "");
  }();
  return folder;
}

void recordSeedAnswer(Provider provider, const HTTPResponse& answer) {
  if (seedFolder().empty()) return;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) return;
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  std::replace(name.begin(), name.end(), '/', '_');
  static std::mutex mutex;
  const std::lock_guard lock(mutex);
  const auto directory = seedFolder() / rawValue(provider);
  std::filesystem::create_directories(directory);
  std::ofstream(directory / name, std::ios::binary | std::ios::app) << encodeAnswer(answer);
}

}  // namespace dapplewick::testing
