#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace taln {

// One file of an installation. `name` is relative to the root with '/' between components;
// every '\' is turned into '/' when a name enters a database. `modifiedTime` is the last-write
// time in seconds since 1970 (0 for items received from the server). `hash` is the SHA-256
// digest. A default item (all zero, empty name and hash) stands for "nothing to do".
//
// `origin` says, in a local database, whether the launcher put the file there: only such a file
// is removed when a release no longer lists it. Items received from the server are kFound.
struct UpdateItem {
  enum class Origin : std::uint8_t {
    kFound = 0,      // found on disk (a scan, an older "Update.db"): maybe the player's own
    kInstalled = 1,  // installed from the update server, or found identical to the release's file
    kChanged = 2,    // installed, then changed on disk (a player's edit): never removed
    kRemoved = 3,    // moved aside as "<name>.$$$" by the launcher; its backup is not put back
  };

  std::uint16_t index = 0;
  std::string name;
  std::uint64_t size = 0;
  std::int64_t modifiedTime = 0;
  std::vector<unsigned char> hash;
  bool required = false;
  Origin origin = Origin::kFound;

  friend bool operator==(const UpdateItem&, const UpdateItem&) = default;
};

// Replaces every '\' in `name` by '/'.
void NormalizeName(std::string& name);

// Whether a normalised name stays inside the root when joined to it: false for an empty name,
// an absolute one (leading '/'), a drive-qualified one ("C:..."), one with a ".." component or
// one holding a NUL byte. Names that fail must never become paths.
bool IsSafeName(const std::string& name);

// SHA-256 of the file's contents. Empty when the file cannot be opened
// or a read fails part way (no digest rather than the digest of a prefix).
std::vector<unsigned char> HashFile(const boost::filesystem::path& path);

// Two lower-case hex digits per byte, no separators: {0x0a, 0x1b, 0xff} gives "0a1bff".
std::string HexString(const std::vector<unsigned char>& bytes);

// "{index, name, size, time, hex digest, true|false}" for the log. The time is `modifiedTime` as
// UTC in strftime's "%c" form; when it cannot be formatted it is left out with its ", ".
std::string DescribeItem(const UpdateItem& item);

}  // namespace taln
