#include "model/file_keychain.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "common/json_document.hpp"
#include "common/local_file.hpp"
#include "common/text.hpp"
#include "model/trusted_location.hpp"

namespace dapplewick {

namespace {

std::string systemMessage(int error) { return std::generic_category().message(error); }

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result: a delayed write error can surface only here.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// The sentence every damage report starts with, and the way out, so the user knows the file was left alone.
[[noreturn]] void throwDamaged(const std::filesystem::path& file, std::string_view reason) {
  throw KeychainError("the credential file " + file.string() + " is damaged (" + std::string(reason) +
                      "); Dapplewick leaves it untouched: repair or remove it");
}

[[noreturn]] void throwSystem(std::string_view action, const std::filesystem::path& path, int error) {
  throw KeychainError("cannot " + std::string(action) + " " + path.string() + ": " + systemMessage(error));
}

// The file's bytes, or nothing when it does not exist. Only a regular file of bounded size is read: a FIFO would
// block, and a huge file would be read into memory for nothing.
std::optional<std::string> readFile(const std::filesystem::path& file) {
  try {
    return readLocalFile(file, FileKeychain::kMaxFileBytes);
  } catch (const LocalFileError& error) {
    switch (error.reason()) {
      case LocalFileError::Reason::notRegular: throwDamaged(file, "it is not a regular file");
      case LocalFileError::Reason::tooLarge: throwDamaged(file, "it is larger than 4 MiB");
      case LocalFileError::Reason::system: break;
    }
    throw KeychainError("cannot read " + file.string() + ": " + error.what());
  }
}

// The "items" object of a well-formed file. Nothing of the content goes into an error text: a parser message
// quotes the bytes it stopped at, which may be part of a credential.
Json parseItems(const std::string& text, const std::filesystem::path& file) {
  auto document = parseJsonOrNothing(text);
  if (!document) throwDamaged(file, "it is not valid JSON");
  if (!document->is_object()) throwDamaged(file, "it does not hold a JSON object");
  for (const auto& [key, value] : document->items()) {
    if (key != "service" && key != "items") throwDamaged(file, "it has a key other than \"service\" and \"items\"");
  }
  const auto service = document->find("service");
  if (service == document->end() || !service->is_string()) throwDamaged(file, "\"service\" is missing or not text");
  if (service->get_ref<const std::string&>() != kKeychainServiceName) {
    throwDamaged(file, "it belongs to another service than \"" + std::string(kKeychainServiceName) + "\"");
  }
  const auto items = document->find("items");
  if (items == document->end() || !items->is_object()) throwDamaged(file, "\"items\" is missing or not an object");
  for (const auto& [key, value] : items->items()) {
    if (value.is_string()) continue;
    // A key is only named when it is a provider's raw value; anything else may be a credential pasted by hand.
    if (providerFromRawValue(key)) throwDamaged(file, "the credential for \"" + key + "\" is not text");
    throwDamaged(file, "an entry of \"items\" is not text");
  }
  return *items;
}

// The items of the file, an empty object when there is none.
Json readItems(const std::filesystem::path& file) {
  const auto text = readFile(file);
  if (!text) return Json::object();
  return parseItems(*text, file);
}

// Known providers in catalogue order, then any other keys in the order they had, so the file reads the same
// after every write.
std::string serialize(const Json& items) {
  Json ordered = Json::object();
  for (Provider provider : allProviders()) {
    const std::string key(rawValue(provider));
    if (auto it = items.find(key); it != items.end()) ordered[key] = *it;
  }
  for (const auto& [key, value] : items.items()) {
    if (!providerFromRawValue(key)) ordered[key] = value;
  }
  Json document = Json::object();
  document["service"] = kKeychainServiceName;
  document["items"] = std::move(ordered);
  return document.dump(2) + "\n";
}

bool isDirectory(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates the folder and any missing parents, each 0700 whatever the umask. Nothing is made inside another user's
// folder: the first folder to be made is checked before anything is.
void createFolder(const std::filesystem::path& folder) {
  if (folder.empty() || isDirectory(folder)) return;
  const auto parent = folder.parent_path();
  if (parent != folder) createFolder(parent);
  if (auto why = foreignParent(parent.empty() ? "." : parent)) throw KeychainError(*why);
  if (::mkdir(folder.c_str(), 0700) != 0) {
    const int error = errno;
    if (error == EEXIST && isDirectory(folder)) return;
    // Something that is not a folder stands in the way; "File exists" would not say so.
    throwSystem("create the folder", folder, error == EEXIST ? ENOTDIR : error);
  }
  if (::chmod(folder.c_str(), 0700) != 0) throwSystem("set the permissions of", folder, errno);
}

// The folder as a write needs it: present and trusted. Only the folders this creates are made 0700; an existing
// one keeps its mode, which is its owner's choice (a shared 0755 folder stays readable to those it serves). An
// untrusted one is refused untouched: anyone who can write there could swap the file.
void ensureTrustedFolder(const std::filesystem::path& folder) {
  createFolder(folder);
  if (auto why = untrustedPath(folder)) throw KeychainError(*why);
}

// The template of a write's temporary file name: mkostemp puts six random characters in place of these.
constexpr std::string_view kTemporarySuffix = "XXXXXX";
constexpr std::string_view kLockSuffix = "lock";

// The name of a file a write keeps beside `file`, hidden and named after it: ".NAME." and the suffix.
std::filesystem::path besideFile(const std::filesystem::path& file, std::string_view suffix) {
  return file.parent_path() / ("." + file.filename().string() + "." + std::string(suffix));
}

// A write killed before its rename leaves its temporary file behind, with secrets in it. Under the lock no other
// write is under way, so every such file is a leftover. The lock file's suffix is shorter than a temporary one's.
void removeLeftovers(const std::filesystem::path& file) {
  const std::string prefix = besideFile(file, "").filename().string();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != prefix.size() + kTemporarySuffix.size() || !startsWith(name, prefix)) continue;
    std::error_code typeError;
    if (entry.symlink_status(typeError).type() == std::filesystem::file_type::regular) {
      ::unlink(entry.path().c_str());
    }
  }
}

void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category());
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Replaces the file with `content` in one step: a private temporary file in the same folder (created 0600 with an
// unpredictable name and O_EXCL by mkostemp), written and flushed, renamed over the file, and the folder flushed
// so the rename itself survives a crash.
void replaceFile(const std::filesystem::path& file, std::string_view content) {
  std::string temporary = besideFile(file, kTemporarySuffix).string();
  const int raw = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (raw < 0) throwSystem("create a temporary file beside", file, errno);
  UniqueFd fd(raw);
  try {
    // mkostemp's mode is already 0600 less the umask; this makes it exactly 0600.
    if (::fchmod(fd.get(), 0600) != 0) throw std::system_error(errno, std::generic_category());
    writeAll(fd.get(), content);
    if (::fsync(fd.get()) != 0) throw std::system_error(errno, std::generic_category());
    if (fd.close() != 0) throw std::system_error(errno, std::generic_category());
    if (::rename(temporary.c_str(), file.c_str()) != 0) throw std::system_error(errno, std::generic_category());
  } catch (const std::system_error& error) {
    ::unlink(temporary.c_str());
    throwSystem("write", file, error.code().value());
  }
  // Best effort: some file systems refuse fsync on a directory, and the new file is in place either way.
  const UniqueFd folder(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) (void)::fsync(folder.get());
}

// An exclusive advisory lock for one read-modify-write, so that writers in other processes cannot interleave and
// lose an update. It is taken on a 0600 file beside the credential file, which only its owner can open: any user
// who can open a 0755 folder could hold a lock on the folder itself, and every write would wait on them. Released
// when the descriptor closes.
UniqueFd lockBeside(const std::filesystem::path& file) {
  const auto path = besideFile(file, kLockSuffix);
  const int raw = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (raw < 0) throwSystem("open the lock file", path, errno);
  UniqueFd fd(raw);
  // One made by hand may be open to others.
  if (::fchmod(fd.get(), 0600) != 0) throwSystem("set the permissions of", path, errno);
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throwSystem("lock", path, errno);
  }
  return fd;
}

