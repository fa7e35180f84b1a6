#include "package/platform/durablefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

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

// Unbuffered writes need their memory aligned as their offsets and lengths; the bytes go through
// one such buffer per writing thread, made at its first unbuffered write.
constexpr std::size_t kUnbufferedChunk = 1 << 20;

struct FreeDeleter {
  void operator()(char* memory) const { std::free(memory); }
};

char* UnbufferedChunk() {
  thread_local std::unique_ptr<char, FreeDeleter> chunk(
      static_cast<char*>(std::aligned_alloc(kUnbufferedBlock, kUnbufferedChunk)));
  return chunk.get();
}

// The writes a filesystem or a device refuses for their kind rather than their content.
bool UnbufferedRefused(int error) {
  return error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP;
}

}  // namespace

std::error_code SyncFile(const std::string& path) {
  const int fd = OpenForSync(path, 0);
  if (fd < 0) return LastError();
  return SyncAndClose(fd, ::fdatasync, false);
}

std::error_code SyncFiles(const std::vector<std::string>& paths) {
#ifdef __linux__
  // One folder of each file system stands for all of its files: syncfs writes out the whole file
  // system. A folder below the root may be another mount, hence the device of every folder; a look
  // per folder rather than per file, as thousands of files share a few folders.
  std::set<std::string_view> folders;
  std::set<dev_t> devices;
  for (const std::string& path : paths) {
    const std::size_t slash = path.find_last_of('/');
    const std::string_view folder = slash == std::string::npos ? std::string_view(".")
                                    : slash == 0               ? std::string_view("/")
                                                 : std::string_view(path).substr(0, slash);
    if (!folders.insert(folder).second) continue;
    const std::string folderPath(folder);
    struct stat status {};
    if (::stat(folderPath.c_str(), &status) < 0) return LastError();
    if (!devices.insert(status.st_dev).second) continue;
    const int fd = OpenForSync(folderPath, O_DIRECTORY);
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

std::error_code WriteUnbuffered(const std::string& path, std::uint64_t offset,
                                std::string_view data, std::size_t& written) {
  written = 0;
  const std::size_t blocks = data.size() / kUnbufferedBlock * kUnbufferedBlock;
#ifdef O_DIRECT
  if (blocks == 0 || offset % kUnbufferedBlock != 0) return {};
  char* const chunk = UnbufferedChunk();
  if (chunk == nullptr) return {};
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return UnbufferedRefused(errno) ? std::error_code() : LastError();
  std::error_code error;
  std::size_t done = 0;
  while (done < blocks && !error) {
    const std::size_t n = std::min(kUnbufferedChunk, blocks - done);
    std::memcpy(chunk, data.data() + done, n);
    const ssize_t result = ::pwrite(fd, chunk, n, static_cast<off_t>(offset + done));
    if (result < 0 && errno == EINTR) continue;
    // Refused at the first write: the rest goes through the cache. Refused later, or short
    // (a full disk), is an error like any other.
    if (result < 0 && done == 0 && UnbufferedRefused(errno)) break;
    if (result < 0) {
      error = LastError();
    } else if (static_cast<std::size_t>(result) != n) {
      error = std::make_error_code(std::errc::no_space_on_device);
    } else {
      done += n;
    }
  }
  if (::close(fd) < 0 && !error && errno != EINTR) error = LastError();
  if (!error) written = done;
  return error;
#else
  (void)path;
  (void)offset;
  (void)blocks;
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
