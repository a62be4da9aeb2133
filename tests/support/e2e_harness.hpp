#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
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
  // Saves a credential through the binary itself (`dapplewick credential set PROVIDER`, secret on stdin).
  void saveCredential(const std::string& provider, const std::string& secret);
  // Extra environment for the binary (PATH, LLM_PROXY_BASE_URL, ...). TZ defaults to UTC.
  void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
  // Standard output goes to this file (such as /dev/full) instead of RunResult::out, which stays empty.
  void setOutput(std::filesystem::path file) { output_ = std::move(file); }
  // Standard input is this descriptor (such as a pseudo-terminal or a FIFO) instead of the `input` text of a run.
  void setInput(int fd) { inputFd_ = fd; }
  // Standard error is this descriptor (such as a pseudo-terminal) instead of RunResult::err, which stays empty.
  void setError(int fd) { errorFd_ = fd; }

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
};

}  // namespace dapplewick::testing
