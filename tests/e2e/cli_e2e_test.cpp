#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
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

// What a newcomer meets: a folder with nothing saved is named on standard error, which keeps standard output for
// records; a secret typed where a provider's name or an option belongs is not repeated; a provider this build does
// not read is saved, and said to be unread.
TEST(CommandLine, NothingSavedIsNamedBesideTheRecordsAndAMisplacedSecretIsNeverRepeated) {
  Sandbox sandbox;
  const std::string hint = "No credentials saved in " + sandbox.configDir().string() +
                           ". Save one with: dapplewick credential set PROVIDER\n"
                           "(dapplewick providers lists the providers.)\n";
  for (const auto& [args, records] : {std::pair<std::vector<std::string>, std::string>{{}, ""}, {{"--json"}, "[]\n"}}) {
    const RunResult result = sandbox.run(args);
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err), std::make_tuple(0, records, hint));
  }
  const RunResult named = sandbox.run({"--json", "deepgram"});
  EXPECT_EQ(named.err, "");
  EXPECT_EQ(sandbox.runJson({"deepgram"})[0]["error"], "No credential saved");

  const std::string secret = "sk-or-v1-SECRET0123456789abcdef0123456789abcdef0123";
  const std::string unknown = "dapplewick: an unknown provider name of 51 characters, not shown\nValid providers: ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"credential", "set", secret}, unknown},
      {{"credential", "delete", secret}, unknown},
      {{"deepgram", secret}, unknown},
      {{"--json=" + secret}, "dapplewick: option --json takes no value\nRun 'dapplewick --help' for usage.\n"},
      {{"-h" + secret}, "dapplewick: unknown option [52 characters, not shown]\nRun 'dapplewick --help' for usage.\n"},
  };
  for (const auto& [args, want] : refused) {
    SCOPED_TRACE(args.front());
    const RunResult result = sandbox.run(args, "sk-piped");
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with(want)) << result.err;
    EXPECT_EQ(result.err.find("SECRET"), std::string::npos) << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(sandbox.configDir()));

  EXPECT_EQ(sandbox.run({"credential", "set", "claude"}, "sk-ant\n").out,
            "Saved the credential for claude; this build does not read claude.\n");
  EXPECT_EQ(sandbox.run({"credential", "list"}).out, "claude\n");
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

