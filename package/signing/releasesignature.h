#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/network/protocol/version.h"
#include "package/taln/db/updateitem.h"

// Signed releases: the canonical form of a release's item list, the "release.sig" file that
// carries an Ed25519 signature over it, and the check. Shared by the launcher, which verifies,
// and aus-publish, which signs; docs/signing.md spells out every byte.
namespace signing {

// The release's file that holds its signature; left out of the canonical form.
inline constexpr const char* kSignatureFile = "release.sig";
// The first bytes of the canonical form and of "release.sig".
inline constexpr std::string_view kFormatTag = "AUSREL01";
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 64;
// "release.sig" is exactly this long: tag, version, signing time, signature.
inline constexpr std::size_t kSignatureFileBytes = 8 + 12 + 8 + kSignatureBytes;
// The most a launcher reads of a "release.sig"; a larger one is refused unread.
inline constexpr std::size_t kMaxSignatureFileBytes = 4096;

using PublicKey = std::array<unsigned char, kPublicKeyBytes>;

// The contents of a "release.sig".
struct ReleaseSignature {
  Version version;
  std::int64_t signedAt = 0;  // seconds since 1970-01-01 00:00 UTC
  std::string signature;      // kSignatureBytes bytes
};

// The bytes signed for a release: tag, version, signing time, then every item but
// kSignatureFile (name, size, digest, required) ordered by name bytes, so that the form does not
// depend on the order a server lists files in. Names are taken as they are ('/' separators).
std::string CanonicalForm(const Version& version, std::int64_t signedAt,
                          const std::vector<taln::UpdateItem>& items);

// The bytes of "release.sig"; `signature` must hold kSignatureBytes bytes.
std::string FormatSignatureFile(const ReleaseSignature& signature);
// Nothing unless `bytes` is a whole "release.sig" of this format: right length and tag.
std::optional<ReleaseSignature> ParseSignatureFile(std::string_view bytes);

// Whether `signature` is a valid Ed25519 signature of `message` by `key`. Never throws for bad
// input; false as well when the crypto library cannot run the check.
bool VerifySignature(const PublicKey& key, std::string_view message, std::string_view signature);

// The key from 64 hexadecimal digits (either case); nothing for any other text.
std::optional<PublicKey> ParsePublicKey(std::string_view hex);
// 64 lower-case hexadecimal digits.
std::string FormatPublicKey(const PublicKey& key);

// The version's order: major, then minor, then revision.
bool IsOlder(const Version& a, const Version& b);

}  // namespace signing
