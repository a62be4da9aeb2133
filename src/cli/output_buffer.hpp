#pragma once

#include <array>
#include <streambuf>

namespace dapplewick {

// A stream buffer that writes to a file descriptor and remembers why a write failed (a full disk, a closed
// terminal), so that the command line can say so instead of ending as if its output had arrived. A closed pipe is
// not seen here: SIGPIPE ends the process first, as it ends any filter.
class DescriptorOutputBuffer final : public std::streambuf {
 public:
  explicit DescriptorOutputBuffer(int fd);
  ~DescriptorOutputBuffer() override;
  DescriptorOutputBuffer(const DescriptorOutputBuffer&) = delete;
  DescriptorOutputBuffer& operator=(const DescriptorOutputBuffer&) = delete;

  // The errno of the first failed write, 0 while every write succeeded.
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Writes what is buffered; false on failure, when the buffered bytes are dropped (they cannot be delivered).
  bool drain();

  int fd_;
  int error_ = 0;
  std::array<char, 65536> buffer_{};
};

}  // namespace dapplewick
