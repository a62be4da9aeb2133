#pragma once

#include <memory>
#include <string>
#include <vector>

namespace dapplewick {

// A certificate and its private key, both PEM.
struct TestCertificate {
  std::string certificatePEM;
  std::string privateKeyPEM;
};

// A throw-away certificate authority made at test time (P-256 keys, valid from an hour ago for two days), so
// https tests need no files in the source tree and nothing from the system's trust store.
class TestCertificateAuthority {
 public:
  explicit TestCertificateAuthority(const std::string& commonName = "Dapplewick Test CA");
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  // The authority's own certificate: the contents of a CA bundle that trusts it.
  const std::string& certificatePEM() const;

  // A server certificate signed by this authority for the given subjectAltName entries in OpenSSL's notation,
  // e.g. {"IP:127.0.0.1", "DNS:localhost"}.
  TestCertificate issue(const std::vector<std::string>& subjectAltNames = {"IP:127.0.0.1", "DNS:localhost"}) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dapplewick
