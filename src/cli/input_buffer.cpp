#include "cli/input_buffer.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace dapplewick {

DescriptorInputBuffer::DescriptorInputBuffer(int fd) : fd_(fd) {}

DescriptorInputBuffer::int_type DescriptorInputBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  while (error_ == 0) {
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n > 0) {
      setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
      return traits_type::to_int_type(*gptr());
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    // A parent may have left the descriptor non-blocking: wait for what it brings instead of failing.
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd_, POLLIN, 0};
      (void)::poll(&ready, 1, -1);
      continue;
    }
    error_ = errno;
  }
  return traits_type::eof();
}

}  // namespace dapplewick
