#pragma once
// The simulator's TLS identity, made fresh at every start: a self-signed CA and a
// server certificate signed by it. Nothing but the CA certificate (public) ever
// leaves the process.

#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace lorvanisim {

struct X509Free {
  void operator()(X509* a) const { X509_free(a); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* a) const { EVP_PKEY_free(a); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct SimIdentity {
  X509Ptr CaCertificate;
  X509Ptr ServerCertificate;
  PkeyPtr ServerKey;
  std::string CaPem;  // the CA certificate in PEM, for a client's trust list
};

// The server certificate names 127.0.0.1, localhost and aListen (an IP address or a
// host name) when it is another; with aHostnameMismatch it names only
// "lorvani-sim.invalid", so that a verifying client must refuse it. Throws
// std::runtime_error with OpenSSL's reason when a step fails.
SimIdentity MakeIdentity(bool aHostnameMismatch, const std::string& aListen = "127.0.0.1");

}  // namespace lorvanisim
