#include "support/e2e_harness.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

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
  const RunResult result = run({"credential", "set", provider}, secret);
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

RunResult Sandbox::execute(const std::vector<std::string>& args, const std::string& input,
                           const std::function<void(pid_t)>& whileRunning) const {
  std::vector<std::string> envStrings = {"DAPPLEWICK_CONFIG_DIR=" + configDir_.string(), "HOME=" + home_.string(),
                                         "LANG=C"};
  if (env_.count("PATH") == 0) envStrings.push_back("PATH=/usr/bin:/bin");
  for (const auto& [name, value] : env_) envStrings.push_back(name + "=" + value);
  std::vector<std::string> argStrings = {DAPPLEWICK_BINARY};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  const auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (auto& text : strings) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
  };
  auto envp = pointers(envStrings);
  auto argv = pointers(argStrings);

  // Standard input, output and error are files beside the configuration folder: no pipe can fill up or dead-lock.
  const auto in = root_.write("stdin", input);
  const auto out = output_.value_or(root_.path() / "stdout");
  const auto err = root_.path() / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inputFd_) {
    posix_spawn_file_actions_adddup2(&actions, *inputFd_, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (errorFd_) {
    posix_spawn_file_actions_adddup2(&actions, *errorFd_, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
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
  if (rc != 0) throw std::runtime_error("cannot start " + argStrings[0]);

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
  const auto microseconds = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  result.cpu = microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
  result.peakKiB = usage.ru_maxrss;
  result.out = output_ ? "" : readFileText(out);
  result.err = errorFd_ ? "" : readFileText(err);
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
