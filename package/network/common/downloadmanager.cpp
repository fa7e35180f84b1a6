#include "package/network/common/downloadmanager.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
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
// serves the next exchanges while the disk takes the earlier ranges. Holds up to `capacity` tasks
// exchanged but not yet finished: the worker and the disk rarely take the same time for a range,
// and a few ranges of slack keep either from waiting on the other's slow moments.
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

  // Waits for room, then queues `task`. Throws the first error of an earlier Finish; `task` is
  // then deleted unfinished, as is everything queued after the failed one.
  void Hand(std::unique_ptr<DownloadTask> task) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < capacity_ || error_; });
    if (error_) std::rethrow_exception(error_);
    queue_.push_back(std::move(task));
    changed_.notify_all();
  }
  // Waits until everything handed over is finished and returns how many tasks were; throws as
  // Hand.
  unsigned Finished() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty(); });
    if (error_) std::rethrow_exception(error_);
    return finished_;
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;
      // Only this thread touches the front task until it pops it.
      DownloadTask& task = *queue_.front();
      lock.unlock();
      std::exception_ptr error;
      try {
        task.Finish();
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      if (error) {
        error_ = error;
        queue_.clear();
      } else {
        queue_.pop_front();
        ++finished_;
      }
      changed_.notify_all();
    }
  }

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Exchanged tasks, the front one being finished. Guarded by mutex_; empty once a Finish failed.
  std::deque<std::unique_ptr<DownloadTask>> queue_;
  std::exception_ptr error_;  // guarded by mutex_
  unsigned finished_ = 0;     // guarded by mutex_
  bool stopping_ = false;     // guarded by mutex_
  std::thread thread_;        // last: starts once the members above exist
};

}  // namespace

void KeepTransferBuffersMapped() {
#ifdef __GLIBC__
  // By default glibc maps a range buffer afresh and trims the freed memory of the workers' arenas
  // after each range and packet, so every buffer is faulted in again; this made a download a
  // quarter slower (engine_bench). Thresholds above the range size keep them in the arenas.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(4 * kPartSize));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(16 * kPartSize));
#endif
}

DownloadManager::DownloadManager(std::shared_ptr<Client> client, unsigned hardwareThreads,
                                 Capacity capacity)
    : client_(std::move(client)),
      hardwareThreads_(hardwareThreads),
      capacity_(std::move(capacity)) {}

DownloadManager::~DownloadManager() = default;

unsigned DownloadManager::WorkerCount(unsigned hardwareThreads, std::uint64_t ranges) {
  const unsigned wanted = hardwareThreads > 1 ? hardwareThreads - 1 : 1;
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

void DownloadManager::Add(const std::shared_ptr<File>& file) {
  {
    // A file of known size would not touch the aborted shared client.
    std::lock_guard lock(taskMutex_);
    if (aborted_) throw boost::system::system_error(boost::asio::error::operation_aborted, "Add");
  }
  const std::uint64_t size = file->Size(*client_);
  // The size comes from the server: one that no disk here could hold is refused before it
  // counts anywhere.
  const std::uint64_t capacity = capacity_(file->localPath());
  if (size > capacity) {
    throw std::runtime_error("File too large for its disk: " + file->localPath() + " is " +
                             std::to_string(size) + " bytes, the file system holds " +
                             std::to_string(capacity) + " bytes");
  }
  {
    std::lock_guard lock(taskMutex_);
    if (aborted_) throw boost::system::system_error(boost::asio::error::operation_aborted, "Add");
    files_.push_back(
        {file, size, 0, std::make_shared<std::atomic<std::uint64_t>>(RangeCount(size))});
  }
  std::lock_guard lock(progressMutex_);
  total_ += size;
}

std::unique_ptr<DownloadTask> DownloadManager::Take() {
  std::shared_ptr<File> file;
  std::shared_ptr<std::atomic<std::uint64_t>> rangesLeft;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  {
    std::lock_guard lock(taskMutex_);
    if (files_.empty()) return nullptr;
    QueuedFile& queued = files_.front();
    file = queued.file;
    rangesLeft = queued.rangesLeft;
    if (queued.size <= kPartSize) {
      // One request for the whole file (length 0: to its end).
      files_.pop_front();
    } else {
      // Every range asks for a whole part; the server stops at the end of the file.
      offset = queued.next;
      length = kPartSize;
      if (queued.size - queued.next <= kPartSize) {
        files_.pop_front();
      } else {
        queued.next += kPartSize;
      }
    }
  }
  std::function<void()> written = [this, file, rangesLeft] { OnWritten(file, *rangesLeft); };
  return std::make_unique<DownloadFile>(std::move(file), offset, length, std::move(written));
}

void DownloadManager::OnWritten(const std::shared_ptr<File>& file,
                                std::atomic<std::uint64_t>& rangesLeft) {
  // The decrement orders every earlier range's write before the report.
  if (--rangesLeft == 0 && completed_) completed_(file);
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
  const unsigned workers = WorkerCount(hardwareThreads_, queued);
  const std::size_t waiting = std::max(1u, kWaitingRanges / std::max(1u, workers));
  const std::function<unsigned()> work = [this, &progress, waiting] {
    return Work(progress, waiting);
  };
  std::vector<std::shared_ptr<DownloadThread>> threads;
  for (unsigned i = 0; i < workers; ++i) threads.push_back(std::make_shared<DownloadThread>(work));

  unsigned tasksDone = 0;
  for (const auto& thread : threads) {
    thread->Join();
    // The other threads are joined by their destructors while this leaves.
    if (!thread->error().empty()) throw std::runtime_error(thread->error());
    tasksDone += thread->count();
  }
  // Workers that found the queue emptied by Abort ended without an error.
  std::lock_guard lock(taskMutex_);
  if (aborted_) throw std::runtime_error(kSocketFailure);
  return tasksDone;
}

unsigned DownloadManager::Work(const Progress& progress, std::size_t waiting) {
  // Connected only once listed, so that Abort can end the connect too.
  Client client(client_->host(), client_->port(), client_->version(), client_->platform(), true,
                client_->timeout());
  Enlist(client);
  struct Listed {
    DownloadManager& manager;
    Client& connection;
    ~Listed() { manager.Unlist(connection); }
  } listed{*this, client};
  client.Connect();
  const std::function<void(std::uint64_t)> onProgress = [this, &progress](std::uint64_t bytes) {
    OnProgress(bytes, progress);
  };
  Finisher finisher(waiting);
  while (std::unique_ptr<DownloadTask> task = Take()) {
    task->Exchange(client, onProgress);
    finisher.Hand(std::move(task));
  }
  return finisher.Finished();
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
  std::lock_guard lock(taskMutex_);
  aborted_ = true;
  files_.clear();
  client_->Abort();
  for (Client* connection : connections_) connection->Abort();
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
