#include "package/platform/durablefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

namespace platform {
namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

int OpenForSync(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The sync's error, else the close's: a close that fails after a sync loses nothing, but it is
// the caller's to know.
std::error_code SyncAndClose(int fd, int (*sync)(int), bool unsupportedCounts) {
  std::error_code error;
  int result;
  do {
    result = sync(fd);
  } while (result < 0 && errno == EINTR);
  if (result < 0 && !(unsupportedCounts && (errno == EINVAL || errno == ENOTSUP))) {
    error = LastError();
  }
  if (::close(fd) < 0 && !error && errno != EINTR) error = LastError();
  return error;
}

}  // namespace

std::error_code SyncFile(const std::string& path) {
  const int fd = OpenForSync(path, 0);
  if (fd < 0) return LastError();
  return SyncAndClose(fd, ::fdatasync, false);
}

std::error_code SyncFiles(const std::vector<std::string>& paths) {
#ifdef __linux__
  // One file of each file system stands for all of its files: syncfs writes out the whole file
  // system. A folder below the root may be another mount, hence the device of every file.
  std::set<dev_t> devices;
  for (const std::string& path : paths) {
    struct stat status {};
    if (::stat(path.c_str(), &status) < 0) return LastError();
    if (!devices.insert(status.st_dev).second) continue;
    const int fd = OpenForSync(path, 0);
    if (fd < 0) return LastError();
    if (const std::error_code error = SyncAndClose(fd, ::syncfs, false)) return error;
  }
  return {};
#else
  for (const std::string& path : paths) {
    if (const std::error_code error = SyncFile(path)) return error;
  }
  return {};
#endif
}

std::error_code SyncDirectory(const std::string& path) {
  const int fd = OpenForSync(path, O_DIRECTORY);
  if (fd < 0) return LastError();
  // Some filesystems (and some network shares) refuse to sync a folder: there is nothing more
  // the program can do there.
  return SyncAndClose(fd, ::fsync, true);
}

}  // namespace platform
