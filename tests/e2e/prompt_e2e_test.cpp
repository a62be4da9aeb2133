// The hidden prompt of `dapplewick credential set` on a terminal that is the binary's controlling terminal, as
// when a user runs it from a shell: keys that raise signals (Ctrl-C, Ctrl-\, Ctrl-Z), a terminal that closes, a
// stop and a resume; and the limits of a secret that comes through a pipe.

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"
#include "support/process_probe.hpp"

namespace dapplewick {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::InteractiveShell;
using testing::PseudoTerminal;
using testing::RunResult;
using testing::Sandbox;
using testing::savedCredential;

const std::string kPrompt = "Paste the credential for windsurf and press Enter (input is hidden): ";
const std::string kSaved = "Saved the credential for windsurf.\n";
const std::string kInterrupted = "dapplewick: interrupted\n";
const std::string kUsageHint = "\nRun 'dapplewick --help' for usage.\n";
const std::vector<std::string> kSetWindsurf = {"credential", "set", "windsurf"};

// A run that hangs is killed once `limit` has passed, so a test fails with what it saw instead of waiting for the
// harness's minute. True once it has killed.
class Watchdog {
 public:
  explicit Watchdog(milliseconds limit) : end_(steady_clock::now() + limit) {}
  bool fired(pid_t pid) {
    if (!fired_ && steady_clock::now() >= end_) fired_ = ::kill(pid, SIGKILL) == 0;
    return fired_;
  }

