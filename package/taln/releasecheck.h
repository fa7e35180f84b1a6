#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "package/network/protocol/version.h"
#include "package/signing/releasesignature.h"
#include "package/taln/db/updatedb.h"

namespace network::common {
class Client;
}  // namespace network::common

namespace taln {

// A release list refused by its signature; what() is the reason, for the log.
struct ReleaseRefused : std::runtime_error {
  explicit ReleaseRefused(const std::string& reason)
      : std::runtime_error("Release refused: " + reason) {}
};

// The signed release the launcher last accepted: what replays are checked against.
struct ReleaseState {
  Version version;
  std::int64_t signedAt = 0;  // 0 when not known
  friend bool operator==(const ReleaseState&, const ReleaseState&) = default;
};

// The key releases must be signed with: `configured` ("AUS.release_key", already checked by the
// settings) when not empty, else the key built into the launcher; nothing when neither is set,
// and releases are then taken unsigned.
std::optional<signing::PublicKey> ReleaseKey(const std::string& configured);
// The key built in through the CMake option LAUNCHER_RELEASE_KEY: 64 hex digits, or empty.
const char* BuiltInReleaseKey();

// Fetches "release.sig" of the list just received on `client` into memory: by its index when
// `latest` (the list names it; a by-path request would need the list's version, which the reply
// does not say), else by path for `version`. A file that is missing, refused, claims more than
// signing::kMaxSignatureFileBytes or sends more than it claimed throws ReleaseRefused before
// anything is allocated for it; the Client's errors pass as they are.
std::string FetchReleaseSignature(network::common::Client& client, const UpdateDB& list,
                                  const Version& version, bool latest);

// Checks `signatureFile` against `list` and `key`, then against replays: the signed version must
// be `pinned` when a version is pinned (Client.client_version); otherwise it must not be older
// than `installed`'s, and its signing time not older than `installed`'s (a pinned version may
// go back, but not to an older signature of the installed version). Returns the release's state;
// throws ReleaseRefused with the reason.
ReleaseState CheckRelease(const signing::PublicKey& key, const UpdateDB& list,
                          std::string_view signatureFile, const std::optional<Version>& pinned,
                          const std::optional<ReleaseState>& installed);

// root/kReleaseStateFile: nothing when there is none; an unreadable one is logged and counts as
// none (the root is the player's to write anyway).
std::optional<ReleaseState> LoadReleaseState(const std::string& root);
// Writes root/kReleaseStateFile aside, syncs it, renames it into place and syncs the root.
// Throws std::runtime_error("Can't save the release state!") when that fails.
void SaveReleaseState(const std::string& root, const ReleaseState& state);

// The whole check, run right after the target list is received and before anything is written
// to the root: fetches "release.sig" on `client`, checks it (CheckRelease, against the saved
// state, or without one against the version of the root's manifest with no signing time) and
// saves the new state when it changed. Throws ReleaseRefused (also for a fetch cut short by the
// connection: its error is named in the reason), or the error of a failed save.
void VerifyRelease(network::common::Client& client, const std::string& root,
                   const signing::PublicKey& key, const UpdateDB& list, const Version& version,
                   bool latest);

}  // namespace taln
