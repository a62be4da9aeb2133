#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "model/configuration.hpp"
#include "model/provider.hpp"
#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"
#include "support/process_probe.hpp"

// The sanitizers reserve far more address space at start than a tight limit leaves.
#if defined(__SANITIZE_ADDRESS__)
#define DAPPLEWICK_TESTS_SANITIZED
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DAPPLEWICK_TESTS_SANITIZED
#endif
#endif

namespace dapplewick {
namespace {

using testing::PseudoTerminal;
using testing::RunResult;
using testing::Sandbox;
using testing::savedCredential;

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
  // No temporary file left beside credentials.json, only the private lock file the writes took.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sandbox.configDir()), {}), 2);
  EXPECT_EQ(testing::permissionsOf(sandbox.configDir() / ".credentials.json.lock"), 0600u);
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
  EXPECT_EQ(sandbox.runJson({"--", "deepgram"})[0]["error"], "No credential saved");

  const std::string secret = "sk-or-v1-SECRET0123456789abcdef0123456789abcdef0123";
  const std::string unknown = "dapplewick: an unknown provider name of 51 characters, not shown\nValid providers: ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"credential", "set", secret}, unknown},
      {{"credential", "delete", secret}, unknown},
      {{"deepgram", secret}, unknown},
      {{"--json=" + secret}, "dapplewick: option --json takes no value\nRun 'dapplewick --help' for usage.\n"},
      {{"-h" + secret}, "dapplewick: unknown option [52 characters, not shown]\nRun 'dapplewick --help' for usage.\n"},
      {{"-hsk-secret123"},
       "dapplewick: unknown option [13 characters, not shown]\nRun 'dapplewick --help' for usage.\n"},
  };
  for (const auto& [args, want] : refused) {
    SCOPED_TRACE(args.front());
    const RunResult result = sandbox.run(args, "sk-piped");
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with(want)) << result.err;
    for (const char* secretPart : {"SECRET", "secret123"}) {
      EXPECT_EQ(result.err.find(secretPart), std::string::npos) << result.err;
    }
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

// While the fetches are out, a terminal's standard error shows one progress line, redrawn in place: cut one column
// short of the terminal's width, since a line that wraps is erased only in part. A dumb terminal shows none.
TEST(CommandLine, TheProgressLineFitsTheTerminalAndADumbOneShowsNone) {
  Sandbox sandbox;
  sandbox.setOrigins({{"zai.international", "http://127.0.0.1:9"}, {"deepgram", "http://127.0.0.1:9"}});
  sandbox.saveCredential("zai", "sk-zai-progress");
  sandbox.saveCredential("deepgram", "dg-progress");
  const PseudoTerminal tty;
  tty.setColumns(30);
  sandbox.setError(tty.terminal());
  const std::string redraw = "\r\x1b[2K";

  sandbox.setEnv("TERM", "xterm");
  EXPECT_EQ(sandbox.run({}).exitCode, 0);
  const std::string shown = tty.shown();
  ASSERT_TRUE(shown.starts_with(redraw + "Refreshing: 0 of 2 done, wait" + redraw)) << shown;
  for (std::size_t at = 0; (at = shown.find(redraw, at)) != std::string::npos; at += redraw.size()) {
    const std::size_t next = shown.find(redraw, at + redraw.size());
    EXPECT_LE((next == std::string::npos ? shown.size() : next) - at - redraw.size(), 29U) << shown;
  }
  EXPECT_TRUE(shown.ends_with(redraw)) << "the line is erased at the end: " << shown;

  sandbox.setEnv("TERM", "dumb");
  EXPECT_EQ(sandbox.run({}).exitCode, 0);
  EXPECT_EQ(tty.shown(), "");
}

const std::string kUsageHint = "\nRun 'dapplewick --help' for usage.\n";

std::string windsurfPrompt() { return "Paste the credential for windsurf and press Enter (input is hidden): \n"; }

TEST(CommandLine, APasteOfSeveralLinesOnATerminalSavesNothingAndLeavesNothingForTheShell) {
  Sandbox sandbox;
  const PseudoTerminal tty;
  sandbox.setInput(tty.terminal());
  const std::string prompt = windsurfPrompt();
  const auto saved = std::make_tuple(0, std::string("Saved the credential for windsurf.\n"), prompt);
  const auto refused = std::make_tuple(2, std::string(),
                                       prompt +
                                           "dapplewick: the pasted text has several lines; nothing was saved; "
                                           "pipe it instead: \u2026 | dapplewick credential set windsurf" +
                                           kUsageHint);
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
    std::size_t done = 0;
    const RunResult result = tty.run(sandbox, {"credential", "set", "windsurf"}, pieces, done);
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err), c.second);
    EXPECT_EQ(done, pieces.size()) << "not all of it was read";
    EXPECT_EQ(tty.queued(), 0) << "left for the shell";
  }
  const std::string stored = testing::readFileText(sandbox.configDir() / "credentials.json");
  EXPECT_TRUE(stored.find("sk-one") != std::string::npos && stored.find("devin") == std::string::npos) << stored;
}

