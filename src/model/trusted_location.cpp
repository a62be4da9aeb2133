#include "model/trusted_location.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <system_error>

namespace dapplewick {

namespace {

// What a refusal says of a folder and of a file: how it is named, what Dapplewick keeps to, and the chmod that
// mends a mode that lets others write.
struct Wording {
  std::string_view noun;
  std::string_view ownOnly;
  std::string_view unwritableOnly;
  std::string_view privateMode;
};

constexpr Wording kFolderWording{"the folder ", "keeps credentials only in a folder of your own",
                                 "keeps credentials only in a folder no one else can write to", "700"};
constexpr Wording kFileWording{"the file ", "reads only files of your own", "reads only files no one else can write to",
                               "600"};

// The user who owns `uid`, by name when the system knows one.
std::string ownerName(uid_t uid) {
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(hint > 0 ? static_cast<std::size_t>(hint) : std::size_t{16384}, '\0');
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return entry.pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace

std::optional<std::string_view> othersWhoCan(mode_t mode, Access access) {
  // Indexed by the group's bit, then the other users' bit.
  static constexpr std::array<std::string_view, 4> kWho{"", "other users", "the group", "the group and other users"};
  const mode_t groupBit = access == Access::read ? S_IRGRP : S_IWGRP;
  const mode_t otherBit = access == Access::read ? S_IROTH : S_IWOTH;
  const std::size_t index = ((mode & groupBit) != 0 ? 2U : 0U) + ((mode & otherBit) != 0 ? 1U : 0U);
  if (index == 0) return std::nullopt;
  return kWho[index];
}

std::filesystem::path resolveLinks(std::filesystem::path file) {
  constexpr int kMaxLinks = 40;
  for (int i = 0; i < kMaxLinks; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(file, ec)) break;
    const auto target = std::filesystem::read_symlink(file, ec);
    if (ec) break;
    file = (target.is_absolute() ? target : file.parent_path() / target).lexically_normal();
  }
  return file;
}

// Another user's folder or file is named with its owner: no chmod of ours would mend it.
std::optional<std::string> untrustedPath(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode))) return std::nullopt;
  const Wording& wording = S_ISDIR(info.st_mode) ? kFolderWording : kFileWording;
  const std::string named = std::string(wording.noun) + path.string();
  if (info.st_uid != ::geteuid()) {
    return named + " belongs to another user (" + ownerName(info.st_uid) + "); Dapplewick " +
           std::string(wording.ownOnly);
  }
  const auto who = othersWhoCan(info.st_mode, Access::write);
  if (!who) return std::nullopt;
  return std::string(*who) + " can write to " + named + "; Dapplewick " + std::string(wording.unwritableOnly) +
         " (chmod " + std::string(wording.privateMode) + " " + path.string() + ")";
}

std::optional<std::string> foreignParent(const std::filesystem::path& parent) {
  struct stat info {};
  if (::stat(parent.c_str(), &info) != 0 || info.st_uid == ::geteuid() || info.st_uid == 0) return std::nullopt;
  return "the folder " + parent.string() + " belongs to another user (" + ownerName(info.st_uid) +
         "); Dapplewick makes no folder inside another user's folder";
}

std::optional<std::string> untrustedLocation(const std::filesystem::path& file) {
  const auto target = resolveLinks(file);
  for (const auto& path : {file.parent_path(), target.parent_path(), target}) {
    if (auto why = untrustedPath(path)) return why;
  }
  return std::nullopt;
}

}  // namespace dapplewick
