#include "cli/terminal.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/text.hpp"

namespace dapplewick {

ThreadSignalMask::ThreadSignalMask(int how, int signal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(how, &set, &before_);
}

ThreadSignalMask::~ThreadSignalMask() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

bool isLineBreakByte(char c) { return c == '\n' || c == '\r'; }

struct HiddenTerminalInput::State {
  int fd = -1;
  std::mutex mutex;
  // Input was hidden at the start: only then is the terminal ours to hide again and to wait for.
  bool managed = false;
  // Hidden right now. Off between a stop and the resume that hides input again.
  bool active = false;
  // Destroyed or stopped: never hidden again.
  bool ended = false;
  // Counts the times input was hidden again after a stop: a line read across one starts anew.
  std::uint64_t generation = 0;
  termios saved{};
  termios hidden{};
  std::function<void()> prompt;

  // The terminal's foreground process group is ours, or the terminal is not our controlling one. A background
  // process that changes the terminal would change it under the shell, and is stopped by SIGTTOU for trying.
  bool inForeground() const {
    const pid_t foreground = ::tcgetpgrp(fd);
    return foreground < 0 || foreground == ::getpgrp();
  }

  // Puts the terminal back. What is still queued (the rest of a paste that was refused, say) would otherwise reach
  // the shell as commands. From the background the terminal is the shell's, which put its own settings back when
  // it took it: it is left alone. The shell may still take it between that check and the change: when its job is a
  // script that runs us, it sees the script stop on Ctrl-Z and takes the terminal back while we are putting it back.
  // SIGTTOU would then stop us inside the change, and the stop we are about to raise would follow at fg, stopping us
  // again while the script waits for us. So the change goes through even then (with SIGTTOU blocked, the kernel
  // lets a background process change its terminal), and the shell gets back the settings the prompt found, the ones
  // it gave the job.
  void restoreLocked() {
    if (!active) return;
    active = false;
    if (!inForeground()) return;
    const ThreadSignalMask unstoppable(SIG_BLOCK, SIGTTOU);
    ::tcflush(fd, TCIFLUSH);
    ::tcsetattr(fd, TCSANOW, &saved);
  }

  void end() {
    std::lock_guard lock(mutex);
    ended = true;
    restoreLocked();
  }

  void suspend() {
    std::lock_guard lock(mutex);
    restoreLocked();
  }

  // A shell that took the terminal back while we were stopped has echo on again, and the kernel echoes each key as
  // it arrives, not when it is read: input is hidden again at once, dropping what came meanwhile. Only from the
  // foreground; resumed in the background (bg), the terminal is the shell's and is left as it has it, and true
  // says the prompt waits for the foreground.
  bool resume() {
    std::lock_guard lock(mutex);
    if (!managed || ended) return false;
    if (!inForeground()) {
      active = false;
      return true;
    }
    ++generation;
    if (::tcsetattr(fd, TCSAFLUSH, &hidden) == 0) {
      active = true;
      if (prompt) prompt();
    }
    return false;
  }
};

HiddenTerminalInput::HiddenTerminalInput(int fd, std::stop_token stop, TerminalJobControl* jobs,
                                         std::function<void()> prompt)
    : state_(std::make_shared<State>()), stop_(std::move(stop)) {
  state_->fd = fd;
  state_->prompt = std::move(prompt);
  if (::isatty(fd) == 0 || ::tcgetattr(fd, &state_->saved) != 0) return;
  termios hidden = state_->saved;
  hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON);
  hidden.c_lflag |= ISIG;
  hidden.c_cc[VMIN] = 1;
  hidden.c_cc[VTIME] = 0;
  state_->hidden = hidden;
  if (::tcsetattr(fd, TCSANOW, &hidden) != 0) return;
  state_->managed = true;
  state_->active = true;
  restoreOnStop_.emplace(stop_, [state = state_] { state->end(); });
  if (jobs != nullptr) {
    jobs_ = jobs;
    const std::lock_guard lock(jobs->mutex_);
    jobs->active_ = state_;
  }
}

HiddenTerminalInput::~HiddenTerminalInput() {
  if (jobs_ != nullptr) {
    const std::lock_guard lock(jobs_->mutex_);
    jobs_->active_.reset();
  }
  restoreOnStop_.reset();
  state_->end();
}

std::shared_ptr<HiddenTerminalInput::State> TerminalJobControl::active() {
  const std::lock_guard lock(mutex_);
  return active_;
}

void TerminalJobControl::stopping() {
  if (const auto state = active()) state->suspend();
}

