#include "net/curl_transport.hpp"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "common/excerpt.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "model/environment.hpp"
#include "net/ca_bundle.hpp"

namespace dapplewick {
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Kind = TransportError::Kind;

// Older libcurl bounds each header line, not their number; a server streaming headers forever stops here, below
// the 300 KB that newer libcurl allows, so the failure reads the same everywhere.
constexpr std::size_t kMaxHeaderBytes = std::size_t{256} * 1024;
// libcurl (7.88) keeps each trailer line of a chunked body, with a CR LF and a NUL added, in a buffer of 4096 bytes,
// and reports a longer line as running out of memory: "Out of memory in chunked-encoding".
constexpr std::size_t kMaxTrailerLineBytes = 4093;
constexpr std::string_view kTrailerOverflowText = "Out of memory in chunked-encoding";
// Keeps the deadline arithmetic away from overflow for absurd timeouts.
constexpr milliseconds kLongestTimeout = std::chrono::hours(24 * 365);
// The loop wakes at least this often even when libcurl has nothing to say, as a backstop for its own checks.
constexpr milliseconds kLongestPoll{1000};

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct UrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct ShareDeleter {
  void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
struct StoreDeleter {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;
using ShareHandle = std::unique_ptr<CURLSH, ShareDeleter>;
using StoreHandle = std::unique_ptr<X509_STORE, StoreDeleter>;

// libcurl ignores SIGPIPE around the work of a handle that may raise signals and then puts back the disposition it
// found; two threads doing so at once can put back each other's "ignored" and leave it so for the host. No handle
// made here lets it touch the host's signals.
EasyHandle quietEasyHandle() {
  EasyHandle easy(curl_easy_init());
  if (!easy || curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L) != CURLE_OK) throw std::bad_alloc();
  return easy;
}

void initialiseCurlOnce() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) throw TransportError(Kind::connection, "The HTTP library could not be initialised.");
}

// ---- Checking what is to be sent ----

bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar); }

// A line break would let a value start a header (or a request) of its own; NUL would cut it short.
bool isSafeHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void validate(const HTTPRequest& request) {
  if (!isToken(request.method)) {
    throw TransportError(Kind::invalidRequest, "The request method is not a valid HTTP method.");
  }
  // libcurl sends a HEAD without reading a body, so a body on it could never be sent as asked.
  if (request.method == "HEAD" && request.body) {
    throw TransportError(Kind::invalidRequest, "A HEAD request cannot carry a body.");
  }
  for (const auto& header : request.headers.list()) {
    // The name is not quoted: it is not a valid token and may hold anything.
    if (!isToken(header.name)) throw TransportError(Kind::invalidRequest, "A request header has an invalid name.");
    if (!isSafeHeaderValue(header.value)) {
      throw TransportError(Kind::invalidRequest, "The value of the request header \"" + header.name +
                                                     "\" contains a line break or a NUL character.");
    }
  }
}

// ---- URLs ----

std::optional<std::string> urlPart(CURLU* url, CURLUPart part, unsigned int flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string result(text);
  curl_free(text);
  return result;
}

// Where a request goes. `origin` is the only part of a URL that error texts show: paths and queries may hold
// keys.
struct Location {
  UrlHandle handle;
  std::string url;  // as sent: without its fragment
  std::string scheme;
  std::string host;
  std::string port;  // explicit or the scheme's default
  std::string origin;

  bool sameOrigin(const Location& other) const {
    return scheme == other.scheme && equalsIgnoringASCIICase(host, other.host) && port == other.port;
  }
};

enum class URLProblem { none, malformed, scheme, userInfo };