// At the hidden prompt only Enter, Ctrl-D, Backspace and DEL are keys; a line with any other control key (an
// arrow's ESC or one-character CSI, Ctrl-U) or nothing but blanks saves nothing, and neither does a line too long,
// whose rest is read and dropped rather than left for the shell. The saved credential stays as it was.
TEST(CommandLine, WhatIsTypedAtTheHiddenPromptIsSavedOnlyWhenItIsAWholeSecret) {
  Sandbox sandbox;
  sandbox.saveCredential("windsurf", "sk-before");
  const PseudoTerminal tty;
  sandbox.setInput(tty.terminal());
  const std::string refusal = windsurfPrompt() + "dapplewick: ";
  const std::string empty = refusal + "nothing was typed at the prompt; nothing was saved" + kUsageHint;
  const std::string blank = refusal + "the typed secret is blank; nothing was saved" + kUsageHint;
  const std::string control = refusal +
                              "the typed secret holds a control character (a key such as an arrow or Ctrl-U); "
                              "nothing was saved" +
                              kUsageHint;
  const std::string tooLong = refusal + "the secret is longer than 1 MiB" + kUsageHint;
  const std::string longLine(1024 * 1024 + 1, 'x');
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"\r"}, empty},
      {{"\x04"}, empty},
      {{" \t \u00A0\u3000\r"}, blank},
      {{"ab\b\b\x7f \r"}, blank},
      {{" \x04"}, blank},
      {{"sk-ab\x1b[Dc\r"}, control},
      {{"sk-wrong\x15sk-right\r"}, control},
      {{"sk-\x1bOA\x04"}, control},
      {{std::string("sk-\0x\r", 6)}, control},
      {{"sk\x0b\r"}, control},
      {{"sk\x1f\r"}, control},  // Ctrl-_
      // The C1 controls, U+0080 to U+009F: a CSI (U+009B) starts an arrow key's sequence as ESC [ does.
      {{"sk-\u009B31m\r"}, control},
      {{"sk\u0080x\r"}, control},
      {{"sk\u009Fx\r"}, control},
      {{"\u0085\r"}, control},  // a control that is also a blank
      {{longLine.substr(0, 600000), longLine.substr(600000) + "\r"}, tooLong},
      {{longLine + std::string(200000, 'x') + "\rmore\r"}, tooLong},  // still arriving when refused
  };
  for (const auto& [pieces, err] : refused) {
    SCOPED_TRACE(::testing::PrintToString(pieces.front().substr(0, 20)));
    std::size_t done = 0;
    const RunResult result = tty.run(sandbox, {"credential", "set", "windsurf"}, pieces, done);
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err), std::make_tuple(2, std::string(), err));
    EXPECT_EQ(done, pieces.size()) << "not all of it was read";
    EXPECT_EQ(tty.queued(), 0) << "left for the shell";
    EXPECT_EQ(savedCredential(sandbox, "windsurf"), "sk-before");
  }
  // A tab and blanks after a kind prefix are kept, byte for byte.
  for (const std::string typed : {"sk-a\tb", "api: \t ", " sk-c ", "sk-\u00A0\u00A1d"}) {
    SCOPED_TRACE(::testing::PrintToString(typed));
    std::size_t done = 0;
    const RunResult result = tty.run(sandbox, {"credential", "set", "windsurf"}, {typed + "\r"}, done);
    EXPECT_EQ(std::tie(result.exitCode, result.out),
              std::make_tuple(0, std::string("Saved the credential for windsurf.\n")));
    EXPECT_EQ(savedCredential(sandbox, "windsurf"), typed);
  }
}