 private:
  steady_clock::time_point end_;
  bool fired_ = false;
};

// Kills a process group left behind when the test fails half-way, after the shell that started it has gone.
struct GroupReaper {
  pid_t group = -1;
  ~GroupReaper() {
    if (group > 0 && testing::processGroupAlive(group)) ::kill(-group, SIGKILL);
  }
};

// Types `typed` at the hidden prompt of one run, all in one write, and checks that the key's signal ended it with
// `status`, nothing saved and nothing shown. False once the test has failed.
bool signalKeyRun(Sandbox& sandbox, const std::string& typed, int status) {
  PseudoTerminal tty;
  sandbox.setControllingTerminal(tty.name());
  bool written = false;
  Watchdog watchdog(std::chrono::seconds(20));
  const RunResult result = sandbox.runWatched(kSetWindsurf, [&](pid_t pid) {
    if (!watchdog.fired(pid) && !written && tty.hidden()) {
      written = tty.type(typed) == static_cast<ssize_t>(typed.size());
    }
  });
  EXPECT_TRUE(written) << "the prompt never hid the terminal";
  EXPECT_EQ(result.signal, 0) << "ended by the signal itself; core dumped: " << result.coreDumped;
  EXPECT_EQ(std::tie(result.exitCode, result.out, result.err),
            std::make_tuple(status, std::string(), kPrompt + "\n" + kInterrupted));
  EXPECT_EQ(savedCredential(sandbox, "windsurf"), "sk-before");
  EXPECT_TRUE(tty.inLineModeWithEcho()) << "the terminal was not put back";
  EXPECT_EQ(tty.queued(), 0) << "left for the shell";
  EXPECT_EQ(tty.shown(), "") << "what was typed was shown";
  return !::testing::Test::HasFailure();
}

// Ctrl-C or Ctrl-\ typed at the prompt, whatever arrives with it, Enter or Ctrl-D included: the key's signal wins
// over the line, so nothing is saved. The binary exits with the signal's status rather than dying of it (SIGQUIT
// would dump core), says so, puts the terminal back and leaves nothing for the shell. Every time: the signal and
// the line reach the binary together, and the line must not be judged before the signal is counted.
TEST(HiddenPromptOnItsTerminal, ASignalKeyTypedWithTheLineSavesNothing) {
  struct Case {
    std::string typed;
    int status;
    int runs = 1;
  };
  // Octal escapes: a hex one would swallow the letters after it.
  const Case cases[] = {
      {"abc\003def\r", 130}, {"abc\003def\004", 130}, {"sk-x\003", 130},      {"\034", 131},
      {"abc\034def\r", 131}, {"sk-x\034\004", 131},   {"\034\004", 131, 200},
  };

  for (const auto& c : cases) {
    Sandbox sandbox;
    sandbox.saveCredential("windsurf", "sk-before");
    for (int run = 0; run < c.runs; ++run) {
      const std::string& typed = c.typed;
      SCOPED_TRACE(::testing::PrintToString(typed) + ", run " + std::to_string(run));
      if (!signalKeyRun(sandbox, typed, c.status)) break;
    }
  }
}

// Half a secret typed, then the terminal's window closes: no Enter came, so nothing is saved and the credential
// saved before stays. The binary as the session's leader is sent SIGHUP and ends with 129, unless it reads the
// closed terminal first (1, saying so). Under another session leader (a shell without job control, which ignores
// the hang-up) no signal comes: only the closed terminal, and status 1.
TEST(HiddenPromptOnItsTerminal, ATerminalClosedBeforeEnterSavesNothing) {
  const std::string closedText = "dapplewick: the terminal closed before Enter; nothing was saved\n";
  for (const bool underShell : {false, true}) {
    for (const bool errorOnTheTerminal : {false, true}) {
      for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(std::string(underShell ? "under a shell" : "the session's leader") +
                     (errorOnTheTerminal ? ", standard error on the terminal" : ", standard error on a file") +
                     ", attempt " + std::to_string(attempt));
        Sandbox sandbox;
        sandbox.saveCredential("windsurf", "sk-before");
        PseudoTerminal tty;
        sandbox.setControllingTerminal(tty.name(), errorOnTheTerminal);
        if (underShell) sandbox.setSessionLeaderShell();
        std::optional<pid_t> binary;
        std::optional<long long> readBefore;
        bool closed = false;
        Watchdog watchdog(std::chrono::seconds(20));
        const RunResult result = sandbox.runWatched(kSetWindsurf, [&](pid_t pid) {
          if (watchdog.fired(pid) || closed || !tty.hidden()) return;
          if (!binary) binary = underShell ? testing::firstChild(pid) : pid;
          if (binary && !readBefore) {
            readBefore = testing::bytesRead(*binary);
            EXPECT_EQ(tty.type("sk-half"), 7);
          }
          // Once the binary has read what was typed, so that it holds half a line.
          if (readBefore && testing::bytesRead(*binary) >= *readBefore + 7) {
            tty.hangUp();
            closed = true;
          }
        });
        ASSERT_TRUE(closed) << "the prompt never read what was typed";
        EXPECT_EQ(result.signal, 0);
        if (underShell) {
          EXPECT_EQ(result.exitCode, 1) << result.err;
        } else {
          EXPECT_TRUE(result.exitCode == 129 || result.exitCode == 1) << result.exitCode << " " << result.err;
        }
        EXPECT_EQ(result.out, "");
        if (!errorOnTheTerminal) {
          EXPECT_EQ(result.err, kPrompt + "\n" + (result.exitCode == 129 ? kInterrupted : closedText));
        }
        EXPECT_EQ(savedCredential(sandbox, "windsurf"), "sk-before");
      }
    }
  }
}

