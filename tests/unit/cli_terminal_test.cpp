#include "cli/terminal.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string_view>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "support/service_world.hpp"

namespace dapplewick {
namespace {

// What readTerminalLine makes of `typed` arriving on a pipe, which stays open unless `close`.
LineRead readTyped(const std::string& typed, bool close, std::stop_token stop = {}) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  if (close) ::close(fds[1]);
  const LineRead read = readTerminalLine(fds[0], 10, std::move(stop));
  if (!close) ::close(fds[1]);
  ::close(fds[0]);
  return read;
}

TEST(TerminalLine, ReadsOneLineWithBackspaceAndEndingsAndGivesUpPromptlyWhenStopped) {
  using enum LineReadStatus;
  // clang-format off
  const std::vector<std::tuple<std::string, bool, LineReadStatus, std::string>> cases = {
      {"sk-abc\r", false, line, "sk-abc"}, {"sk-abc\x04", false, line, "sk-abc"}, {"\x04", false, endOfInput, ""},
      {"", true, hungUp, ""}, {"partial", true, hungUp, ""}, {"\x7f" "ab\b\bxy\n", false, line, "xy"},
      {"cl\u00E9\x7f" "e\n", false, line, "cle"}, {"first\r\n\r\n", false, line, "first"},
      {"first\nsecond\n", false, severalLines, ""}, {"1234567890\n", false, line, "1234567890"},
      {"12345678901\n", false, tooLong, ""},
  };
  // clang-format on
  for (const auto& [typed, close, status, text] : cases) {
    SCOPED_TRACE(::testing::PrintToString(typed));
    const LineRead read = readTyped(typed, close);
    EXPECT_EQ(std::tie(read.status, read.text), std::tie(status, text));
  }
  const auto started = std::chrono::steady_clock::now();
  const testing::DelayedStop stop(std::chrono::milliseconds(50));
  const LineRead read = readTyped("half a sec", false, stop.token());
  EXPECT_EQ(std::tie(read.status, read.text), std::make_tuple(stopped, ""));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(TerminalLine, FitsOneColumnShortOfTheWidthCutBetweenCodePoints) {
  const std::string eighty(80, 'x');
  // clang-format off
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"abc", 4, "abc"}, {"abcd", 4, "abc"}, {"abcd", 1, ""}, {"", 0, ""},
      {eighty, 0, eighty.substr(1)}, {eighty, -1, eighty.substr(1)}, {eighty, 81, eighty}, {eighty, 80, eighty.substr(1)},
      {"h\u00e9llo", 3, "h\u00e9"}, {"ab\u20ac", 3, "ab"}, {"ab\u20acd", 4, "ab\u20ac"},
  };
  // clang-format on
  for (const auto& [line, columns, want] : cases) {
    SCOPED_TRACE(line + " in " + std::to_string(columns));
    EXPECT_EQ(fitTerminalLine(line, columns), want);
  }
}

// A pseudo-terminal stands for the user's terminal: what is written to `master` arrives on `terminal` as typed.
struct PseudoTerminal {
  PseudoTerminal() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
      terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    }
  }
  ~PseudoTerminal() {
    if (terminal >= 0) ::close(terminal);
    if (master >= 0) ::close(master);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;
  bool opened() const { return master >= 0 && terminal >= 0; }

  int master = -1;
  int terminal = -1;
};

