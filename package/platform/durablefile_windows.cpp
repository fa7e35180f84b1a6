#include "package/platform/durablefile.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {
namespace {

// The system's code, except that a missing file or folder compares equal to
// std::errc::no_such_file_or_directory as on POSIX.
std::error_code LastError() {
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  return {static_cast<int>(error), std::system_category()};
}

}  // namespace

std::error_code SyncFile(const std::string& path) {
  // FlushFileBuffers needs write access; sharing everything keeps a file that another handle
  // holds open (the download's writer, a running program) syncable.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  std::error_code error;
  if (!FlushFileBuffers(file)) error = LastError();
  if (!CloseHandle(file) && !error) error = LastError();
  return error;
}

std::error_code SyncFiles(const std::vector<std::string>& paths) {
  // No call syncs a whole volume without administrator rights. Each flush waits for the disk;
  // several at once let the disk take them together.
  constexpr std::size_t kMaxThreads = 8;
  const std::size_t threads =
      std::min({kMaxThreads, paths.size(),
                std::size_t{std::max(1u, std::thread::hardware_concurrency())} * 2});
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::error_code first;  // guarded by mutex
  const auto work = [&] {
    for (std::size_t i = next++; i < paths.size(); i = next++) {
      if (const std::error_code error = SyncFile(paths[i])) {
        std::lock_guard lock(mutex);
        if (!first) first = error;
      }
    }
  };
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads, same flushes
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  return first;
}

std::error_code SyncDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::make_error_code(std::errc::not_a_directory);
  }
  return {};
}

std::error_code WriteUnbuffered(const std::string&, std::uint64_t, std::string_view,
                                std::size_t& written) {
  // FILE_FLAG_NO_BUFFERING would be the equivalent; downloads go through the cache here.
  written = 0;
  return {};
}

}  // namespace platform