// Completes `location` from its parsed handle, dropping the fragment, which is never sent.
URLProblem finishLocation(Location& location) {
  CURLU* url = location.handle.get();
  const auto scheme = urlPart(url, CURLUPART_SCHEME);
  if (!scheme) return URLProblem::malformed;
  location.scheme = toLowerASCII(*scheme);
  if (location.scheme != "http" && location.scheme != "https") return URLProblem::scheme;
  // libcurl would turn a user name or password in the URL into an Authorization header of its own.
  if (urlPart(url, CURLUPART_USER) || urlPart(url, CURLUPART_PASSWORD)) return URLProblem::userInfo;
  if (curl_url_set(url, CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK) return URLProblem::malformed;
  const auto host = urlPart(url, CURLUPART_HOST);
  const auto port = urlPart(url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
  auto full = urlPart(url, CURLUPART_URL);
  if (!host || host->empty() || !port || !full) return URLProblem::malformed;
  location.host = *host;
  location.port = *port;
  location.url = std::move(*full);
  const auto explicitPort = urlPart(url, CURLUPART_PORT);
  location.origin = location.scheme + "://" + location.host + (explicitPort ? ":" + *explicitPort : "");
  return URLProblem::none;
}

Location requestLocation(const std::string& text) {
  Location location{UrlHandle(curl_url()), {}, {}, {}, {}, {}};
  if (!location.handle) throw std::bad_alloc();
  // A NUL would silently end the URL early.
  if (text.find('\0') != std::string::npos ||
      curl_url_set(location.handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
    throw TransportError(Kind::invalidRequest, "The request URL is not a valid URL.");
  }
  switch (finishLocation(location)) {
    case URLProblem::none: return location;
    case URLProblem::malformed: throw TransportError(Kind::invalidRequest, "The request URL is not a valid URL.");
    case URLProblem::scheme: throw TransportError(Kind::invalidRequest, "The request URL must use http or https.");
    case URLProblem::userInfo:
      throw TransportError(Kind::invalidRequest, "The request URL must not carry a user name or password.");
  }
  throw TransportError(Kind::invalidRequest, "The request URL is not a valid URL.");
}

Location redirectLocation(const Location& from, const std::string& target) {
  const auto refuse = [&](const std::string& why) { return TransportError(Kind::redirect, from.origin + " " + why); };
  Location location{UrlHandle(curl_url_dup(from.handle.get())), {}, {}, {}, {}, {}};
  if (!location.handle) throw std::bad_alloc();
  // Resolved against the current URL as libcurl itself would: stray spaces and raw bytes get percent-encoded.
  if (target.find('\0') != std::string::npos || curl_url_set(location.handle.get(), CURLUPART_URL, target.c_str(),
                                                             CURLU_URLENCODE | CURLU_ALLOW_SPACE) != CURLUE_OK) {
    throw refuse("redirected to an invalid location.");
  }
  switch (finishLocation(location)) {
    case URLProblem::none: break;
    case URLProblem::malformed: throw refuse("redirected to an invalid location.");
    case URLProblem::scheme: throw refuse("redirected to a URL that is not http or https.");
    case URLProblem::userInfo: throw refuse("redirected to a URL with a user name or password.");
  }
  if (from.scheme == "https" && location.scheme == "http") {
    throw refuse("redirected from https to http, which is refused.");
  }
  return location;
}

// ---- What goes out on each hop ----

struct Outgoing {
  std::string method;
  std::vector<HTTPHeader> headers;
  const std::string* body = nullptr;  // null: no body at all
};

bool hasHeader(const std::vector<HTTPHeader>& headers, std::string_view name) {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const HTTPHeader& header) { return equalsIgnoringASCIICase(header.name, name); });
}

void removeHeaders(std::vector<HTTPHeader>& headers, std::initializer_list<std::string_view> names) {
  std::erase_if(headers, [&](const HTTPHeader& header) {
    return std::any_of(names.begin(), names.end(),
                       [&](std::string_view name) { return equalsIgnoringASCIICase(header.name, name); });
  });
}

void keepOnlyHeaders(std::vector<HTTPHeader>& headers, std::initializer_list<std::string_view> names) {
  std::erase_if(headers, [&](const HTTPHeader& header) {
    return std::none_of(names.begin(), names.end(),
                        [&](std::string_view name) { return equalsIgnoringASCIICase(header.name, name); });
  });
}

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// What a browser sends after the redirect: 303 (and 301/302 after a POST) fetch the new place with a GET and no
// body, so the headers describing that body go too. Across origins nothing that could be a credential follows.
void followRedirect(Outgoing& out, int status, bool sameOrigin) {
  const bool becomesGet = (status == 303 && out.method != "GET" && out.method != "HEAD") ||
                          ((status == 301 || status == 302) && out.method == "POST");
  if (becomesGet) {
    out.method = "GET";
    out.body = nullptr;
    removeHeaders(out.headers,
                  {"Content-Type", "Content-Length", "Content-Encoding", "Content-Language", "Content-Location"});
  }
  if (!sameOrigin) keepOnlyHeaders(out.headers, {"Accept", "Accept-Language", "Content-Type", "User-Agent"});
}

HeaderList headerList(const std::vector<HTTPHeader>& headers) {
  HeaderList list;
  const auto append = [&](const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (head == nullptr) throw std::bad_alloc();
    (void)list.release();
    list.reset(head);
  };
  for (const auto& header : headers) {
    // "Name:" alone tells libcurl to drop a header; "Name;" is its spelling for a header with an empty value.
    append(header.value.empty() ? header.name + ";" : header.name + ": " + header.value);
  }
  // libcurl's own additions, unless the caller chose a value: Accept, Expect: 100-continue for large bodies,
  // and the form Content-Type of a POST.
  for (const char* name : {"Accept", "Expect", "Content-Type"}) {
    if (!hasHeader(headers, name)) append(std::string(name) + ":");
  }
  return list;
}

// ---- One exchange with libcurl ----

std::string_view trimOWS(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// State shared with libcurl's callbacks for one hop; they all run on the calling thread.
struct Exchange {
  std::size_t maxBodyBytes = 0;
  bool expectsBody = true;
  int status = 0;
  std::vector<HTTPHeader> headers;
  std::string body;
  std::size_t headerBytes = 0;
  enum class Overflow { none, body, headers } overflow = Overflow::none;
  bool headReceived = false;  // the final answer's head, up to its blank line
  bool connected = false;
  SteadyClock::time_point lastActivity = SteadyClock::now();
  curl_off_t downloaded = 0;
  curl_off_t uploaded = 0;
};

int statusOf(std::string_view statusLine) {
  const auto space = statusLine.find(' ');
  if (space == std::string_view::npos || statusLine.size() < space + 4) return 0;
  int status = 0;
  for (std::size_t i = space + 1; i < space + 4; ++i) {
    const char c = statusLine[i];
    if (c < '0' || c > '9') return 0;
    status = status * 10 + (c - '0');
  }
  return status;
}

// Lets an oversized answer fail before any of its body arrives.
bool announcesTooLargeBody(const Exchange& exchange) {
  if (!exchange.expectsBody || exchange.status < 200 || exchange.status == 204 || exchange.status == 304) {
    return false;
  }
  for (const auto& header : exchange.headers) {
    if (!equalsIgnoringASCIICase(header.name, "Content-Length")) continue;
    const std::string_view value = header.value;
    if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;  // malformed: libcurl judges it
    }
    const auto length = parseInteger(value);
    if (!length || static_cast<unsigned long long>(*length) > exchange.maxBodyBytes) return true;
  }
  return false;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::size_t length = size * count;
  exchange.lastActivity = SteadyClock::now();
  exchange.headerBytes += length;
  if (exchange.headerBytes > kMaxHeaderBytes) {
    exchange.overflow = Exchange::Overflow::headers;
    return 0;
  }
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (startsWith(line, "HTTP/")) {
    // A new response begins (after a 1xx, say): only the final one's headers are returned.
    exchange.status = statusOf(line);
    exchange.headers.clear();
  } else if (line.empty()) {
    exchange.headReceived = exchange.status >= 200;
    if (announcesTooLargeBody(exchange)) {
      exchange.overflow = Exchange::Overflow::body;
      return 0;
    }
  } else if (line.front() == ' ' || line.front() == '\t') {
    // An obsolete folded line continues the previous header's value.
    const auto more = trimOWS(line);
    if (!exchange.headers.empty() && !more.empty()) {
      auto& value = exchange.headers.back().value;
      if (!value.empty()) value += ' ';
      value += more;
    }
  } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
    exchange.headers.push_back({std::string(line.substr(0, colon)), std::string(trimOWS(line.substr(colon + 1)))});
  }
  return length;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::size_t length = size * count;
  if (length > exchange.maxBodyBytes - exchange.body.size()) {
    exchange.overflow = Exchange::Overflow::body;
    return 0;
  }
  exchange.body.append(data, length);
  exchange.lastActivity = SteadyClock::now();
  return length;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto& exchange = *static_cast<Exchange*>(user);
  if (downloaded != exchange.downloaded || uploaded != exchange.uploaded) {
    exchange.downloaded = downloaded;
    exchange.uploaded = uploaded;
    exchange.lastActivity = SteadyClock::now();
  }
  return 0;
}