TEST(HiddenTerminalInput, TurnsOffEchoAndLinesUntilDestroyedOrStopped) {
  const PseudoTerminal pty;
  ASSERT_TRUE(pty.opened());
  const int master = pty.master;
  const int terminal = pty.terminal;
  const auto flags = [&] {
    termios settings{};
    EXPECT_EQ(::tcgetattr(terminal, &settings), 0);
    return settings.c_lflag;
  };
  // Its width as the terminal tells it; none from what is no terminal.
  EXPECT_EQ(terminalColumns(terminal), 0);
  const winsize size{24, 132, 0, 0};
  ASSERT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
  EXPECT_EQ(terminalColumns(terminal), 132);
  EXPECT_EQ(terminalColumns(-1), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(terminalColumns(fds[0]), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  const tcflag_t before = flags();
  ASSERT_NE(before & ECHO, 0u);
  {
    const HiddenTerminalInput hidden(terminal, {});
    EXPECT_EQ(flags() & (ECHO | ICANON), 0u);
    EXPECT_NE(flags() & ISIG, 0u) << "Ctrl-C must still interrupt";
  }
  EXPECT_EQ(flags(), before);
  // An interrupted process may end before the destructor runs.
  std::stop_source stop;
  const HiddenTerminalInput hidden(terminal, stop.get_token());
  EXPECT_EQ(flags() & ECHO, 0u);
  stop.request_stop();
  EXPECT_EQ(flags(), before);
}

// What arrived while input was hidden and nobody read (the rest of a refused paste) would reach the shell as
// commands: restoring the terminal drops it, whether at the end or on a stop.
TEST(HiddenTerminalInput, DropsWhatIsQueuedWhenTheTerminalIsRestored) {
  const PseudoTerminal pty;
  ASSERT_TRUE(pty.opened());
  const int master = pty.master;
  const int terminal = pty.terminal;
  const auto queued = [&] {
    int bytes = 0;
    return ::ioctl(terminal, FIONREAD, &bytes) == 0 ? bytes : -1;
  };
  // The terminal hands written text on to the reading side a moment later.
  const auto typeAndWait = [&](std::string_view text) {
    ASSERT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (queued() < static_cast<int>(text.size()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(queued(), static_cast<int>(text.size()));
  };
  {
    const HiddenTerminalInput hidden(terminal, {});
    typeAndWait("typed ahead\n");
  }
  EXPECT_EQ(queued(), 0);
  std::stop_source stop;
  const HiddenTerminalInput hidden(terminal, stop.get_token());
  typeAndWait("more\n");
  stop.request_stop();
  EXPECT_EQ(queued(), 0);
}

// Polls `condition` for up to 5 s.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

// Ctrl-Z at the prompt, then `fg`: the terminal is the shell's while stopped, and on resume input is hidden again,
// what was typed before the stop or while stopped is dropped, and the prompt is asked again. The kernel echoes a
// key when it arrives, so hiding again cannot wait for the reader.
TEST(HiddenTerminalInput, AStopPutsTheTerminalBackAndAResumeHidesItAgainStartingTheLineAnew) {
  const PseudoTerminal pty;
  ASSERT_TRUE(pty.opened());
  const auto lineMode = [&] {
    termios settings{};
    EXPECT_EQ(::tcgetattr(pty.terminal, &settings), 0);
    return settings.c_lflag & (ECHO | ICANON);
  };
  const auto queued = [&] {
    int bytes = 0;
    return ::ioctl(pty.terminal, FIONREAD, &bytes) == 0 ? bytes : -1;
  };
  const auto type = [&](std::string_view text) {
    ASSERT_EQ(::write(pty.master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  const tcflag_t before = lineMode();
  TerminalJobControl jobs;
  int prompts = 0;
  std::stop_source stop;
  {
    HiddenTerminalInput hidden(pty.terminal, stop.get_token(), &jobs, [&] { ++prompts; });
    type("part");
    ASSERT_TRUE(eventually([&] { return queued() == 4; }));
    auto line = std::async(std::launch::async, [&] { return hidden.readLine(100); });
    ASSERT_TRUE(eventually([&] { return queued() == 0; })) << "the reader never took what was typed";
    jobs.stopping();
    EXPECT_EQ(lineMode(), before);
    type("shown in clear\n");
    // Nothing is read while the terminal is the shell's.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_GT(queued(), 0);
    jobs.resumed();
    EXPECT_EQ(lineMode(), 0u);
    EXPECT_EQ(queued(), 0) << "what came while stopped is dropped";
    EXPECT_EQ(prompts, 1);
    type("rest\r");
    ASSERT_EQ(line.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const LineRead read = line.get();
    EXPECT_EQ(std::tie(read.status, read.text), std::make_tuple(LineReadStatus::line, "rest"));
  }
  EXPECT_EQ(lineMode(), before);
  // No prompt is up: a stop and resume leave the terminal alone.
  jobs.stopping();
  jobs.resumed();
  EXPECT_EQ(std::make_tuple(lineMode(), prompts), std::make_tuple(before, 1));
  // Nor does a resume hide input again once the command was stopped.
  HiddenTerminalInput hidden(pty.terminal, stop.get_token(), &jobs, [&] { ++prompts; });
  stop.request_stop();
  jobs.resumed();
  EXPECT_EQ(std::make_tuple(lineMode(), prompts), std::make_tuple(before, 1));
}

// A terminal whose window closes while a key is half typed reads as its end: no line, whatever came before.
TEST(HiddenTerminalInput, AHangUpIsNoLine) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.opened());
  HiddenTerminalInput hidden(pty.terminal, {});
  auto line = std::async(std::launch::async, [&] { return hidden.readLine(100); });
  ASSERT_EQ(::write(pty.master, "sk-half", 7), 7);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::close(pty.master);
  pty.master = -1;
  ASSERT_EQ(line.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  const LineRead read = line.get();
  EXPECT_EQ(std::tie(read.status, read.text), std::make_tuple(LineReadStatus::hungUp, ""));
}

}  // namespace
}  // namespace dapplewick
