#include "model/file_keychain.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

using testing::TempDir;

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> entriesOf(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskGuard() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(FileKeychain, NothingSavedWithoutFolderOrFile) {
  TempDir dir;
  FileKeychain keychain(dir.path() / "missing" / "dapplewick");
  EXPECT_EQ(keychain.load(Provider::zai), std::nullopt);
  EXPECT_TRUE(keychain.savedProviders().empty());
  keychain.remove(Provider::zai);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing")) << "removing nothing must not create the folder";
}

TEST(FileKeychain, SaveCreatesPrivateFolderAndFileInTheDocumentedFormat) {
  TempDir dir;
  UmaskGuard permissive(0);
  const auto folder = dir.path() / "config" / "dapplewick";
  FileKeychain keychain(folder);
  keychain.save(Provider::zai, "sk-zai");
  keychain.save(Provider::codex, "web:a=b; \"quoted\"\n");

  EXPECT_EQ(testing::permissionsOf(dir.path() / "config"), 0700u);
  EXPECT_EQ(testing::permissionsOf(folder), 0700u);
  EXPECT_EQ(testing::permissionsOf(folder / "credentials.json"), 0600u);
  // Catalogue order in the file whatever the order of saving; no temporary file left behind.
  EXPECT_EQ(testing::readFileText(folder / "credentials.json"),
            "{\n"
            "  \"service\": \"com.dapplewick.credentials\",\n"
            "  \"items\": {\n"
            "    \"codex\": \"web:a=b; \\\"quoted\\\"\\n\",\n"
            "    \"zai\": \"sk-zai\"\n"
            "  }\n"
            "}\n");
  EXPECT_EQ(entriesOf(folder), std::vector<std::string>{"credentials.json"});
}

TEST(FileKeychain, FolderIsPrivateUnderAStrictUmaskToo) {
  TempDir dir;
  UmaskGuard strict(0277);
  FileKeychain keychain(dir.path() / "dapplewick");
  keychain.save(Provider::groq, "gsk");
  EXPECT_EQ(testing::permissionsOf(dir.path() / "dapplewick"), 0700u);
  EXPECT_EQ(testing::permissionsOf(dir.path() / "dapplewick" / "credentials.json"), 0600u);
  EXPECT_EQ(keychain.load(Provider::groq), "gsk");
}

TEST(FileKeychain, ALooseFolderAndFileBecomePrivateOnAWrite) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  writeText(dir.path() / "credentials.json", R"({"service": "com.dapplewick.credentials", "items": {}})");
  ASSERT_EQ(::chmod((dir.path() / "credentials.json").c_str(), 0644), 0);
  FileKeychain keychain(dir.path());
  EXPECT_EQ(keychain.load(Provider::deepgram), std::nullopt);
  EXPECT_EQ(testing::permissionsOf(dir.path()), 0755u) << "reading changes nothing";
  keychain.save(Provider::deepgram, "dg");
  EXPECT_EQ(testing::permissionsOf(dir.path()), 0700u);
  EXPECT_EQ(testing::permissionsOf(dir.path() / "credentials.json"), 0600u);

  ASSERT_EQ(::chmod(dir.path().c_str(), 0751), 0);
  keychain.remove(Provider::codex);
  EXPECT_EQ(testing::permissionsOf(dir.path()), 0751u) << "removing nothing writes nothing";
  keychain.remove(Provider::deepgram);
  EXPECT_EQ(testing::permissionsOf(dir.path()), 0700u);
}

TEST(FileKeychain, RoundTrip) {
  TempDir dir;
  FileKeychain keychain(dir.path());
  const std::string unicode = "cl\u00E9 \u2603 \U0001F511";
  keychain.save(Provider::deepgram, "first");
  keychain.save(Provider::openAI, unicode);
  keychain.save(Provider::deepgram, "second");
  EXPECT_EQ(keychain.load(Provider::deepgram), "second");
  EXPECT_EQ(keychain.load(Provider::openAI), unicode);
  EXPECT_EQ(keychain.load(Provider::codex), std::nullopt);
  EXPECT_EQ(keychain.savedProviders(), (std::vector<Provider>{Provider::openAI, Provider::deepgram}));

  keychain.remove(Provider::deepgram);
  keychain.remove(Provider::deepgram);
  EXPECT_EQ(keychain.load(Provider::deepgram), std::nullopt);
  EXPECT_EQ(keychain.savedProviders(), std::vector<Provider>{Provider::openAI});

  // A second store on the same folder (another process) sees the same file.
  FileKeychain other(dir.path());
  EXPECT_EQ(other.load(Provider::openAI), unicode);
}

