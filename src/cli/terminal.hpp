#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace dapplewick {

// While alive, a terminal on `fd` neither echoes what is typed nor collects it into lines: a secret pasted there
// is not shown, and one longer than the terminal's line buffer (4095 bytes on Linux) is not silently cut. Ctrl-C
// still raises SIGINT. The old settings come back in the destructor, and also as soon as `stop` is requested,
// because an interrupted process may end before the destructor runs. Does nothing when `fd` is no terminal.
class HiddenTerminalInput {
 public:
  HiddenTerminalInput(int fd, std::stop_token stop);
  ~HiddenTerminalInput();
  HiddenTerminalInput(const HiddenTerminalInput&) = delete;
  HiddenTerminalInput& operator=(const HiddenTerminalInput&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::optional<std::stop_callback<std::function<void()>>> restoreOnStop_;
};

// The width in columns of the terminal on `fd`; 0 when it is no terminal or does not say.
int terminalColumns(int fd);

// The most of `line` that fits on one line of a terminal `columns` wide (0: unknown, taken as 80) with a column to
// spare, cut between code points. A line that wraps is erased only in part when it is drawn again.
std::string_view fitTerminalLine(std::string_view line, int columns);

enum class LineReadStatus { line, endOfInput, tooLong, severalLines, stopped, failed };

struct LineRead {
  LineReadStatus status = LineReadStatus::failed;
  std::string text;
};

// Reads one line typed on a terminal in the mode above: ends at a line break (not kept) or Ctrl-D, honours
// backspace, and gives up at once when `stop` is requested. Text that follows the line break at once (a paste of
// several lines, which a line would cut) is `severalLines`: it is read to its end and dropped, and no text is
// returned. More than `maxBytes` is `tooLong`: the rest of that paste is read and dropped the same way. Every
// other control character is kept in the text.
LineRead readTerminalLine(int fd, std::size_t maxBytes, std::stop_token stop);

}  // namespace dapplewick