// A pseudo-terminal stands for the user's; what is written to its other end arrives as typed or pasted. Each
// piece is written once the binary has read the one before, so a paste can arrive in several reads.
TEST(CommandLine, APasteOfSeveralLinesOnATerminalSavesNothingAndLeavesNothingForTheShell) {
  Sandbox sandbox;
  int master = -1;
  int terminal = -1;
  ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(::fcntl(master, F_SETFL, O_NONBLOCK), 0);
  sandbox.setInput(terminal);
  const auto queued = [&] {
    int bytes = 0;
    return ::ioctl(terminal, FIONREAD, &bytes) == 0 ? bytes : -1;
  };
  const std::string prompt = "Paste the credential for windsurf and press Enter (input is hidden): \n";
  const auto saved = std::make_tuple(0, std::string("Saved the credential for windsurf.\n"), prompt);
  const auto refused = std::make_tuple(2, std::string(),
                                       prompt + "dapplewick: The pasted text has several lines; pipe it instead: "
                                                "\u2026 | dapplewick credential set windsurf\nRun 'dapplewick --help' "
                                                "for usage.\n");
  const std::string json = "{\n  \"devin_session_token\": \"devin-x\"\n}";
  const std::vector<std::pair<std::vector<std::string>, std::tuple<int, std::string, std::string>>> cases = {
      {{"sk-one\r", "\n"}, saved},  // a CR LF in two reads
      {{json + "\n"}, refused},
      {{"{\n", json.substr(2)}, refused},
      {{"devin-a\n" + std::string(20000, 'x') + "\n"}, refused},  // more than the terminal holds at once
  };
  for (const auto& c : cases) {
    const std::vector<std::string>& pieces = c.first;
    SCOPED_TRACE(pieces.front().substr(0, 20));
    std::size_t piece = 0;
    std::size_t written = 0;
    const RunResult result = sandbox.runWatched({"credential", "set", "windsurf"}, [&](pid_t) {
      termios settings{};
      if (::tcgetattr(terminal, &settings) != 0 || (settings.c_lflag & ICANON) != 0) return;  // not reading yet
      if (piece == pieces.size() || (piece > 0 && written == 0 && queued() != 0)) return;
      const ssize_t n = ::write(master, pieces[piece].data() + written, pieces[piece].size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (written == pieces[piece].size()) ++piece, written = 0;
    });
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err), c.second);
    EXPECT_EQ(piece, pieces.size()) << "not all of it was read";
    EXPECT_EQ(queued(), 0) << "left for the shell";
  }
  ::close(terminal);
  ::close(master);
  const std::string stored = testing::readFileText(sandbox.configDir() / "credentials.json");
  EXPECT_TRUE(stored.find("sk-one") != std::string::npos && stored.find("devin") == std::string::npos) << stored;
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
  struct Case {
    std::string name;  // beside credentials.json; "../shared" is where a credentials.json link leads
    mode_t mode;
    uid_t owner = 0;  // 0: ours, as tests run as root
  };
  const Case cases[] = {
      {".", 0775} /* a umask of 002 */,    {".", 01757},         {".", 0755, 65534},    {"credentials.json", 0664},
      {"credentials.json", 0600, 3999999}, {"../shared", 01777}, {"config.json", 0602}, {"config.json", 0644, 65534}};
  const std::vector<std::vector<std::string>> commands = {{"deepgram"},
                                                          {"providers"},
                                                          {"credential", "list"},
                                                          {"credential", "delete", "deepgram"},
                                                          {"credential", "set", "deepgram"}};
  for (const auto& [name, mode, owner] : cases) {
    Sandbox sandbox;
    sandbox.saveCredential("deepgram", "sk-kept");
    sandbox.setOrigins({{"deepgram", server.origin()}});
    const auto folder = sandbox.configDir();
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    const std::string kept = testing::readFileText(folder / "credentials.json");
    const auto path = name == "." ? folder : (folder / name).lexically_normal();
    if (name == "../shared") {
      std::filesystem::create_directory(path);
      std::filesystem::rename(folder / "credentials.json", path / "store.json");
      std::filesystem::create_symlink(path / "store.json", folder / "credentials.json");
    }
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    if (owner != 0) {
      ASSERT_EQ(::chown(path.c_str(), owner, 0), 0) << "giving a file away needs root";
    }
    const bool isFolder = std::filesystem::is_directory(path);
    const std::string what = (isFolder ? "the folder " : "the file ") + path.string();
    const std::string refusal =
        owner == 0 ? "others can write to " + what +
                         (isFolder ? "; Dapplewick keeps credentials only in a private folder (chmod 700 "
                                   : "; Dapplewick reads only files no one else can write to (chmod 600 ") +
                         path.string() + ")"
                   : what + " belongs to another user (" + (owner == 65534 ? "nobody" : "uid 3999999") +
                         (isFolder ? "); Dapplewick keeps credentials only in a folder of your own"
                                   : "); Dapplewick reads only files of your own");
    for (const auto& args : commands) {
      if (name == "config.json" && &args != &commands.front()) break;  // read by the refresh alone
      SCOPED_TRACE(refusal + " " + ::testing::PrintToString(args));
      const RunResult result = sandbox.run(args, "sk-new");
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.out + result.err, "dapplewick: " + refusal + "\n");
    }
    EXPECT_EQ(testing::readFileText(folder / "credentials.json"), kept);
    EXPECT_EQ(testing::permissionsOf(path), mode);
  }
  EXPECT_EQ(requests.load(), 0);

  Sandbox sandbox;
  EXPECT_EQ(sandbox.run({"providers"}).exitCode, 0);
  EXPECT_EQ(sandbox.run({"credential", "list"}).out, "");
  EXPECT_EQ(sandbox.run({"credential", "delete", "deepgram"}).out, "No credential was saved for deepgram.\n");
  const RunResult nothing = sandbox.run({});
  EXPECT_EQ(nothing.out, "");
  EXPECT_TRUE(nothing.err.starts_with("No credentials saved in " + sandbox.configDir().string() + ". ")) << nothing.err;
  EXPECT_FALSE(std::filesystem::exists(sandbox.configDir()));
  sandbox.saveCredential("deepgram", "sk-kept");
  sandbox.setOrigins({{"deepgram", server.origin()}});
  ASSERT_EQ(::chmod(sandbox.configDir().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((sandbox.configDir() / "config.json").c_str(), 0644), 0);
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

TEST(CommandLine, CtrlCWhileACommandCannotNoticeEndsItWithTheGraceExit) {
  // Reading standard input cannot be cancelled: the input is a FIFO that the test holds open and never writes.
  Sandbox sandbox;
  const auto fifo = sandbox.home() / "input";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading and writing, so that the binary's standard input never reaches its end.
  const int writer = ::open(fifo.c_str(), O_RDWR);
  sandbox.setInput(writer);
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