// From a pipe, trailing line breaks are dropped; what is then empty or only white space saves nothing and keeps
// the credential saved before. Anything else is saved byte for byte, blanks after a kind prefix too.
TEST(CommandLine, ABlankSecretFromAPipeSavesNothing) {
  Sandbox sandbox;
  sandbox.saveCredential("zai", "sk-good");
  for (const std::string input : {"", "\n", "  ", " \t\r\n\n", "\u3000\u00A0\v\f\n"}) {
    SCOPED_TRACE(::testing::PrintToString(input));
    const RunResult result = sandbox.run({"credential", "set", "zai"}, input);
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err),
              std::make_tuple(2, std::string(),
                              "dapplewick: the secret on standard input is blank; nothing was saved" + kUsageHint));
    EXPECT_EQ(savedCredential(sandbox, "zai"), "sk-good");
  }
  for (const std::string secret : {"api: \t ", "\tsk-x\x1b[D \n x"}) {
    EXPECT_EQ(sandbox.run({"credential", "set", "zai"}, secret + "\r\n").exitCode, 0);
    EXPECT_EQ(savedCredential(sandbox, "zai"), secret);
  }
}

// A paste arrives in reads close together: a second line 10 ms after the first belongs to it. The gap is measured
// from the start of the first write to the end of the second, and a case the machine stretched past 25 ms is
// tried again; the binary has read the first line before the second is written.
TEST(CommandLine, ALineTenMillisecondsAfterTheFirstIsPartOfThePaste) {
  using std::chrono::steady_clock;
  Sandbox sandbox;
  const PseudoTerminal tty;
  sandbox.setInput(tty.terminal());
  const auto waitFor = [](const std::function<bool()>& condition) {
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(100));
    return condition();
  };
  constexpr int kAttempts = 20;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    ASSERT_EQ(::tcflush(tty.terminal(), TCIFLUSH), 0);
    const std::string before = savedCredential(sandbox, "windsurf");  // an attempt tried again may have saved
    steady_clock::duration gap = steady_clock::duration::max();
    std::thread writer([&] {
      if (!waitFor([&] { return tty.hidden(); })) return;
      const auto first = steady_clock::now();
      if (tty.type("sk-first\r") != 9 || !waitFor([&] { return tty.queued() == 0; })) return;
      std::this_thread::sleep_until(first + std::chrono::milliseconds(10));
      if (tty.type("second\r") == 7) gap = steady_clock::now() - first;
    });
    const RunResult result = sandbox.run({"credential", "set", "windsurf"});
    writer.join();
    if (gap > std::chrono::milliseconds(25)) continue;
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err),
              std::make_tuple(2, std::string(),
                              windsurfPrompt() +
                                  "dapplewick: the pasted text has several lines; nothing was saved; pipe it "
                                  "instead: \u2026 | dapplewick credential set windsurf" +
                                  kUsageHint));
    EXPECT_EQ(tty.queued(), 0) << "left for the shell";
    EXPECT_EQ(savedCredential(sandbox, "windsurf"), before);
    return;
  }
  FAIL() << "the second line never followed the first within 25 ms in " << kAttempts << " attempts";
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
  // Who each mode lets write, as the refusal names them.
  const std::map<mode_t, std::string> writers = {{0775, "the group"},
                                                 {01757, "other users"},
                                                 {0664, "the group"},
                                                 {01777, "the group and other users"},
                                                 {0602, "other users"}};
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
        owner == 0
            ? writers.at(mode) + " can write to " + what +
                  (isFolder ? "; Dapplewick keeps credentials only in a folder no one else can write to (chmod 700 "
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
      {{SIGQUIT}, 131, "dapplewick: interrupted\n", stubborn},
      {{SIGQUIT, SIGINT}, 131, "", leftover},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.signals) + c.tool);
    std::filesystem::remove(pidFile);
    testing::writeScript(tools.path(), "kiro-cli", c.tool);
    std::optional<pid_t> tool;
    std::size_t sent = 0;
    const RunResult result = sandbox.runWatched({"kiro"}, [&](pid_t pid) {
      if (!tool) tool = testing::readPidFile(pidFile, std::chrono::milliseconds(0));
      if (tool && sent < c.signals.size() && !testing::signalPending(pid)) ::kill(pid, c.signals[sent++]);
    });
    EXPECT_EQ(result.signal, 0) << "ended by the signal itself; core dumped: " << result.coreDumped;
    EXPECT_EQ(result.exitCode, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
    ASSERT_TRUE(tool.has_value()) << "the tool never ran";
    EXPECT_TRUE(testing::waitForGroupGone(*tool)) << "the tool or its child is still running";
    ::kill(-*tool, SIGKILL);  // should the test fail, not for the next case to meet
  }
}