TEST(FileKeychain, EmptyItemsAndAHandWrittenFileAreRead) {
  TempDir dir;
  writeText(dir.path() / "credentials.json",
            R"({"items": {"zai": "z", "groq": "g"}, "service": "com.dapplewick.credentials"})");
  FileKeychain keychain(dir.path());
  EXPECT_EQ(keychain.savedProviders(), (std::vector<Provider>{Provider::zai, Provider::groq}));
  EXPECT_EQ(keychain.load(Provider::groq), "g");
}

TEST(FileKeychain, KeysOfUnknownProvidersAreKeptButNotListed) {
  TempDir dir;
  writeText(dir.path() / "credentials.json",
            R"({"service": "com.dapplewick.credentials", "items": {"futureprovider": "f", "zai": "z"}})");
  FileKeychain keychain(dir.path());
  EXPECT_EQ(keychain.savedProviders(), std::vector<Provider>{Provider::zai});
  keychain.save(Provider::codex, "c");
  keychain.remove(Provider::zai);
  const auto document = parseJson(testing::readFileText(dir.path() / "credentials.json"));
  EXPECT_EQ(document["items"].dump(), R"({"codex":"c","futureprovider":"f"})");
}

TEST(FileKeychain, RefusesACredentialThatIsNotUTF8WithoutQuotingIt) {
  TempDir dir;
  FileKeychain keychain(dir.path());
  try {
    keychain.save(Provider::zai, std::string("sk-\xff\xfe-secret"));
    FAIL() << "expected KeychainError";
  } catch (const KeychainError& error) {
    EXPECT_STREQ(error.what(), "a credential must be UTF-8 text");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "credentials.json"));
}

struct DamagedCase {
  std::string name;
  std::string content;
  std::string reason;
};

TEST(FileKeychain, ADamagedFileIsReportedAndNeverReplaced) {
  const std::string deep = std::string(300, '[') + std::string(300, ']');
  const std::vector<DamagedCase> cases = {
      {"empty", "", "it is not valid JSON"},
      {"not JSON", "sk-SECRET-not-json", "it is not valid JSON"},
      {"truncated", R"({"service": "com.dapplewick.credentials", "items": {"zai": "sk-SECRET)",
       "it is not valid JSON"},
      {"invalid UTF-8", "{\"service\": \"com.dapplewick.credentials\", \"items\": {\"zai\": \"sk-SECRET\xff\"}}",
       "it is not valid JSON"},
      {"too deep", deep, "it is not valid JSON"},
      {"array", R"(["sk-SECRET"])", "it does not hold a JSON object"},
      {"unknown top-level key",
       R"({"service": "com.dapplewick.credentials", "items": {}, "sk-SECRET": 1})",
       "it has a key other than \"service\" and \"items\""},
      {"no service", R"({"items": {"zai": "sk-SECRET"}})", "\"service\" is missing or not text"},
      {"service not text", R"({"service": 1, "items": {"zai": "sk-SECRET"}})", "\"service\" is missing or not text"},
      {"other service", R"({"service": "sk-SECRET", "items": {"zai": "x"}})",
       "it belongs to another service than \"com.dapplewick.credentials\""},
      {"no items", R"({"service": "com.dapplewick.credentials"})", "\"items\" is missing or not an object"},
      {"items an array", R"({"service": "com.dapplewick.credentials", "items": ["sk-SECRET"]})",
       "\"items\" is missing or not an object"},
      {"credential not text", R"({"service": "com.dapplewick.credentials", "items": {"zai": ["sk-SECRET"]}})",
       "the credential for \"zai\" is not text"},
      {"credential null", R"({"service": "com.dapplewick.credentials", "items": {"groq": null}})",
       "the credential for \"groq\" is not text"},
      {"unknown key not text", R"({"service": "com.dapplewick.credentials", "items": {"sk-SECRET": 5}})",
       "an entry of \"items\" is not text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto file = dir.path() / "credentials.json";
    writeText(file, c.content);
    FileKeychain keychain(dir.path());
    const std::string expected = "the credential file " + file.string() + " is damaged (" + c.reason +
                                 "); Dapplewick leaves it untouched: repair or remove it";
    const std::vector<std::pair<std::string, std::function<void()>>> operations = {
        {"load", [&] { keychain.load(Provider::zai); }},
        {"savedProviders", [&] { keychain.savedProviders(); }},
        {"save", [&] { keychain.save(Provider::zai, "new-credential"); }},
        {"remove", [&] { keychain.remove(Provider::zai); }},
    };
    for (const auto& [operation, run] : operations) {
      SCOPED_TRACE(operation);
      try {
        run();
        ADD_FAILURE() << "expected KeychainError";
      } catch (const KeychainError& error) {
        EXPECT_EQ(error.what(), expected);
        EXPECT_EQ(std::string(error.what()).find("SECRET"), std::string::npos);
      }
    }
    EXPECT_EQ(testing::readFileText(file), c.content);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"credentials.json"});
  }
}

