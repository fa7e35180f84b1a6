#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/filestamp.h"

namespace aus::server {

// File digests remembered between runs of the server, each valid while its file keeps the stamp
// (size, modification time, change time, inode) it had when digested. Stored as a text file: the
// line "aus-digests 2", then one line per file: hex digest, size, modification time, change time,
// inode, key (the rest of the line). Files of the first format ("aus-digests 1", without change
// time and inode) are read as empty: none of their entries can be trusted.
class DigestCache {
 public:
  explicit DigestCache(std::filesystem::path file);

  // Reads the stored digests. A missing file, or lines that do not parse, are skipped.
  void Load();

  // The digest stored under `key` when it was taken at exactly this stamp.
  std::optional<std::vector<unsigned char>> Find(const std::string& key,
                                                 const FileStamp& stamp) const;

  // Records a digest for the next Save.
  void Put(const std::string& key, const FileStamp& stamp, const std::vector<unsigned char>& hash);

  // Records for the next Save every digest `other` loaded; Add(*this) keeps this cache's own.
  void Add(const DigestCache& other);

  // Replaces the file, by writing a temporary beside it and renaming it over, with the digests
  // Put since construction (so files that are gone drop out). False when it cannot be written.
  // Keys holding a line break are not stored. The temporary's name is the file's plus ".tmp" and
  // a random suffix, so that processes saving at once (a server reloading while a release is
  // published) never write into one another's temporary: the last rename wins whole.
  bool Save() const;

 private:
  struct Entry {
    FileStamp stamp;
    std::vector<unsigned char> hash;
  };

  std::filesystem::path file_;
  std::map<std::string, Entry> loaded_;
  std::map<std::string, Entry> current_;
};

}  // namespace aus::server