// Every socket is opened close-on-exec, so that a tool another thread starts meanwhile cannot inherit a live
// connection of some provider's request.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Called once the connection (TLS included) stands, just before the request is written.
int onConnected(void* user, char*, char*, int, int) {
  auto& exchange = *static_cast<Exchange*>(user);
  exchange.connected = true;
  exchange.lastActivity = SteadyClock::now();
  return CURL_PREREQFUNC_OK;
}

struct WakeMulti {
  CURLM* multi;
  void operator()() const noexcept { curl_multi_wakeup(multi); }
};

// Keeps an easy handle in the multi handle for exactly as long as this lives.
class Attachment {
 public:
  Attachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) throw std::bad_alloc();
  }
  ~Attachment() { curl_multi_remove_handle(multi_, easy_); }
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;

 private:
  CURLM* multi_;
  CURL* easy_;
};

// ---- What calls share ----

// Idle connection caches kept between calls. A call leases one for itself, preferring one that last spoke to the
// request's origin (its connection may still be open), else the most recently returned one.
class MultiPool {
 public:
  struct Lease {
    MultiHandle multi;
    std::vector<std::string> origins;  // the latest last, as hints for the next lease
  };

  Lease take(std::string_view origin) {
    {
      std::lock_guard lock(mutex_);
      const auto spokeTo = [&](const Lease& lease) {
        return std::find(lease.origins.begin(), lease.origins.end(), origin) != lease.origins.end();
      };
      auto it = std::find_if(idle_.rbegin(), idle_.rend(), spokeTo);
      if (it == idle_.rend()) it = idle_.rbegin();
      if (it != idle_.rend()) {
        Lease lease = std::move(*it);
        idle_.erase(std::next(it).base());
        return lease;
      }
    }
    Lease lease{MultiHandle(curl_multi_init()), {}};
    if (!lease.multi) throw std::bad_alloc();
    // Its cleanup closes the cache through a handle of libcurl's own, which takes the signal setting of the last
    // handle added: one is added at once, so a cache that never saw a request (no time was left) stays quiet too.
    const EasyHandle quiet = quietEasyHandle();
    const Attachment seeded(lease.multi.get(), quiet.get());
    // Room for the connections of every origin a run of calls touches.
    curl_multi_setopt(lease.multi.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(kCachedConnections));
    return lease;
  }