// A stop that comes just after Enter either comes in time, and nothing is saved, or too late, and the new
// credential is saved and said to be: never a success that saved nothing, nor an interruption that saved. Within
// the moments after Enter in which the binary waits for the rest of a paste, the stop wins.
TEST(HiddenPromptOnItsTerminal, AStopJustAfterEnterEitherSavesNothingOrComesTooLate) {
  struct Stop {
    std::string name;
    int status;
    std::function<void(const PseudoTerminal&, pid_t)> send;
  };
  const Stop stops[] = {
      {"SIGTERM", 143, [](const PseudoTerminal&, pid_t pid) { ::kill(pid, SIGTERM); }},
      {"Ctrl-C", 130, [](const PseudoTerminal& tty, pid_t) { tty.type("\x03"); }},
  };
  Sandbox sandbox;
  int early = 0;
  int earlyInterrupted = 0;
  for (const auto& stop : stops) {
    for (const int delay : {0, 1, 2, 3, 4, 5, 0, 2, 4, 8, 13, 21, 34, 55, 89}) {
      SCOPED_TRACE(stop.name + " " + std::to_string(delay) + " ms after Enter");
      sandbox.saveCredential("windsurf", "sk-old");
      PseudoTerminal tty;
      sandbox.setControllingTerminal(tty.name());
      std::optional<steady_clock::time_point> entered;
      std::optional<milliseconds> sentAfter;
      Watchdog watchdog(std::chrono::seconds(20));
      const RunResult result = sandbox.runWatched(kSetWindsurf, [&](pid_t pid) {
        if (watchdog.fired(pid) || sentAfter) return;
        if (!entered && tty.hidden() && tty.type("sk-new\r") == 7) entered = steady_clock::now();
        if (entered && steady_clock::now() - *entered >= milliseconds(delay)) {
          stop.send(tty, pid);
          sentAfter = std::chrono::duration_cast<milliseconds>(steady_clock::now() - *entered);
        }
      });
      ASSERT_TRUE(entered.has_value()) << "the prompt never hid the terminal";
      // No stop is sent once the binary has exited: it was too late.
      const std::string saved = savedCredential(sandbox, "windsurf");
      EXPECT_EQ(result.signal, 0);
      if (result.exitCode == 0) {
        EXPECT_EQ(std::tie(result.out, result.err, saved), std::make_tuple(kSaved, kPrompt + "\n", "sk-new"));
      } else {
        EXPECT_EQ(std::tie(result.exitCode, result.out, result.err, saved),
                  std::make_tuple(stop.status, std::string(), kPrompt + "\n" + kInterrupted, "sk-old"));
      }
      // Sent well inside the wait for the rest of a paste (unless the machine stalled the test).
      if (delay <= 5 && sentAfter && *sentAfter <= milliseconds(10)) {
        ++early;
        earlyInterrupted += result.exitCode == stop.status ? 1 : 0;
      }
    }
  }
  // Not every one: a loaded machine may let the binary save before the stop is even sent.
  EXPECT_GE(early, 8) << "the machine was too slow to send a stop soon after Enter";
  EXPECT_GE(earlyInterrupted * 2, early) << earlyInterrupted << " of " << early
                                         << " stops sent within 10 ms of Enter interrupted the prompt";
}

// SIGSTOP, which no process can catch (as from kill -STOP or a debugger), then SIGCONT after the test put the
// terminal back in line mode with echo, as a shell does when it takes the terminal back: the prompt hides what is
// typed again at once and shows itself again; what was typed before the stop is dropped, and what is typed after
// is saved, never shown.
TEST(HiddenPromptOnItsTerminal, AResumedPromptHidesTypingAgainAndDropsWhatCameBeforeTheStop) {
  Sandbox sandbox;
  sandbox.saveCredential("windsurf", "sk-before");
  PseudoTerminal tty;
  sandbox.setControllingTerminal(tty.name(), true);
  enum class Step { prompt, read, stopped, resumed, typed } step = Step::prompt;
  long long readBefore = 0;
  std::string shown;
  steady_clock::time_point resumedAt;
  std::optional<milliseconds> hiddenAgainAfter;
  bool lineModeWhileStopped = false;
  Watchdog watchdog(std::chrono::seconds(30));
  const RunResult result = sandbox.runWatched(kSetWindsurf, [&](pid_t pid) {
    shown += tty.shown();
    if (watchdog.fired(pid)) return;
    switch (step) {
      case Step::prompt:
        if (!tty.hidesTyping() || testing::occurrences(shown, kPrompt) != 1) break;
        readBefore = testing::bytesRead(pid);
        EXPECT_EQ(tty.type("sk-part"), 7);
        step = Step::read;
        break;
      case Step::read:
        if (testing::bytesRead(pid) >= readBefore + 7 && ::kill(pid, SIGSTOP) == 0) step = Step::stopped;
        break;
      case Step::stopped:
        if (testing::processState(pid) != 'T') break;
        tty.setLineModeWithEcho();
        lineModeWhileStopped = tty.inLineModeWithEcho();
        ::kill(pid, SIGCONT);
        resumedAt = steady_clock::now();
        step = Step::resumed;
        break;
      case Step::resumed:
        if (tty.hidesTyping() && testing::occurrences(shown, kPrompt) >= 2) {
          hiddenAgainAfter = std::chrono::duration_cast<milliseconds>(steady_clock::now() - resumedAt);
        } else if (steady_clock::now() - resumedAt < std::chrono::seconds(5)) {
          break;
        }
        // Typed all the same when the prompt did not come back, to see where it goes.
        if (tty.type("sk-rest\r") == 8) step = Step::typed;
        break;
      case Step::typed: break;
    }
  });
  shown += tty.shown();
  SCOPED_TRACE("the terminal showed: " + ::testing::PrintToString(shown));
  ASSERT_EQ(step, Step::typed);
  EXPECT_TRUE(lineModeWhileStopped);
  EXPECT_LT(hiddenAgainAfter.value_or(milliseconds::max()), milliseconds(2000))
      << "the prompt did not hide typing again and show itself soon after the resume";
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(std::tie(result.exitCode, result.out), std::make_tuple(0, kSaved));
  EXPECT_EQ(savedCredential(sandbox, "windsurf"), "sk-rest");
  // Asked again on a line of its own, since a shell may have written meanwhile; nothing typed is shown.
  EXPECT_EQ(shown, kPrompt + "\r\n" + kPrompt + "\r\n");
  EXPECT_TRUE(tty.inLineModeWithEcho()) << "the terminal was not put back";
}

