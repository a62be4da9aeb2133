#include "common/process.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"
#include "support/process_probe.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

#if defined(__linux__)
// Pipes this test process holds above descriptor 2 without close-on-exec (a test runner may pass some down):
// every child inherits those whatever the runner does.
int inheritablePipesOfOurOwn() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    std::error_code ec;
    if (fd <= 2 || std::filesystem::read_symlink(entry.path(), ec).string().rfind("pipe:", 0) != 0) continue;
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    std::string key;
    std::string flags;
    while (info >> key >> flags && key != "flags:") {
    }
    if (key == "flags:" && (std::stoul(flags, nullptr, 8) & 02000000) == 0) ++count;
  }
  return count;
}
#endif

const std::map<std::string, std::string, std::less<>> kEnvironment = {{"PATH", "/usr/bin:/bin"}, {"FOO", "bar baz"}};

ProcessLimits limits(milliseconds timeout, milliseconds idle) {
  ProcessLimits limits;
  limits.timeout = timeout;
  limits.idleTimeout = idle;
  limits.drainTimeout = 200ms;
  return limits;
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
  // The error code a run fails with, or nothing when it returns.
  static std::optional<ProcessErrorCode> failure(const std::string& binary, const ProcessLimits& limits,
                                                 std::stop_token stop = {}) {
    try {
      runProcess(binary, {}, kEnvironment, limits, stop);
    } catch (const ProcessError& error) {
      return error.code();
    }
    return std::nullopt;
  }
  void SetUp() override { std::filesystem::current_path(dir_.path()); }
  void TearDown() override { std::filesystem::current_path(previous_); }

  std::filesystem::path previous_ = std::filesystem::current_path();
  testing::TempDir dir_;
  int count_ = 0;
};

TEST_F(ProcessTest, EachKindOfToolEndsWithinItsLimitsAndLeavesNothingBehind) {
  struct Case {
    std::string name;
    std::string body;
    ProcessLimits limits;
    std::optional<ProcessErrorCode> error;
    ProcessResult want;  // long captures as "SIZE bytes from FIRST-4-BYTES"
    milliseconds atLeast;
    milliseconds atMost;
  };
  const std::string mebibyte = std::to_string(1 << 20) + " bytes from ";
  const Case cases[] = {
      {"exits at once", "echo out; echo err >&2; exit 3", limits(5s, 5s), {}, {"out\n", "err\n", 3, false}, 0ms, 1s},
      {"dies by a signal", "echo before; kill -USR1 $$; echo after", limits(5s, 5s), {},
       {"before\n", "", 128 + SIGUSR1, false}, 0ms, 1s},
      {"prints a line, then hangs", "echo line; exec sleep 30", limits(10s, 300ms), {},
       {"line\n", "", 128 + SIGTERM, true}, 300ms, 3s},
      // Each pause is shorter than the idle limit, their sum longer: only standard error restarts the clock.
      {"prints only on stderr", "echo a >&2; sleep 0.3; echo b >&2; sleep 0.3; echo c >&2; exec sleep 30",
       limits(10s, 700ms), {}, {"", "a\nb\nc\n", 128 + SIGTERM, true}, 1s, 4s},
      {"never prints", "exec sleep 30", limits(400ms, 100ms), ProcessErrorCode::deadlinePassed, {}, 400ms, 3s},
      {"prints without end", "exec yes", limits(500ms, 200ms), ProcessErrorCode::deadlinePassed, {}, 500ms, 3s},
      {"ignores SIGTERM", "trap '' TERM; echo started; while :; do sleep 1; done", limits(10s, 200ms), {},
       {"started\n", "", 128 + SIGKILL, true}, 1200ms, 4s},
      {"a grandchild keeps the pipes open", "sleep 30 & echo out; exit 0", limits(10s, 5s), {},
       {"out\n", "", 0, false}, 0ms, 3s},
      // Out of the group's reach by design: only the drain limit keeps it from holding the run open.
      {"a descendant in a session of its own", "setsid sh -c 'echo $$ > far; exec sleep 30' 2>/dev/null & echo out",
       limits(10s, 5s), {}, {"out\n", "", 0, false}, 0ms, 3s},
      // The status 0 shows the tool wrote everything: reading went on past the kept mebibyte.
      {"floods both streams", "yes | head -c 3000000; yes e | head -c 3000000 >&2; echo finished >&2; exit 0",
       limits(10s, 5s), {}, {mebibyte + "y\ny\n", mebibyte + "e\ne\n", 0, false}, 0ms, 5s},
      // `cat` returns at once on end of file; an inherited or open input would keep it waiting.
      {"waits on standard input", "cat; echo done", limits(3s, 3s), {}, {"done\n", "", 0, false}, 0ms, 1s},
      {"prints invalid UTF-8", "printf 'ok\\377\\n'; printf '\\300x' >&2", limits(5s, 5s), {},
       {"ok\xEF\xBF\xBD\n", "\xEF\xBF\xBDx", 0, false}, 0ms, 1s},
      // SIGPIPE is ignored here: a tool inheriting that would report a broken pipe instead of ending quietly.
      {"writes into a closed pipe", "yes | head -c 4; echo", limits(5s, 5s), {}, {"y\ny\n\n", "", 0, false}, 0ms, 1s},
  };
  struct sigaction previous {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto binary = script(c.body);
    const auto start = std::chrono::steady_clock::now();
    if (c.error) {
      EXPECT_EQ(failure(binary, c.limits), c.error);
    } else {
      ProcessResult result = runProcess(binary, {}, kEnvironment, c.limits);
      for (auto* text : {&result.stdout, &result.stderr}) {
        if (text->size() > 64) *text = std::to_string(text->size()) + " bytes from " + text->substr(0, 4);
      }
      EXPECT_EQ(result, c.want);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, c.atLeast);
    EXPECT_LT(elapsed, c.atMost);
    expectNothingLeft();
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
  if (const auto far = testing::readPidFile(dir_.path() / "far", 0ms)) ::kill(*far, SIGKILL);
}

TEST_F(ProcessTest, TheToolSeesItsArgumentsTheGivenEnvironmentAndNoOtherPipe) {
  // Pipes are counted here rather than in the script: a pipe the shell opened for counting would count itself.
  const auto result = runProcess(script("printf '[%s]' \"$@\"; echo; echo \"$FOO|${HOME-unset}|$PATH\"\n"
                                        "for f in /proc/$$/fd/*; do readlink \"$f\"; done"),
                                 {"chat", "--no-interactive", "/usage", "a b", ""}, kEnvironment, limits(5s, 5s));
  std::istringstream lines(result.stdout);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "[chat][--no-interactive][/usage][a b][]");
  std::getline(lines, line);
  EXPECT_EQ(line, "bar baz|unset|/usr/bin:/bin");
#if defined(__linux__)
  std::getline(lines, line);
  EXPECT_EQ(line, "/dev/null");  // descriptor 0
  int pipes = 0;
  while (std::getline(lines, line)) pipes += line.rfind("pipe:", 0) == 0 ? 1 : 0;
  EXPECT_EQ(pipes, 2 + inheritablePipesOfOurOwn()) << result.stdout;
#endif
}