  void give(Lease lease) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kIdleCaches) idle_.push_back(std::move(lease));
  }

  static void remember(Lease& lease, const std::string& origin) {
    std::erase(lease.origins, origin);
    if (lease.origins.size() == kCachedConnections) lease.origins.erase(lease.origins.begin());
    lease.origins.push_back(origin);
  }

 private:
  static constexpr std::size_t kCachedConnections = 16;
  static constexpr std::size_t kIdleCaches = 16;
  std::mutex mutex_;
  std::vector<Lease> idle_;
};

// The trusted certificate authorities, read once for all TLS connections: libcurl would otherwise parse the
// whole system bundle for every connection it sets up. The files are libcurl's own defaults, the configured
// bundle taking the place of the default file.
class Authorities {
 public:
  explicit Authorities(const std::optional<std::string>& caBundle) {
    const EasyHandle probe = quietEasyHandle();
    char* file = nullptr;
    char* directory = nullptr;
    if (curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &file) == CURLE_OK && file != nullptr) file_ = file;
    if (curl_easy_getinfo(probe.get(), CURLINFO_CAPATH, &directory) == CURLE_OK && directory != nullptr) {
      directory_ = directory;
    }
    if (caBundle) file_ = *caBundle;
  }

  // The store, loaded on first use; nothing when a file cannot be read.
  X509_STORE* store() {
    std::call_once(loaded_, [this] { store_ = load(); });
    return store_.get();
  }

 private:
  StoreHandle load() const {
    StoreHandle store(X509_STORE_new());
    if (!store) return nullptr;
    if (file_ && !loadCertificateAuthorities(store.get(), *file_)) return nullptr;
    if (directory_ && X509_STORE_load_path(store.get(), directory_->c_str()) != 1) return nullptr;
    // As libcurl sets its own store: trusted issuers first, and a trusted intermediate ends a chain.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    return store;
  }

  std::optional<std::string> file_;
  std::optional<std::string> directory_;
  std::once_flag loaded_;
  StoreHandle store_;
};