TEST(FileKeychain, OnlyARegularFileOfBoundedSizeIsRead) {
  {
    SCOPED_TRACE("directory");
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "credentials.json");
    FileKeychain keychain(dir.path());
    EXPECT_THROW(keychain.load(Provider::zai), KeychainError);
    EXPECT_THROW(keychain.save(Provider::zai, "x"), KeychainError);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "credentials.json"));
  }
  {
    SCOPED_TRACE("fifo");
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / "credentials.json").c_str(), 0600), 0);
    FileKeychain keychain(dir.path());
    // Would block forever if the store opened the FIFO for reading in the ordinary way.
    try {
      keychain.savedProviders();
      ADD_FAILURE() << "expected KeychainError";
    } catch (const KeychainError& error) {
      EXPECT_NE(std::string(error.what()).find("it is not a regular file"), std::string::npos);
    }
  }
  {
    SCOPED_TRACE("too large");
    TempDir dir;
    std::string big = R"({"service": "com.dapplewick.credentials", "items": {"zai": ")";
    big += std::string(FileKeychain::kMaxFileBytes, 'a') + "\"}}";
    writeText(dir.path() / "credentials.json", big);
    FileKeychain keychain(dir.path());
    try {
      keychain.load(Provider::zai);
      ADD_FAILURE() << "expected KeychainError";
    } catch (const KeychainError& error) {
      EXPECT_NE(std::string(error.what()).find("it is larger than 4 MiB"), std::string::npos);
    }
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "credentials.json"), big.size());
  }
}

TEST(FileKeychain, AFolderThatCannotBeCreatedIsAnErrorNamingIt) {
  TempDir dir;
  writeText(dir.path() / "plain-file", "x");
  FileKeychain keychain(dir.path() / "plain-file" / "dapplewick");
  try {
    keychain.save(Provider::zai, "sk-SECRET");
    FAIL() << "expected KeychainError";
  } catch (const KeychainError& error) {
    const std::string text = error.what();
    EXPECT_EQ(text, "cannot create the folder " + (dir.path() / "plain-file").string() + ": " +
                        std::generic_category().message(ENOTDIR));
    EXPECT_EQ(text.find("SECRET"), std::string::npos);
  }
  // Reading through a path whose parent is a file is an unreadable store, not an empty one.
  EXPECT_THROW(keychain.savedProviders(), KeychainError);
}

TEST(FileKeychain, ConcurrentSavesFromSeveralStoresLoseNothing) {
  TempDir dir;
  // Two stores stand for two processes: they share no mutex, only the folder lock.
  FileKeychain first(dir.path());
  FileKeychain second(dir.path());
  std::vector<std::thread> threads;
  const auto& providers = allProviders();
  for (std::size_t i = 0; i < providers.size(); ++i) {
    threads.emplace_back([&, i] {
      FileKeychain& store = i % 2 == 0 ? first : second;
      store.save(providers[i], "credential-" + std::to_string(i));
      (void)store.savedProviders();
    });
  }
  for (auto& thread : threads) thread.join();
  const auto saved = first.savedProviders();
  EXPECT_EQ(saved.size(), providers.size());
  for (std::size_t i = 0; i < providers.size(); ++i) {
    EXPECT_EQ(second.load(providers[i]), "credential-" + std::to_string(i));
  }
  EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"credentials.json"});
}

}  // namespace
}  // namespace dapplewick
