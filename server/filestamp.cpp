#include "server/filestamp.h"

#include <sys/stat.h>

namespace aus::server {

namespace {

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileStamp StampOf(const struct stat& status) {
  FileStamp stamp;
  stamp.size = static_cast<std::uint64_t>(status.st_size);
  stamp.modifiedTime = Nanoseconds(status.st_mtim);
  stamp.changeTime = Nanoseconds(status.st_ctim);
  stamp.inode = static_cast<std::uint64_t>(status.st_ino);
  return stamp;
}

}  // namespace

// The server runs on POSIX only (it sends with sendfile); std::filesystem offers neither the
// change time nor the inode.
std::optional<FileStamp> ReadFileStamp(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return StampOf(status);
}

std::optional<FileStamp> ReadFileStamp(int descriptor) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return std::nullopt;
  return StampOf(status);
}

}  // namespace aus::server