CURLcode onTLSContext(CURL*, void* context, void* user) {
  X509_STORE* store = static_cast<Authorities*>(user)->store();
  if (store == nullptr || X509_STORE_up_ref(store) != 1) return CURLE_SSL_CACERT_BADFILE;
  SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(context), store);
  return CURLE_OK;
}

bool isTLSFailure(CURLcode code) {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED: return true;
    default: return false;
  }
}

// libcurl's own diagnosis names hosts, ports and TLS problems, never what was sent; should a message ever quote
// a header value or the path or query of the URL, its generic text is used instead. It quotes a proxy address it
// cannot use whole, password and all: every address it quotes loses its password, and the proxy variables' own,
// which it quotes as written, are known to the masker (a quote or a blank in a password ends no quoted run early).
std::string diagnosis(CURLcode code, const char* errorBuffer, const Location& at, const Outgoing& out) {
  std::string_view detail(errorBuffer);
  std::vector<std::string> secrets;
  for (const auto& header : out.headers) secrets.push_back(header.value);
  if (auto query = urlPart(at.handle.get(), CURLUPART_QUERY)) secrets.push_back(std::move(*query));
  if (auto path = urlPart(at.handle.get(), CURLUPART_PATH); path && *path != "/") secrets.push_back(*path);
  const bool quotesRequest = std::any_of(secrets.begin(), secrets.end(), [&](const std::string& secret) {
    return secret.size() >= 4 && detail.find(secret) != std::string_view::npos;
  });
  if (detail.empty() || quotesRequest) detail = curl_easy_strerror(code);
  return errorExcerpt(maskAddressPasswords(detail, proxyAddresses(ProcessEnvironment())));
}

