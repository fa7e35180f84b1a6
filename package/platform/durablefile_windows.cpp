#include "package/platform/durablefile.h"

#include <windows.h>

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

std::error_code SyncDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::make_error_code(std::errc::not_a_directory);
  }
  return {};
}

}  // namespace platform
