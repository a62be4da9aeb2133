#pragma once

#include <filesystem>
#include <string_view>

namespace dapplewick {

// A fresh directory under the system's temporary folder, removed with everything in it on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `contents` to `name` inside the directory and returns the file's path.
  std::filesystem::path write(std::string_view name, std::string_view contents) const;

 private:
  std::filesystem::path path_;
};

}  // namespace dapplewick
