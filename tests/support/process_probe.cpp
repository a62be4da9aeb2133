#include "support/process_probe.hpp"

#include <fstream>
#include <sstream>
#include <thread>

namespace dapplewick::testing {

std::filesystem::path writeScript(const std::filesystem::path& folder, const std::string& name,
                                  const std::string& body) {
  const auto path = folder / name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  std::filesystem::permissions(path, std::filesystem::perms(0755));
  return path;
}

std::optional<pid_t> readPidFile(const std::filesystem::path& file, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (true) {
    std::ifstream in(file);
    long value = 0;
    if (in >> value && value > 0) return static_cast<pid_t>(value);
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool signalPending(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("ShdPnd:")) return line.find_first_not_of('0', line.find('\t') + 1) != std::string::npos;
  }
  return false;
}

long long bytesRead(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  for (std::string line; std::getline(io, line);) {
    if (line.starts_with("rchar:")) return std::stoll(line.substr(6));
  }
  return -1;
}

std::optional<pid_t> firstChild(pid_t pid) {
  const std::string id = std::to_string(pid);
  std::ifstream children("/proc/" + id + "/task/" + id + "/children");
  long child = 0;
  if (children >> child && child > 0) return static_cast<pid_t>(child);
  return std::nullopt;
}

bool processGroupAlive(pid_t pgid) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    if (!std::getline(in, stat)) continue;
    // "pid (command) state ppid pgrp ...": the command may hold blanks and parentheses, so read after the last ")".
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    char state = 0;
    long parent = 0, group = 0;
    if (fields >> state >> parent >> group && group == pgid && state != 'Z' && state != 'X') return true;
  }
  return false;
}

bool waitForGroupGone(pid_t pgid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (processGroupAlive(pgid)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace dapplewick::testing