[[noreturn]] void throwFailure(CURLcode code, const Exchange& exchange, const char* errorBuffer, const Location& at,
                               const Outgoing& out, milliseconds totalTimeout) {
  if (exchange.overflow == Exchange::Overflow::body) {
    throw TransportError(Kind::tooLarge, "The response from " + at.origin + " is larger than " +
                                             std::to_string(exchange.maxBodyBytes) + " bytes.");
  }
  if (exchange.overflow == Exchange::Overflow::headers) {
    throw TransportError(Kind::tooLarge, "The response headers from " + at.origin + " are larger than " +
                                             std::to_string(kMaxHeaderBytes) + " bytes.");
  }
  // libcurl refuses a longer header line (or status line) as running out of memory.
  if (code == CURLE_OUT_OF_MEMORY && !exchange.headReceived) {
    throw TransportError(Kind::tooLarge, "The response from " + at.origin + " has a header line longer than " +
                                             std::to_string(CURL_MAX_HTTP_HEADER) +
                                             " bytes, the HTTP library's limit.");
  }
  // The head has arrived by then, so the check above does not see it.
  if (code == CURLE_RECV_ERROR && exchange.headReceived && std::string_view(errorBuffer) == kTrailerOverflowText) {
    throw TransportError(Kind::tooLarge, "The response from " + at.origin + " has a trailer line longer than " +
                                             std::to_string(kMaxTrailerLineBytes) +
                                             " bytes, the HTTP library's limit.");
  }
  if (code == CURLE_OPERATION_TIMEDOUT) {
    if (!exchange.connected) throw TransportError(Kind::timeout, "Connecting to " + at.origin + " timed out.");
    throw TransportError(Kind::timeout, "The request to " + at.origin + " timed out after " +
                                            std::to_string(totalTimeout.count()) + " ms.");
  }
  const std::string detail = diagnosis(code, errorBuffer, at, out);
  if (isTLSFailure(code)) {
    throw TransportError(Kind::tls, "The secure connection to " + at.origin + " failed: " + detail);
  }
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      throw TransportError(Kind::connection, "Could not connect to " + at.origin + ": " + detail);
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw TransportError(Kind::invalidRequest, "The request to " + at.origin + " could not be sent: " + detail);
    default: throw TransportError(Kind::connection, "The request to " + at.origin + " failed: " + detail);
  }
}

template <class Value>
void setOption(CURL* easy, CURLoption option, Value value) {
  if (curl_easy_setopt(easy, option, value) != CURLE_OK) {
    throw TransportError(Kind::invalidRequest, "The HTTP library refused a request setting.");
  }
}

struct Hop {
  int status = 0;
  std::vector<HTTPHeader> headers;
  std::string body;
};

struct Limits {
  SteadyClock::time_point deadline;
  milliseconds total;
};

struct CallContext {
  CURLM* multi;
  CURLSH* share;
  Authorities* authorities;  // null when libcurl's TLS library is not OpenSSL: it then loads its own
};

