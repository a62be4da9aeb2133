#include "cli/terminal.hpp"

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string_view>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"
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

using testing::PseudoTerminal;

// Types `text` whole at the terminal.
void typeAt(const PseudoTerminal& pty, std::string_view text) {
  ASSERT_EQ(pty.type(text), static_cast<ssize_t>(text.size()));
}

// Polls `condition` for up to 5 s.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

TEST(HiddenTerminalInput, TurnsOffEchoAndLinesUntilDestroyedOrStopped) {
  const PseudoTerminal pty;
  const int terminal = pty.terminal();
  const auto flags = [&] { return pty.localModes().value(); };
  // Its width as the terminal tells it; none from what is no terminal.
  EXPECT_EQ(terminalColumns(terminal), 0);
  pty.setColumns(132);
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
  const int terminal = pty.terminal();
  // The terminal hands written text on to the reading side a moment later.
  const auto typeAndWait = [&](std::string_view text) {
    typeAt(pty, text);
    ASSERT_TRUE(eventually([&] { return pty.queued() == static_cast<int>(text.size()); }));
  };
  {
    const HiddenTerminalInput hidden(terminal, {});
    typeAndWait("typed ahead\n");
  }
  EXPECT_EQ(pty.queued(), 0);
  std::stop_source stop;
  const HiddenTerminalInput hidden(terminal, stop.get_token());
  typeAndWait("more\n");
  stop.request_stop();
  EXPECT_EQ(pty.queued(), 0);
}

// Ctrl-Z at the prompt, then `fg`: the terminal is the shell's while stopped, and on resume input is hidden again,
// what was typed before the stop or while stopped is dropped, and the prompt is asked again. The kernel echoes a
// key when it arrives, so hiding again cannot wait for the reader.
TEST(HiddenTerminalInput, AStopPutsTheTerminalBackAndAResumeHidesItAgainStartingTheLineAnew) {
  const PseudoTerminal pty;
  const auto lineMode = [&] { return pty.localModes().value() & (ECHO | ICANON); };
  const tcflag_t before = lineMode();
  TerminalJobControl jobs;
  int prompts = 0;
  std::stop_source stop;
  {
    HiddenTerminalInput hidden(pty.terminal(), stop.get_token(), &jobs, [&] { ++prompts; });
    typeAt(pty, "part");
    ASSERT_TRUE(eventually([&] { return pty.queued() == 4; }));
    auto line = std::async(std::launch::async, [&] { return hidden.readLine(100); });
    ASSERT_TRUE(eventually([&] { return pty.queued() == 0; })) << "the reader never took what was typed";
    jobs.stopping();
    EXPECT_EQ(lineMode(), before);
    typeAt(pty, "shown in clear\n");
    // Nothing is read while the terminal is the shell's.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_GT(pty.queued(), 0);
    EXPECT_FALSE(jobs.resumed());
    EXPECT_EQ(lineMode(), 0u);
    EXPECT_EQ(pty.queued(), 0) << "what came while stopped is dropped";
    EXPECT_EQ(prompts, 1);
    typeAt(pty, "rest\r");
    ASSERT_EQ(line.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const LineRead read = line.get();
    EXPECT_EQ(std::tie(read.status, read.text), std::make_tuple(LineReadStatus::line, "rest"));
  }
  EXPECT_EQ(lineMode(), before);
  // No prompt is up: a stop and resume leave the terminal alone.
  jobs.stopping();
  EXPECT_FALSE(jobs.resumed());
  EXPECT_EQ(std::make_tuple(lineMode(), prompts), std::make_tuple(before, 1));
  // Nor does a resume hide input again once the command was stopped.
  HiddenTerminalInput hidden(pty.terminal(), stop.get_token(), &jobs, [&] { ++prompts; });
  stop.request_stop();
  EXPECT_FALSE(jobs.resumed());
  EXPECT_EQ(std::make_tuple(lineMode(), prompts), std::make_tuple(before, 1));
}

// A terminal whose window closes while a key is half typed reads as its end: no line, whatever came before.
TEST(HiddenTerminalInput, AHangUpIsNoLine) {
  PseudoTerminal pty;
  HiddenTerminalInput hidden(pty.terminal(), {});
  auto line = std::async(std::launch::async, [&] { return hidden.readLine(100); });
  typeAt(pty, "sk-half");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pty.hangUp();
  ASSERT_EQ(line.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  const LineRead read = line.get();
  EXPECT_EQ(std::tie(read.status, read.text), std::make_tuple(LineReadStatus::hungUp, ""));
}

}  // namespace
}  // namespace dapplewick
