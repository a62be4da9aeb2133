#include "support/e2e_harness.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace dapplewick::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dapplewick-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(std::string_view name, std::string_view contents) const {
  const auto file = path_ / name;
  if (!(std::ofstream(file, std::ios::binary) << contents)) throw std::runtime_error("cannot write " + file.string());
  return file;
}

std::string readFileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

unsigned permissionsOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

Sandbox::Sandbox() : configDir_(root_.path() / "config"), home_(root_.path() / "home") {
  std::filesystem::create_directories(home_);
  env_["TZ"] = "UTC";
  // A request to anywhere but the loopback servers goes to a proxy on a closed loopback port (nothing listens on
  // port 1) and fails at once, so no test can reach the internet through a service that ignores its origin.
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY"}) env_[name] = "http://127.0.0.1:1";
  env_["NO_PROXY"] = "127.0.0.1,localhost,::1";
}

void Sandbox::setOrigins(const std::map<std::string, std::string>& origins,
                         const std::optional<std::string>& caBundle) {
  std::filesystem::create_directories(configDir_);
  Json config = Json::object();
  if (!origins.empty()) config["origins"] = origins;
  if (caBundle) config["caBundle"] = *caBundle;
  std::ofstream(configDir_ / "config.json") << config.dump();
  // Private whatever the umask: a folder or file others can write to is refused.
  std::filesystem::permissions(configDir_, std::filesystem::perms::owner_all);
  std::filesystem::permissions(configDir_ / "config.json",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

void Sandbox::saveCredential(const std::string& provider, const std::string& secret) {
  // From a file, whatever input the runs around it are given.
  const auto terminal = std::exchange(controllingTerminal_, std::nullopt);
  const auto input = std::exchange(inputFd_, std::nullopt);
  const RunResult result = run({"credential", "set", provider}, secret);
  controllingTerminal_ = terminal;
  inputFd_ = input;
  ASSERT_EQ(result.exitCode, 0) << result.err;
}

RunResult Sandbox::run(const std::vector<std::string>& args, const std::string& input) const {
  return execute(args, input, {});
}

RunResult Sandbox::runInterrupted(const std::vector<std::string>& args,
                                  std::chrono::milliseconds interruptAfter) const {
  const auto start = std::chrono::steady_clock::now();
  bool sent = false;
  return runWatched(args, [&](pid_t pid) {
    if (!sent && std::chrono::steady_clock::now() - start >= interruptAfter) sent = ::kill(pid, SIGINT) == 0;
  });
}

RunResult Sandbox::runWatched(const std::vector<std::string>& args,
                              const std::function<void(pid_t)>& whileRunning) const {
  return execute(args, "", whileRunning);
}

std::vector<std::string> Sandbox::environment() const {
  std::vector<std::string> envStrings = {"DAPPLEWICK_CONFIG_DIR=" + configDir_.string(), "HOME=" + home_.string(),
                                         "LANG=C"};
  if (env_.count("PATH") == 0) envStrings.push_back("PATH=/usr/bin:/bin");
  for (const auto& [name, value] : env_) envStrings.push_back(name + "=" + value);
  return envStrings;
}

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> list;
  for (auto& text : strings) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

// Default signal handling and an empty signal mask, as from a shell; with `newSession`, in a session of its own.
void initSpawnAttributes(posix_spawnattr_t& attributes, bool newSession) {
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  // glibc makes the new session before the file actions, so a terminal they open becomes the controlling one.
  posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                           (newSession ? POSIX_SPAWN_SETSID : 0)));
}

}  // namespace

