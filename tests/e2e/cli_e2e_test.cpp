#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "model/configuration.hpp"
#include "model/provider.hpp"
#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"
#include "support/process_probe.hpp"

namespace dapplewick {
namespace {

using testing::RunResult;
using testing::Sandbox;

TEST(CommandLine, CredentialRoundTripKeepsTheSecretPrivate) {
  Sandbox sandbox;
  const std::string secret = "sk-e2e-SECRET-7f3a";
  std::vector<RunResult> runs;
  const auto run = [&](const std::vector<std::string>& args, const std::string& input = "") -> const RunResult& {
    return runs.emplace_back(sandbox.run(args, input));
  };

  EXPECT_EQ(run({"credential", "set", "deepgram"}, secret + "\n").out, "Saved the credential for deepgram.\n");
  EXPECT_EQ(testing::permissionsOf(sandbox.configDir()), 0700u);
  EXPECT_EQ(testing::permissionsOf(sandbox.configDir() / "credentials.json"), 0600u);
  run({"credential", "set", "codex"}, "web:session=" + secret + "\r\n");
  EXPECT_EQ(run({"credential", "list"}).out, "codex\ndeepgram\n");
  for (const auto& args : std::vector<std::vector<std::string>>{{"providers"}, {"--json"}, {}}) run(args);
  EXPECT_EQ(run({"credential", "delete", "deepgram"}).out, "Deleted the credential for deepgram.\n");
  EXPECT_EQ(run({"credential", "list"}).out, "codex\n");
  // A secret given as an argument is refused and not repeated.
  EXPECT_EQ(run({"credential", "set", "zai", secret}).exitCode, 2);

  for (const auto& result : runs) {
    SCOPED_TRACE(result.out + result.err);
    EXPECT_EQ(result.exitCode, &result == &runs.back() ? 2 : 0);
    EXPECT_EQ((result.out + result.err).find(secret), std::string::npos);
  }
  // No temporary file left beside credentials.json.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sandbox.configDir()), {}), 1);
}

// Output that cannot be written is a failure, said on standard error; a saved credential is said to be saved.
TEST(CommandLine, AFullDiskIsAWriteErrorForEveryCommand) {
  Sandbox sandbox;
  sandbox.saveCredential("deepgram", "sk-full");
  sandbox.setOutput("/dev/full");
  const std::string full = "dapplewick: write error: " + std::generic_category().message(ENOSPC) + "\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"providers"}, full},
      {{"credential", "list"}, full},
      {{"--json", "zai"}, full},
      {{"--version"}, full},
      {{"credential", "set", "zai"}, full + "dapplewick: the credential for zai was saved all the same\n"},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = sandbox.run(args, "sk-zai");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, want);
  }
  sandbox.setOutput(sandbox.home() / "out");
  EXPECT_EQ(sandbox.run({"credential", "list"}).exitCode, 0);
  EXPECT_EQ(testing::readFileText(sandbox.home() / "out"), "zai\ndeepgram\n");
}

