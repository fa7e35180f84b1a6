#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace aus::server {

// What the file system says about a file's contents without reading them. Equal stamps mean
// unchanged contents as far as metadata can tell: a rewrite keeping the size and the
// modification time (reproducible builds, `rsync -a`) still moves the change time, which no
// copy tool can set back, and a file replaced by a rename has a new inode.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modifiedTime = 0;  // nanoseconds since 1970
  std::int64_t changeTime = 0;    // status change time (ctime), nanoseconds since 1970
  std::uint64_t inode = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The stamp of the file at `path`, symbolic links followed; nothing when it cannot be read.
std::optional<FileStamp> ReadFileStamp(const std::filesystem::path& path);
// The stamp of the file open as `descriptor`; nothing when it cannot be read.
std::optional<FileStamp> ReadFileStamp(int descriptor);

}  // namespace aus::server
