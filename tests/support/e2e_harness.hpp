#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_document.hpp"

namespace dapplewick::testing {

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `contents` to `name` inside the folder and returns the file's path.
  std::filesystem::path write(std::string_view name, std::string_view contents) const;

 private:
  std::filesystem::path path_;
};

// The whole content of a file ("" when it cannot be read).
std::string readFileText(const std::filesystem::path& path);
// The permission bits of a file or folder (07777), failing the test when it cannot be examined.
unsigned permissionsOf(const std::filesystem::path& path);

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
  // The signal that ended the binary (0 when it exited), and whether that left a core dump; exitCode is then
  // 128 + signal, as a shell shows it.
  int signal = 0;
  bool coreDumped = false;
  // From start to exit.
  std::chrono::milliseconds elapsed{0};
  // User and system CPU time of the binary and its children, and its largest resident set.
  std::chrono::microseconds cpu{0};
  long peakKiB = 0;
};

// A configuration folder of its own (credentials and config.json) and a HOME of its own, so that the real
// binary never sees the developer's files, run with a clean environment. The environment's proxy variables send
// every request that is not for 127.0.0.1 or localhost to a closed port, so nothing leaves the machine.
class Sandbox {
 public:
  Sandbox();
  const std::filesystem::path& configDir() const { return configDir_; }
  const std::filesystem::path& home() const { return home_; }

  // Writes config.json with these origin overrides ({"zai.international": "http://127.0.0.1:1234"}) and, when
  // given, the CA bundle that makes a loopback https server's test certificate trusted.
  void setOrigins(const std::map<std::string, std::string>& origins,
                  const std::optional<std::string>& caBundle = std::nullopt);
  // Saves a credential through the binary itself (`dapplewick credential set PROVIDER`, secret on stdin from a
  // file, whatever setInput or setControllingTerminal gave the other runs).
  void saveCredential(const std::string& provider, const std::string& secret);
  // Extra environment for the binary (PATH, LLM_PROXY_BASE_URL, ...). TZ defaults to UTC.
  void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
  // Standard output goes to this file (such as /dev/full) instead of RunResult::out, which stays empty.
  void setOutput(std::filesystem::path file) { output_ = std::move(file); }
  // Standard input is this descriptor (such as a pseudo-terminal or a FIFO) instead of the `input` text of a run.
  void setInput(int fd) { inputFd_ = fd; }
  // Standard error is this descriptor (such as a pseudo-terminal) instead of RunResult::err, which stays empty.
  void setError(int fd) { errorFd_ = fd; }
  // The binary starts in a session of its own and opens this terminal by name as standard input (and standard
  // error when `asError`), which makes it the binary's controlling terminal, as a shell's job has one: Ctrl-C and
  // Ctrl-\ typed there raise signals for it, and closing the terminal hangs it up. Takes the place of setInput
  // (and of setError). A process alone in a new session is in an orphaned process group, where the kernel drops
  // a stop from the terminal (Ctrl-Z): stopping and resuming from a shell needs InteractiveShell.
  void setControllingTerminal(std::filesystem::path terminal, bool asError = false) {
    controllingTerminal_ = std::move(terminal);
    terminalIsError_ = asError;
  }
  // With setControllingTerminal: the session's leader is a shell without job control instead of the binary,
  // `/bin/sh -c 'trap : HUP; "$0" "$@"'`, which runs the binary as its child in the same process group. Closing
  // the terminal then signals the leader alone, which ignores it: the binary only finds its terminal closed. The
  // exit status is the shell's, the binary's own.
  void setSessionLeaderShell() { sessionLeaderShell_ = true; }
  // What a parent leaves behind, in bash's words (`trap '' CHLD`, `ulimit -v 32768`, `exec 0<&-`): the binary is
  // started through `/bin/bash -c 'PRELUDE; exec "$0" "$@"'`, which keeps the pid, ignored signals and limits.
  // Not with setSessionLeaderShell.
  void setStartedAfter(std::string prelude) { prelude_ = std::move(prelude); }
  // The binary's whole environment: the sandbox's folders, LANG=C, a PATH, the proxies and what setEnv added.
  std::vector<std::string> environment() const;

  // Runs the real dapplewick binary with `args`, feeding `input` on standard input. Gives up after 60 s.
  RunResult run(const std::vector<std::string>& args, const std::string& input = "") const;
  // The same, pressing Ctrl-C (SIGINT to the binary) once `interruptAfter` has passed.
  RunResult runInterrupted(const std::vector<std::string>& args, std::chrono::milliseconds interruptAfter) const;
  // The same, calling `whileRunning` with the binary's pid about every millisecond until it exits (to signal it).
  RunResult runWatched(const std::vector<std::string>& args, const std::function<void(pid_t)>& whileRunning) const;
  // Runs `dapplewick --json PROVIDER...`, checks that it exited 0 and parses the printed array.
  Json runJson(const std::vector<std::string>& providers) const;

