#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "package/network/common/client.h"
#include "package/network/common/downloadfile.h"
#include "package/network/common/downloadtask.h"
#include "package/network/common/file.h"
#include "package/network/common/rangedigest.h"
#include "package/network/common/rangejournal.h"

namespace network::common {

// Downloads a set of remote files in parallel for one download run: each file is cut into ranges
// of kPartSize bytes (one whole-file range when it is no larger), and the ranges run on up to
// (hardware threads - 1) workers, each with its own connection to the server. Ranges are cut as
// workers take them, so a queued file costs the same whatever size the server claims. Neither lock
// is held during network I/O or while calling the progress function, and no code path holds both.
// For a process that downloads, called once at its start before other threads run: with glibc,
// allocations up to two ranges come from the heap instead of fresh mappings, up to 32 MiB of freed
// heap stays with the process (until a Download ends), so that range buffers and packets are
// reused rather than faulted in anew, and all threads share one heap. A process-wide setting, so
// the program decides, not the library. Elsewhere it does nothing.
void KeepTransferBuffersMapped();

// How a DownloadManager uses the network.
struct DownloadOptions {
  // FileData requests each connection keeps outstanding. The server answers them in order, and
  // a request waiting for its turn holds no buffer, so this costs no memory; above 1 it spares a
  // round trip per range and per file. Values above kMaxRequestsInFlight count as that.
  unsigned requestsInFlight = 1;
  static constexpr unsigned kMaxRequestsInFlight = 64;
  // Workers, each with its own connection; 0 means WorkerCount's formula. Never more than the
  // ranges queued, nor than kMaxConnections.
  unsigned connections = 0;
  static constexpr unsigned kMaxConnections = 32;
  // A range whose connection fails on a transient error (reset, closed, timed out, refused) is
  // sent again on a fresh connection, after a wait of `backoff`, doubled for every further try,
  // each varied by up to a quarter either way, so that clients dropped together do not come
  // back together. At most `retries` tries in a row without a range completing.
  unsigned retries = 3;
  std::chrono::milliseconds backoff{500};
  // Whether each file's SHA-256 is taken as its ranges arrive (File::digest), from their bytes in
  // memory on the thread that writes them, never on the one reading the socket. Ranges written
  // ahead of the ones before them are read back from the file.
  bool digests = false;
  // Gets one line per retry, on the worker's thread (the engine logs it as a warning). Must not
  // throw.
  std::function<void(const std::string&)> warn;
};

class DownloadManager {
 public:
  using Progress = std::function<void(std::uint64_t downloaded, std::uint64_t total)>;
  using Completed = std::function<void(const std::shared_ptr<File>& file)>;
  // The size in bytes of the file system that would hold a file at `localPath`.
  using Capacity = std::function<std::uint64_t(const std::string& localPath)>;

  // `client` asks the file sizes in Add and lends its host, port, version, platform and timeout
  // to the workers' connections. `hardwareThreads` is what the machine reports (0 when unknown).
  // `capacity` bounds the size Add accepts for a local file.
  explicit DownloadManager(std::shared_ptr<Client> client,
                           unsigned hardwareThreads = std::thread::hardware_concurrency(),
                           Capacity capacity = FileSystemCapacity, DownloadOptions options = {});
  // Drops the ranges still queued.
  ~DownloadManager();
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  // Asks the file's size (File::Size on the shared client, on the calling thread), adds it to the
  // total and queues the file's ranges. File::Size's errors leave earlier files' ranges queued. A
  // size above the capacity of the file system that would hold the local file is refused before
  // anything is queued: std::runtime_error "File too large for its disk: <local path> is <size>
  // bytes, the file system holds <capacity> bytes". The capacity is asked once per folder: a file
  // in the same folder as the file added before it gets that one's answer. Called from one thread
  // at a time, as the shared client is.
  // With a `journal` (for this file's size), the ranges it holds are not fetched again (the file
  // keeps its bytes, and they count as downloaded), and each range written is recorded in it;
  // the journal is completed, and removed, once the file is whole.
  void Add(const std::shared_ptr<File>& file, std::shared_ptr<RangeJournal> journal = {});

  // Runs the queued ranges on WorkerCount workers and returns how many completed. `progress` gets
  // (downloaded, total) after every data block, from the workers' threads, possibly at the same
  // time and out of order; it must outlive the call. `completed`, when set, gets each file once,
  // right after the last of its ranges is written (the whole file is then on disk), on the thread
  // that wrote it; whatever it throws fails that worker as a write would. Throws
  // std::runtime_error with the first failed worker's text, in creation order, once every worker
  // has ended:
  //   socket failure: "Error while downloading resources\nCheck the Internet connection and try
  //   again"; other std::exception: its what() + "\n    at network::common::DownloadThread::Run";
  //   anything else: "unhandled exception\n    at network::common::DownloadThread::Run".
  // A failed worker's remaining tasks are left to the others, or stay queued if all fail. The
  // memory the workers freed goes back to the system at the end.
  unsigned Download(const Progress& progress, const Completed& completed = {});

