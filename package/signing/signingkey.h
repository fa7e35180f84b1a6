#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "package/signing/releasesignature.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace signing {

// A key that cannot be made, read or used; what() says which.
struct SigningKeyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An Ed25519 private key, for the tool that signs releases and for tests.
class SigningKey {
 public:
  // A fresh random key. Throws SigningKeyError.
  static SigningKey Generate();
  // A key from PEM text (PKCS#8, unencrypted). Throws SigningKeyError when the text holds no
  // Ed25519 private key.
  static SigningKey FromPem(const std::string& pem);

  SigningKey(SigningKey&&) noexcept;
  SigningKey& operator=(SigningKey&&) noexcept;
  ~SigningKey();

  // The private key as PEM (PKCS#8), and the public key as PEM (SubjectPublicKeyInfo).
  std::string PrivatePem() const;
  std::string PublicPem() const;
  PublicKey Public() const;
  // The kSignatureBytes-byte signature of `message`. Throws SigningKeyError.
  std::string Sign(std::string_view message) const;

 private:
  explicit SigningKey(EVP_PKEY* key);
  struct Free {
    void operator()(EVP_PKEY* key) const;
  };
  std::unique_ptr<EVP_PKEY, Free> key_;
};

}  // namespace signing