 private:
  RunResult execute(const std::vector<std::string>& args, const std::string& input,
                    const std::function<void(pid_t)>& whileRunning) const;

  TempDir root_;
  std::filesystem::path configDir_;
  std::filesystem::path home_;
  std::map<std::string, std::string> env_;
  std::optional<std::filesystem::path> output_;
  std::optional<int> inputFd_;
  std::optional<int> errorFd_;
  std::optional<std::filesystem::path> controllingTerminal_;
  bool terminalIsError_ = false;
  bool sessionLeaderShell_ = false;
  std::string prelude_;
};

// How many times `part` stands in `text`, not overlapping.
std::size_t occurrences(std::string_view text, std::string_view part);

// A pseudo-terminal stands for the user's; what is written to its other end arrives as typed or pasted. Neither
// end is inherited by what the tests start, so closing the other end here is a hang-up for whoever reads.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int terminal() const { return terminal_; }
  // The terminal's name (/dev/pts/N), for a process to open it as its controlling terminal.
  std::filesystem::path name() const;
  // Bytes typed that nobody has read yet: what the shell would get.
  int queued() const;
  // The terminal's local modes (ECHO, ICANON, ISIG, ...); nothing when they cannot be read.
  std::optional<tcflag_t> localModes() const;
  // The binary is reading a hidden line (the terminal no longer collects lines).
  bool hidden() const;
  // Hidden and silent: the terminal neither collects lines (ICANON) nor shows what is typed (ECHO).
  bool hidesTyping() const;
  // The terminal collects lines and shows what is typed, as a shell leaves it for a command.
  bool inLineModeWithEcho() const;
  // Turns line mode and echo on, as a shell does when it takes the terminal back from a job.
  void setLineModeWithEcho() const;
  ssize_t type(std::string_view text) const;
  void setColumns(unsigned short columns) const;
  // What was written to the terminal since the last call: what the user saw.
  std::string shown() const;
  // Closes the other end, as when the terminal's window closes: the terminal is hung up.
  void hangUp();
  // The terminal's foreground process group, seen from the other end (as a terminal window sees it).
  pid_t foregroundGroup() const;

  // Runs `dapplewick ARGS` on this terminal, writing each piece once the binary has read the one before, so that
  // a paste can arrive in several reads. `done` counts the pieces written whole.
  RunResult run(const Sandbox& sandbox, const std::vector<std::string>& args, const std::vector<std::string>& pieces,
                std::size_t& done) const;

 private:
  int master_ = -1;
  int terminal_ = -1;
};

// An interactive shell with job control in a session of its own, on a pseudo-terminal that is its controlling
// terminal, with the sandbox's environment: what a user types at, how a job is stopped with Ctrl-Z and resumed with
// fg or bg. bash runs as `bash --norc --noprofile --noediting -i`: without line editing, the terminal is in line
// mode with echo at its prompt, and bash puts its own modes back when a job stops. dash (`dash -i`) has no line
// editing and puts nothing back: a job that stops leaves the terminal as it had it. Every wait has a deadline; on
// one the test fails with what the terminal showed.
class InteractiveShell {
 public:
  enum class Kind { bash, dash };
  // The shell's prompt: text no command prints.
  static constexpr std::string_view kPrompt = "<dapplewick-test-shell>$ ";

  explicit InteractiveShell(const Sandbox& sandbox, Kind kind = Kind::bash);
  // Exits the shell; its process group is killed when it is still there after a while, and it is reaped.
  ~InteractiveShell();
  InteractiveShell(const InteractiveShell&) = delete;
  InteractiveShell& operator=(const InteractiveShell&) = delete;

  const PseudoTerminal& terminal() const { return terminal_; }
  pid_t pid() const { return pid_; }
  // Types `text` whole (failing the test when the terminal takes none of it for 5 s).
  void type(std::string_view text);
  // Closes the terminal's other end, as when its window closes: the shell and its jobs are hung up.
  void hangUp() { terminal_.hangUp(); }
  // Everything the terminal showed so far.
  const std::string& shown();
  // How many times `text` was shown so far.
  std::size_t timesShown(std::string_view text);
  // Waits until `text` was shown `times` times in all; false, with a failure naming it and what was shown, after
  // `limit`.
  bool waitForShown(std::string_view text, std::size_t times = 1,
                    std::chrono::milliseconds limit = std::chrono::seconds(15));
  // Waits until `condition` holds, reading what is shown meanwhile; false after `limit`, with a failure saying
  // `what` and what was shown.
  bool waitUntil(const std::function<bool()>& condition, std::string_view what,
                 std::chrono::milliseconds limit = std::chrono::seconds(15));

 private:
  PseudoTerminal terminal_;
  pid_t pid_ = -1;
  std::string shown_;
};

// The credential saved for `provider` in the sandbox ("" when none).
std::string savedCredential(const Sandbox& sandbox, const std::string& provider);

// The state letter of a process in /proc/PID/stat ('T' stopped, 'Z' exited, '?' gone).
char processState(pid_t pid);

}  // namespace dapplewick::testing
