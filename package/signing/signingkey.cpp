#include "package/signing/signingkey.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace signing {

namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

void SigningKey::Free::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

SigningKey::SigningKey(EVP_PKEY* key) : key_(key) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey& SigningKey::operator=(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

SigningKey SigningKey::Generate() {
  const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_keygen(context.get(), &key) != 1) {
    throw SigningKeyError("cannot generate an Ed25519 key");
  }
  return SigningKey(key);
}

SigningKey SigningKey::FromPem(const std::string& pem) {
  const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  SigningKey read(key);
  if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
    throw SigningKeyError("not an Ed25519 private key in PEM form");
  }
  return read;
}

std::string SigningKey::PrivatePem() const {
  const Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw SigningKeyError("cannot write the private key");
  }
  return BioText(bio.get());
}

std::string SigningKey::PublicPem() const {
  const Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_.get()) != 1) {
    throw SigningKeyError("cannot write the public key");
  }
  return BioText(bio.get());
}

PublicKey SigningKey::Public() const {
  PublicKey key;
  std::size_t size = key.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), key.data(), &size) != 1 || size != key.size()) {
    throw SigningKeyError("cannot read the public key");
  }
  return key;
}

std::string SigningKey::Sign(std::string_view message) const {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  std::string signature(kSignatureBytes, '\0');
  std::size_t size = signature.size();
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      size != kSignatureBytes) {
    throw SigningKeyError("cannot sign");
  }
  return signature;
}

}  // namespace signing
