#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace dapplewick {

// Who besides the owner a mode lets read, or write to, a folder or file.
enum class Access { read, write };

// "the group", "other users" or "the group and other users", as `mode` allows `access` to them; nothing when it
// allows it to neither.
std::optional<std::string_view> othersWhoCan(mode_t mode, Access access);

// The file a link named `file` leads to (`file` itself when it is no link), so that a write replaces the real file
// and the link stays. Links are followed a bounded number of times; a loop is left to the operation that follows
// to report.
std::filesystem::path resolveLinks(std::filesystem::path file);

// Why the folder or file at `path` must not be trusted: it belongs to another user, or the group or other users
// can write to it. Nothing when it is safe, absent, neither a folder nor a regular file, or cannot be examined
// (the read that follows reports that better).
std::optional<std::string> untrustedPath(const std::filesystem::path& path);

// Why no folder may be made inside the existing folder `parent`: it belongs to another user, who is not root (root's
// own folders, such as /tmp, are fine). A folder made there would be ours in another user's place, and could lock
// them out of it (root with a user's HOME making ~/.config). Nothing when it is fine or cannot be examined.
std::optional<std::string> foreignParent(const std::filesystem::path& parent);

// Why the file at `file` must not be trusted: its folder, the folder of the file a link leads to, or that file is
// untrusted (see untrustedPath), so anyone could have planted or changed what it says (a config.json's origins
// would receive the saved keys). Nothing when all are safe, absent or cannot be examined.
std::optional<std::string> untrustedLocation(const std::filesystem::path& file);

}  // namespace dapplewick
