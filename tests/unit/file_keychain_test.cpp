#include "model/file_keychain.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "common/json_read.hpp"
#include "support/e2e_harness.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using testing::TempDir;
using testing::errorText;

constexpr const char* kLock = ".credentials.json.lock";

// Atomic writes leave no temporary file behind: only the file, and the private lock file once a write took it.
bool holdsOnlyTheFile(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
  if (names.erase(kLock) != 0 && testing::permissionsOf(folder / kLock) != 0600u) return false;
  return names == std::set<std::string>{"credentials.json"};
}

// Runs the scope as another user (its effective uid), as far as the file system can tell, then as root again.
class EffectiveUser {
 public:
  explicit EffectiveUser(uid_t uid) { EXPECT_EQ(::seteuid(uid), 0) << "acting as another user needs root"; }
  ~EffectiveUser() { EXPECT_EQ(::seteuid(0), 0); }
  EffectiveUser(const EffectiveUser&) = delete;
  EffectiveUser& operator=(const EffectiveUser&) = delete;
};

std::string damaged(const std::filesystem::path& file, const std::string& reason) {
  return "the credential file " + file.string() + " is damaged (" + reason +
         "); Dapplewick leaves it untouched: repair or remove it";
}

TEST(FileKeychain, SaveCreatesPrivateFoldersAndFileInCatalogueOrderWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0000}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    TempDir dir;
    const mode_t old = ::umask(mask);
    const auto folder = dir.path() / "config" / "dapplewick";
    FileKeychain keychain(folder);
    keychain.save(Provider::zai, "sk-zai");
    keychain.save(Provider::codex, "web:a=b; \"quoted\"\n");
    EXPECT_EQ(testing::permissionsOf(dir.path() / "config"), 0700u);
    EXPECT_EQ(testing::permissionsOf(folder), 0700u);
    EXPECT_EQ(testing::permissionsOf(folder / "credentials.json"), 0600u);
    EXPECT_EQ(testing::readFileText(folder / "credentials.json"),
              "{\n  \"service\": \"com.dapplewick.credentials\",\n  \"items\": {\n"
              "    \"codex\": \"web:a=b; \\\"quoted\\\"\\n\",\n    \"zai\": \"sk-zai\"\n  }\n}\n");
    EXPECT_TRUE(holdsOnlyTheFile(folder));
    ::umask(old);
  }
}

// A folder of the user's keeps the mode they gave it, on a save and on a removal alike: a shared 0755 folder (or,
// as root, /srv) stays readable to those it serves. The file itself becomes private on a write, and only then.
TEST(FileKeychain, AnExistingFolderKeepsItsModeAndALooseFileBecomesPrivateOnAWriteOnly) {
  for (const mode_t folderMode : {mode_t{0755}, mode_t{0750}, mode_t{0711}, mode_t{0700}, mode_t{01755}}) {
    SCOPED_TRACE(folderMode);
    TempDir dir;
    const auto file = dir.write("credentials.json", R"({"service": "com.dapplewick.credentials", "items": {}})");
    ASSERT_EQ(::chmod(dir.path().c_str(), folderMode), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    FileKeychain keychain(dir.path());
    EXPECT_EQ(keychain.load(Provider::deepgram), std::nullopt);
    keychain.remove(Provider::codex);
    EXPECT_EQ(testing::permissionsOf(file), 0644u) << "reading and removing nothing change nothing";
    keychain.save(Provider::deepgram, "dg");
    EXPECT_EQ(testing::permissionsOf(file), 0600u);
    EXPECT_EQ(keychain.exposureWarning(), std::nullopt);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    keychain.remove(Provider::deepgram);
    EXPECT_EQ(testing::permissionsOf(file), 0600u);
    EXPECT_EQ(testing::permissionsOf(dir.path()), folderMode);
  }
}

// The warning names who besides the owner can read the file, whatever else the mode allows.
TEST(FileKeychain, TheExposureWarningNamesWhoCanRead) {
  TempDir dir;
  const auto file = dir.write("credentials.json", R"({"service": "com.dapplewick.credentials", "items": {}})");
  const std::string advice = " can read " + file.string() + "; make it private with: chmod 600 " + file.string();
  const std::pair<mode_t, std::optional<std::string>> cases[] = {
      {0600, std::nullopt},
      {0620, std::nullopt},
      {0602, std::nullopt},
      {0700, std::nullopt},
      {0640, "the group" + advice},
      {0660, "the group" + advice},
      {0604, "other users" + advice},
      {0606, "other users" + advice},
      {0644, "the group and other users" + advice},
      {0444, "the group and other users" + advice},
  };
  FileKeychain keychain(dir.path());
  for (const auto& [mode, want] : cases) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
    EXPECT_EQ(keychain.exposureWarning(), want);
  }
}