TEST_F(ProcessTest, AStopRequestEndsTheRunPromptlyAndAnEarlyOneStartsNothing) {
  std::stop_source early;
  early.request_stop();
  EXPECT_EQ(failure(script("echo ran"), limits(5s, 5s), early.get_token()), ProcessErrorCode::cancelled);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "pid"));

  const testing::DelayedStop stop(150ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failure(script("echo working; exec sleep 30"), limits(20s, 10s), stop.token()),
            ProcessErrorCode::cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  expectNothingLeft();
}

TEST_F(ProcessTest, ALaunchFailureIsReportedWithTheSystemReason) {
  const auto missing = (dir_.path() / "missing").string();
  EXPECT_EQ(testing::errorText([&] { runProcess(missing, {}, kEnvironment, limits(5s, 5s)); }),
            "Cannot run " + missing + ": No such file or directory");
  std::ofstream("plain") << "#!/bin/sh\necho hi\n";
  if (::geteuid() != 0) {
    EXPECT_EQ(failure((dir_.path() / "plain").string(), limits(5s, 5s)), ProcessErrorCode::launchFailed);
  }
}

TEST_F(ProcessTest, FindsTheFirstExecutableFileInAnAbsoluteFolderOnly) {
  for (const auto* folder : {"plain", "folder/kiro-cli", "first", "links"}) std::filesystem::create_directories(folder);
  std::ofstream("plain/kiro-cli") << "data";
  testing::writeScript(dir_.path(), "kiro-cli", "exit 0");  // what "." would find
  const auto first = dir_.path() / "first";
  std::filesystem::create_symlink(testing::writeScript(first, "kiro-cli", "exit 0"), "links/kiro-cli");
  const auto in = [&](const std::string& name) { return (dir_.path() / name).string(); };
  if (::geteuid() != 0) {
    EXPECT_EQ(findExecutable("kiro-cli", in("none") + ":" + in("plain") + ":" + in("folder") + ":" + in("first") +
                                             ":" + in("links")),
              in("first/kiro-cli"));
  }
  EXPECT_EQ(findExecutable("kiro-cli", in("links") + "/"), in("links/kiro-cli"));
  // What an empty or relative entry, or a name with a slash, would find depends on the working folder.
  for (const auto& [name, searchPath] : std::vector<std::pair<std::string, std::string>>{
           {"kiro-cli", ""}, {"kiro-cli", ":.:./:first:"}, {"", in("first")}, {"first/kiro-cli", in("")},
           {"../first/kiro-cli", in("first")}, {"missing", in("first")}}) {
    EXPECT_EQ(findExecutable(name, searchPath), std::nullopt) << name << " in " << searchPath;
  }
}

}  // namespace
}  // namespace dapplewick