// Every operation starts here, before it reads or creates anything.
void refuseUntrusted(const std::filesystem::path& file) {
  if (auto why = untrustedLocation(file)) throw KeychainError(*why);
}

}  // namespace

FileKeychain::FileKeychain(std::filesystem::path folder) : folder_(std::move(folder)) {}

void FileKeychain::save(Provider provider, std::string_view credential) {
  // The file is JSON, which holds UTF-8 text only.
  if (!isValidUTF8(credential)) throw KeychainError("a credential must be UTF-8 text");
  std::lock_guard guard(mutex_);
  refuseUntrusted(filePath());
  const auto file = resolveLinks(filePath());
  ensureTrustedFolder(file.parent_path());
  const UniqueFd lock = lockBeside(file);
  removeLeftovers(file);
  Json items = readItems(file);
  items[std::string(rawValue(provider))] = std::string(credential);
  replaceFile(file, serialize(items));
}

std::optional<std::string> FileKeychain::load(Provider provider) const {
  std::lock_guard guard(mutex_);
  refuseUntrusted(filePath());
  const Json items = readItems(filePath());
  const auto it = items.find(std::string(rawValue(provider)));
  if (it == items.end()) return std::nullopt;
  return it->get<std::string>();
}

void FileKeychain::remove(Provider provider) {
  std::lock_guard guard(mutex_);
  refuseUntrusted(filePath());
  const auto file = resolveLinks(filePath());
  if (!isDirectory(file.parent_path())) {
    // Still report a damaged or unreadable file rather than claim there was nothing to remove.
    readItems(file);
    return;
  }
  const UniqueFd lock = lockBeside(file);
  Json items = readItems(file);
  const auto it = items.find(std::string(rawValue(provider)));
  if (it == items.end()) return;
  items.erase(it);
  ensureTrustedFolder(file.parent_path());
  removeLeftovers(file);
  replaceFile(file, serialize(items));
}

std::optional<std::string> FileKeychain::exposureWarning() const {
  struct stat info {};
  if (::stat(filePath().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const auto who = othersWhoCan(info.st_mode, Access::read);
  if (!who) return std::nullopt;
  return std::string(*who) + " can read " + filePath().string() + "; make it private with: chmod 600 " +
         filePath().string();
}

std::vector<Provider> FileKeychain::savedProviders() const {
  std::lock_guard guard(mutex_);
  refuseUntrusted(filePath());
  const Json items = readItems(filePath());
  std::vector<Provider> list;
  for (Provider provider : allProviders()) {
    if (items.contains(std::string(rawValue(provider)))) list.push_back(provider);
  }
  return list;
}

}  // namespace dapplewick
