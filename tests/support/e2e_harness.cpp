#include "support/e2e_harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace dapplewick::testing {

Sandbox::Sandbox() : configDir_(root_.path() / "config"), home_(root_.path() / "home") {
  std::filesystem::create_directories(home_);
  env_["TZ"] = "UTC";
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

// Reads both pipes until the child closes them or the deadline passes.
void drain(int outFd, int errFd, RunResult& result, std::chrono::steady_clock::time_point deadline) {
  std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
  std::array<char, 65536> buffer{};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
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

}  // namespace

RunResult Sandbox::run(const std::vector<std::string>& args, const std::string& input) const {
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
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + argStrings[0]);

  // The inputs are small, far below a pipe's capacity, so writing before reading cannot dead-lock.
  ::signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) (void)!::write(inPipe[1], input.data(), input.size());
  ::close(inPipe[1]);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  drain(outPipe[0], errPipe[0], result, deadline);
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  // The pipes close a moment before the process can be reaped, so its exit is waited for, up to the same limit.
  int status = 0;
  pid_t reaped = 0;
  while ((reaped = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (reaped == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "dapplewick did not finish within 60 s";
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
