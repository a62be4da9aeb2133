#include "cli/terminal.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <string_view>

#include "common/text.hpp"

namespace dapplewick {

struct HiddenTerminalInput::State {
  int fd = -1;
  std::mutex mutex;
  bool active = false;
  termios saved{};

  void restore() {
    std::lock_guard lock(mutex);
    if (!active) return;
    // What is still queued (the rest of a paste that was refused, say) would otherwise reach the shell as commands.
    ::tcflush(fd, TCIFLUSH);
    ::tcsetattr(fd, TCSANOW, &saved);
    active = false;
  }
};

HiddenTerminalInput::HiddenTerminalInput(int fd, std::stop_token stop) : state_(std::make_shared<State>()) {
  state_->fd = fd;
  if (::isatty(fd) == 0 || ::tcgetattr(fd, &state_->saved) != 0) return;
  termios hidden = state_->saved;
  hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON);
  hidden.c_lflag |= ISIG;
  hidden.c_cc[VMIN] = 1;
  hidden.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &hidden) != 0) return;
  state_->active = true;
  restoreOnStop_.emplace(stop, [state = state_] { state->restore(); });
}

HiddenTerminalInput::~HiddenTerminalInput() {
  restoreOnStop_.reset();
  state_->restore();
}

int terminalColumns(int fd) {
  winsize size{};
  return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::string_view fitTerminalLine(std::string_view line, int columns) {
  constexpr int kDefaultColumns = 80;
  return prefixCodePoints(line, static_cast<std::size_t>(columns > 0 ? columns : kDefaultColumns) - 1);
}

namespace {

constexpr char kEndOfTransmission = 0x04;  // Ctrl-D
constexpr char kBackspace = 0x08;
constexpr char kDelete = 0x7F;
// A paste arrives in reads this close together; a line typed after pressing Enter comes much later.
constexpr int kPasteGapMilliseconds = 30;

bool isLineBreak(char c) { return c == '\n' || c == '\r'; }

enum class Wait { input, quiet, stopped, failed };

// Waits up to `milliseconds` (-1: forever, waking now and then to notice a stop) for something to read.
Wait waitForInput(int fd, int milliseconds, const std::stop_token& stop) {
  // A short wait keeps a stop request noticed promptly without a wake-up pipe.
  constexpr int kStopCheckMilliseconds = 100;
  while (true) {
    if (stop.stop_requested()) return Wait::stopped;
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, milliseconds < 0 ? kStopCheckMilliseconds : milliseconds);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Wait::failed;
    }
    if (ready > 0) return Wait::input;
    if (milliseconds >= 0) return Wait::quiet;
  }
}

// One read; 0 at the end of input, -1 on failure.
ssize_t readSome(int fd, char* buffer, std::size_t size) {
  while (true) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || (errno != EINTR && errno != EAGAIN)) return n;
  }
}

// After the line break of the first line (or the byte that made a line too long): more text in the same read, or
// in the next read if it comes at once, is a paste of several lines, which is then read to its end (until the
// input falls quiet) and dropped, so that none of it is left for the shell. Line breaks alone, as a CR LF sent in
// two pieces, are no further line.
LineReadStatus restOfPaste(int fd, std::string_view rest, const std::stop_token& stop) {
  bool severalLines = rest.find_first_not_of("\r\n") != std::string_view::npos;
  while (true) {
    switch (waitForInput(fd, kPasteGapMilliseconds, stop)) {
      case Wait::stopped: return LineReadStatus::stopped;
      case Wait::failed:
      case Wait::quiet: return severalLines ? LineReadStatus::severalLines : LineReadStatus::line;
      case Wait::input: break;
    }
    char buffer[4096];
    const ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n <= 0) return severalLines ? LineReadStatus::severalLines : LineReadStatus::line;
    const std::string_view more(buffer, static_cast<std::size_t>(n));
    severalLines = severalLines || more.find_first_not_of("\r\n") != std::string_view::npos;
  }
}

// Drops the last code point, continuation bytes included.
void dropLastCodePoint(std::string& text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
  if (!text.empty()) text.pop_back();
}

}  // namespace

LineRead readTerminalLine(int fd, std::size_t maxBytes, std::stop_token stop) {
  LineRead result;
  while (true) {
    switch (waitForInput(fd, -1, stop)) {
      case Wait::stopped: return {LineReadStatus::stopped, {}};
      case Wait::failed: return {LineReadStatus::failed, {}};
      case Wait::input:
      case Wait::quiet: break;
    }
    char buffer[4096];
    const ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n < 0) return {LineReadStatus::failed, {}};
    if (n == 0) {
      result.status = result.text.empty() ? LineReadStatus::endOfInput : LineReadStatus::line;
      return result;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (isLineBreak(c)) {
        const std::string_view rest(buffer + i + 1, static_cast<std::size_t>(n - i - 1));
        result.status = restOfPaste(fd, rest, stop);
        if (result.status != LineReadStatus::line) result.text.clear();
        return result;
      }
      if (c == kEndOfTransmission) {
        result.status = result.text.empty() ? LineReadStatus::endOfInput : LineReadStatus::line;
        return result;
      }
      if (c == kBackspace || c == kDelete) {
        dropLastCodePoint(result.text);
        continue;
      }
      result.text.push_back(c);
      if (result.text.size() > maxBytes) {
        // The rest of the line, and anything pasted with it, is read and dropped like the rest of a paste of
        // several lines, or it would be left for the shell.
        const std::string_view rest(buffer + i + 1, static_cast<std::size_t>(n - i - 1));
        if (restOfPaste(fd, rest, stop) == LineReadStatus::stopped) return {LineReadStatus::stopped, {}};
        return {LineReadStatus::tooLong, {}};
      }
    }
  }
}

}  // namespace dapplewick
