#pragma once

#include <array>
#include <streambuf>

namespace dapplewick {

// A stream buffer that reads a file descriptor and remembers why a read failed (a connection reset, a folder or a
// closed descriptor as standard input). std::cin reports a read error as the end of the input, and a secret cut
// short by one would then be saved as if it were whole.
class DescriptorInputBuffer final : public std::streambuf {
 public:
  explicit DescriptorInputBuffer(int fd);
  DescriptorInputBuffer(const DescriptorInputBuffer&) = delete;
  DescriptorInputBuffer& operator=(const DescriptorInputBuffer&) = delete;

  // The errno of the failed read, 0 while every read succeeded. Nothing is read after a failure.
  int error() const { return error_; }

 protected:
  int_type underflow() override;

 private:
  int fd_;
  int error_ = 0;
  std::array<char, 65536> buffer_{};
};

}  // namespace dapplewick
