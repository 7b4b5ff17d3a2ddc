// The simulator's TLS identity, examined without a server.

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/x509.h>

#include <memory>

#include "SimCertificates.h"

namespace {

struct EcdsaSignatureFree {
  void operator()(ECDSA_SIG* a) const { ECDSA_SIG_free(a); }
};

// The byte lengths of r and s in aCertificate's ECDSA signature.
std::pair<int, int> SignatureHalves(const X509* aCertificate) {
  const ASN1_BIT_STRING* signature = nullptr;
  X509_get0_signature(&signature, nullptr, aCertificate);
  const unsigned char* der = signature->data;
  std::unique_ptr<ECDSA_SIG, EcdsaSignatureFree> halves(d2i_ECDSA_SIG(nullptr, &der, signature->length));
  if (!halves) return {0, 0};
  return {BN_num_bytes(ECDSA_SIG_get0_r(halves.get())), BN_num_bytes(ECDSA_SIG_get0_s(halves.get()))};
}

// Windows under Wine refuses a P-256 signature whose r or s is shorter than 32 bytes; one
// signature in about 128 is, so that many identities show a missed one.
TEST(SimCertificates, EverySignatureHasFullWidthHalvesAndVerifies) {
  for (int i = 0; i < 300; ++i) {
    const lorvanisim::SimIdentity identity = lorvanisim::MakeIdentity(i % 2 == 1);
    X509* ca = identity.CaCertificate.get();
    X509* server = identity.ServerCertificate.get();
    EXPECT_EQ(SignatureHalves(ca), std::make_pair(32, 32)) << "identity " << i;
    EXPECT_EQ(SignatureHalves(server), std::make_pair(32, 32)) << "identity " << i;
    EVP_PKEY* caKey = X509_get0_pubkey(ca);
    ASSERT_EQ(X509_verify(ca, caKey), 1) << "identity " << i;
    ASSERT_EQ(X509_verify(server, caKey), 1) << "identity " << i;
    if (HasFailure()) return;
  }
}

}  // namespace
