#include "SimCertificates.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace lorvanisim {

namespace {

constexpr long kValiditySeconds = 30L * 24 * 3600;  // long enough for any test run
constexpr long kBackdateSeconds = 3600;             // tolerates a client clock behind ours

struct BioFree {
  void operator()(BIO* a) const { BIO_free(a); }
};
struct BnFree {
  void operator()(BIGNUM* a) const { BN_free(a); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* a) const { X509_EXTENSION_free(a); }
};
struct EcdsaSignatureFree {
  void operator()(ECDSA_SIG* a) const { ECDSA_SIG_free(a); }
};

[[noreturn]] void Fail(const std::string& aStep) {
  unsigned long code = ERR_get_error();
  char reason[256] = "no OpenSSL reason";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  throw std::runtime_error("cannot create the TLS certificate (" + aStep + "): " + reason);
}

void Check(int aResult, const std::string& aStep) {
  if (aResult <= 0) Fail(aStep);
}

PkeyPtr NewKey() {
  PkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) Fail("key");
  return key;
}

void SetName(X509_NAME* aName, const std::string& aCommonName) {
  auto add = [aName](const char* aField, const std::string& aValue) {
    Check(X509_NAME_add_entry_by_txt(aName, aField, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(aValue.c_str()),
                                     -1, -1, 0),
          "name");
  };
  add("O", "Lorvani simulator");
  add("CN", aCommonName);
}

void AddExtension(X509* aCertificate, X509* aIssuer, int aNid, const char* aValue) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, aIssuer, aCertificate, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(X509V3_EXT_conf_nid(nullptr, &context, aNid, aValue));
  if (!extension) Fail(std::string("extension ") + OBJ_nid2sn(aNid));
  Check(X509_add_ext(aCertificate, extension.get(), -1), "add extension");
}

// Signs aCertificate with aKey (P-256) until both halves of the signature take their
// full 32 bytes. Wine's crypt32 reads a shorter r or s without padding it and refuses the
// signature, so that about one identity in 64 failed verification in the Windows tests;
// Windows and OpenSSL accept either. ECDSA signs with a fresh nonce each time.
void SignFullWidth(X509* aCertificate, EVP_PKEY* aKey, const std::string& aStep) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    Check(X509_sign(aCertificate, aKey, EVP_sha256()), aStep);
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, aCertificate);
    const unsigned char* der = signature->data;
    std::unique_ptr<ECDSA_SIG, EcdsaSignatureFree> halves(d2i_ECDSA_SIG(nullptr, &der, signature->length));
    if (!halves) Fail(aStep);
    if (BN_num_bytes(ECDSA_SIG_get0_r(halves.get())) == 32 && BN_num_bytes(ECDSA_SIG_get0_s(halves.get())) == 32)
      return;
  }
  Fail(aStep + ": no full-width signature");
}

// A certificate with a random serial, valid from an hour ago for 30 days.
X509Ptr NewCertificate(const std::string& aCommonName, EVP_PKEY* aKey) {
  X509Ptr certificate(X509_new());
  if (!certificate) Fail("certificate");
  Check(X509_set_version(certificate.get(), 2), "version");
  unsigned char serialBytes[16];
  Check(RAND_bytes(serialBytes, sizeof serialBytes), "serial");
  serialBytes[0] &= 0x7F;  // a positive serial
  std::unique_ptr<BIGNUM, BnFree> serial(BN_bin2bn(serialBytes, sizeof serialBytes, nullptr));
  if (!serial || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get()))) Fail("serial");
  if (!X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kBackdateSeconds)) Fail("validity");
  if (!X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds)) Fail("validity");
  SetName(X509_get_subject_name(certificate.get()), aCommonName);
  Check(X509_set_pubkey(certificate.get(), aKey), "public key");
  return certificate;
}

}  // namespace

SimIdentity MakeIdentity(bool aHostnameMismatch, const std::string& aListen) {
  SimIdentity identity;

  PkeyPtr caKey = NewKey();
  identity.CaCertificate = NewCertificate("Lorvani simulator local CA", caKey.get());
  X509* ca = identity.CaCertificate.get();
  Check(X509_set_issuer_name(ca, X509_get_subject_name(ca)), "issuer");
  AddExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
  AddExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(ca, ca, NID_subject_key_identifier, "hash");
  AddExtension(ca, ca, NID_authority_key_identifier, "keyid:always");
  SignFullWidth(ca, caKey.get(), "sign CA");

  std::string names = aHostnameMismatch ? "DNS:lorvani-sim.invalid" : "IP:127.0.0.1,DNS:localhost";
  if (!aHostnameMismatch && aListen != "127.0.0.1" && aListen != "localhost") {
    unsigned char address[16];
    const bool isAddress = inet_pton(AF_INET, aListen.c_str(), address) == 1 || inet_pton(AF_INET6, aListen.c_str(), address) == 1;
    names += (isAddress ? ",IP:" : ",DNS:") + aListen;
  }
  identity.ServerKey = NewKey();
  identity.ServerCertificate =
      NewCertificate(aHostnameMismatch ? "lorvani-sim.invalid" : "127.0.0.1", identity.ServerKey.get());
  X509* server = identity.ServerCertificate.get();
  Check(X509_set_issuer_name(server, X509_get_subject_name(ca)), "issuer");
  AddExtension(server, ca, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(server, ca, NID_key_usage, "critical,digitalSignature,keyEncipherment");
  AddExtension(server, ca, NID_ext_key_usage, "serverAuth");
  AddExtension(server, ca, NID_subject_key_identifier, "hash");
  AddExtension(server, ca, NID_authority_key_identifier, "keyid:always");
  AddExtension(server, ca, NID_subject_alt_name, names.c_str());
  SignFullWidth(server, caKey.get(), "sign server certificate");

  std::unique_ptr<BIO, BioFree> pem(BIO_new(BIO_s_mem()));
  if (!pem || !PEM_write_bio_X509(pem.get(), ca)) Fail("PEM");
  char* data = nullptr;
  long size = BIO_get_mem_data(pem.get(), &data);
  identity.CaPem.assign(data, static_cast<size_t>(size));
  return identity;  // the CA's key dies here: nothing else can be signed with it
}

}  // namespace lorvanisim
