#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

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

TEST(CommandLine, CtrlCWhileACommandCannotNoticeEndsItWithTheGraceExit) {
  // Reading standard input cannot be cancelled: the input is a FIFO that the test holds open and never writes.
  Sandbox sandbox;
  const auto fifo = sandbox.home() / "input";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR);
  sandbox.setInput(fifo);
  const RunResult result = sandbox.runInterrupted({"credential", "set", "deepgram"}, std::chrono::milliseconds(300));
  ::close(writer);
  EXPECT_EQ(result.exitCode, 130);
  EXPECT_EQ(result.err, "");
  // The grace is 3 s: a bound, not a measurement.
  EXPECT_LT(result.elapsed, std::chrono::seconds(10));
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
  // after its grace, or the binary's on a second signal, is all that ends them. The other stand-in exits at once;
  // its child says so once the tool is reaped, while the runner is still stopping what it left.
  Sandbox sandbox;
  testing::TempDir tools;
  const auto pidFile = tools.path() / "pid";
  const std::string stubborn = "trap '' TERM; sleep 300 & echo $$ > " + pidFile.string() + "; wait";
  const std::string leftover = "(trap '' TERM; sleep 0.3; echo $$ > " + pidFile.string() + "; exec sleep 300) &";
  sandbox.setEnv("PATH", tools.path().string() + ":/usr/bin:/bin");
  sandbox.saveCredential("kiro", "x");
  struct Case {
    std::vector<int> signals;
    int status;
    std::string err;  // a second signal ends the binary before the command can say anything
    const std::string& tool;
  };
  const Case cases[] = {
      {{SIGINT}, 130, "dapplewick: interrupted\n", stubborn},
      {{SIGTERM}, 143, "dapplewick: interrupted\n", stubborn},
      {{SIGHUP}, 129, "dapplewick: interrupted\n", stubborn},
      {{SIGINT, SIGINT}, 130, "", stubborn},
      {{SIGTERM, SIGHUP}, 143, "", leftover},
      {{SIGHUP, SIGINT}, 129, "", leftover},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.signals) + c.tool);
    std::filesystem::remove(pidFile);
    testing::writeScript(tools.path(), "kiro-cli", c.tool);
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
