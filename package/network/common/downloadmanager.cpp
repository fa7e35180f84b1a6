#include "package/network/common/downloadmanager.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "package/network/protocol/updateerror.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace network::common {

namespace {

constexpr char kSocketFailure[] =
    "Error while downloading resources\nCheck the Internet connection and try again";

// Runs one worker's job on a thread of its own; the destructor joins it. Nothing the job throws
// escapes: it becomes the text in error().
class DownloadThread {
 public:
  explicit DownloadThread(const std::function<unsigned()>& work)
      : work_(work), thread_([this] { Run(); }) {}
  ~DownloadThread() { Join(); }
  DownloadThread(const DownloadThread&) = delete;
  DownloadThread& operator=(const DownloadThread&) = delete;

  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // Valid after Join.
  const std::string& error() const { return error_; }
  unsigned count() const { return count_; }

 private:
  void Run() {
    try {
      count_ = work_();
    } catch (const boost::system::system_error&) {
      error_ = kSocketFailure;
    } catch (const aus::UpdateError& e) {
      // Its what() says nothing; the code and the file are what support needs.
      error_ = aus::RefusalText(e) + "\n    at network::common::DownloadThread::Run";
    } catch (const std::exception& e) {
      error_ = std::string(e.what()) + "\n    at network::common::DownloadThread::Run";
    } catch (...) {
      error_ = "unhandled exception\n    at network::common::DownloadThread::Run";
    }
  }

  std::function<unsigned()> work_;
  std::string error_;
  unsigned count_ = 0;
  std::thread thread_;  // last: starts once the members above exist
};

// Finishes a worker's tasks in order on a thread of its own, so that the worker's connection
// serves the next exchanges while the disk takes the earlier ranges. Holds up to `capacity`
// handovers exchanged but not yet finished: the worker and the disk rarely take the same time for
// a range, and a few ranges of slack keep either from waiting on the other's slow moments. Small
// tasks are handed over together (Keep): one at a time, the wake-ups on each side cost more than
// writing them. When the finishing thread is behind, the worker writes small ones itself.
class Finisher {
 public:
  explicit Finisher(std::size_t capacity) : capacity_(capacity), thread_([this] { Loop(); }) {}
  // Finishes what was handed over, unless a Finish failed; drops the error.
  ~Finisher() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Finisher(const Finisher&) = delete;
  Finisher& operator=(const Finisher&) = delete;

  // Hands over what Keep holds, then `task`. Waits for room; throws the first error of an earlier
  // Finish, and `task` is then deleted unfinished, as is everything queued after the failed one.
  void Hand(std::unique_ptr<DownloadTask> task) {
    if (!kept_.empty()) HandKept();
    std::vector<std::unique_ptr<DownloadTask>> one;
    one.push_back(std::move(task));
    std::unique_lock lock(mutex_);
    WaitForRoom(lock);
    queue_.push_back({std::move(one), true});
    ++largeQueued_;
    changed_.notify_all();
  }
  // Holds a small task, of at most kSmallBytes, to be handed over with others: once kKeptTasks
  // are held, at the next Hand, or at Finished. Throws as Hand.
  void Keep(std::unique_ptr<DownloadTask> task) {
    kept_.push_back(std::move(task));
    if (kept_.size() >= kKeptTasks) HandKept();
  }
  // Hands over what Keep holds, waits until everything handed over is finished and returns how
  // many tasks were; throws as Hand.
  unsigned Finished() {
    if (!kept_.empty()) HandKept();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty(); });
    if (error_) std::rethrow_exception(error_);
    return finished_;
  }

  static constexpr std::uint64_t kSmallBytes = 64 * 1024;
  // Together no more than a range: a handover stands for one in the capacity.
  static constexpr std::size_t kKeptTasks = 16;

 private:
  // Hands over the small tasks held, or finishes them here when the finishing thread is behind:
  // the worker would only wait, and writing thousands of small files is more than one thread's
  // work. Each file's ranges still finish in order, as long as no large range is queued: a file's
  // only small range is its last.
  void HandKept() {
    std::vector<std::unique_ptr<DownloadTask>> kept;
    kept.swap(kept_);
    std::unique_lock lock(mutex_);
    if (error_) std::rethrow_exception(error_);
    if (queue_.size() >= capacity_ && largeQueued_ == 0) {
      lock.unlock();
      for (const auto& task : kept) task->Finish();
      lock.lock();
      finished_ += static_cast<unsigned>(kept.size());
      return;
    }
    WaitForRoom(lock);
    queue_.push_back({std::move(kept), false});
    changed_.notify_all();
  }
  void WaitForRoom(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return queue_.size() < capacity_ || error_; });
    if (error_) std::rethrow_exception(error_);
  }

  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;
      // Only this thread touches the front handover until it pops it.
      const std::vector<std::unique_ptr<DownloadTask>>& tasks = queue_.front().tasks;
      lock.unlock();
      std::exception_ptr error;
      unsigned finished = 0;
      try {
        for (const auto& task : tasks) {
          task->Finish();
          ++finished;
        }
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      finished_ += finished;
      if (error) {
        error_ = error;
        queue_.clear();
        largeQueued_ = 0;
      } else {
        if (queue_.front().large) --largeQueued_;
        queue_.pop_front();
      }
      changed_.notify_all();
    }
  }

  const std::size_t capacity_;
  std::vector<std::unique_ptr<DownloadTask>> kept_;  // the worker's own
  std::mutex mutex_;
  std::condition_variable changed_;
  struct Handover {
    std::vector<std::unique_ptr<DownloadTask>> tasks;
    bool large;  // one task of more than kSmallBytes
  };
  // Handovers of exchanged tasks, the front one being finished. Guarded by mutex_; empty once a
  // Finish failed.
  std::deque<Handover> queue_;
  std::size_t largeQueued_ = 0;  // guarded by mutex_
  std::exception_ptr error_;     // guarded by mutex_
  unsigned finished_ = 0;        // guarded by mutex_
  bool stopping_ = false;        // guarded by mutex_
  std::thread thread_;           // last: starts once the members above exist
};