bool TerminalJobControl::resumed() {
  const auto state = active();
  return state != nullptr && state->resume();
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
// A short wait keeps a stop request, or a terminal given back after a stop, noticed promptly without a wake-up pipe.
constexpr int kTickMilliseconds = 100;

// Reads a terminal's input as it comes, one piece at a time, on behalf of one line.
class InputReader {
 public:
  enum class Kind { bytes, quiet, stopped, hungUp, failed };
  struct Piece {
    Kind kind = Kind::failed;
    std::string_view bytes;
    // Input was hidden again after a stop since the last piece: what came before it is to be dropped.
    bool restarted = false;
  };
  static Piece just(Kind kind) { return {kind, {}, false}; }

  InputReader(int fd, HiddenTerminalInput::State* state, const std::stop_token& stop)
      : fd_(fd), state_(state != nullptr && state->managed ? state : nullptr), stop_(stop) {
    if (state_ != nullptr) {
      const std::lock_guard lock(state_->mutex);
      generation_ = state_->generation;
    }
  }

  // Waits up to `milliseconds` (-1: forever) for input and reads what there is. While the terminal is not ours (a
  // stop put it back) nothing is read: it stays for the resume, which drops it.
  Piece next(int milliseconds) {
    while (true) {
      if (stop_.stop_requested()) return just(Kind::stopped);
      const int wait = milliseconds < 0 ? kTickMilliseconds : milliseconds;
      if (state_ != nullptr && !isActive()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        if (milliseconds >= 0) return just(Kind::quiet);
        continue;
      }
      pollfd entry{fd_, POLLIN, 0};
      const int ready = ::poll(&entry, 1, wait);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return just(Kind::failed);
      }
      if (ready == 0) {
        if (milliseconds >= 0) return just(Kind::quiet);
        continue;
      }
      Piece piece = state_ != nullptr ? readHidden(entry.revents) : readPlain();
      if (piece.kind != Kind::quiet) return piece;
    }
  }

 private:
  bool isActive() const {
    const std::lock_guard lock(state_->mutex);
    return state_->active;
  }

  // Reads under the prompt's lock what is queued, never more, so that a resume cannot wait on a read that blocks.
  // Bytes read here came after the last resume flushed the input: the piece that brings them says whether the line
  // was started before it.
  Piece readHidden(short events) {
    const std::lock_guard lock(state_->mutex);
    if (!state_->active) return just(Kind::quiet);
    int queued = 0;
    if (::ioctl(fd_, FIONREAD, &queued) != 0) return just(errno == EIO ? Kind::hungUp : Kind::failed);
    if (queued <= 0) return just((events & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? Kind::hungUp : Kind::quiet);
    Piece piece =
        finish(::read(fd_, buffer_, std::min(sizeof buffer_, static_cast<std::size_t>(queued))), just(Kind::bytes));
    if (piece.kind == Kind::bytes) {
      piece.restarted = state_->generation != generation_;
      generation_ = state_->generation;
    }
    return piece;
  }

  Piece readPlain() { return finish(::read(fd_, buffer_, sizeof buffer_), just(Kind::bytes)); }

  Piece finish(ssize_t n, Piece piece) {
    if (n > 0) {
      piece.bytes = std::string_view(buffer_, static_cast<std::size_t>(n));
      return piece;
    }
    // A terminal whose other end is gone reads as 0 bytes or EIO.
    if (n == 0 || errno == EIO) return just(Kind::hungUp);
    if (errno == EINTR || errno == EAGAIN) return just(Kind::quiet);
    return just(Kind::failed);
  }

  int fd_;
  HiddenTerminalInput::State* state_;
  const std::stop_token& stop_;
  std::uint64_t generation_ = 0;
  char buffer_[4096] = {};
};

// After the line break of the first line (or the byte that made a line too long): more text in the same read, or
// in the next read if it comes at once, is a paste of several lines, which is then read to its end (until the
// input falls quiet) and dropped, so that none of it is left for the shell. Line breaks alone, as a CR LF sent in
// two pieces, are no further line.
LineReadStatus restOfPaste(InputReader& reader, std::string_view rest) {
  bool severalLines = rest.find_first_not_of("\r\n") != std::string_view::npos;
  while (true) {
    const InputReader::Piece piece = reader.next(kPasteGapMilliseconds);
    if (piece.kind == InputReader::Kind::stopped) return LineReadStatus::stopped;
    if (piece.kind != InputReader::Kind::bytes)
      return severalLines ? LineReadStatus::severalLines : LineReadStatus::line;
    severalLines = severalLines || piece.bytes.find_first_not_of("\r\n") != std::string_view::npos;
  }
}

// Drops the last code point, continuation bytes included.
void dropLastCodePoint(std::string& text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
  if (!text.empty()) text.pop_back();
}

LineRead readLineFrom(int fd, std::size_t maxBytes, const std::stop_token& stop, HiddenTerminalInput::State* state) {
  InputReader reader(fd, state, stop);
  LineRead result;
  while (true) {
    const InputReader::Piece piece = reader.next(-1);
    switch (piece.kind) {
      case InputReader::Kind::stopped: return {LineReadStatus::stopped, {}};
      case InputReader::Kind::hungUp: return {LineReadStatus::hungUp, {}};
      case InputReader::Kind::failed: return {LineReadStatus::failed, {}};
      case InputReader::Kind::quiet: continue;
      case InputReader::Kind::bytes: break;
    }
    if (piece.restarted) result.text.clear();
    const std::string_view bytes = piece.bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (isLineBreakByte(c)) {
        result.status = restOfPaste(reader, bytes.substr(i + 1));
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
        if (restOfPaste(reader, bytes.substr(i + 1)) == LineReadStatus::stopped) return {LineReadStatus::stopped, {}};
        return {LineReadStatus::tooLong, {}};
      }
    }
  }
}

}  // namespace

LineRead HiddenTerminalInput::readLine(std::size_t maxBytes) {
  return readLineFrom(state_->fd, maxBytes, stop_, state_.get());
}

LineRead readTerminalLine(int fd, std::size_t maxBytes, std::stop_token stop) {
  return readLineFrom(fd, maxBytes, stop, nullptr);
}

}  // namespace dapplewick
