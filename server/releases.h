#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "package/network/protocol/opacket.h"
#include "package/network/protocol/version.h"
#include "package/taln/db/updateitem.h"

namespace aus::server {

// One file of a release: the item the server lists (`name` with '/', `modifiedTime` unused), and
// where its bytes are read from.
struct ReleaseFile : taln::UpdateItem {
  std::filesystem::path path;
  std::int64_t lastWrite = 0;  // last-write time at scan time, nanoseconds since 1970

  // Whether the file still has the size and last-write time its digest was taken at.
  bool Unchanged() const;
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

// "major.minor.revision" with three non-negative decimal numbers and nothing else, or nothing.
std::optional<Version> ParseReleaseFolder(const std::string& name);

// The releases under a directory, read once at start and immutable afterwards, so any number of
// threads may read them.
//
// Layout: root/<major>.<minor>.<revision>/ holds one version's files (other entries of root are
// ignored). Within a version every regular file counts except "Update.db" at its top and
// anything named "CefCache"; an optional top-level "manifest" (the launcher's format) marks the
// files its "deploy.optional" entries name, with '\' or '/' separators, as not required.
// Digests are cached in root/kDigestCacheName and reused while a file's size and last-write time
// are unchanged.
class Releases {
 public:
  static constexpr const char* kDigestCacheName = ".aus-digests";

  // Called after each file digested: bytes digested so far and the total to digest.
  using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

  // Scans `root`. Throws std::runtime_error when root is not a readable directory. A version
  // folder that cannot be served (unreadable, or over 65,536 files) is logged and left out.
  static std::shared_ptr<const Releases> Load(const std::filesystem::path& root,
                                              const Progress& progress = {});

  // The highest version, or null when there is none.
  const Release* Latest() const;
  // That version, or null.
  const Release* Find(const Version& version) const;
  const std::map<Version, Release, VersionLess>& All() const { return releases_; }

 private:
  std::map<Version, Release, VersionLess> releases_;
};

}  // namespace aus::server