// What a parent leaves behind is respected: a stop signal it ignored (nohup's SIGHUP, SIGINT and SIGQUIT for a
// shell script's background job) stops nothing, and the refresh ends with its records; one it did not ignore stops
// the refresh as ever. The signal is sent while the tool runs, 300 ms before it reports.
TEST(CommandLine, ASignalTheParentIgnoredStopsNothing) {
  Sandbox sandbox;
  testing::TempDir tools;
  const auto pidFile = tools.path() / "pid";
  testing::writeScript(tools.path(), "kiro-cli",
                       "case \"$1\" in whoami) echo 'Email: user@example.com' ;;\n*) echo $$ > " + pidFile.string() +
                           "; sleep 0.3; printf 'Plan: KIRO PRO\\n(10 of 50 covered in plan)\\n' ;;\nesac\n");
  sandbox.setEnv("PATH", tools.path().string() + ":/usr/bin:/bin");
  sandbox.saveCredential("kiro", "x");
  struct Case {
    std::string ignored;
    int signal;
    int status;
  };
  const Case cases[] = {
      {"trap '' HUP", SIGHUP, 0},         {"trap '' INT QUIT", SIGINT, 0}, {"trap '' INT QUIT", SIGQUIT, 0},
      {"trap '' INT QUIT", SIGTERM, 143}, {"trap '' HUP", SIGINT, 130},    {"trap '' TERM", SIGTERM, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ignored + " then signal " + std::to_string(c.signal));
    std::filesystem::remove(pidFile);
    sandbox.setStartedAfter(c.ignored);
    bool sent = false;
    const RunResult result = sandbox.runWatched({"kiro"}, [&](pid_t pid) {
      if (!sent && testing::readPidFile(pidFile, std::chrono::milliseconds(0))) sent = ::kill(pid, c.signal) == 0;
    });
    EXPECT_TRUE(sent) << "the tool never ran";
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, c.status) << result.err;
    if (c.status == 0) {
      EXPECT_NE(result.out.find("KIRO PRO \u00B7 user@example.com"), std::string::npos) << result.out;
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err, "dapplewick: interrupted\n");
    }
  }
}

// A standard input that fails part way (a connection reset after part of the secret) saves nothing, and neither
// does one that cannot be read at all; the failure is named, not taken for a blank or a whole secret.
TEST(CommandLine, AStandardInputThatCannotBeReadSavesNothing) {
  Sandbox sandbox;
  sandbox.saveCredential("synthetic", "sk-kept");
  const auto expectNothingSaved = [&](const RunResult& result, const std::string& reason) {
    EXPECT_EQ(std::tie(result.exitCode, result.out, result.err),
              std::make_tuple(1, std::string(), "dapplewick: cannot read standard input: " + reason + "\n"));
    EXPECT_EQ(savedCredential(sandbox, "synthetic"), "sk-kept");
  };
  for (const auto& [prelude, reason] :
       {std::pair{"exec 0<&-", "Bad file descriptor"}, std::pair{"exec 0</", "Is a directory"}}) {
    SCOPED_TRACE(prelude);
    sandbox.setStartedAfter(prelude);
    expectNothingSaved(sandbox.run({"credential", "set", "synthetic"}), reason);
  }
  sandbox.setStartedAfter("");
  // A stream socket closed with data its peer sent still unread resets the connection: the binary reads the part
  // of the secret that came, then the reset.
  int ends[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  const std::string part = "SECRETKEY-PART1-";
  ASSERT_EQ(::write(ends[0], part.data(), part.size()), static_cast<ssize_t>(part.size()));
  ASSERT_EQ(::write(ends[1], "x", 1), 1);
  ::close(ends[0]);
  sandbox.setInput(ends[1]);
  expectNothingSaved(sandbox.run({"credential", "set", "synthetic"}), "Connection reset by peer");
  ::close(ends[1]);
}

#if !defined(DAPPLEWICK_TESTS_SANITIZED)
// With too little address space for the signal watcher's thread, every command says it cannot start and ends
// with 1, never an abort. Not in the sanitizers' builds, which could not start at all.
TEST(CommandLine, UnderTightLimitsEveryCommandSaysItCannotStart) {
  Sandbox sandbox;
  sandbox.setStartedAfter("ulimit -v 32768");
  for (const std::string command : {"--version", "--json", "providers"}) {
    SCOPED_TRACE(command);
    const RunResult result = sandbox.run({command});
    EXPECT_EQ(result.signal, 0) << "ended by a signal; core dumped: " << result.coreDumped;
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("dapplewick: cannot start: ")) << result.err;
  }
}
#endif

}  // namespace
}  // namespace dapplewick
