#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// Durability of files and folder entries: what a program wrote, and the renames it made, survive
// a power cut once these return without an error. One implementation per platform; neither
// throws. Errors are the system's own codes; a path that does not exist gives one equal to
// std::errc::no_such_file_or_directory on every platform.
namespace platform {

// Forces the data of the file at `path` (and what is needed to read it back, such as its size)
// to the disk: fdatasync on POSIX, FlushFileBuffers on Windows, which needs the file to be
// writable by the caller. Any handle's writes count, not only this call's.
std::error_code SyncFile(const std::string& path);

// Forces the data of every file in `paths` to the disk, as SyncFile on each would, in one go: on
// Linux one syncfs per file system holding their folders (which writes out everything dirty on
// it, so a batch of thousands of files waits for the disk about once instead of once per file);
// elsewhere on POSIX fdatasync of each; on Windows, which has no such call, FlushFileBuffers of
// each, on several threads. Returns the first error met, without saying which files were synced:
// a caller that needs to know syncs them one by one. A missing folder is an error everywhere
// (no_such_file_or_directory), a missing file only where each file is synced on its own.
std::error_code SyncFiles(const std::vector<std::string>& paths);

// Forces the entries of the folder at `path` (files created, renamed or removed in it) to the
// disk: fsync of the folder on POSIX, where a filesystem that cannot sync folders counts as
// synced. On Windows the filesystem journals entries itself: only the folder's existence is
// checked.
std::error_code SyncDirectory(const std::string& path);

// Writes the leading whole blocks of `data` at `offset` of the existing file at `path` past the
// system's file cache, straight to the disk (O_DIRECT on Linux), and sets `written` to how many
// bytes that was: a multiple of kUnbufferedBlock, and 0 where the system or the filesystem takes
// no such writes (Windows, some filesystems) or `offset` is not a multiple of kUnbufferedBlock. The
// caller writes the rest as usual. A large download copied into the cache costs as much again as
// receiving it and is written out later anyway; this skips both. Durability still needs SyncFile
// or SyncFiles (the file's size, the disk's own cache). An error leaves `written` 0.
inline constexpr std::size_t kUnbufferedBlock = 4096;
std::error_code WriteUnbuffered(const std::string& path, std::uint64_t offset,
                                std::string_view data, std::size_t& written);

}  // namespace platform
