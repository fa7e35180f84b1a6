#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace aus::server {

// File digests remembered between runs of the server, each valid while its file keeps the size
// and last-write time it had when digested. Stored as a text file: the line "aus-digests 1",
// then one line per file: hex digest, size, last-write time, key (the rest of the line).
class DigestCache {
 public:
  explicit DigestCache(std::filesystem::path file);

  // Reads the stored digests. A missing file, or lines that do not parse, are skipped.
  void Load();

  // The digest stored under `key` when it was taken at this size and last-write time.
  std::optional<std::vector<unsigned char>> Find(const std::string& key, std::uint64_t size,
                                                 std::int64_t modifiedTime) const;

  // Records a digest for the next Save.
  void Put(const std::string& key, std::uint64_t size, std::int64_t modifiedTime,
           const std::vector<unsigned char>& hash);

  // Replaces the file, by writing a temporary beside it and renaming it over, with the digests
  // Put since construction (so files that are gone drop out). False when it cannot be written.
  // Keys holding a line break are not stored.
  bool Save() const;

 private:
  struct Entry {
    std::uint64_t size = 0;
    std::int64_t modifiedTime = 0;
    std::vector<unsigned char> hash;
  };

  std::filesystem::path file_;
  std::map<std::string, Entry> loaded_;
  std::map<std::string, Entry> current_;
};

}  // namespace aus::server
