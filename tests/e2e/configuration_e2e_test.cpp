// The configuration folder as a user meets it through the real binary: the modes it keeps, the warnings it
// gives, and an origin copied from a browser's address bar.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"

namespace dapplewick {
namespace {

using testing::RunResult;
using testing::Sandbox;

// A folder the user made, shared 0755 or kept 0750, is theirs to mode: saving and deleting leave it as it was,
// while credentials.json is made 0600. A folder the binary creates is 0700.
TEST(ConfigurationFolder, AnExistingFolderKeepsItsModeOnSetAndDelete) {
  for (const mode_t mode : {mode_t{0755}, mode_t{0750}}) {
    SCOPED_TRACE(mode);
    Sandbox sandbox;
    std::filesystem::create_directory(sandbox.configDir());
    ASSERT_EQ(::chmod(sandbox.configDir().c_str(), mode), 0);
    EXPECT_EQ(sandbox.run({"credential", "set", "deepgram"}, "sk-one").exitCode, 0);
    EXPECT_EQ(sandbox.run({"credential", "set", "zai"}, "sk-two").exitCode, 0);
    EXPECT_EQ(testing::permissionsOf(sandbox.configDir()), mode);
    EXPECT_EQ(testing::permissionsOf(sandbox.configDir() / "credentials.json"), 0600u);
    ASSERT_EQ(::chmod((sandbox.configDir() / "credentials.json").c_str(), 0644), 0);
    const RunResult deleted = sandbox.run({"credential", "delete", "deepgram"});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_EQ(testing::permissionsOf(sandbox.configDir()), mode);
    EXPECT_EQ(testing::permissionsOf(sandbox.configDir() / "credentials.json"), 0600u);
  }
  Sandbox fresh;
  fresh.saveCredential("deepgram", "sk-one");
  EXPECT_EQ(testing::permissionsOf(fresh.configDir()), 0700u);
}

// A credential file others can read is read all the same, with a warning that says who can read it.
TEST(ConfigurationFolder, TheWarningSaysWhoCanReadTheCredentialFile) {
  Sandbox sandbox;
  sandbox.saveCredential("deepgram", "sk-one");
  const auto file = sandbox.configDir() / "credentials.json";
  const std::pair<mode_t, std::string> cases[] = {
      {0640, "the group"}, {0604, "other users"}, {0644, "the group and other users"}};
  for (const auto& [mode, who] : cases) {
    SCOPED_TRACE(who);
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
    const RunResult result = sandbox.run({"credential", "list"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "deepgram\n");
    EXPECT_EQ(result.err, "dapplewick: warning: " + who + " can read " + file.string() +
                              "; make it private with: chmod 600 " + file.string() + "\n");
  }
}

// An origin copied with its trailing "/" reaches the service as its origin: the request's path is the service's
// own, not "//api/...".
TEST(ConfigurationFile, AnOriginEndingInASlashReachesTheServiceWithNoDoubledSlash) {
  testing::LoopbackServer server(
      [](const testing::ReceivedRequest&, testing::LoopbackServer::Connection&) { return testing::httpResponse(500); });
  Sandbox sandbox;
  sandbox.saveCredential("zai", "zai-key");
  sandbox.setOrigins({{"zai.international", server.origin() + "/"}});
  const RunResult result = sandbox.run({"zai"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target(), "/api/monitor/usage/quota/limit");
}

}  // namespace
}  // namespace dapplewick