  // Drops every range no worker has taken yet; running ones finish and count.
  void Cancel();

  // For a quick shut-down: callable from any thread at any time while the manager lives. Drops
  // the queued ranges as Cancel does and aborts the shared client and every worker's connection
  // (Client::Abort), so that a running Add or Download returns at once. From then on Add throws
  // boost::system::system_error (operation_aborted), and Download, also one already running,
  // throws the socket failure's text.
  void Abort();

  // min(ranges, max(1, hardwareThreads - 1)), or min(ranges, connections) when `connections` is
  // set (at most DownloadOptions::kMaxConnections).
  static unsigned WorkerCount(unsigned hardwareThreads, std::uint64_t ranges,
                              unsigned connections = 0);
  // The ranges a file of `size` bytes is cut into: one up to kPartSize, else one per part.
  static std::uint64_t RangeCount(std::uint64_t size);
  // The capacity of the file system of the nearest existing folder on the way to `localPath`
  // (the folders missing yet are made there by the first write); the largest value when the
  // system cannot tell, so that an unknown capacity refuses nothing.
  static std::uint64_t FileSystemCapacity(const std::string& localPath);

 private:
  // Ranges exchanged but not yet written, per process: shared by the workers, at least one each.
  // With few workers the disk and the connection each get slack; with many, memory stays bounded
  // (every waiting range holds up to kPartSize bytes).
  static constexpr unsigned kWaitingRanges = 4;

  // A file whose ranges are not all taken yet.
  struct QueuedFile {
    std::shared_ptr<File> file;
    std::uint64_t size;
    std::uint64_t next;  // offset of the next range to take
    // Ranges not written yet, shared by the file's tasks; the last one written reports the file.
    std::shared_ptr<std::atomic<std::uint64_t>> rangesLeft;
    std::shared_ptr<RangeJournal> journal;  // null when the file is not journaled
    std::shared_ptr<RangeDigest> digest;    // made with the first range taken, if wanted
  };
  // A worker's connection, listed for Abort while it lives.
  class Connection;

  // Lists a worker's connection for Abort (aborting it at once if Abort came first), and takes
  // it off the list before it goes.
  void Enlist(Client& connection);
  void Unlist(Client& connection);
  // Cuts the next range of the first queued file; null when nothing is queued.
  std::unique_ptr<DownloadTask> Take();
  // A worker's job: opens its own connection, then runs tasks until the queue is empty, each
  // task's Finish overlapping the next ones' Exchange (up to `waiting` tasks wait for theirs); a
  // range of up to 64 KiB is finished on the worker's thread when no earlier one waits.
  // Keeps up to options_.requestsInFlight requests outstanding; after a transient failure, sends
  // them again on a new connection. Returns the tasks completed; an exception ends the job and
  // drops the failed task and those in flight (a Finish failure also drops the tasks exchanged
  // meanwhile, unwritten).
  unsigned Work(const Progress& progress, std::size_t waiting);
  // Waits before retry number `attempt`, ended early by Abort; false when aborted.
  bool Backoff(unsigned attempt);
  void Unreport(std::uint64_t bytes);
  void OnProgress(std::uint64_t bytes, const Progress& progress);
  // Called by each range of `file` once written; the last of `rangesLeft` reports the file.
  // `journal`, when set, records range `index`, and `digest` hashes its `data`.
  void OnWritten(const std::shared_ptr<File>& file, std::atomic<std::uint64_t>& rangesLeft,
                 const std::shared_ptr<RangeJournal>& journal, RangeDigest* digest,
                 std::uint64_t index, std::string_view data);

  std::shared_ptr<Client> client_;
  unsigned hardwareThreads_;
  Capacity capacity_;
  // The folder of the file Add last asked the capacity for, and the answer: a release lists the
  // files of a folder together, and one statfs per file cost more than the rest of Add.
  std::string capacityFolder_;
  std::uint64_t folderCapacity_ = 0;
  bool capacityKnown_ = false;
  const DownloadOptions options_;
  std::mutex taskMutex_;
  std::condition_variable abortedChanged_;  // with taskMutex_; wakes the workers' backoffs
  std::deque<QueuedFile> files_;            // guarded by taskMutex_
  std::vector<Client*> connections_;        // guarded by taskMutex_; the workers' own
  // Flushed when Download ends. Guarded by taskMutex_.
  std::vector<std::shared_ptr<RangeJournal>> journals_;
  bool aborted_ = false;  // guarded by taskMutex_
  std::mutex progressMutex_;
  std::uint64_t downloaded_ = 0;  // guarded by progressMutex_
  std::uint64_t total_ = 0;       // guarded by progressMutex_
  Completed completed_;           // set by Download before its workers start, read by them only
  class JournalFlusher;
  // Made by Download before its workers start when a file is journaled, ended once they have.
  std::unique_ptr<JournalFlusher> journalFlusher_;
};

}  // namespace network::common