// Whoever can write to the configuration folder or a file in it could plant origins that receive the saved key,
// so every command that reads them refuses first, leaving all as it was; another user's is named with its owner,
// since no chmod mends it. A 0755 folder of private files is read; a missing one is nothing saved, not created.
TEST(CommandLine, AConfigurationOthersCanChangeIsRefusedBeforeAnyRequest) {
  std::atomic<int> requests{0};
  testing::LoopbackServer server([&](const testing::ReceivedRequest&, testing::LoopbackServer::Connection&) {
    ++requests;
    return testing::httpResponse(401);
  });
  using Path = std::filesystem::path;
  // Makes the folder or file so, and gives the refusal it brings.
  const auto writable = [](const Path& path, mode_t mode) {
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    const std::string p = path.string();
    return std::filesystem::is_directory(path)
               ? "others can write to the folder " + p +
                     "; Dapplewick keeps credentials only in a private folder (chmod 700 " + p + ")"
               : "others can write to the file " + p +
                     "; Dapplewick reads only files no one else can write to (chmod 600 " + p + ")";
  };
  const auto foreign = [](const Path& path, uid_t uid) {
    EXPECT_EQ(::chown(path.c_str(), uid, 0), 0) << "giving a file away needs root";
    const std::string owner = uid == 65534 ? "nobody" : "uid " + std::to_string(uid);
    return std::filesystem::is_directory(path) ? "the folder " + path.string() + " belongs to another user (" + owner +
                                                     "); Dapplewick keeps credentials only in a folder of your own"
                                               : "the file " + path.string() + " belongs to another user (" + owner +
                                                     "); Dapplewick reads only files of your own";
  };
  struct Case {
    std::function<std::string(const Path& folder)> make;  // the refusal
    bool onlyRefresh = false;                             // config.json is read by the refresh alone
  };
  const Case cases[] = {
      {[&](const Path& d) { return writable(d, 0775); }},  // a umask of 002
      {[&](const Path& d) { return writable(d, 01757); }},
      {[&](const Path& d) { return foreign(d, 65534); }},
      {[&](const Path& d) { return writable(d / "credentials.json", 0664); }},
      {[&](const Path& d) { return foreign(d / "credentials.json", 3999999); }},
      {[&](const Path& d) {  // a link into a shared folder
        const Path shared = d.parent_path() / "shared";
        std::filesystem::create_directory(shared);
        std::filesystem::rename(d / "credentials.json", shared / "store.json");
        std::filesystem::create_symlink(shared / "store.json", d / "credentials.json");
        return writable(shared, 01777);
      }},
      {[&](const Path& d) { return writable(d / "config.json", 0602); }, true},
      {[&](const Path& d) { return foreign(d / "config.json", 65534); }, true},
  };
  const std::vector<std::vector<std::string>> commands = {{"deepgram"},
                                                          {"providers"},
                                                          {"credential", "list"},
                                                          {"credential", "delete", "deepgram"},
                                                          {"credential", "set", "deepgram"}};
  for (const auto& c : cases) {
    Sandbox sandbox;
    sandbox.saveCredential("deepgram", "sk-kept");
    sandbox.setOrigins({{"deepgram", server.origin()}});
    ASSERT_EQ(::chmod(sandbox.configDir().c_str(), 0755), 0);
    const std::string kept = testing::readFileText(sandbox.configDir() / "credentials.json");
    const std::string refusal = c.make(sandbox.configDir());
    const unsigned mode = testing::permissionsOf(sandbox.configDir());
    for (const auto& args : commands) {
      if (c.onlyRefresh && &args != &commands.front()) break;
      SCOPED_TRACE(refusal + " " + ::testing::PrintToString(args));
      const RunResult result = sandbox.run(args, "sk-new");
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.out + result.err, "dapplewick: " + refusal + "\n");
    }
    EXPECT_EQ(testing::readFileText(sandbox.configDir() / "credentials.json"), kept);
    EXPECT_EQ(testing::permissionsOf(sandbox.configDir()), mode);
  }
  EXPECT_EQ(requests.load(), 0);

  Sandbox sandbox;
  EXPECT_EQ(sandbox.run({"providers"}).exitCode, 0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> nothingSaved = {
      {{},
       "No credentials saved. Save one with: dapplewick credential set PROVIDER\n"
       "(dapplewick providers lists the providers.)\n"},
      {{"credential", "list"}, ""},
      {{"credential", "delete", "deepgram"}, "No credential was saved for deepgram.\n"}};
  for (const auto& [args, want] : nothingSaved) EXPECT_EQ(sandbox.run(args).out, want);
  EXPECT_FALSE(std::filesystem::exists(sandbox.configDir()));
  sandbox.saveCredential("deepgram", "sk-kept");
  sandbox.setOrigins({{"deepgram", server.origin()}});
  for (const auto& [path, mode] : {std::pair{sandbox.configDir(), 0755}, {sandbox.configDir() / "config.json", 0644}}) {
    ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
  }
  EXPECT_EQ(sandbox.run({"credential", "list"}).out, "deepgram\n");
  EXPECT_EQ(sandbox.run({"deepgram"}).exitCode, 0);
  EXPECT_GT(requests.load(), 0);
}