// What a user does, at a shell with job control, to the job of a hidden prompt that has read part of a secret.
enum class JobAct {
  ctrlZ,                  // Ctrl-Z: the job stops, the shell has its terminal in line mode with echo
  bg,                     // the job goes on in the background, stops again at once, and `jobs` says it is stopped
  fg,                     // the prompt is back, asked again with typing hidden
  continueFromElsewhere,  // kill -CONT PID from another terminal: it stops again at once
  stopFromElsewhere,      // kill -STOP PID from another terminal: the shell shows it stopped
  killJob,                // kill %1: it ends with 143, nothing left running or stopped
  closeWindow,            // the terminal's window closes: it ends, nothing left running or stopped
};

// How the shell starts the binary: as its job, or as the child of a script that is the job (`sh -c '…; echo …'`),
// which the shell sees stop and takes the terminal back from while the binary is still handling its Ctrl-Z.
enum class Launch { direct, script };

// Drives one job of `credential set windsurf` at a shell, act by act; each act waits for what it leads to and fails
// the test with what the terminal showed when that does not come.
class PromptJob {
 public:
  // `command` runs the binary; a script runs it, then says a line of its own.
  PromptJob(InteractiveShell& shell, const std::string& command, Launch launch = Launch::direct)
      : shell_(shell),
        tty_(shell.terminal()),
        command_(launch == Launch::script ? "sh -c '" + command + "; echo " + std::string(kScriptWentOn) + "'"
                                          : command),
        launch_(launch) {}

  pid_t group() const { return group_; }
  // What the shell runs, as it echoes it.
  const std::string& command() const { return command_; }
  // What the terminal shows once the secret is saved: the binary's line, then the script's, which went on.
  std::string saved() const {
    return std::string(kSavedOnTheTerminal) + (launch_ == Launch::script ? std::string(kScriptWentOn) + "\r\n" : "");
  }

  // Runs the command and types "sk-part" once the prompt hides typing, until the binary has read it.
  bool start() {
    if (!shell_.waitForShown(kShellPrompt)) return false;
    EXPECT_EQ(shell_.shown().find("no job control"), std::string::npos) << shell_.shown();
    shell_.type(command_ + "\r");
    if (!shell_.waitUntil([&] { return shell_.timesShown(kPrompt) == 1 && tty_.hidesTyping(); }, "hidden prompt")) {
      return false;
    }
    group_ = reaper_.group = tty_.foregroundGroup();
    EXPECT_GT(group_, 0);
    EXPECT_NE(group_, shell_.pid());
    binary_ = launch_ == Launch::script ? testing::firstChild(group_).value_or(-1) : group_;
    EXPECT_GT(binary_, 0) << "the script has no child";
    const long long readBefore = testing::bytesRead(binary_);
    shell_.type("sk-part");
    return shell_.waitUntil([&] { return testing::bytesRead(binary_) >= readBefore + 7; }, "sk-part read");
  }

