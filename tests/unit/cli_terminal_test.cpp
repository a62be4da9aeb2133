#include "cli/terminal.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    closeWrite();
    ::close(fds_[0]);
  }
  int readEnd() const { return fds_[0]; }
  void write(const std::string& data) { ASSERT_EQ(::write(fds_[1], data.data(), data.size()), ssize_t(data.size())); }
  void closeWrite() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(TerminalLine, ReadsOneLineWithBackspaceAndEndings) {
  struct Case {
    std::string typed;
    bool closeAfter;
    LineReadStatus status;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"sk-abc\n", false, LineReadStatus::line, "sk-abc"},
      {"sk-abc\r", false, LineReadStatus::line, "sk-abc"},
      {"sk-abc\x04", false, LineReadStatus::line, "sk-abc"},
      {"\x04", false, LineReadStatus::endOfInput, ""},
      {"", true, LineReadStatus::endOfInput, ""},
      {"partial", true, LineReadStatus::line, "partial"},
      {"sk-abx\x7f" "c\n", false, LineReadStatus::line, "sk-abc"},
      {"ab\b\bxy\n", false, LineReadStatus::line, "xy"},
      {"\x7f\x7fok\n", false, LineReadStatus::line, "ok"},
      {"cl\u00E9\x7f" "e\n", false, LineReadStatus::line, "cle"},
      {"first\nsecond\n", false, LineReadStatus::line, "first"},
      {"12345678901\n", false, LineReadStatus::tooLong, ""},
      {"1234567890\n", false, LineReadStatus::line, "1234567890"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.typed));
    Pipe pipe;
    pipe.write(c.typed);
    if (c.closeAfter) pipe.closeWrite();
    const LineRead read = readTerminalLine(pipe.readEnd(), 10, {});
    EXPECT_EQ(read.status, c.status);
    EXPECT_EQ(read.text, c.text);
  }
}

TEST(TerminalLine, GivesUpPromptlyWhenStopped) {
  Pipe pipe;
  pipe.write("half a secr");
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request_stop();
  });
  const auto started = std::chrono::steady_clock::now();
  const LineRead read = readTerminalLine(pipe.readEnd(), 100, stop.get_token());
  stopper.join();
  EXPECT_EQ(read.status, LineReadStatus::stopped);
  EXPECT_EQ(read.text, "");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

// A pseudo-terminal pair stands for the user's terminal.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(::grantpt(master_), 0);
    EXPECT_EQ(::unlockpt(master_), 0);
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave_, 0);
  }
  ~PseudoTerminal() {
    ::close(slave_);
    ::close(master_);
  }
  int slave() const { return slave_; }
  tcflag_t localFlags() const {
    termios settings{};
    EXPECT_EQ(::tcgetattr(slave_, &settings), 0);
    return settings.c_lflag;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
};

TEST(HiddenTerminalInput, TurnsOffEchoAndLinesAndRestoresThem) {
  PseudoTerminal terminal;
  const tcflag_t before = terminal.localFlags();
  ASSERT_NE(before & ECHO, 0u);
  {
    HiddenTerminalInput hidden(terminal.slave(), {});
    const tcflag_t during = terminal.localFlags();
    EXPECT_EQ(during & (ECHO | ICANON), 0u);
    EXPECT_NE(during & ISIG, 0u) << "Ctrl-C must still interrupt";
  }
  EXPECT_EQ(terminal.localFlags(), before);
}

TEST(HiddenTerminalInput, RestoresAsSoonAsStopIsRequested) {
  PseudoTerminal terminal;
  const tcflag_t before = terminal.localFlags();
  std::stop_source stop;
  HiddenTerminalInput hidden(terminal.slave(), stop.get_token());
  EXPECT_EQ(terminal.localFlags() & ECHO, 0u);
  stop.request_stop();
  EXPECT_EQ(terminal.localFlags(), before);
}

TEST(HiddenTerminalInput, LeavesAnythingButATerminalAlone) {
  Pipe pipe;
  HiddenTerminalInput hidden(pipe.readEnd(), {});
  pipe.write("x\n");
  EXPECT_EQ(readTerminalLine(pipe.readEnd(), 10, {}).text, "x");
}

}  // namespace
}  // namespace dapplewick
