#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/signing/signingkey.h"

namespace aus::publish {

// A build that cannot be published. what() says why and names every offending path; `paths`
// holds them (relative to the build folder, '/' between components; absolute for folders outside
// it, such as an existing release).
struct PublishError : std::runtime_error {
  PublishError(const std::string& what, std::vector<std::string> paths)
      : std::runtime_error(what), paths(std::move(paths)) {}
  std::vector<std::string> paths;
};

// At most this many files can be listed: an item's index is 16 bits.
constexpr std::size_t kMaxFiles = 65536;

// The files of a build folder as a release would list them: relative names with '/', sorted.
// Symbolic links are followed. Throws PublishError naming every offending path when:
// - a name is unsafe by the launcher's rules (taln::IsSafeName), or holds '\' or a line break,
//   which the launcher would read as other names than the file's;
// - two names (of files or folders) differ only in letter case: they collide on Windows;
// - a name stands beside the same name plus ".upd" or ".$$$", which the launcher uses for the
//   download and the backup of that file while it installs it (compared ignoring case);
// - an entry is neither a regular file nor a folder, or is a link to nothing or a link loop;
// - there are no files, or more than `maxFiles` (the walk stops at the first one past it);
// - there is a "manifest" or a "release.sig" at the top (aus-publish writes them), or a
//   "Release.state" (the launcher's own record there);
// - an `optional` name (with '/' or '\') is not one of the files.
// "Update.db" at the top and anything named "CefCache" are left out, as the server would.
std::vector<std::string> CheckBuild(const std::filesystem::path& build,
                                    const std::vector<std::string>& optional,
                                    std::size_t maxFiles = kMaxFiles);

// The text of a release's manifest: its [version], and [deploy] optional= lines with '\'.
std::string ManifestText(const std::string& version, const std::vector<std::string>& optional);

struct PublishOptions {
  std::filesystem::path releases;  // the server's releases directory; must exist
  std::string version;             // major.minor.revision
  std::filesystem::path from;      // the build folder
  std::vector<std::string> optional;
  // When set, the release is signed: "release.sig" holds the signature of its item list by this
  // key (package/signing), at the time `now` gives.
  std::shared_ptr<const signing::SigningKey> signingKey;
  // Called as files are copied, then as they are digested: the phase ("copying", "digesting"),
  // bytes done and the total.
  std::function<void(const char* phase, std::uint64_t done, std::uint64_t total)> progress;
  // The clock compared with the copies' change times: a digest is cached only once they have
  // settled (see Releases::kSettleTime), so Publish waits that long after the last copy.
  std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
};

struct Published {
  std::filesystem::path folder;  // releases/version
  std::size_t files = 0;         // the manifest included
  std::uint64_t bytes = 0;
  // False when the releases directory's digest cache could not be written: the servers then
  // digest the release themselves at their next load.
  bool digestsCached = true;
  // The signing time in seconds since 1970, when the release was signed; 0 otherwise.
  std::int64_t signedAt = 0;
};

// Makes a signing key: writes `folder`/release.key (the private key, PEM, readable by its owner
// only) and `folder`/release.pub (PEM), creating the folder. Returns the public key. Throws
// PublishError when either file exists (a key is never overwritten), std::filesystem's errors
// and signing::SigningKeyError.
signing::PublicKey GenerateKey(const std::filesystem::path& folder);

// Publishes the build as releases/version: checks it (CheckBuild), copies it with a manifest
// into releases/<Releases::kStagingPrefix><version>/<version>/ (which
// the server passes over), loads that as the server would (which
// digests every file), signs it when a key is given (adding "release.sig"), adds the digests to the
// releases directory's digest cache, and renames the release into place. A failure at any step
// removes the staging folder and leaves the releases directory as it was (but for added digests).
// Throws PublishError when the version is not major.minor.revision, already exists, or another
// publish of it holds the staging folder, or the build is refused;
// std::filesystem::filesystem_error when a copy fails; aus::server::ReleaseLoadError when the copy
// cannot be served.
Published Publish(const PublishOptions& options);

}  // namespace aus::publish