// A link stays a link: the file it leads to is written, in its own folder, where a killed write's leftovers go.
TEST(FileKeychain, WritesThroughALinkAndRemovesLeftoverTemporaryFiles) {
  TempDir dir;
  const auto real = dir.path() / "elsewhere";
  std::filesystem::create_directory(real);
  ASSERT_EQ(::chmod(real.c_str(), 0755), 0);
  const auto config = dir.path() / "config";
  std::filesystem::create_directory(config);
  std::filesystem::create_symlink("../elsewhere/store.json", config / "credentials.json");
  for (const char* name : {".store.json.Ab12Cd", ".store.json.x7", ".store.json.Ab12Cde", "store.json.Ab12Cd"}) {
    dir.write(std::string("elsewhere/") + name, "{\"secret\": \"sk-old\"}");
  }
  std::filesystem::create_symlink("store.json.Ab12Cd", real / ".store.json.Ln12Ln");

  FileKeychain keychain(config);
  keychain.save(Provider::zai, "sk-zai");
  keychain.remove(Provider::codex);

  EXPECT_TRUE(std::filesystem::is_symlink(config / "credentials.json"));
  EXPECT_EQ(keychain.load(Provider::zai), "sk-zai");
  EXPECT_EQ(testing::permissionsOf(real / "store.json"), 0600u);
  EXPECT_EQ(testing::permissionsOf(real), 0755u) << "the folder a link leads into keeps its mode";
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(real)) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{".store.json.x7", ".store.json.Ab12Cde", "store.json.Ab12Cd",
                                         ".store.json.Ln12Ln", "store.json", ".store.json.lock"}));
}

TEST(FileKeychain, RoundTrip) {
  TempDir dir;
  FileKeychain keychain(dir.path() / "missing" / "dapplewick");
  EXPECT_TRUE(keychain.savedProviders().empty());
  keychain.remove(Provider::zai);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing")) << "removing nothing must not create the folder";
  const std::string unicode = "cl\u00E9 \u2603 \U0001F511";
  keychain.save(Provider::deepgram, "first");
  keychain.save(Provider::openAI, unicode);
  keychain.save(Provider::deepgram, "second");
  EXPECT_EQ(keychain.load(Provider::deepgram), "second");
  EXPECT_EQ(keychain.savedProviders(), (std::vector<Provider>{Provider::openAI, Provider::deepgram}));
  keychain.remove(Provider::deepgram);
  EXPECT_EQ(keychain.load(Provider::deepgram), std::nullopt);
  // A second store on the same folder (another process) sees the same file.
  EXPECT_EQ(FileKeychain(keychain.folder()).load(Provider::openAI), unicode);
  // The file is JSON, which holds UTF-8 text only; the refusal does not quote the credential.
  EXPECT_EQ(errorText([&] { keychain.save(Provider::zai, std::string("sk-\xff\xfe-secret")); }),
            "a credential must be UTF-8 text");
}

TEST(FileKeychain, AHandWrittenFileIsReadAndUnknownKeysAreKeptButNotListed) {
  TempDir dir;
  const auto file = dir.write("credentials.json", R"({"items": {"futureprovider": "f", "zai": "z", "groq": "g"},)"
                                                  R"( "service": "com.dapplewick.credentials"})");
  FileKeychain keychain(dir.path());
  EXPECT_EQ(keychain.savedProviders(), (std::vector<Provider>{Provider::zai, Provider::groq}));
  keychain.save(Provider::codex, "c");
  keychain.remove(Provider::zai);
  EXPECT_EQ(parseJson(testing::readFileText(file))["items"].dump(), R"({"codex":"c","groq":"g","futureprovider":"f"})");
}

// Every operation reports the damage with the same text, holding nothing of the file, and leaves it as it was.
TEST(FileKeychain, ADamagedFileIsReportedAndNeverReplaced) {
  const std::string ok = R"("service": "com.dapplewick.credentials")";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "it is not valid JSON"},
      {"{" + ok + ", \"items\": {\"zai\": \"sk-SECRET\xff\"}}", "it is not valid JSON"},
      {R"(["sk-SECRET"])", "it does not hold a JSON object"},
      {"{" + ok + R"(, "items": {}, "sk-SECRET": 1})", "it has a key other than \"service\" and \"items\""},
      {R"({"service": 1, "items": {"zai": "sk-SECRET"}})", "\"service\" is missing or not text"},
      {R"({"service": "sk-SECRET", "items": {"zai": "x"}})",
       "it belongs to another service than \"com.dapplewick.credentials\""},
      {"{" + ok + R"(, "items": ["sk-SECRET"]})", "\"items\" is missing or not an object"},
      {"{" + ok + R"(, "items": {"zai": ["sk-SECRET"]}})", "the credential for \"zai\" is not text"},
      {"{" + ok + R"(, "items": {"sk-SECRET": 5}})", "an entry of \"items\" is not text"},
      {"{" + ok + R"(, "items": {"zai": ")" + std::string(FileKeychain::kMaxFileBytes, 'a') + "\"}}",
       "it is larger than 4 MiB"},
  };
  for (const auto& [content, reason] : cases) {
    SCOPED_TRACE(content.substr(0, 100));
    TempDir dir;
    const auto file = dir.write("credentials.json", content);
    FileKeychain keychain(dir.path());
    const std::string want = damaged(file, reason);
    EXPECT_EQ(errorText([&] { keychain.load(Provider::zai); }), want);
    EXPECT_EQ(errorText([&] { keychain.savedProviders(); }), want);
    EXPECT_EQ(errorText([&] { keychain.save(Provider::zai, "new-credential"); }), want);
    EXPECT_EQ(errorText([&] { keychain.remove(Provider::zai); }), want);
    EXPECT_EQ(testing::readFileText(file), content);
    EXPECT_TRUE(holdsOnlyTheFile(dir.path()));
  }
}