RunResult Sandbox::execute(const std::vector<std::string>& args, const std::string& input,
                           const std::function<void(pid_t)>& whileRunning) const {
  std::vector<std::string> envStrings = environment();
  std::vector<std::string> argStrings = {DAPPLEWICK_BINARY};
  if (controllingTerminal_ && sessionLeaderShell_) {
    argStrings = {"/bin/sh", "-c", "trap : HUP; \"$0\" \"$@\"", DAPPLEWICK_BINARY};
  } else if (!prelude_.empty()) {
    // bash, not dash: dash's `trap '' CHLD` leaves SIGCHLD as it was.
    argStrings = {"/bin/bash", "-c", prelude_ + "\nexec \"$0\" \"$@\"", DAPPLEWICK_BINARY};
  }
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  auto envp = pointersTo(envStrings);
  auto argv = pointersTo(argStrings);

  // Standard input, output and error are files beside the configuration folder: no pipe can fill up or dead-lock.
  const auto in = root_.write("stdin", input);
  const auto out = output_.value_or(root_.path() / "stdout");
  const auto err = root_.path() / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (controllingTerminal_) {
    // Opened by name, without O_NOCTTY, by a session leader with no terminal yet: it becomes the controlling one.
    posix_spawn_file_actions_addopen(&actions, 0, controllingTerminal_->c_str(), O_RDWR, 0);
  } else if (inputFd_) {
    posix_spawn_file_actions_adddup2(&actions, *inputFd_, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const bool errorIsTerminal = controllingTerminal_ && terminalIsError_;
  if (errorIsTerminal) {
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
  } else if (errorFd_ && !controllingTerminal_) {
    posix_spawn_file_actions_adddup2(&actions, *errorFd_, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  posix_spawnattr_t attributes;
  initSpawnAttributes(attributes, controllingTerminal_.has_value());
  const auto started = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) throw std::runtime_error("cannot start " + argStrings[0] + ": " + std::generic_category().message(rc));

  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, WNOHANG, &usage) != pid) {
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (whileRunning) whileRunning(pid);
    if (elapsed >= std::chrono::seconds(60)) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      ADD_FAILURE() << "dapplewick did not finish within 60 s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  RunResult result;
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.coreDumped = WIFSIGNALED(status) && WCOREDUMP(status);
  const auto microseconds = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  result.cpu = microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
  result.peakKiB = usage.ru_maxrss;
  result.out = output_ ? "" : readFileText(out);
  result.err = errorIsTerminal || (errorFd_ && !controllingTerminal_) ? "" : readFileText(err);
  return result;
}

Json Sandbox::runJson(const std::vector<std::string>& providers) const {
  std::vector<std::string> args = {"--json"};
  args.insert(args.end(), providers.begin(), providers.end());
  const RunResult result = run(args);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  auto parsed = parseJsonOrNothing(result.out);
  if (!parsed || !parsed->is_array()) {
    ADD_FAILURE() << "not a JSON array: " << result.out << "\nstderr: " << result.err;
    return Json::array();
  }
  return *parsed;
}

std::size_t occurrences(std::string_view text, std::string_view part) {
  std::size_t times = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) ++times;
  return times;
}

PseudoTerminal::PseudoTerminal() {
  EXPECT_EQ(::openpty(&master_, &terminal_, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(::fcntl(master_, F_SETFL, O_NONBLOCK), 0);
  // A copy of the other end in the binary or the shell would keep the terminal from hanging up.
  EXPECT_EQ(::fcntl(master_, F_SETFD, FD_CLOEXEC), 0);
  EXPECT_EQ(::fcntl(terminal_, F_SETFD, FD_CLOEXEC), 0);
}

PseudoTerminal::~PseudoTerminal() {
  ::close(terminal_);
  if (master_ >= 0) ::close(master_);
}

std::filesystem::path PseudoTerminal::name() const {
  std::array<char, 64> buffer{};
  EXPECT_EQ(::ttyname_r(terminal_, buffer.data(), buffer.size()), 0);
  return buffer.data();
}

int PseudoTerminal::queued() const {
  int bytes = 0;
  return ::ioctl(terminal_, FIONREAD, &bytes) == 0 ? bytes : -1;
}

std::optional<tcflag_t> PseudoTerminal::localModes() const {
  termios settings{};
  if (::tcgetattr(terminal_, &settings) != 0) return std::nullopt;
  return settings.c_lflag;
}

bool PseudoTerminal::hidden() const {
  const auto modes = localModes();
  return modes && (*modes & ICANON) == 0;
}

bool PseudoTerminal::hidesTyping() const {
  const auto modes = localModes();
  return modes && (*modes & (ICANON | ECHO)) == 0;
}

bool PseudoTerminal::inLineModeWithEcho() const {
  const auto modes = localModes();
  return modes && (*modes & (ICANON | ECHO)) == (ICANON | ECHO);
}

void PseudoTerminal::setLineModeWithEcho() const {
  termios settings{};
  ASSERT_EQ(::tcgetattr(terminal_, &settings), 0);
  settings.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(::tcsetattr(terminal_, TCSANOW, &settings), 0);
}

ssize_t PseudoTerminal::type(std::string_view text) const { return ::write(master_, text.data(), text.size()); }

void PseudoTerminal::setColumns(unsigned short columns) const {
  const winsize size{.ws_row = 24, .ws_col = columns, .ws_xpixel = 0, .ws_ypixel = 0};
  EXPECT_EQ(::ioctl(terminal_, TIOCSWINSZ, &size), 0);
}

std::string PseudoTerminal::shown() const {
  std::string text;
  std::array<char, 4096> buffer{};
  ssize_t n = 0;
  while ((n = ::read(master_, buffer.data(), buffer.size())) > 0)
    text.append(buffer.data(), static_cast<std::size_t>(n));
  return text;
}

void PseudoTerminal::hangUp() {
  ::close(master_);
  master_ = -1;
}

pid_t PseudoTerminal::foregroundGroup() const {
  pid_t group = -1;
  return ::ioctl(master_, TIOCGPGRP, &group) == 0 ? group : -1;
}

RunResult PseudoTerminal::run(const Sandbox& sandbox, const std::vector<std::string>& args,
                              const std::vector<std::string>& pieces, std::size_t& done) const {
  done = 0;
  std::size_t written = 0;
  return sandbox.runWatched(args, [&](pid_t) {
    if (!hidden() || done == pieces.size() || (done > 0 && written == 0 && queued() != 0)) return;
    const ssize_t n = type(std::string_view(pieces[done]).substr(written));
    if (n > 0) written += static_cast<std::size_t>(n);
    if (written == pieces[done].size()) ++done, written = 0;
  });
}

InteractiveShell::InteractiveShell(const Sandbox& sandbox, Kind kind) {
  terminal_.setColumns(200);
  std::vector<std::string> envStrings = sandbox.environment();
  envStrings.push_back("PS1=" + std::string(kPrompt));
  envStrings.emplace_back("TERM=dumb");
  envStrings.emplace_back("HISTFILE=/dev/null");
  std::vector<std::string> argStrings =
      kind == Kind::bash ? std::vector<std::string>{"/bin/bash", "--norc", "--noprofile", "--noediting", "-i"}
                         : std::vector<std::string>{"/bin/dash", "-i"};
  auto envp = pointersTo(envStrings);
  auto argv = pointersTo(argStrings);
  const std::string name = terminal_.name().string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, name.c_str(), O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, 0, 1);
  posix_spawn_file_actions_adddup2(&actions, 0, 2);
  posix_spawnattr_t attributes;
  initSpawnAttributes(attributes, true);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) throw std::runtime_error("cannot start " + argStrings[0] + ": " + std::generic_category().message(rc));
}

InteractiveShell::~InteractiveShell() {
  int status = 0;
  const auto reaped = [&](std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= end) return false;
      shown();  // a shell writing to a full terminal would never get to exit
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  };
  // A second exit ends a shell that warned of stopped jobs, and hangs those jobs up.
  for (int attempt = 0; attempt < 2; ++attempt) {
    terminal_.type("\nexit\n");
    if (reaped(std::chrono::seconds(3))) return;
  }
  ADD_FAILURE() << "the shell did not exit; shown:\n" << shown_;
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

void InteractiveShell::type(std::string_view text) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!text.empty()) {
    const ssize_t n = terminal_.type(text);
    if (n > 0) {
      text.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (std::chrono::steady_clock::now() >= end) {
      ADD_FAILURE() << "the terminal took no more typing for 5 s; shown:\n" << shown();
      return;
    }
    shown();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

const std::string& InteractiveShell::shown() {
  shown_ += terminal_.shown();
  return shown_;
}

std::size_t InteractiveShell::timesShown(std::string_view text) { return occurrences(shown(), text); }

bool InteractiveShell::waitForShown(std::string_view text, std::size_t times, std::chrono::milliseconds limit) {
  std::ostringstream what;
  what << "\"" << text << "\" shown " << times << " time(s)";
  return waitUntil([&] { return timesShown(text) >= times; }, what.str(), limit);
}

bool InteractiveShell::waitUntil(const std::function<bool()>& condition, std::string_view what,
                                 std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) {
      ADD_FAILURE() << "no " << what << " within " << limit.count() << " ms; the terminal showed:\n" << shown();
      return false;
    }
    shown();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string savedCredential(const Sandbox& sandbox, const std::string& provider) {
  const auto stored = parseJsonOrNothing(readFileText(sandbox.configDir() / "credentials.json"));
  if (!stored || !(*stored)["items"].contains(provider)) return "";
  return (*stored)["items"][provider].get<std::string>();
}

char processState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return '?';
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

}  // namespace dapplewick::testing