  bool act(JobAct act) {
    const std::size_t prompts = shell_.timesShown(kShellPrompt);
    const auto stopped = [&] { return testing::processState(group_) == 'T' && testing::processState(binary_) == 'T'; };
    const auto stoppedAtTheShell = [&] { return stopped() && shell_.timesShown(kShellPrompt) > prompts; };
    switch (act) {
      case JobAct::ctrlZ:
        shell_.type("\x1a");
        if (!shell_.waitUntil(stoppedAtTheShell, "job stopped and the shell's prompt")) return false;
        EXPECT_TRUE(tty_.inLineModeWithEcho()) << "the shell's prompt is not in line mode with echo";
        return true;
      case JobAct::bg: {
        // The shell has sent SIGCONT once it shows its prompt again.
        shell_.type("bg\r");
        if (!shell_.waitUntil([&] { return shell_.timesShown(kShellPrompt) > prompts; }, "shell's prompt")) {
          return false;
        }
        if (!shell_.waitUntil(stopped, "job stopped again in the background")) return false;
        const bool said = shellSaysStopped();
        EXPECT_TRUE(tty_.inLineModeWithEcho()) << "the terminal was changed from the background";
        return said;
      }
      case JobAct::fg: {
        const std::size_t asked = shell_.timesShown(kPrompt);
        shell_.type("fg\r");
        return shell_.waitUntil([&] { return shell_.timesShown(kPrompt) > asked && tty_.hidesTyping(); },
                                "prompt shown again with typing hidden");
      }
      case JobAct::continueFromElsewhere:
        // The job goes on at once; it is stopped again when the state says so.
        EXPECT_EQ(::kill(group_, SIGCONT), 0);
        return shell_.waitUntil(stopped, "job stopped again after kill -CONT") && shellSaysStopped();
      case JobAct::stopFromElsewhere:
        EXPECT_EQ(::kill(group_, SIGSTOP), 0);
        return shell_.waitUntil(stoppedAtTheShell, "job stopped and the shell's prompt");
      case JobAct::killJob:
        shell_.type("kill %1\r");
        if (!shell_.waitUntil([&] { return !testing::processGroupAlive(group_); }, "job gone")) return false;
        shell_.type("jobs\r");
        return shell_.waitForShown("Exit 143");
      case JobAct::closeWindow:
        shell_.hangUp();
        EXPECT_TRUE(testing::waitForGroupGone(group_, std::chrono::seconds(15))) << "job left after the hang-up";
        return true;
    }
    return false;
  }

  // Types the rest of the secret at the prompt, which saves it.
  bool finish() {
    shell_.type("sk-rest\r");
    if (!shell_.waitForShown(saved())) return false;
    shell_.type("echo \"[status $?]\"\r");
    return shell_.waitForShown("[status 0]") && testing::waitForGroupGone(group_);
  }

  static constexpr std::string_view kShellPrompt = InteractiveShell::kPrompt;
  static constexpr std::string_view kSavedOnTheTerminal = "Saved the credential for windsurf.\r\n";
  static constexpr std::string_view kScriptWentOn = "the script went on";

 private:
  // The shell learns of a stop from a SIGCHLD it handles in its own time, so `jobs` run at once may still say
  // Running, and an fg of a job the shell takes for running sends no SIGCONT: `jobs` is asked again at each of the
  // shell's prompts until it says Stopped.
  bool shellSaysStopped() {
    const std::size_t saidStopped = shell_.timesShown("Stopped");
    std::size_t asked = shell_.timesShown(kShellPrompt);
    shell_.type("jobs\r");
    return shell_.waitUntil(
        [&] {
          const std::size_t now = shell_.timesShown(kShellPrompt);
          if (now == asked) return false;  // the last `jobs` has not finished
          if (shell_.timesShown("Stopped") > saidStopped) return true;
          asked = now;
          shell_.type("jobs\r");
          return false;
        },
        "jobs saying the job is stopped");
  }