// The failures a new connection may not meet again: the peer or the path dropped the connection,
// or the server is restarting. Aborts, refusals and malformed replies are not among them.
bool IsTransient(const boost::system::error_code& error) {
  namespace e = boost::asio::error;
  return error == e::connection_reset || error == e::eof || error == e::timed_out ||
         error == e::broken_pipe || error == e::connection_aborted ||
         error == e::connection_refused || error == e::network_reset || error == e::network_down ||
         error == e::network_unreachable || error == e::host_unreachable ||
         error == e::not_connected || error == e::shut_down;
}

}  // namespace

class DownloadManager::Connection {
 public:
  // Listed before it connects, so that Abort can end the connect too.
  explicit Connection(DownloadManager& manager)
      : manager_(manager),
        client_(manager.client_->host(), manager.client_->port(), manager.client_->version(),
                manager.client_->platform(), true, manager.client_->timeout()) {
    manager_.Enlist(client_);
  }
  ~Connection() { manager_.Unlist(client_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Client& client() { return client_; }

 private:
  DownloadManager& manager_;
  Client client_;
};

// Syncs downloads and records their ranges in their journals on a thread of its own: a sync waits
// for the disk, and on the thread that writes the ranges it held up the connection behind it (a
// 512 MiB install took 1.4 times as long).
class DownloadManager::JournalFlusher {
 public:
  JournalFlusher() : thread_([this] { Loop(); }) {}
  // Flushes what was queued, then ends.
  ~JournalFlusher() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  JournalFlusher(const JournalFlusher&) = delete;
  JournalFlusher& operator=(const JournalFlusher&) = delete;

  void Add(std::shared_ptr<RangeJournal> journal) {
    {
      std::lock_guard lock(mutex_);
      if (std::find(queue_.begin(), queue_.end(), journal) != queue_.end()) return;
      queue_.push_back(std::move(journal));
    }
    changed_.notify_one();
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;
      const std::shared_ptr<RangeJournal> journal = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      journal->Flush();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<RangeJournal>> queue_;  // guarded by mutex_
  bool stopping_ = false;                            // guarded by mutex_
  std::thread thread_;                               // last: starts once the members above exist
};

void KeepTransferBuffersMapped() {
#ifdef __GLIBC__
  // By default glibc maps a range buffer afresh and trims the freed memory of the workers' arenas
  // after each range and packet, so every buffer is faulted in again; this made a download a
  // quarter slower (engine_bench). Thresholds above the range size keep them in the arenas. Only
  // just above it: larger blocks, such as the item lists of a release of 65,536 files, are mapped
  // and go back to the system when freed, rather than staying in the heap (145 against 129 MiB
  // peak for such a release).
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(2 * kPartSize));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(16 * kPartSize));
  // One heap for every thread: memory freed by one thread is reused by the others. With an arena
  // per thread, what the engine's thread freed (the queued files) could not hold what the writing
  // threads allocated (each file's digest), and a release of 65,536 files peaked 13 MiB higher.
  // A handful of threads allocate here, so the shared lock costs nothing measurable.
  mallopt(M_ARENA_MAX, 1);
#endif
}

namespace {

DownloadOptions Bounded(DownloadOptions options) {
  options.requestsInFlight =
      std::clamp(options.requestsInFlight, 1u, DownloadOptions::kMaxRequestsInFlight);
  options.connections = std::min(options.connections, DownloadOptions::kMaxConnections);
  return options;
}

}  // namespace

DownloadManager::DownloadManager(std::shared_ptr<Client> client, unsigned hardwareThreads,
                                 Capacity capacity, DownloadOptions options)
    : client_(std::move(client)),
      hardwareThreads_(hardwareThreads),
      capacity_(std::move(capacity)),
      options_(Bounded(std::move(options))) {}

DownloadManager::~DownloadManager() = default;

unsigned DownloadManager::WorkerCount(unsigned hardwareThreads, std::uint64_t ranges,
                                      unsigned connections) {
  const unsigned wanted = connections != 0 ? std::min(connections, DownloadOptions::kMaxConnections)
                          : hardwareThreads > 1 ? hardwareThreads - 1
                                                : 1;
  return static_cast<unsigned>(std::min<std::uint64_t>(wanted, ranges));
}

std::uint64_t DownloadManager::RangeCount(std::uint64_t size) {
  if (size <= kPartSize) return 1;
  // Not (size + kPartSize - 1) / kPartSize: that wraps for sizes near the largest.
  return size / kPartSize + (size % kPartSize != 0 ? 1 : 0);
}

std::uint64_t DownloadManager::FileSystemCapacity(const std::string& localPath) {
  namespace fs = boost::filesystem;
  boost::system::error_code error;
  fs::path folder = fs::path(localPath).parent_path();
  while (!folder.empty() && !fs::is_directory(folder, error)) folder = folder.parent_path();
  if (folder.empty()) folder = ".";
  const fs::space_info space = fs::space(folder, error);
  if (error) return std::numeric_limits<std::uint64_t>::max();
  return space.capacity;
}

void DownloadManager::Add(const std::shared_ptr<File>& file,
                          std::shared_ptr<RangeJournal> journal) {
  {
    // A file of known size would not touch the aborted shared client.
    std::lock_guard lock(taskMutex_);
    if (aborted_) throw boost::system::system_error(boost::asio::error::operation_aborted, "Add");
  }
  const std::uint64_t size = file->Size(*client_);
  // The size comes from the server: one that no disk here could hold is refused before it
  // counts anywhere.
  const std::string& localPath = file->localPath();
  const std::string_view folder(localPath.data(),
                                std::min(localPath.size(), localPath.find_last_of("/\\") + 1));
  if (!capacityKnown_ || folder != capacityFolder_) {
    folderCapacity_ = capacity_(localPath);
    capacityFolder_ = folder;
    capacityKnown_ = true;
  }
  const std::uint64_t capacity = folderCapacity_;
  if (size > capacity) {
    throw std::runtime_error("File too large for its disk: " + file->localPath() + " is " +
                             std::to_string(size) + " bytes, the file system holds " +
                             std::to_string(capacity) + " bytes");
  }
  std::uint64_t ranges = RangeCount(size);
  std::uint64_t done = 0;
  std::uint64_t next = 0;
  // A journal kept for another size describes other bytes.
  if (journal && journal->size() != size) journal.reset();
  if (journal && !journal->done().empty()) {
    file->KeepContents();
    ranges -= journal->done().size();
    done = journal->DoneBytes();
    while (journal->done().contains(next / kPartSize)) next += kPartSize;
  }
  {
    std::lock_guard lock(taskMutex_);
    if (aborted_) throw boost::system::system_error(boost::asio::error::operation_aborted, "Add");
    files_.push_back(
        {file, size, next, std::make_shared<std::atomic<std::uint64_t>>(ranges), journal, nullptr});
    if (journal) journals_.push_back(journal);
  }
  std::lock_guard lock(progressMutex_);
  total_ += size;
  downloaded_ += done;
}

std::unique_ptr<DownloadTask> DownloadManager::Take() {
  std::shared_ptr<File> file;
  std::shared_ptr<std::atomic<std::uint64_t>> rangesLeft;
  std::shared_ptr<RangeJournal> journal;
  std::shared_ptr<RangeDigest> digest;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  {
    std::lock_guard lock(taskMutex_);
    if (files_.empty()) return nullptr;
    QueuedFile& queued = files_.front();
    if (options_.digests && !queued.digest) {
      // Made only now: a queue of thousands of files holds no hashing state.
      queued.digest = std::make_shared<RangeDigest>(
          queued.file->localPath(), queued.size,
          queued.journal ? queued.journal->done() : std::set<std::uint64_t>{});
    }
    file = queued.file;
    rangesLeft = queued.rangesLeft;
    journal = queued.journal;
    digest = queued.digest;
    if (queued.size <= kPartSize) {
      // One request for the whole file (length 0: to its end).
      files_.pop_front();
    } else {
      // Every range asks for a whole part; the server stops at the end of the file.
      offset = queued.next;
      length = kPartSize;
      // Past the ranges a resumed file holds already.
      do {
        queued.next += kPartSize;
      } while (journal && queued.next < queued.size &&
               journal->done().contains(queued.next / kPartSize));
      if (queued.next >= queued.size) files_.pop_front();
    }
  }
  DownloadFile::Written written = [this, file, rangesLeft, journal, digest,
                                   index = offset / kPartSize](std::string_view data) {
    OnWritten(file, *rangesLeft, journal, digest.get(), index, data);
  };
  return std::make_unique<DownloadFile>(std::move(file), offset, length, std::move(written));
}

void DownloadManager::OnWritten(const std::shared_ptr<File>& file,
                                std::atomic<std::uint64_t>& rangesLeft,
                                const std::shared_ptr<RangeJournal>& journal, RangeDigest* digest,
                                std::uint64_t index, std::string_view data) {
  if (digest) digest->Written(index, data);
  // The decrement orders every earlier range's write, and hashing, before the report.
  if (--rangesLeft != 0) {
    if (journal && journal->Written(index) && journalFlusher_) journalFlusher_->Add(journal);
    return;
  }
  // Removed at once, with no sync before: a process stopped between the last write and this
  // leaves a whole download, which the next start takes by its digest, and a journal beside it
  // that nothing would remove.
  if (journal) journal->Complete();
  if (digest) file->SetDigest(digest->Digest());
  if (completed_) completed_(file);
}

unsigned DownloadManager::Download(const Progress& progress, const Completed& completed) {
  completed_ = completed;
  std::uint64_t queued = 0;
  {
    std::lock_guard lock(taskMutex_);
    if (aborted_) throw std::runtime_error(kSocketFailure);
    // Saturating: the sum only bounds the worker count.
    for (const QueuedFile& file : files_) {
      const std::uint64_t ranges = RangeCount(file.size - file.next);
      queued += std::min(ranges, std::numeric_limits<std::uint64_t>::max() - queued);
    }
  }
  const unsigned workers = WorkerCount(hardwareThreads_, queued, options_.connections);
  {
    std::lock_guard lock(taskMutex_);
    if (!journals_.empty()) journalFlusher_ = std::make_unique<JournalFlusher>();
  }
  const std::size_t waiting = std::max(1u, kWaitingRanges / std::max(1u, workers));
  const std::function<unsigned()> work = [this, &progress, waiting] {
    return Work(progress, waiting);
  };
  std::vector<std::shared_ptr<DownloadThread>> threads;
  for (unsigned i = 0; i < workers; ++i) threads.push_back(std::make_shared<DownloadThread>(work));

  unsigned tasksDone = 0;
  std::string error;
  for (const auto& thread : threads) {
    thread->Join();
    if (error.empty()) error = thread->error();
    tasksDone += thread->count();
  }
  // Whatever stopped the run, the ranges written so far are kept for the next one.
  journalFlusher_.reset();
  std::vector<std::shared_ptr<RangeJournal>> journals;
  {
    std::lock_guard lock(taskMutex_);
    journals.swap(journals_);
  }
  for (const auto& journal : journals) journal->Flush();
#ifdef __GLIBC__
  // The range buffers and packets freed by the workers stay with the process (see
  // KeepTransferBuffersMapped) unless given back: up to tens of MiB, on top of what an install of
  // tens of thousands of files needs next.
  malloc_trim(0);
#endif
  if (!error.empty()) throw std::runtime_error(error);
  // Workers that found the queue emptied by Abort ended without an error.
  std::lock_guard lock(taskMutex_);
  if (aborted_) throw std::runtime_error(kSocketFailure);
  return tasksDone;
}

unsigned DownloadManager::Work(const Progress& progress, std::size_t waiting) {
  std::uint64_t received = 0;  // by the Receive running
  const std::function<void(std::uint64_t)> onProgress = [this, &progress,
                                                         &received](std::uint64_t bytes) {
    received += bytes;
    OnProgress(bytes, progress);
  };
  Finisher finisher(waiting);
  // Sent on `connection` and not yet received, in request order: the replies come in that order.
  std::deque<std::unique_ptr<DownloadTask>> inFlight;
  std::unique_ptr<Connection> connection;
  unsigned failures = 0;  // transient failures since a range last arrived
  for (;;) {
    std::unique_ptr<DownloadTask> exchanged;
    try {
      if (!connection) {
        connection = std::make_unique<Connection>(*this);
        connection->client().Connect();
        for (const auto& task : inFlight) task->Send(connection->client());
      }
      while (inFlight.size() < options_.requestsInFlight) {
        std::unique_ptr<DownloadTask> task = Take();
        if (!task) break;
        inFlight.push_back(std::move(task));
        inFlight.back()->Send(connection->client());
      }
      if (inFlight.empty()) break;
      received = 0;
      inFlight.front()->Receive(connection->client(), onProgress);
      exchanged = std::move(inFlight.front());
      inFlight.pop_front();
      failures = 0;
    } catch (const boost::system::system_error& error) {
      if (!IsTransient(error.code()) || failures >= options_.retries) throw;
      ++failures;
      // The connection is unusable after a failed read or write; the requests it carried go out
      // again on the next one.
      connection.reset();
      for (const auto& task : inFlight) Unreport(task->Reset());
      if (options_.warn) {
        std::string what = inFlight.empty() ? "the connection" : inFlight.front()->Describe();
        options_.warn("Download of " + what + " failed (" + error.what() + "); retry " +
                      std::to_string(failures) + " of " + std::to_string(options_.retries) +
                      " on a new connection");
      }
      if (!Backoff(failures)) {
        throw boost::system::system_error(boost::asio::error::operation_aborted, "connect");
      }
      continue;
    }
    if (received <= Finisher::kSmallBytes) {
      finisher.Keep(std::move(exchanged));
    } else {
      finisher.Hand(std::move(exchanged));
    }
  }
  return finisher.Finished();
}

bool DownloadManager::Backoff(unsigned attempt) {
  thread_local std::minstd_rand random(std::random_device{}());
  std::uniform_real_distribution<double> jitter(0.75, 1.25);
  const double base = static_cast<double>(options_.backoff.count()) *
                      static_cast<double>(1u << std::min(attempt - 1, 16u));
  const auto delay = std::chrono::milliseconds(static_cast<std::int64_t>(base * jitter(random)));
  std::unique_lock lock(taskMutex_);
  return !abortedChanged_.wait_for(lock, delay, [this] { return aborted_; });
}

void DownloadManager::Unreport(std::uint64_t bytes) {
  std::lock_guard lock(progressMutex_);
  downloaded_ -= std::min(bytes, downloaded_);
}

void DownloadManager::OnProgress(std::uint64_t bytes, const Progress& progress) {
  std::uint64_t downloaded = 0;
  std::uint64_t total = 0;
  {
    std::lock_guard lock(progressMutex_);
    downloaded_ += bytes;
    downloaded = downloaded_;
    total = total_;
  }
  progress(downloaded, total);
}

void DownloadManager::Cancel() {
  std::lock_guard lock(taskMutex_);
  files_.clear();
}

void DownloadManager::Abort() {
  {
    std::lock_guard lock(taskMutex_);
    aborted_ = true;
    files_.clear();
    client_->Abort();
    for (Client* connection : connections_) connection->Abort();
  }
  abortedChanged_.notify_all();
}

void DownloadManager::Enlist(Client& connection) {
  std::lock_guard lock(taskMutex_);
  connections_.push_back(&connection);
  if (aborted_) connection.Abort();
}

void DownloadManager::Unlist(Client& connection) {
  std::lock_guard lock(taskMutex_);
  connections_.erase(std::find(connections_.begin(), connections_.end(), &connection));
}

}  // namespace network::common
