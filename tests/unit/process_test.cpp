#include "common/process.hpp"
#include "common/process_groups.hpp"

#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"
#include "support/process_probe.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

const std::map<std::string, std::string, std::less<>> kEnvironment = {{"PATH", "/usr/bin:/bin"}, {"FOO", "bar baz"}};

ProcessLimits limits(milliseconds timeout, milliseconds idle) {
  return {.timeout = timeout, .idleTimeout = idle, .drainTimeout = 200ms};
}

class ProcessTest : public ::testing::Test {
 protected:
  // A script that first records its pid, which is also its process group's id.
  std::string script(const std::string& body) {
    return testing::writeScript(dir_.path(), "tool-" + std::to_string(++count_), "echo $$ > pid\n" + body).string();
  }
  void expectNothingLeft() {
    const auto pgid = testing::readPidFile(dir_.path() / "pid");
    ASSERT_TRUE(pgid.has_value()) << "the script never ran";
    EXPECT_TRUE(testing::waitForGroupGone(*pgid)) << "process group " << *pgid << " still running";
    std::filesystem::remove(dir_.path() / "pid");
  }
  // What a run of `binary` throws, or "no error".
  static std::string failure(const std::string& binary, const ProcessLimits& limits, std::stop_token stop = {}) {
    return testing::errorText([&] { runProcess(binary, {}, kEnvironment, limits, stop); });
  }
  void SetUp() override { std::filesystem::current_path(dir_.path()); }
  void TearDown() override { std::filesystem::current_path(previous_); }

  std::filesystem::path previous_ = std::filesystem::current_path();
  testing::TempDir dir_;
  int count_ = 0;
};

TEST_F(ProcessTest, EachKindOfToolEndsWithinItsLimitsAndLeavesNothingBehind) {
  struct Case {
    std::string body;
    ProcessLimits limits;
    std::string error;   // after the binary's path
    ProcessResult want;  // long captures as "SIZE bytes from FIRST-4-BYTES"
    milliseconds atLeast, atMost;
  };
  // clang-format off
  const Case cases[] = {
      {"printf 'ok\\377\\n'; printf '\\300x' >&2; exit 3", limits(5s, 5s), {},
       {"ok\xEF\xBF\xBD\n", "\xEF\xBF\xBDx", 3, false}, 0ms, 1s},
      {"echo before; kill -USR1 $$; echo after", limits(5s, 5s), {}, {"before\n", "", 128 + SIGUSR1, false}, 0ms, 1s},
      {"echo line; exec sleep 30", limits(10s, 300ms), {}, {"line\n", "", 128 + SIGTERM, true}, 300ms, 3s},
      // Each pause is shorter than the idle limit, their sum longer: only standard error restarts the clock.
      {"echo a >&2; sleep 0.3; echo b >&2; sleep 0.3; echo c >&2; exec sleep 30", limits(10s, 700ms), {},
       {"", "a\nb\nc\n", 128 + SIGTERM, true}, 1s, 4s},
      {"exec sleep 30", limits(400ms, 100ms), " did not finish in time", {}, 400ms, 3s},
      {"exec yes", limits(500ms, 200ms), " did not finish in time", {}, 500ms, 3s},
      {"trap '' TERM; echo started; while :; do sleep 1; done", limits(10s, 200ms), {},
       {"started\n", "", 128 + SIGKILL, true}, 1200ms, 4s},
      // A grandchild in the group holds the pipes open.
      {"sleep 30 & echo out; exit 0", limits(10s, 5s), {}, {"out\n", "", 0, false}, 0ms, 3s},
      // Out of the group's reach by design: only the drain limit keeps it from holding the run open.
      {"setsid sh -c 'echo $$ > far; exec sleep 30' 2>/dev/null & echo out", limits(10s, 5s), {},
       {"out\n", "", 0, false}, 0ms, 3s},
      // The status 0 shows the tool wrote everything: reading went on past the kept mebibyte.
      {"yes | head -c 3000000; yes e | head -c 3000000 >&2; echo finished >&2; exit 0", limits(10s, 5s), {},
       {"1048576 bytes from y\ny\n", "1048576 bytes from e\ne\n", 0, false}, 0ms, 5s},
      // `cat` returns at once on end of file; an inherited or open input would keep it waiting. SIGPIPE is ignored
      // here: a tool inheriting that would report a broken pipe instead of ending quietly.
      {"cat; yes | head -c 4; echo", limits(3s, 3s), {}, {"y\ny\n\n", "", 0, false}, 0ms, 1s},
  };
  // clang-format on
  const auto previous = ::signal(SIGPIPE, SIG_IGN);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const auto binary = script(c.body);
    const auto start = std::chrono::steady_clock::now();
    if (!c.error.empty()) {
      EXPECT_EQ(failure(binary, c.limits), binary + c.error);
    } else {
      ProcessResult result = runProcess(binary, {}, kEnvironment, c.limits);
      for (auto* text : {&result.standardOutput, &result.standardError}) {
        if (text->size() > 64) *text = std::to_string(text->size()) + " bytes from " + text->substr(0, 4);
      }
      EXPECT_EQ(result, c.want);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, c.atLeast);
    EXPECT_LT(elapsed, c.atMost);
    expectNothingLeft();
    EXPECT_EQ(processGroups().size(), 0u) << "the group's entry outlived the run";
  }
  ::signal(SIGPIPE, previous);
  if (const auto far = testing::readPidFile(dir_.path() / "far", 0ms)) ::kill(*far, SIGKILL);
}

