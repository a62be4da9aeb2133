#include "cli/output_buffer.hpp"

#include <unistd.h>

#include <cerrno>

namespace dapplewick {

DescriptorOutputBuffer::DescriptorOutputBuffer(int fd) : fd_(fd) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

DescriptorOutputBuffer::~DescriptorOutputBuffer() { drain(); }

bool DescriptorOutputBuffer::drain() {
  const char* next = pbase();
  const char* const end = pptr();
  bool written = true;
  while (next < end) {
    const ssize_t n = ::write(fd_, next, static_cast<std::size_t>(end - next));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (error_ == 0) error_ = n < 0 ? errno : EIO;
      written = false;
      break;
    }
    next += n;
  }
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return written;
}

DescriptorOutputBuffer::int_type DescriptorOutputBuffer::overflow(int_type c) {
  if (!drain()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int DescriptorOutputBuffer::sync() { return drain() ? 0 : -1; }

}  // namespace dapplewick