  InteractiveShell& shell_;
  const PseudoTerminal& tty_;
  std::string command_;
  Launch launch_;
  pid_t group_ = -1;
  pid_t binary_ = -1;
  GroupReaper reaper_;
};

// Stopped at the prompt, then resumed in the foreground or in the background, from the shell or from elsewhere:
// from the background the terminal is left to the shell and the job stops again at once, as a background job that
// wants its terminal does, so that fg brings the hidden prompt back; it asks again on a line of its own, and only
// what is typed after that is saved. Nothing typed is ever shown. Killed stopped or in the background, the job ends
// with 143, saves nothing and leaves nothing behind. dash puts no terminal modes back when a job stops: the
// prompt itself leaves the terminal in line mode with echo. The window closed ends a job stopped again after bg.
// Run from a script, the binary is stopped by Ctrl-Z while the shell already has the terminal back, as often as
// it is stopped, and the script goes on once the secret is saved.
TEST(HiddenPromptUnderAShell, StoppedAndResumedItHidesTypingAgainAndKilledItEnds) {
  using enum JobAct;
  struct Story {
    std::string name;
    std::vector<JobAct> acts;
    std::string pipe = {};
    InteractiveShell::Kind shell = InteractiveShell::Kind::bash;
    Launch launch = Launch::direct;
  };
  std::vector<JobAct> twentyStops;
  for (int i = 0; i < 20; ++i) twentyStops.insert(twentyStops.end(), {ctrlZ, fg});
  const Story stories[] = {
      {"Ctrl-Z, fg", {ctrlZ, fg}},
      {"Ctrl-Z, fg, Ctrl-Z, fg", {ctrlZ, fg, ctrlZ, fg}},
      {"Ctrl-Z, bg, fg", {ctrlZ, bg, fg}},
      {"Ctrl-Z, kill -CONT, fg", {ctrlZ, continueFromElsewhere, fg}},
      {"Ctrl-Z, bg, fg of a pipeline", {ctrlZ, bg, fg}, " | cat"},
      {"Ctrl-Z, bg, kill %1", {ctrlZ, bg, killJob}},
      {"Ctrl-Z, kill %1", {ctrlZ, killJob}},
      {"kill -STOP, kill %1", {stopFromElsewhere, killJob}},
      {"kill -STOP, bg, kill %1", {stopFromElsewhere, bg, killJob}},
      {"Ctrl-Z, bg, the window closes", {ctrlZ, bg, closeWindow}},
      {"dash: Ctrl-Z, fg", {ctrlZ, fg}, "", InteractiveShell::Kind::dash},
      {"script: Ctrl-Z, fg, 20 times", twentyStops, "", InteractiveShell::Kind::bash, Launch::script},
      {"script: Ctrl-Z, bg, fg", {ctrlZ, bg, fg}, "", InteractiveShell::Kind::bash, Launch::script},
  };
  for (const Story& story : stories) {
    SCOPED_TRACE(story.name);
    Sandbox sandbox;
    sandbox.saveCredential("windsurf", "sk-before");
    InteractiveShell shell(sandbox, story.shell);
    PromptJob job(shell, std::string(DAPPLEWICK_BINARY) + " credential set windsurf" + story.pipe, story.launch);
    bool done = job.start();
    for (const JobAct act : story.acts) done = done && job.act(act);
    const bool ends = story.acts.back() == killJob || story.acts.back() == closeWindow;
    if (done && !ends) done = job.finish();
    if (!done) continue;
    EXPECT_FALSE(testing::processGroupAlive(job.group())) << "left running or stopped";
    EXPECT_EQ(savedCredential(sandbox, "windsurf"), ends ? "sk-before" : "sk-rest");
    if (story.acts.back() == closeWindow) continue;
    EXPECT_TRUE(shell.terminal().inLineModeWithEcho());
    EXPECT_EQ(shell.shown().find("sk-"), std::string::npos) << shell.shown();
    const std::size_t fgs = static_cast<std::size_t>(std::ranges::count(story.acts, fg));
    EXPECT_EQ(shell.timesShown(kPrompt), 1 + fgs) << shell.shown();
    if (!ends && story.shell == InteractiveShell::Kind::bash) {
      // Asked again on a line of its own after the shell's echo of the job, and the line saved at once.
      const std::string resumed = "fg\r\n" + job.command() + "\r\n\r\n" + kPrompt + "\r\n" + job.saved();
      EXPECT_NE(shell.shown().find(resumed), std::string::npos) << shell.shown();
    }
  }
}

