#pragma once

#include <cstdint>
#include <fstream>
#include <ios>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/network/protocol/version.h"

namespace network::common {

class Client;

// A remote file on the update server, addressed by its index or by version and path, and the
// local file its downloaded ranges are written into. Shared by its owner and every download task
// cut from it.
class File {
 public:
  // Addressed by index, size known.
  File(unsigned short index, std::string localPath, std::uint64_t size);
  // Addressed by version and path, size asked from the server on first use.
  File(std::string remotePath, std::string localPath, const Version& version);
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // The size in bytes; asks the server (FileSize, type 12) only the first time, and only for a
  // file addressed by path. Before asking, the remote path's '/' become '\' for good, so later
  // requests built from this File carry them too. Throws std::logic_error("Unexpected packet")
  // for a reply of another type or without the reply bit, aus::UpdateError when the server
  // refuses, IO_Error for a short reply and the Client's errors. A failed call asks again next
  // time. Not thread-safe: called on the thread that owns `client`, before any download of this
  // file starts.
  std::uint64_t Size(Client& client);

  // Writes every byte of `data` at `position` of the local file and flushes, so the file on disk
  // is complete once the last range is written. The whole blocks of a large range go past the
  // file cache where the system allows it (platform::WriteUnbuffered). The first call creates the
  // missing folders and opens the file truncated, or as it is after KeepContents. Safe to call from
  // several threads. Throws std::ios_base::failure "Could not create file: <local path>" when the
  // file cannot be opened, "Could not write file: <local path>" when writing fails, and
  // std::filesystem::filesystem_error when a folder cannot be created.
  void Write(std::streampos position, std::string_view data);

  // For a download resumed from ranges already on disk: the first Write keeps the file's bytes
  // (creating it if missing). Called before the first Write.
  void KeepContents() { keepContents_ = true; }

  // The SHA-256 of the whole file as its ranges arrived, when the DownloadManager took it
  // (DownloadOptions::digests); set before the file is reported complete. Empty otherwise.
  const std::vector<unsigned char>& digest() const { return digest_; }
  void SetDigest(std::vector<unsigned char> digest) { digest_ = std::move(digest); }

  bool byIndex() const { return byIndex_; }
  unsigned short index() const { return index_; }
  const std::optional<std::string>& remotePath() const { return remotePath_; }
  const std::optional<Version>& version() const { return version_; }
  const std::string& localPath() const { return localPath_; }
  // The size once known, without asking the server.
  std::optional<std::uint64_t> knownSize() const;

 private:
  std::mutex writeMutex_;
  std::unique_ptr<std::ofstream> output_;  // guarded by writeMutex_; made by the first Write
  // Where output_ writes next: a fresh stream writes at 0. Guarded by writeMutex_.
  std::streampos outputAt_ = 0;
  bool byIndex_;
  unsigned short index_ = 0;
  std::optional<std::string> remotePath_;
  std::string localPath_;
  std::optional<Version> version_;
  bool sizeKnown_;
  bool keepContents_ = false;
  std::vector<unsigned char> digest_;
  std::uint64_t size_ = 0;
};

}  // namespace network::common