Hop performHop(const CallContext& call, const std::stop_token& stop, const CurlTransportOptions& options,
               const Location& at, const Outgoing& out, const Limits& limits) {
  const auto remaining = std::chrono::ceil<milliseconds>(limits.deadline - SteadyClock::now());
  if (remaining <= milliseconds::zero()) {
    throw TransportError(Kind::timeout, "The request to " + at.origin + " timed out after " +
                                            std::to_string(limits.total.count()) + " ms.");
  }

  const EasyHandle easy = quietEasyHandle();
  CURL* handle = easy.get();
  Exchange exchange;
  exchange.maxBodyBytes = options.maxBodyBytes;
  exchange.expectsBody = out.method != "HEAD";
  const HeaderList headers = headerList(out.headers);
  std::array<char, CURL_ERROR_SIZE> errorBuffer{};

  setOption(handle, CURLOPT_ERRORBUFFER, errorBuffer.data());
  setOption(handle, CURLOPT_URL, at.url.c_str());
  setOption(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  setOption(handle, CURLOPT_FOLLOWLOCATION, 0L);
  // HTTP/2 would send header names in lower case; the request must leave as written.
  setOption(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  setOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  setOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  setOption(handle, CURLOPT_SHARE, call.share);
  if (call.authorities != nullptr) {
    setOption(handle, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
    setOption(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    setOption(handle, CURLOPT_SSL_CTX_FUNCTION, onTLSContext);
    setOption(handle, CURLOPT_SSL_CTX_DATA, call.authorities);
  } else if (options.caBundle) {
    setOption(handle, CURLOPT_CAINFO, options.caBundle->c_str());
  }
  setOption(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  setOption(handle, CURLOPT_HTTPHEADER, headers.get());
  setOption(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min<milliseconds::rep>(remaining.count(), LONG_MAX)));
  setOption(handle, CURLOPT_CONNECTTIMEOUT_MS,
            static_cast<long>(std::clamp<milliseconds::rep>(options.connectTimeout.count(), 1, LONG_MAX)));

  if (out.method == "HEAD") {
    setOption(handle, CURLOPT_NOBODY, 1L);
  } else if (out.body == nullptr) {
    if (out.method == "GET") {
      setOption(handle, CURLOPT_HTTPGET, 1L);
    } else {
      setOption(handle, CURLOPT_CUSTOMREQUEST, out.method.c_str());
    }
  } else {
    // Sized explicitly: the body may hold NUL bytes, and an empty one still sends Content-Length: 0.
    setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(out.body->size()));
    setOption(handle, CURLOPT_POSTFIELDS, out.body->data());
    if (out.method != "POST") setOption(handle, CURLOPT_CUSTOMREQUEST, out.method.c_str());
  }

  setOption(handle, CURLOPT_HEADERFUNCTION, onHeader);
  setOption(handle, CURLOPT_HEADERDATA, &exchange);
  setOption(handle, CURLOPT_WRITEFUNCTION, onBody);
  setOption(handle, CURLOPT_WRITEDATA, &exchange);
  setOption(handle, CURLOPT_NOPROGRESS, 0L);
  setOption(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
  setOption(handle, CURLOPT_XFERINFODATA, &exchange);
  setOption(handle, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  setOption(handle, CURLOPT_PREREQFUNCTION, onConnected);
  setOption(handle, CURLOPT_PREREQDATA, &exchange);

  CURLM* multi = call.multi;
  const Attachment attachment(multi, handle);
  for (;;) {
    if (stop.stop_requested()) throw TransportError(Kind::cancelled, "The request to " + at.origin + " was cancelled.");
    int running = 0;
    if (const CURLMcode code = curl_multi_perform(multi, &running); code != CURLM_OK) {
      throw TransportError(Kind::connection, "The request to " + at.origin + " failed: " + curl_multi_strerror(code));
    }
    if (running == 0) break;
    milliseconds wait = kLongestPoll;
    if (exchange.connected) {
      const auto silent = SteadyClock::now() - exchange.lastActivity;
      if (silent >= options.silenceTimeout) {
        throw TransportError(
            Kind::timeout, at.origin + " sent nothing for " + std::to_string(options.silenceTimeout.count()) + " ms.");
      }
      wait = std::clamp(std::chrono::ceil<milliseconds>(options.silenceTimeout - silent), milliseconds(1), wait);
    }
    if (const CURLMcode code = curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
        code != CURLM_OK) {
      throw TransportError(Kind::connection, "The request to " + at.origin + " failed: " + curl_multi_strerror(code));
    }
  }

  CURLcode result = CURLE_GOT_NOTHING;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == handle) result = message->data.result;
  }
  if (result != CURLE_OK) throwFailure(result, exchange, errorBuffer.data(), at, out, limits.total);

  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return Hop{static_cast<int>(status), std::move(exchange.headers), std::move(exchange.body)};
}

std::optional<std::string> locationOf(const Hop& hop) {
  if (!isRedirectStatus(hop.status)) return std::nullopt;
  for (const auto& header : hop.headers) {
    if (equalsIgnoringASCIICase(header.name, "Location")) return header.value;
  }
  return std::nullopt;
}

HTTPResponse responseOf(Hop hop, const Location& at) {
  HTTPResponse response;
  response.status = hop.status;
  for (auto& header : hop.headers) response.headers.add(std::move(header.name), std::move(header.value));
  response.body = std::move(hop.body);
  response.url = at.url;
  return response;
}

}  // namespace

struct CurlTransport::Shared {
  explicit Shared(const CurlTransportOptions& options) {
    if (!share) throw std::bad_alloc();
    for (const curl_lock_data data : {CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS}) {
      if (curl_share_setopt(share.get(), CURLSHOPT_SHARE, data) != CURLSHE_OK) throw std::bad_alloc();
    }
    curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, lock);
    curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, unlock);
    curl_share_setopt(share.get(), CURLSHOPT_USERDATA, this);
    const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
    if (version->ssl_version != nullptr && std::string_view(version->ssl_version).starts_with("OpenSSL/")) {
      authorities.emplace(options.caBundle);
    }
  }

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Shared*>(user)->locks[static_cast<std::size_t>(data) % CURL_LOCK_DATA_LAST].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Shared*>(user)->locks[static_cast<std::size_t>(data) % CURL_LOCK_DATA_LAST].unlock();
  }

  // Connections are not shared through `share`: libcurl does not support one connection cache used by several
  // threads at once. Each call leases a cache of its own from the pool instead.
  ShareHandle share{curl_share_init()};
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
  std::optional<Authorities> authorities;
  MultiPool pool;  // destroyed first: its cached connections may hold TLS sessions of the share
};

