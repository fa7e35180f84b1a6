#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "package/network/protocol/opacket.h"
#include "package/network/protocol/version.h"
#include "package/taln/db/updateitem.h"
#include "server/filestamp.h"

namespace aus::server {

// One file of a release: the item the server lists (`name` with '/', `modifiedTime` unused), and
// where its bytes are read from.
struct ReleaseFile : taln::UpdateItem {
  std::filesystem::path path;
  FileStamp stamp;  // at scan time, before the digest was taken

  // Whether the file open as `descriptor` (opened at `path`) is still the one, with the stamp,
  // that the digest was taken at: checked on what was opened, so that a replacement between the
  // look and the open cannot slip through.
  bool Unchanged(int descriptor) const;
};

// One client version: its files sorted by name, and the UpdateDb reply listing them, built once.
struct Release {
  Version version;
  std::vector<ReleaseFile> files;
  std::map<std::string, std::size_t> byName;  // name with '/' -> position in files
  std::shared_ptr<const network::protocol::OPacket::Buffer> updateDbReply;

  // The file of that name ('/' or '\' between components), or null.
  const ReleaseFile* Find(const std::string& name) const;
};

// Orders versions by major, then minor, then revision.
struct VersionLess {
  bool operator()(const Version& a, const Version& b) const {
    return std::tie(a.major, a.minor, a.revision) < std::tie(b.major, b.minor, b.revision);
  }
};

// "major.minor.revision" with three non-negative decimal numbers and nothing else, or nothing;
// then `why`, when given, says what is wrong with the name.
std::optional<Version> ParseReleaseFolder(const std::string& name, std::string* why = nullptr);

// A release that cannot be served whole: which one, the file to blame (relative, with '/'; empty
// when no single file is) and what is wrong.
struct BrokenRelease {
  Version version;
  std::string file;
  std::string reason;

  // "release 1.1.0 cannot be served: cannot read 'data/locale/fr.txt'"
  std::string Text() const;
};

// Thrown by Releases::Load when releases cannot be served; what() joins their Text()s.
struct ReleaseLoadError : std::runtime_error {
  explicit ReleaseLoadError(std::vector<BrokenRelease> broken);
  std::vector<BrokenRelease> broken;  // in version order
};

// An entry of the releases directory that is not taken as a release, and why.
struct IgnoredEntry {
  std::string name;
  std::string reason;
  friend bool operator==(const IgnoredEntry&, const IgnoredEntry&) = default;
};

// The releases under a directory. A loaded state is immutable, so any number of threads may read
// it; a reload is a new Load whose result replaces the old state only when it succeeded.
//
// Layout: root/<major>.<minor>.<revision>/ holds one version's files; a symbolic link to a folder
// counts as that folder. Every other entry of root is ignored, and each one (but the digest
// cache and releases being published) is logged with the reason. Within a version every regular
// file counts except "Update.db" at its top and anything named "CefCache"; symbolic links are
// followed. An optional top-level "manifest" (the launcher's format) must give the folder's version
// in [version], and marks the files its "deploy.optional" entries name, with '\' or '/' separators,
// as not required. Digests are cached in root/kDigestCacheName and reused while a file's stamp is
// unchanged.
class Releases {
 public:
  static constexpr const char* kDigestCacheName = ".aus-digests";
  // Releases being built by aus-publish, under this prefix and renamed into place when whole.
  static constexpr const char* kStagingPrefix = ".aus-publish-";
  // A digest is cached only for a file unchanged for this long before the load began: the file
  // system's clock ticks coarsely, and a rewrite within the tick of the previous write would keep
  // the change time.
  static constexpr auto kSettleTime = std::chrono::seconds(2);

  // Called after each file digested: bytes digested so far and the total to digest.
  using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

  struct LoadOptions {
    // Serve the other releases when some are broken, rather than throw.
    bool skipBroken = false;
    // Digest every file again, ignoring the cache (which is still written).
    bool rehash = false;
    Progress progress;
    // The clock a file's change time is compared with for kSettleTime.
    std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
  };

  // Scans `root` and returns the new state; nothing else is changed but the digest cache file.
  // Throws std::runtime_error when root is not a readable directory, and ReleaseLoadError, naming
  // every broken release, when a version folder cannot be served whole: a file that cannot be
  // read or is neither a regular file nor a folder (a dangling link, a FIFO), a manifest that
  // cannot be parsed or whose [version] is not the folder's, a link loop, or over 65,536 files.
  // With skipBroken those releases are logged at ERROR and are unavailable instead.
  static std::shared_ptr<const Releases> Load(const std::filesystem::path& root,
                                              const LoadOptions& options);
  static std::shared_ptr<const Releases> Load(const std::filesystem::path& root) {
    return Load(root, LoadOptions{});
  }

  // The highest version, or null when there is none or the highest version is unavailable: an
  // older release never stands in for a newer broken one.
  const Release* Latest() const;
  // That version, or null (also when it is unavailable).
  const Release* Find(const Version& version) const;
  const std::map<Version, Release, VersionLess>& All() const { return releases_; }

  // Releases left out as broken (only with skipBroken).
  const std::map<Version, BrokenRelease, VersionLess>& Unavailable() const { return broken_; }
  // Why that version is unavailable, or null when it is not.
  const BrokenRelease* FindUnavailable(const Version& version) const;
  // The newest version when it is unavailable, or null.
  const BrokenRelease* LatestUnavailable() const;
  // Entries of root not taken as releases, by name.
  const std::vector<IgnoredEntry>& Ignored() const { return ignored_; }

 private:
  std::map<Version, Release, VersionLess> releases_;
  std::map<Version, BrokenRelease, VersionLess> broken_;
  std::vector<IgnoredEntry> ignored_;
};

}  // namespace aus::server