// Outside the prompt Ctrl-Z stops the binary as any command, and fg lets it finish as it would have.
TEST(HiddenPromptUnderAShell, CtrlZStopsARefreshAndFgLetsItFinish) {
  std::atomic<bool> answer{false};
  std::atomic<int> requests{0};
  testing::LoopbackServer server([&](const testing::ReceivedRequest&, testing::LoopbackServer::Connection&) {
    ++requests;
    const auto end = steady_clock::now() + std::chrono::seconds(30);
    while (!answer.load() && steady_clock::now() < end) std::this_thread::sleep_for(milliseconds(1));
    return testing::httpResponse(401);
  });
  struct AnswerAtTheEnd {
    std::atomic<bool>& answer;
    ~AnswerAtTheEnd() { answer = true; }
  } answerAtTheEnd{answer};
  Sandbox sandbox;
  sandbox.setOrigins({{"deepgram", server.origin()}});
  sandbox.saveCredential("deepgram", "dg-stopped");
  answer = true;
  const int unstopped = sandbox.run({"deepgram"}).exitCode;
  answer = false;
  requests = 0;

  GroupReaper job;
  InteractiveShell shell(sandbox);
  const PseudoTerminal& tty = shell.terminal();
  const std::string shellPrompt(InteractiveShell::kPrompt);
  ASSERT_TRUE(shell.waitForShown(shellPrompt));
  shell.type(std::string(DAPPLEWICK_BINARY) + " deepgram\r");
  ASSERT_TRUE(shell.waitUntil([&] { return requests.load() > 0; }, "request"));
  job.group = tty.foregroundGroup();
  ASSERT_NE(job.group, shell.pid());
  shell.type("\x1a");
  ASSERT_TRUE(shell.waitForShown("Stopped"));
  ASSERT_TRUE(shell.waitForShown(shellPrompt, 2));
  EXPECT_EQ(testing::processState(job.group), 'T');
  shell.type("fg\r");
  ASSERT_TRUE(shell.waitUntil([&] { return testing::processState(job.group) != 'T'; }, "job resumed"));
  answer = true;
  ASSERT_TRUE(shell.waitForShown(shellPrompt, 3));
  shell.type("echo \"[status $?]\"\r");
  EXPECT_TRUE(shell.waitForShown("[status " + std::to_string(unstopped) + "]"));
  EXPECT_EQ(requests.load(), 1);
}

// A secret piped in: a stop taken while the binary waits for it saves nothing, even though the secret then comes.
TEST(PipedSecret, AStopBeforeTheSecretArrivesSavesNothing) {
  Sandbox sandbox;
  sandbox.saveCredential("windsurf", "sk-before");
  const auto fifo = sandbox.home() / "input";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);  // the binary's reads wait
  sandbox.setInput(reader);
  bool sent = false;
  Watchdog watchdog(std::chrono::seconds(20));
  const RunResult result = sandbox.runWatched(kSetWindsurf, [&](pid_t pid) {
    if (watchdog.fired(pid) || writer < 0) return;
    // The signal watcher has started once the binary has a second thread.
    const auto tasks = std::filesystem::path("/proc") / std::to_string(pid) / "task";
    std::error_code ignored;
    if (!sent && std::distance(std::filesystem::directory_iterator(tasks, ignored), {}) >= 2) {
      sent = ::kill(pid, SIGTERM) == 0;
    } else if (sent && !testing::signalPending(pid)) {
      EXPECT_EQ(::write(writer, "sk-piped\n", 9), 9);
      ::close(writer);
      writer = -1;
    }
  });
  if (writer >= 0) ::close(writer);
  ::close(reader);
  EXPECT_TRUE(sent);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 143);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.empty() || result.err == kInterrupted) << result.err;
  EXPECT_EQ(savedCredential(sandbox, "windsurf"), "sk-before");
}

