// Server text shown in an error must never carry the credential that was sent, even when the server echoes it.
#include <gtest/gtest.h>

#include "common/excerpt.hpp"
#include "providers/llm_proxy.hpp"
#include "providers/vertex_ai.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow{std::chrono::milliseconds(1796576595000)};

TEST(RedactSecret, ReplacesEveryOccurrence) {
  EXPECT_EQ(redactSecret("key sk-1 and sk-1.", "sk-1"), "key [redacted] and [redacted].");
  EXPECT_EQ(redactSecret("nothing here", "sk-1"), "nothing here");
  EXPECT_EQ(redactSecret("abc", ""), "abc");
}

TEST(SecretEcho, ProxyErrorHidesTheKey) {
  testing::ServiceWorld world(kNow);
  world.transport.respond("", 500, "invalid key sk-proxy-secret-42 for this route");
  LLMProxyService service(world.context);
  const std::string text =
      testing::errorText([&] { service.fetchUsage("https://proxy.example.com:sk-proxy-secret-42"); });
  EXPECT_EQ(text, "LLM Proxy API error: HTTP 500: invalid key [redacted] for this route");
}

TEST(SecretEcho, VertexErrorHidesTheToken) {
  testing::ServiceWorld world(kNow);
  world.environment.set("GOOGLE_CLOUD_PROJECT", "my-project");
  world.transport.respond("", 500, "token ya29.vertex-secret rejected");
  VertexAIService service(world.context);
  const std::string text = testing::errorText([&] { service.fetchUsage("ya29.vertex-secret"); });
  EXPECT_EQ(text.find("ya29.vertex-secret"), std::string::npos) << text;
  EXPECT_NE(text.find("[redacted]"), std::string::npos) << text;
}

}  // namespace
}  // namespace dapplewick