// A host that ignores SIGCHLD has the system reap its children: their statuses are lost, and a run is judged by
// what the tool printed, as one that ended with 0. The limits and the clean-up hold as ever.
TEST_F(ProcessTest, AStatusLostToAHostIgnoringSIGCHLDIsNoFailure) {
  struct Case {
    std::string body;
    ProcessLimits limits;
    std::string error;  // after the binary's path
    ProcessResult want;
  };
  const Case cases[] = {
      {"echo 'Email: someone@example.com'; echo warned >&2; exit 3",
       limits(5s, 5s),
       {},
       {"Email: someone@example.com\n", "warned\n", 0, false}},
      {"echo line; exec sleep 30", limits(10s, 200ms), {}, {"line\n", "", 0, true}},
      {"exec sleep 30", limits(300ms, 100ms), " did not finish in time", {}},
  };
  const auto previous = ::signal(SIGCHLD, SIG_IGN);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const auto binary = script(c.body);
    if (!c.error.empty()) {
      EXPECT_EQ(failure(binary, c.limits), binary + c.error);
    } else {
      EXPECT_EQ(runProcess(binary, {}, kEnvironment, c.limits), c.want);
    }
    expectNothingLeft();
    EXPECT_EQ(processGroups().size(), 0u) << "the group's entry outlived the run";
  }
  ::signal(SIGCHLD, previous);
}

TEST_F(ProcessTest, TheToolSeesItsArgumentsTheGivenEnvironmentAndNoOtherPipe) {
  // Whatever the test runner passed down stays here: any pipe the tool holds beyond its two comes from the run.
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    if (const int fd = std::stoi(entry.path().filename().string()); fd > 2) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  // Pipes are counted here rather than in the script: a pipe the shell opened for counting would count itself.
  const auto result = runProcess(script("printf '[%s]' \"$@\"; echo; echo \"$FOO|${HOME-unset}|$PATH\"\n"
                                        "for f in /proc/$$/fd/*; do readlink \"$f\"; done"),
                                 {"chat", "--no-interactive", "/usage", "a b", ""}, kEnvironment, limits(5s, 5s));
  const std::string head = "[chat][--no-interactive][/usage][a b][]\nbar baz|unset|/usr/bin:/bin\n/dev/null\n";
  EXPECT_EQ(result.standardOutput.substr(0, head.size()), head);
  std::istringstream lines(result.standardOutput.substr(head.size()));
  int pipes = 0;
  for (std::string line; std::getline(lines, line);) pipes += line.starts_with("pipe:") ? 1 : 0;
  EXPECT_EQ(pipes, 2) << result.standardOutput;
}

TEST_F(ProcessTest, StopRequestsAndLaunchFailuresEndTheRunWithTheirReason) {
  std::stop_source early;
  early.request_stop();
  const auto unstarted = script("echo ran");
  EXPECT_EQ(failure(unstarted, limits(5s, 5s), early.get_token()), unstarted + " was cancelled");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "pid"));

  const testing::DelayedStop stop(150ms);
  const auto start = std::chrono::steady_clock::now();
  const auto working = script("echo working; exec sleep 30");
  EXPECT_EQ(failure(working, limits(20s, 10s), stop.token()), working + " was cancelled");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  expectNothingLeft();

  const auto missing = (dir_.path() / "missing").string();
  EXPECT_EQ(failure(missing, limits(5s, 5s)), "Cannot run " + missing + ": No such file or directory");
  std::ofstream("plain") << "#!/bin/sh\necho hi\n";  // not executable, even for root
  const auto plain = (dir_.path() / "plain").string();
  EXPECT_EQ(failure(plain, limits(5s, 5s)), "Cannot run " + plain + ": Permission denied");
}

