#include "support/e2e_harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace dapplewick::testing {

namespace {
// Port 1 on loopback: nothing listens there, so a connection is refused at once.
constexpr const char* kNowhere = "http://127.0.0.1:1";
}  // namespace

std::string readFileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

unsigned permissionsOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

Sandbox::Sandbox() : configDir_(root_.path() / "config"), home_(root_.path() / "home") {
  std::filesystem::create_directories(home_);
  env_["TZ"] = "UTC";
  // A request to anywhere but the loopback servers goes to a proxy on a closed loopback port and fails at once,
  // so no test can reach the internet through a service that ignores its configured origin.
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY"}) env_[name] = kNowhere;
  env_["NO_PROXY"] = "127.0.0.1,localhost,::1";
}

void Sandbox::setOrigins(const std::map<std::string, std::string>& origins) {
  std::filesystem::create_directories(configDir_);
  Json config = Json::object();
  config["origins"] = Json::object();
  for (const auto& [key, value] : origins) config["origins"][key] = value;
  std::ofstream(configDir_ / "config.json") << config.dump();
}

void Sandbox::saveCredential(const std::string& provider, const std::string& secret) {
  const RunResult result = run({"credential", "set", provider}, secret);
  ASSERT_EQ(result.exitCode, 0) << result.err;
}

namespace {

// Reads both pipes until the child closes them or the deadline passes; presses Ctrl-C at `interruptAt`.
void drain(pid_t pid, int outFd, int errFd, RunResult& result, std::chrono::steady_clock::time_point deadline,
           std::optional<std::chrono::steady_clock::time_point> interruptAt) {
  std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
  std::array<char, 65536> buffer{};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (interruptAt && std::chrono::steady_clock::now() >= *interruptAt) {
      ::kill(pid, SIGINT);
      interruptAt.reset();
    }
    if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buffer.data(), static_cast<std::size_t>(n));
      }
    }
  }
}

// The child's status once it has exited, or nothing at the deadline. A child that has closed its pipes may still
// be a moment away from exiting, so this waits rather than asking once.
std::optional<int> waitForExit(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

RunResult Sandbox::run(const std::vector<std::string>& args, const std::string& input) const {
  return execute(args, input, std::nullopt);
}

RunResult Sandbox::runInterrupted(const std::vector<std::string>& args,
                                  std::chrono::milliseconds interruptAfter) const {
  return execute(args, "", interruptAfter);
}

RunResult Sandbox::execute(const std::vector<std::string>& args, const std::string& input,
                           std::optional<std::chrono::milliseconds> interruptAfter) const {
  std::vector<std::string> envStrings = {"DAPPLEWICK_CONFIG_DIR=" + configDir_.string(), "HOME=" + home_.string(),
                                         "LANG=C"};
  if (env_.count("PATH") == 0) envStrings.push_back("PATH=/usr/bin:/bin");
  for (const auto& [name, value] : env_) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStrings = {DAPPLEWICK_BINARY};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // The binary starts with default signal handling and an empty signal mask, as from a shell.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const auto started = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + argStrings[0]);

  // The inputs are small, far below a pipe's capacity, so writing before reading cannot dead-lock.
  ::signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) (void)!::write(inPipe[1], input.data(), input.size());
  ::close(inPipe[1]);

  RunResult result;
  const auto deadline = started + std::chrono::seconds(60);
  std::optional<std::chrono::steady_clock::time_point> interruptAt;
  if (interruptAfter) interruptAt = started + *interruptAfter;
  drain(pid, outPipe[0], errPipe[0], result, deadline, interruptAt);
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  auto status = waitForExit(pid, deadline);
  if (!status) {
    ::kill(pid, SIGKILL);
    int killed = 0;
    ::waitpid(pid, &killed, 0);
    status = killed;
    ADD_FAILURE() << "dapplewick did not finish within 60 s";
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  result.exitCode = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
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

}  // namespace dapplewick::testing
