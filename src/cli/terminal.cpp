#include "cli/terminal.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <mutex>

namespace dapplewick {

struct HiddenTerminalInput::State {
  int fd = -1;
  std::mutex mutex;
  bool active = false;
  termios saved{};

  void restore() {
    std::lock_guard lock(mutex);
    if (!active) return;
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

namespace {

constexpr char kEndOfTransmission = 0x04;  // Ctrl-D
constexpr char kBackspace = 0x08;
constexpr char kDelete = 0x7F;

// Drops the last code point, continuation bytes included.
void dropLastCodePoint(std::string& text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
  if (!text.empty()) text.pop_back();
}

}  // namespace

LineRead readTerminalLine(int fd, std::size_t maxBytes, std::stop_token stop) {
  LineRead result;
  while (true) {
    if (stop.stop_requested()) return {LineReadStatus::stopped, {}};
    pollfd entry{fd, POLLIN, 0};
    // A short wait keeps a stop request noticed promptly without a wake-up pipe.
    const int ready = ::poll(&entry, 1, 100);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return {LineReadStatus::failed, {}};
    }
    if (ready == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return {LineReadStatus::failed, {}};
    }
    if (n == 0) {
      result.status = result.text.empty() ? LineReadStatus::endOfInput : LineReadStatus::line;
      return result;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c == '\n' || c == '\r' || c == kEndOfTransmission) {
        result.status =
            (c == kEndOfTransmission && result.text.empty()) ? LineReadStatus::endOfInput : LineReadStatus::line;
        return result;
      }
      if (c == kBackspace || c == kDelete) {
        dropLastCodePoint(result.text);
        continue;
      }
      result.text.push_back(c);
      if (result.text.size() > maxBytes) return {LineReadStatus::tooLong, {}};
    }
  }
}

}  // namespace dapplewick
