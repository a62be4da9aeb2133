#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace dapplewick {

// Why a local file was not read. `message` is short and names no path: callers add the file they meant.
class LocalFileError : public std::runtime_error {
 public:
  enum class Reason { notRegular, tooLarge, system };
  LocalFileError(Reason reason, const std::string& message) : std::runtime_error(message), reason_(reason) {}
  Reason reason() const { return reason_; }

 private:
  Reason reason_;
};

// The bytes of a regular file of at most `maxBytes`, or nothing when the file does not exist. The file is opened
// without blocking, so a FIFO or a device is refused at once instead of hanging the reader, and reading stops as
// soon as the file outgrows the bound (it may grow after it was measured).
std::optional<std::string> readLocalFile(const std::filesystem::path& file, std::uintmax_t maxBytes);

}  // namespace dapplewick
