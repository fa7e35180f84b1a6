#include "package/signing/releasesignature.h"

#include <algorithm>
#include <memory>
#include <tuple>

#include <openssl/evp.h>

namespace signing {

namespace {

void PutUint(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint64_t GetUint(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= std::uint64_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
  }
  return value;
}

// Tag, version and signing time: the first bytes of both the canonical form and "release.sig".
std::string Header(const Version& version, std::int64_t signedAt) {
  std::string out(kFormatTag);
  PutUint(out, static_cast<std::uint32_t>(version.major), 4);
  PutUint(out, static_cast<std::uint32_t>(version.minor), 4);
  PutUint(out, static_cast<std::uint32_t>(version.revision), 4);
  PutUint(out, static_cast<std::uint64_t>(signedAt), 8);
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string CanonicalForm(const Version& version, std::int64_t signedAt,
                          const std::vector<taln::UpdateItem>& items) {
  std::vector<const taln::UpdateItem*> listed;
  listed.reserve(items.size());
  for (const taln::UpdateItem& item : items) {
    if (item.name != kSignatureFile) listed.push_back(&item);
  }
  // By name bytes (std::string compares as unsigned char); the rest only orders a list that
  // names a file twice, so that the form is one whatever the server's order.
  std::sort(listed.begin(), listed.end(), [](const taln::UpdateItem* a, const taln::UpdateItem* b) {
    return std::tie(a->name, a->size, a->hash, a->required) <
           std::tie(b->name, b->size, b->hash, b->required);
  });
  std::string out = Header(version, signedAt);
  PutUint(out, listed.size(), 4);
  for (const taln::UpdateItem* item : listed) {
    PutUint(out, item->name.size(), 4);
    out += item->name;
    PutUint(out, item->size, 8);
    PutUint(out, item->hash.size(), 4);
    out.append(item->hash.begin(), item->hash.end());
    out.push_back(item->required ? 1 : 0);
  }
  return out;
}

std::string FormatSignatureFile(const ReleaseSignature& signature) {
  return Header(signature.version, signature.signedAt) + signature.signature;
}

std::optional<ReleaseSignature> ParseSignatureFile(std::string_view bytes) {
  if (bytes.size() != kSignatureFileBytes || bytes.substr(0, kFormatTag.size()) != kFormatTag) {
    return std::nullopt;
  }
  ReleaseSignature parsed;
  std::size_t at = kFormatTag.size();
  parsed.version.major = static_cast<std::int32_t>(GetUint(bytes, at, 4));
  parsed.version.minor = static_cast<std::int32_t>(GetUint(bytes, at + 4, 4));
  parsed.version.revision = static_cast<std::int32_t>(GetUint(bytes, at + 8, 4));
  parsed.signedAt = static_cast<std::int64_t>(GetUint(bytes, at + 12, 8));
  parsed.signature = std::string(bytes.substr(at + 20));
  return parsed;
}

bool VerifySignature(const PublicKey& key, std::string_view message, std::string_view signature) {
  if (signature.size() != kSignatureBytes) return false;
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
      &EVP_PKEY_free);
  if (!pkey) return false;
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

std::optional<PublicKey> ParsePublicKey(std::string_view hex) {
  if (hex.size() != 2 * kPublicKeyBytes) return std::nullopt;
  PublicKey key;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int high = HexDigit(hex[2 * i]);
    const int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    key[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return key;
}

std::string FormatPublicKey(const PublicKey& key) {
  return taln::HexString(std::vector<unsigned char>(key.begin(), key.end()));
}

bool IsOlder(const Version& a, const Version& b) {
  return std::tie(a.major, a.minor, a.revision) < std::tie(b.major, b.minor, b.revision);
}

}  // namespace signing
