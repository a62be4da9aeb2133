#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace dapplewick::testing {

// Writes an executable shell script: "#!/bin/sh", then `body`.
std::filesystem::path writeScript(const std::filesystem::path& folder, const std::string& name,
                                  const std::string& body);

// The number a script wrote to `file` (for example its own $$), waiting up to `limit` for it to appear.
std::optional<pid_t> readPidFile(const std::filesystem::path& file,
                                 std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

// True while a signal sent to the process (not to one of its threads) waits to be taken. Standard signals do not
// queue: a second one sent before the process took the first would be lost.
bool signalPending(pid_t pid);

// The bytes a process has read so far with read and its kin, from any file ("rchar" of /proc/PID/io); -1 when gone.
// A terminal passes on what is typed some moments after it is written, so an empty input queue does not yet mean
// that the reader took it: this count growing does.
long long bytesRead(pid_t pid);

// The first child a process has started and not yet reaped; nothing when it has none.
std::optional<pid_t> firstChild(pid_t pid);

// True while a process that has not exited belongs to process group `pgid`. Exited processes nobody reaped yet
// (zombies, which a container's init may leave for good) do not count.
bool processGroupAlive(pid_t pgid);
// Waits up to `limit` for the group to hold no running process; true when it is gone.
bool waitForGroupGone(pid_t pgid, std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

}  // namespace dapplewick::testing
