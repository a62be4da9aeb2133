#include "common/local_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace dapplewick {
namespace {

[[noreturn]] void throwSystem(int error) {
  throw LocalFileError(LocalFileError::Reason::system, std::generic_category().message(error));
}

[[noreturn]] void throwTooLarge(std::uintmax_t maxBytes) {
  throw LocalFileError(LocalFileError::Reason::tooLarge, "it is larger than " + std::to_string(maxBytes) + " bytes");
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

}  // namespace

std::optional<std::string> readLocalFile(const std::filesystem::path& file, std::uintmax_t maxBytes) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return std::nullopt;
    throwSystem(error);
  }
  const FdCloser closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) throwSystem(errno);
  if (!S_ISREG(info.st_mode)) throw LocalFileError(LocalFileError::Reason::notRegular, "it is not a regular file");
  if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) throwTooLarge(maxBytes);
  std::string content;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwSystem(errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    if (content.size() > maxBytes) throwTooLarge(maxBytes);
  }
  return content;
}

}  // namespace dapplewick
