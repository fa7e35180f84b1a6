#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace network::common {

// The ranges of a download (of kPartSize bytes each, the last one shorter) whose bytes are on the
// disk, kept in "<download>.journal" beside it, so that a download interrupted by a kill or a
// failed run resumes from them instead of from byte 0. A range is recorded only after the
// download's data was synced, so a power cut never leaves the journal claiming bytes the file
// lost; syncs are batched (every few ranges, or a second after the last one), and made by whoever
// calls Flush. Any failure to
// write the journal only costs the resume: nothing here throws on I/O.
//
// The journal starts with a header naming the file's size and digest and the range size; each
// range is then one appended record that carries its index twice (the second time inverted), so
// a torn or zeroed tail is recognised. Safe to use from several threads.
class RangeJournal {
 public:
  // Forces the data of the file at a path to the disk (platform::SyncFile in the engine).
  using Sync = std::function<std::error_code(const std::string& path)>;

  // Ranges recorded together, at most, between two syncs.
  static constexpr std::size_t kRangesPerSync = 4;
  static constexpr std::chrono::seconds kSyncInterval{1};

  // Reads the journal of the download at `download`, made for a file of `size` bytes with
  // `digest`. The journal is discarded (removed) and starts empty when it is for another size,
  // digest or range size, when it claims a range the download file is too short to hold, and
  // when it claims every range (the whole download then failed its digest check). A torn tail is
  // dropped. Reads only the bytes that are there: nothing is sized from the header.
  RangeJournal(std::string download, std::uint64_t size, std::vector<unsigned char> digest,
               Sync sync);
  RangeJournal(const RangeJournal&) = delete;
  RangeJournal& operator=(const RangeJournal&) = delete;

  // The journal's path for the download at `download`.
  static std::string PathFor(const std::string& download);

  std::uint64_t size() const { return size_; }
  // The ranges on disk when the journal was read, by index.
  const std::set<std::uint64_t>& done() const { return done_; }
  // The bytes they hold.
  std::uint64_t DoneBytes() const;

  // Range `index` is written to the download; it is recorded by a later Flush. Returns true when
  // a Flush is due (kRangesPerSync ranges wait, or kSyncInterval passed since the last one): the
  // caller runs it, on a thread that may wait for the disk.
  bool Written(std::uint64_t index);
  // Syncs the download and records the ranges written since the last record.
  void Flush();
  // The download is whole: the journal is removed.
  void Complete();

 private:
  void Load();
  void Discard();
  // Appends `indices` to the journal, writing the header first when the file is new.
  bool Append(const std::vector<std::uint64_t>& indices);
  std::string Header() const;

  const std::string download_;
  const std::string path_;
  const std::uint64_t size_;
  const std::vector<unsigned char> digest_;
  const Sync sync_;
  std::set<std::uint64_t> done_;  // set by the constructor only
  std::mutex mutex_;
  std::vector<std::uint64_t> pending_;              // guarded by mutex_
  std::chrono::steady_clock::time_point lastSync_;  // guarded by mutex_
  bool fresh_ = true;      // guarded by mutex_; the journal file has no valid header yet
  bool complete_ = false;  // guarded by mutex_
};

}  // namespace network::common