CurlTransport::CurlTransport(CurlTransportOptions options) : options_(std::move(options)) {
  initialiseCurlOnce();
  shared_ = std::make_unique<Shared>(options_);
}

CurlTransport::~CurlTransport() = default;

HTTPResponse CurlTransport::data(const HTTPRequest& request, std::stop_token stop) {
  if (stop.stop_requested()) throw TransportError(Kind::cancelled, "The request was cancelled before it was sent.");
  validate(request);
  Location at = requestLocation(request.url);
  const std::string firstOrigin = at.origin;

  const milliseconds total = std::clamp(request.timeout, milliseconds::zero(), kLongestTimeout);
  const Limits limits{SteadyClock::now() + total, request.timeout};
  Outgoing out{request.method, request.headers.list(), request.body ? &*request.body : nullptr};

  // The leased cache carries the wake-up that a stop request triggers, and keeps the connection for redirects
  // within one origin and for later calls.
  MultiPool::Lease lease = shared_->pool.take(at.origin);
  struct Return {
    MultiPool& pool;
    MultiPool::Lease& lease;
    ~Return() { pool.give(std::move(lease)); }
  } giveBack{shared_->pool, lease};
  const CallContext call{lease.multi.get(), shared_->share.get(),
                         shared_->authorities ? &*shared_->authorities : nullptr};
  const std::stop_callback wake(stop, WakeMulti{call.multi});

  for (int redirects = 0;; ++redirects) {
    MultiPool::remember(lease, at.origin);
    Hop hop = performHop(call, stop, options_, at, out, limits);
    const auto target = locationOf(hop);
    if (!target) return responseOf(std::move(hop), at);
    if (redirects == kMaxRedirects) {
      throw TransportError(Kind::redirect, "The request to " + firstOrigin + " was redirected more than " +
                                               std::to_string(kMaxRedirects) + " times.");
    }
    Location next = redirectLocation(at, *target);
    const bool sameOrigin = at.sameOrigin(next);
    followRedirect(out, hop.status, sameOrigin);
    // A body may carry a credential (a token in a form, a session in a binary body): it is resent within its
    // origin only, and across origins the redirect itself is the answer.
    if (!sameOrigin && out.body != nullptr) return responseOf(std::move(hop), at);
    at = std::move(next);
  }
}

}  // namespace dapplewick