TEST_F(ProcessTest, KillingAllGroupsEndsTheRunsUnderWayAndRefusesEveryLaterOne) {
  // There is no undoing it, so it happens in a child process of the test.
  const auto tool = script("trap '' TERM; sleep 300 & wait");
  EXPECT_EXIT(
      {
        std::thread run([&] { std::cerr << runProcess(tool, {}, kEnvironment, limits(30s, 30s)).status << "|"; });
        if (testing::readPidFile(dir_.path() / "pid")) killAllProcessGroups();
        run.join();
        std::cerr << failure(tool, limits(5s, 5s));
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^" + std::to_string(128 + SIGKILL) + "\\|Cannot run " + tool + ": Operation canceled$");
  expectNothingLeft();
}

std::vector<std::pair<pid_t, int>> signalsSent;

TEST(ProcessGroups, KillingSignalsEachGroupButNeverOursOrEveryProcessAndAReapedProcessOnlyThroughItsGroup) {
  signalsSent.clear();
  ProcessGroups groups([](pid_t pid, int signal) { return (signalsSent.emplace_back(pid, signal), 0); });
  for (const pid_t id : {0, 1, 700, 800, 900}) {
    pid_t added = 0;
    groups.spawnAndAdd(added, [id](pid_t& pid) { return (pid = id, 0); });
  }
  groups.markReaped(800);
  groups.remove(900);
  groups.killAllAndClose();
  EXPECT_EQ(signalsSent, (std::vector<std::pair<pid_t, int>>{{-700, SIGKILL}, {700, SIGKILL}, {-800, SIGKILL}}));
}

// Marking one run reaped leaves another marked: both groups are signalled, neither pid.
TEST(ProcessGroups, EveryReapedProcessIsSignalledOnlyThroughItsGroup) {
  signalsSent.clear();
  ProcessGroups groups([](pid_t pid, int signal) { return (signalsSent.emplace_back(pid, signal), 0); });
  for (const pid_t id : {700, 800}) {
    pid_t added = 0;
    groups.spawnAndAdd(added, [id](pid_t& pid) { return (pid = id, 0); });
  }
  groups.markReaped(700);
  groups.markReaped(800);
  groups.killAllAndClose();
  EXPECT_EQ(signalsSent, (std::vector<std::pair<pid_t, int>>{{-700, SIGKILL}, {-800, SIGKILL}}));
}

TEST_F(ProcessTest, FindsTheFirstExecutableFileInAnAbsoluteFolderOnly) {
  for (const auto* folder : {"plain", "folder/kiro-cli", "first", "links"}) std::filesystem::create_directories(folder);
  std::ofstream("plain/kiro-cli") << "data";
  testing::writeScript(dir_.path(), "kiro-cli", "exit 0");  // what "." would find
  std::filesystem::create_symlink(testing::writeScript(dir_.path() / "first", "kiro-cli", "exit 0"), "links/kiro-cli");
  const auto in = [&](const std::string& name) { return (dir_.path() / name).string(); };
  EXPECT_EQ(findExecutable("kiro-cli",
                           in("none") + ":" + in("plain") + ":" + in("folder") + ":" + in("first") + ":" + in("links")),
            in("first/kiro-cli"));
  EXPECT_EQ(findExecutable("kiro-cli", in("links") + "/"), in("links/kiro-cli"));
  // What an empty or relative entry, or a name with a slash, would find depends on the working folder.
  for (const auto& [name, searchPath] :
       std::vector<std::pair<std::string, std::string>>{{"kiro-cli", ""},
                                                        {"kiro-cli", ":.:./:first:"},
                                                        {"", in("first")},
                                                        {"first/kiro-cli", in("")},
                                                        {"../first/kiro-cli", in("first")},
                                                        {"missing", in("first")}}) {
    EXPECT_EQ(findExecutable(name, searchPath), std::nullopt) << name << " in " << searchPath;
  }
}

}  // namespace
}  // namespace dapplewick
