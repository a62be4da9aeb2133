#pragma once

#include <openssl/types.h>

#include <string>

namespace dapplewick {

// Adds the certificate authorities of the PEM file `file` to `store`, the one way the transport reads a CA file.
// False when the file cannot be read or one of its blocks cannot; `store` may then hold part of the file.
// OpenSSL's error queue is left empty either way.
bool loadCertificateAuthorities(X509_STORE* store, const std::string& file);

// What keeps `file` from serving as the CA bundle of the transport, checked before any request so that a bad
// bundle is said once rather than as a TLS failure per request.
enum class CABundleFault {
  none,
  notReadable,     // not a regular file, or one this process cannot read
  noCertificates,  // it does not load as the transport loads it, or it holds no certificate
};
CABundleFault checkCABundle(const std::string& file);

}  // namespace dapplewick
