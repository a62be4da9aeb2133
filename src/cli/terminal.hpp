#pragma once

#include <signal.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace dapplewick {

class TerminalJobControl;

enum class LineReadStatus { line, endOfInput, hungUp, tooLong, severalLines, stopped, failed };

struct LineRead {
  LineReadStatus status = LineReadStatus::failed;
  std::string text;
};

// While alive, a terminal on `fd` neither echoes what is typed nor collects it into lines: a secret pasted there
// is not shown, and one longer than the terminal's line buffer (4095 bytes on Linux) is not silently cut. Ctrl-C
// still raises SIGINT. The old settings come back in the destructor, and also as soon as `stop` is requested,
// because an interrupted process may end before the destructor runs. Does nothing when `fd` is no terminal.
//
// With `jobs`, the signal watcher reaches this prompt on a stop and a resume (Ctrl-Z, then `fg`; or a SIGSTOP
// from outside, then SIGCONT): the terminal is put back before the process stops, and on resume, once the
// process is in the foreground again, input is hidden again, what was typed before is dropped, `prompt` is called
// to ask again, and the line starts anew. From the background the terminal is left alone, on the way out included;
// a shell that takes it back just as it is being put back gets the settings it gave the job, and the process is not
// stopped part way.
class HiddenTerminalInput {
 public:
  HiddenTerminalInput(int fd, std::stop_token stop, TerminalJobControl* jobs = nullptr,
                      std::function<void()> prompt = {});
  ~HiddenTerminalInput();
  HiddenTerminalInput(const HiddenTerminalInput&) = delete;
  HiddenTerminalInput& operator=(const HiddenTerminalInput&) = delete;

  // Reads one line in this mode, as readTerminalLine does; a line started before a stop and resume is dropped.
  LineRead readLine(std::size_t maxBytes);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::stop_token stop_;
  TerminalJobControl* jobs_ = nullptr;
  std::optional<std::stop_callback<std::function<void()>>> restoreOnStop_;
};

// Where the signal watcher finds the hidden prompt that is up, if any.
class TerminalJobControl {
 public:
  // The process is about to stop (SIGTSTP): the prompt's terminal is put back, its unread input dropped.
  void stopping();
  // The process goes on after a stop (SIGCONT): the prompt, in the foreground, hides input and asks again. True
  // when a prompt is up but the process goes on in the background (bg): the terminal stays as the shell has it and
  // nothing is read; the caller then stops the job again, as a background read of the terminal would, so that the
  // shell's fg resumes it.
  [[nodiscard]] bool resumed();

 private:
  friend class HiddenTerminalInput;
  std::shared_ptr<HiddenTerminalInput::State> active();

  std::mutex mutex_;
  std::shared_ptr<HiddenTerminalInput::State> active_;
};

// While alive, `signal` is blocked (SIG_BLOCK) or unblocked (SIG_UNBLOCK) in the calling thread alone, as `how`
// says; the thread's mask as it was comes back at the end.
class ThreadSignalMask {
 public:
  ThreadSignalMask(int how, int signal);
  ~ThreadSignalMask();
  ThreadSignalMask(const ThreadSignalMask&) = delete;
  ThreadSignalMask& operator=(const ThreadSignalMask&) = delete;

 private:
  sigset_t before_{};
};

// A byte that ends a line typed at the prompt or piped in: a line feed or a carriage return.
bool isLineBreakByte(char c);

// The width in columns of the terminal on `fd`; 0 when it is no terminal or does not say.
int terminalColumns(int fd);

// The most of `line` that fits on one line of a terminal `columns` wide (0: unknown, taken as 80) with a column to
// spare, cut between code points. A line that wraps is erased only in part when it is drawn again.
std::string_view fitTerminalLine(std::string_view line, int columns);

// Reads one line typed on a terminal in the mode above: ends at a line break (not kept) or Ctrl-D, honours
// backspace, and gives up at once when `stop` is requested. The end of input (a terminal hung up: nothing more to
// read, or EIO) is `hungUp` whatever was typed: only a line break or Ctrl-D ends a line. Text that follows the line
// break at once (a paste of several lines, which a line would cut) is `severalLines`: it is read to its end and
// dropped, and no text is returned. More than `maxBytes` is `tooLong`: the rest of that paste is read and dropped
// the same way. Every other control character is kept in the text.
LineRead readTerminalLine(int fd, std::size_t maxBytes, std::stop_token stop);

}  // namespace dapplewick
