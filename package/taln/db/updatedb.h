#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "package/network/protocol/version.h"
#include "package/taln/db/updateitem.h"

namespace taln {

// Every byte of "Update.db" is stored XORed with this mask.
inline constexpr unsigned char kUpdateDbMask = 0x6B;
// The launcher's record of the last signed release it accepted, at the top of the root; like
// "Update.db" it is the launcher's own and never listed by a scan.
inline constexpr const char* kReleaseStateFile = "Release.state";

// An ordered list of the files of one installation. A database with a root describes the files
// under it and is kept in root/"Update.db"; one without a root (the default) holds what the
// update server listed. Copies are deep. Not safe for concurrent use.
//
// "Update.db" holds, with every byte masked: a u32 item count, then per item the u16 index,
// u32 name length and the name's bytes, u64 size, i64 modifiedTime, u32 digest length and the
// digest's bytes, and one flags byte; integers little-endian. The flags byte holds `required` in
// bit 0 and `origin` in bits 1 and 2; a byte above 7 (never written) reads as required and found.
// A reader that takes any non-zero byte for required misreads only an optional file the launcher
// installed, which it then takes for required; decisions take `required` from the server. A
// kRemoved record stays until the next Load, so that the sweep at the next start knows the
// backup of that file for one not to put back.
class UpdateDB {
 public:
  using Items = std::vector<UpdateItem>;

  // No root, no items, version {0, 0, 0}.
  UpdateDB() = default;
  // A database of the given items without a root.
  explicit UpdateDB(Items items);
  // Throws boost::filesystem::filesystem_error (not a directory) unless `root` is an existing
  // directory.
  explicit UpdateDB(const boost::filesystem::path& root);

  // Replaces the items with root/"Update.db", then drops items whose file is gone and re-hashes
  // (setting modified) those whose last-write time changed; an installed file whose digest then
  // differs becomes kChanged. A kRemoved item is dropped, or becomes kFound where a file of its
  // name is there again, and either sets modified. Modified is cleared first. False,
  // with no items, when the file cannot be opened or read, is truncated, claims more than it
  // holds, or names a file outside the root.
  bool Load();
  // Replaces the items with root/"Update.db" as stored, without looking at the files; modified is
  // cleared. False, with no items, where Load fails for the file itself.
  bool LoadRecords();
  // Writes the items to root/"Update.db.$$$", syncs that file to the disk, renames it over
  // root/"Update.db", syncs the root folder and clears modified: a process killed meanwhile
  // leaves the previous database whole (the leftover is a backup that the engine's next start
  // sweeps), and after a power cut "Update.db" is the previous or the new database, never a torn
  // one. False, with modified unchanged, the previous database untouched and no leftover, when
  // the file cannot be written completely, synced or renamed. The folder's sync is not checked:
  // the database is in place by then.
  bool Save();
  // Replaces the items by a depth-first walk of the root: every regular file except
  // root/"Update.db" and anything named "CefCache" (not descended into), numbered from 0 in walk
  // order, required unless its native relative path is an optional file of the manifest. Sets
  // modified. Throws boost::numeric::positive_overflow at the 65,537th file, and lets the
  // walk's boost::filesystem errors through.
  void Scan();
  // Scan, then each scanned file that root/"Update.db" records takes that record's origin: the
  // same where the digests match, kChanged for an installed file whose digest differs, kFound
  // for a removed one. A repair: every file is hashed, while what the launcher installed stays
  // known.
  void Rescan();
  // Reads root/"manifest" into OptionalFiles() and ManifestVersion(); a missing manifest leaves
  // no optional files. Never throws: a manifest that cannot be parsed, has an unknown option or
  // lacks a version key writes "Failed to parse manifest: <reason>" to standard error.
  void ReadManifest();

  // The items of `aus` that `local` needs, in aus's order, with aus's root and version: those
  // whose name local holds with another digest, and the required ones local lacks.
  static UpdateDB Diff(const UpdateDB& aus, const UpdateDB& local);

  // Names compare byte for byte as stored; the first matching item counts. Lookups by name take
  // constant time: an update of tens of thousands of files looks up each of them.
  bool Contains(const std::string& name) const;
  // The item named `name`. Throws aus::UpdateError with aus::TagErrorCode 3 when there is none.
  // Its name must not be changed through the reference.
  UpdateItem& Get(const std::string& name);
  const UpdateItem& Get(const std::string& name) const;
  // Appends a copy of `item` and sets modified unless an item of that name exists.
  void AddIfAbsent(const UpdateItem& item);
  // Replaces the first item of `item`'s name by a copy of `item`, or appends it when there is
  // none, and sets modified.
  void Put(const UpdateItem& item);
  // Drops every item named `name` and sets modified; nothing when there is none.
  void Remove(const std::string& name);

  bool IsModified() const { return modified_; }
  Items::const_iterator begin() const { return items_.begin(); }
  Items::const_iterator end() const { return items_.end(); }
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }

  const boost::filesystem::path& Root() const { return root_; }
  const std::set<std::string>& OptionalFiles() const { return optionalFiles_; }
  const Version& ManifestVersion() const { return manifestVersion_; }

 private:
  template <typename Self>
  static auto& Find(Self& self, const std::string& name);
  bool Parse(std::string bytes);
  void Refresh();
  // Every change to items_ goes through these three, which keep byName_ in step.
  void Append(UpdateItem item);
  void Clear();
  void Reindex();

  Items items_;
  std::unordered_map<std::string, std::size_t> byName_;  // the first item of each name
  boost::filesystem::path root_;
  std::set<std::string> optionalFiles_;
  Version manifestVersion_;
  bool modified_ = false;
};

}  // namespace taln