TEST(CommandLine, CtrlCCancelsRequestsInFlightAndExits130) {
  // Every origin points at a server that never answers, and every provider with an origin has a credential, so
  // any service of this build that sends a request hangs until the request is cancelled.
  std::atomic<int> requests{0};
  testing::LoopbackServer server([&](const testing::ReceivedRequest&, testing::LoopbackServer::Connection& peer) {
    ++requests;
    peer.stall(std::chrono::seconds(60));
    return testing::httpResponse(500);
  });
  Sandbox sandbox;
  std::map<std::string, std::string> origins;
  for (const auto& key : originKeys()) origins[std::string(key.key)] = server.origin();
  sandbox.setOrigins(origins);
  for (const auto& key : originKeys()) {
    const std::string provider(key.key.substr(0, key.key.find('.')));
    if (providerFromRawValue(provider)) sandbox.saveCredential(provider, "sk-hang");
  }

  const RunResult result = sandbox.runInterrupted({"--json"}, std::chrono::milliseconds(700));
  EXPECT_GT(requests.load(), 0) << "no request arrived, so nothing was cancelled";
  EXPECT_EQ(result.exitCode, 130) << result.err;
  EXPECT_EQ(result.out, "");
  // Said by the command itself, so it ended by cancelling, not by the watchdog that follows a grace period.
  EXPECT_EQ(result.err, "dapplewick: interrupted\n");
  EXPECT_LT(result.elapsed, std::chrono::milliseconds(700 + 2000));
}

// Standard signals do not queue: a second one sent before the binary took the first would be lost.
bool signalPending(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("ShdPnd:")) return line.find_first_not_of('0', line.find('\t') + 1) != std::string::npos;
  }
  return false;
}

TEST(CommandLine, TheFirstSignalStopsTheToolAndNamesTheStatusASecondKillsItAtOnce) {
  // The stand-in for kiro-cli ignores SIGTERM, and so does the child it starts in its group: the runner's SIGKILL
  // after its grace, or the binary's on a second signal, is all that ends them.
  Sandbox sandbox;
  testing::TempDir tools;
  const auto pidFile = tools.path() / "pid";
  testing::writeScript(tools.path(), "kiro-cli", "trap '' TERM; sleep 300 & echo $$ > " + pidFile.string() + "; wait");
  sandbox.setEnv("PATH", tools.path().string() + ":/usr/bin:/bin");
  sandbox.saveCredential("kiro", "x");
  struct Case {
    std::vector<int> signals;
    int status;
    std::string err;  // a second signal ends the binary before the command can say anything
  };
  const Case cases[] = {
      {{SIGINT}, 130, "dapplewick: interrupted\n"},
      {{SIGTERM}, 143, "dapplewick: interrupted\n"},
      {{SIGHUP}, 129, "dapplewick: interrupted\n"},
      {{SIGINT, SIGINT}, 130, ""},
      {{SIGTERM, SIGHUP}, 143, ""},
      {{SIGHUP, SIGINT}, 129, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.signals));
    std::filesystem::remove(pidFile);
    std::optional<pid_t> tool;
    std::size_t sent = 0;
    const RunResult result = sandbox.runWatched({"kiro"}, [&](pid_t pid) {
      if (!tool) tool = testing::readPidFile(pidFile, std::chrono::milliseconds(0));
      if (tool && sent < c.signals.size() && !signalPending(pid)) ::kill(pid, c.signals[sent++]);
    });
    EXPECT_EQ(result.exitCode, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
    ASSERT_TRUE(tool.has_value()) << "the tool never ran";
    EXPECT_TRUE(testing::waitForGroupGone(*tool)) << "the tool or its child is still running";
    ::kill(-*tool, SIGKILL);  // should the test fail, not for the next case to meet
  }
}

}  // namespace
}  // namespace dapplewick
