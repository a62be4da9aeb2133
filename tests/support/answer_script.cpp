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
