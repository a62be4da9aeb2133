#include "net/ca_bundle.hpp"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

namespace dapplewick {

bool loadCertificateAuthorities(X509_STORE* store, const std::string& file) {
  const bool loaded = X509_STORE_load_file(store, file.c_str()) == 1;
  ERR_clear_error();
  return loaded;
}

CABundleFault checkCABundle(const std::string& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec) || ::access(file.c_str(), R_OK) != 0) {
    return CABundleFault::notReadable;
  }
  const std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  if (!store) throw std::bad_alloc();
  if (!loadCertificateAuthorities(store.get(), file)) return CABundleFault::noCertificates;
  // A file of no certificate loads, and would then fail every https request, each with a TLS error of its own.
  const auto* objects = X509_STORE_get0_objects(store.get());
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509) return CABundleFault::none;
  }
  return CABundleFault::noCertificates;
}

}  // namespace dapplewick
