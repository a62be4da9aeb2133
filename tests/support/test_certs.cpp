#include "support/test_certs.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

namespace dapplewick {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Extension = std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

Key newKey() {
  Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  require(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()), X509_EXTENSION_free);
  require(extension != nullptr, "extension");
  require(X509_add_ext(cert, extension.get(), -1) == 1, "adding an extension");
}

// The fields every certificate here shares; the issuer's name and signature come afterwards.
Cert newCertificate(EVP_PKEY* key, const std::string& commonName) {
  Cert cert(X509_new(), X509_free);
  require(cert != nullptr, "allocation");
  require(X509_set_version(cert.get(), 2) == 1, "version");
  // Distinct serial numbers keep two certificates from one authority apart.
  static std::atomic<long> serial{1};
  require(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++) == 1, "serial");
  require(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "validity");
  require(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2 * 24 * 3600) != nullptr, "validity");
  require(X509_set_pubkey(cert.get(), key) == 1, "public key");
  require(X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
          "common name");
  return cert;
}

std::string pem(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()), BIO_free);
  require(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "writing a certificate");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string pem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()), BIO_free);
  require(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "writing a key");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

struct TestCertificateAuthority::State {
  Key key;
  Cert cert;
  std::string pem;
};

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) {
  Key key = newKey();
  Cert cert = newCertificate(key.get(), commonName);
  X509* ca = cert.get();
  require(X509_set_issuer_name(ca, X509_get_subject_name(ca)) == 1, "issuer");
  addExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(ca, ca, NID_subject_key_identifier, "hash");
  require(X509_sign(ca, key.get(), EVP_sha256()) > 0, "signing");
  std::string text = pem(ca);
  state_ = std::make_unique<State>(State{std::move(key), std::move(cert), std::move(text)});
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

const std::string& TestCertificateAuthority::certificatePEM() const { return state_->pem; }

TestCertificate TestCertificateAuthority::issue(const std::vector<std::string>& subjectAltNames) const {
  const Key key = newKey();
  const Cert cert = newCertificate(key.get(), "Dapplewick Test Server");
  X509* issuer = state_->cert.get();
  require(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)) == 1, "issuer");
  addExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature");
  addExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
  addExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
  addExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
  std::string names;
  for (const auto& name : subjectAltNames) names += (names.empty() ? "" : ",") + name;
  if (!names.empty()) addExtension(cert.get(), issuer, NID_subject_alt_name, names);
  require(X509_sign(cert.get(), state_->key.get(), EVP_sha256()) > 0, "signing");
  return TestCertificate{pem(cert.get()), pem(key.get())};
}

}  // namespace dapplewick