// Would block forever if the store opened the FIFO for reading in the ordinary way.
TEST(FileKeychain, OnlyARegularFileIsRead) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir.path() / "credentials.json").c_str(), 0600), 0);
  EXPECT_EQ(errorText([&] { FileKeychain(dir.path()).savedProviders(); }),
            damaged(dir.path() / "credentials.json", "it is not a regular file"));
}

TEST(FileKeychain, AFolderThatCannotBeCreatedIsAnErrorNamingIt) {
  TempDir dir;
  const auto plain = dir.write("plain-file", "x");
  FileKeychain keychain(plain / "dapplewick");
  EXPECT_EQ(errorText([&] { keychain.save(Provider::zai, "sk-SECRET"); }),
            "cannot create the folder " + plain.string() + ": " + std::generic_category().message(ENOTDIR));
  // Reading through a path whose parent is a file is an unreadable store, not an empty one.
  EXPECT_THROW(keychain.savedProviders(), KeychainError);
}

// A folder made inside another user's folder would be ours in their place (root with their HOME making
// ~/.config would lock them out of it): refused as their own folder is, naming them, before anything is made.
// Root's own folders, such as /tmp, serve everyone.
TEST(FileKeychain, NoFolderIsMadeInsideAnotherUsersFolder) {
  constexpr uid_t kNobody = 65534;
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  const auto theirs = dir.path() / "u1";
  std::filesystem::create_directory(theirs);
  ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0) << "giving a folder away needs root";
  const auto refusal = [](const std::filesystem::path& folder, const std::string& owner) {
    return "the folder " + folder.string() + " belongs to another user (" + owner +
           "); Dapplewick makes no folder inside another user's folder";
  };
  FileKeychain keychain(theirs / ".config" / "dapplewick");
  EXPECT_EQ(errorText([&] { keychain.save(Provider::zai, "sk-zai"); }), refusal(theirs, "nobody"));
  keychain.remove(Provider::zai);
  EXPECT_TRUE(std::filesystem::is_empty(theirs));

  const auto stranger = dir.path() / "u2";
  std::filesystem::create_directory(stranger);
  ASSERT_EQ(::chmod(stranger.c_str(), 0777), 0);
  ASSERT_EQ(::chown(stranger.c_str(), 3999999, 3999999), 0);
  {
    const EffectiveUser nobody(kNobody);
    FileKeychain mine(dir.path() / "mine" / "dapplewick");
    mine.save(Provider::zai, "sk-zai");
    EXPECT_EQ(mine.load(Provider::zai), "sk-zai");
    EXPECT_EQ(errorText([&] { FileKeychain(stranger / "dapplewick").save(Provider::zai, "sk-zai"); }),
              refusal(stranger, "uid 3999999"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(stranger));
}

// The lock is a 0600 file only its owner can open, whatever its mode before: another user who can open a 0755
// folder and holds a lock on it (flock FOLDER sleep 1000) makes no write wait.
TEST(FileKeychain, ALockOnTheFolderHoldsNoWrite) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  dir.write(kLock, "");
  ASSERT_EQ(::chmod((dir.path() / kLock).c_str(), 0644), 0);
  const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  ASSERT_EQ(::flock(folder, LOCK_EX), 0);
  FileKeychain keychain(dir.path());
  auto save = std::async(std::launch::async, [&] {
    keychain.save(Provider::zai, "sk-zai");
    keychain.remove(Provider::zai);
    keychain.save(Provider::groq, "gsk");
  });
  const bool done = save.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  ::close(folder);  // lets a waiting write finish, so the test ends either way
  save.get();
  EXPECT_TRUE(done) << "the writes waited on another's lock on the folder";
  EXPECT_EQ(keychain.savedProviders(), std::vector<Provider>{Provider::groq});
  EXPECT_TRUE(holdsOnlyTheFile(dir.path()));
}

TEST(FileKeychain, ConcurrentSavesFromSeveralStoresLoseNothing) {
  TempDir dir;
  // Two stores stand for two processes: they share no mutex, only the lock file.
  FileKeychain first(dir.path());
  FileKeychain second(dir.path());
  std::vector<std::thread> threads;
  const auto& providers = allProviders();
  for (std::size_t i = 0; i < providers.size(); ++i) {
    threads.emplace_back([&, i] { (i % 2 == 0 ? first : second).save(providers[i], std::to_string(i)); });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < providers.size(); ++i) EXPECT_EQ(second.load(providers[i]), std::to_string(i));
  EXPECT_TRUE(holdsOnlyTheFile(dir.path()));
}

}  // namespace
}  // namespace dapplewick
