#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/keychain.hpp"

namespace dapplewick {

// The credential store on disk: credentials.json in the configuration folder,
//   {"service": "com.dapplewick.credentials", "items": {"<raw value>": "<credential>", ...}}
//
// The folders a write creates are made 0700, never inside another user's folder (root's own folders are fine); an
// existing folder keeps its mode, and the file is always 0600. Every operation, reads included, first refuses a
// location others could have changed (see untrustedLocation in model/trusted_location.hpp); a missing folder is
// never created by a read. Every write replaces the file atomically (a private temporary file in the same folder,
// flushed to disk, renamed over the old one, then the folder flushed), so a crash leaves either the old or the new
// file, never a torn one; a temporary file a killed write left behind is removed by the next write. Writers in
// different processes take an advisory lock on a 0600 file beside it (.credentials.json.lock, or named so after a
// linked file), so two concurrent saves cannot lose each other's update, and no other user can open it to make a write
// wait. When credentials.json is a symbolic link, the lock, the write and the cleaning go to the folder of the file it
// leads to, and the link stays.
//
// A damaged file (not JSON, wrong shape, another service name, a credential that is not a string) makes every
// operation throw KeychainError; save and remove never replace a damaged file, so nothing the user may still want
// is lost. Entries for keys this build does not know (a newer version's provider) are kept through writes and
// otherwise ignored. No error text holds a credential or any other part of the file's content.
//
// Every operation reads the file afresh, since another process may have changed it. Thread-safe.
class FileKeychain final : public KeychainService {
 public:
  // Files larger than this are refused as damaged rather than read into memory.
  static constexpr std::size_t kMaxFileBytes = std::size_t{4} * 1024 * 1024;
  static constexpr std::string_view kFileName = "credentials.json";

  explicit FileKeychain(std::filesystem::path folder);

  void save(Provider provider, std::string_view credential) override;
  std::optional<std::string> load(Provider provider) const override;
  void remove(Provider provider) override;
  std::vector<Provider> savedProviders() const override;

  // A warning for the user when the group or other users can read the file, which is read all the same; nothing when
  // the file is private or absent.
  std::optional<std::string> exposureWarning() const;

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path filePath() const { return folder_ / kFileName; }

 private:
  mutable std::mutex mutex_;
  std::filesystem::path folder_;
};

}  // namespace dapplewick