// A piped secret may be 1 MiB long, counted after the trailing line breaks a pipe or a here-string adds are
// dropped; anything else past 1 MiB is refused and keeps the credential saved before.
TEST(PipedSecret, TheLimitOfOneMebibyteCountsTheSecretWithoutItsTrailingLineBreaks) {
  Sandbox sandbox;
  const std::string mebibyte(1024 * 1024, 'x');
  const std::string tooLong = "dapplewick: the secret on standard input is longer than 1 MiB" + kUsageHint;
  const std::vector<std::pair<std::string, bool>> cases = {
      {mebibyte, true},
      {mebibyte + "\n", true},
      {mebibyte + "\r\n", true},
      {mebibyte + "\n\n\n", true},
      {mebibyte + "\r\n\r\n", true},
      {mebibyte + std::string(1000, '\n'), true},
      {mebibyte + "y", false},
      {mebibyte + "y\n", false},
      {mebibyte + "\nx", false},
      {std::string(3 * 1024 * 1024, '\n'), false},  // never ends in a secret
  };
  for (const auto& [input, saved] : cases) {
    SCOPED_TRACE(std::to_string(input.size()) + " bytes ending in " +
                 ::testing::PrintToString(input.substr(input.size() - 2)));
    sandbox.saveCredential("windsurf", "sk-before");
    const RunResult result = sandbox.run(kSetWindsurf, input);
    if (saved) {
      EXPECT_EQ(std::tie(result.exitCode, result.out, result.err), std::make_tuple(0, kSaved, std::string()));
      const std::string stored = savedCredential(sandbox, "windsurf");
      EXPECT_TRUE(stored == mebibyte) << stored.size() << " bytes saved: " << stored.substr(0, 20);
    } else {
      EXPECT_EQ(std::tie(result.exitCode, result.out, result.err), std::make_tuple(2, std::string(), tooLong));
      EXPECT_EQ(savedCredential(sandbox, "windsurf"), "sk-before");
    }
  }
}

// Line breaks that never end (`yes ''`) are refused as too long once more than 1 MiB and 64 KiB of them (the most
// trailing line breaks a secret of 1 MiB may be followed by) has come, while they are still coming.
TEST(PipedSecret, EndlessLineBreaksAreRefusedWhileTheyStillCome) {
  Sandbox sandbox;
  const auto fifo = sandbox.home() / "input";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);
  sandbox.setInput(reader);
  const std::string lineBreaks(65536, '\n');
  std::size_t written = 0;
  Watchdog watchdog(std::chrono::seconds(20));
  const RunResult result = sandbox.runWatched(kSetWindsurf, [&](pid_t pid) {
    if (watchdog.fired(pid)) return;
    ssize_t n = 0;
    while ((n = ::write(writer, lineBreaks.data(), lineBreaks.size())) > 0) written += static_cast<std::size_t>(n);
  });
  int unread = 0;
  EXPECT_EQ(::ioctl(reader, FIONREAD, &unread), 0);
  ::close(writer);
  ::close(reader);
  EXPECT_EQ(
      std::tie(result.exitCode, result.out, result.err),
      std::make_tuple(2, std::string(), "dapplewick: the secret on standard input is longer than 1 MiB" + kUsageHint));
  const std::size_t read = written - static_cast<std::size_t>(unread);
  EXPECT_GT(read, 1024U * 1024U + 64U * 1024U);
  // Read in pieces, so a piece more at the most.
  EXPECT_LE(read, 1024U * 1024U + 64U * 1024U + 128U * 1024U);
}

}  // namespace
}  // namespace dapplewick
