#include "model/trusted_location.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

using testing::TempDir;

TEST(TrustedLocation, OthersWhoCanNameTheGroupOtherUsersOrBoth) {
  struct Case {
    mode_t mode;
    std::optional<std::string_view> read;
    std::optional<std::string_view> write;
  };
  const Case cases[] = {
      {0700, std::nullopt, std::nullopt},
      {0740, "the group", std::nullopt},
      {0704, "other users", std::nullopt},
      {0744, "the group and other users", std::nullopt},
      {0720, std::nullopt, "the group"},
      {0702, std::nullopt, "other users"},
      {0722, std::nullopt, "the group and other users"},
      {0762, "the group", "the group and other users"},
      {01777, "the group and other users", "the group and other users"},
  };
  for (const auto& [mode, read, write] : cases) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(othersWhoCan(mode, Access::read), read);
    EXPECT_EQ(othersWhoCan(mode, Access::write), write);
  }
}

// The first untrusted place of a file's folder, a link's target folder and the target itself is the one named,
// with who can write to it and the chmod that mends it.
TEST(TrustedLocation, TheRefusalSaysWhoCanWriteAndHowToMendIt) {
  TempDir dir;
  const auto folder = dir.path() / "config";
  const auto shared = dir.path() / "shared";
  std::filesystem::create_directory(folder);
  std::filesystem::create_directory(shared);
  const auto target = dir.write("shared/store.json", "{}");
  std::filesystem::create_symlink("../shared/store.json", folder / "credentials.json");
  const auto file = folder / "credentials.json";
  const std::string ownFolder = "; Dapplewick keeps credentials only in a folder no one else can write to (chmod 700 ";
  const std::string ownFile = "; Dapplewick reads only files no one else can write to (chmod 600 ";
  struct Case {
    mode_t folderMode;
    mode_t sharedMode;
    mode_t targetMode;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {0755, 0755, 0644, std::nullopt},
      {0700, 0711, 0600, std::nullopt},
      {0775, 0755, 0644, "the group can write to the folder " + folder.string() + ownFolder + folder.string() + ")"},
      {0757, 0755, 0644, "other users can write to the folder " + folder.string() + ownFolder + folder.string() + ")"},
      {01777, 0755, 0644,
       "the group and other users can write to the folder " + folder.string() + ownFolder + folder.string() + ")"},
      {0755, 0770, 0644, "the group can write to the folder " + shared.string() + ownFolder + shared.string() + ")"},
      {0755, 0755, 0664, "the group can write to the file " + target.string() + ownFile + target.string() + ")"},
      {0755, 0755, 0602, "other users can write to the file " + target.string() + ownFile + target.string() + ")"},
      {0755, 0755, 0666,
       "the group and other users can write to the file " + target.string() + ownFile + target.string() + ")"},
  };
  for (const auto& [folderMode, sharedMode, targetMode, want] : cases) {
    SCOPED_TRACE(want.value_or("trusted"));
    ASSERT_EQ(::chmod(folder.c_str(), folderMode), 0);
    ASSERT_EQ(::chmod(shared.c_str(), sharedMode), 0);
    ASSERT_EQ(::chmod(target.c_str(), targetMode), 0);
    EXPECT_EQ(untrustedLocation(file), want);
  }
  EXPECT_EQ(resolveLinks(file), target);
  EXPECT_EQ(untrustedLocation(folder / "missing.json"), std::nullopt);
}

}  // namespace
}  // namespace dapplewick
