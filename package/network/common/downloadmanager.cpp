#include "package/network/common/downloadmanager.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/system/system_error.hpp>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace network::common {

namespace {

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
      error_ = "Error while downloading resources\nCheck the Internet connection and try again";
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

// Finishes a worker's tasks one at a time on a thread of its own, so that the worker's
// connection serves the next exchange while the disk takes the last range.
class Finisher {
 public:
  Finisher() : thread_([this] { Loop(); }) {}
  // Waits for the task in hand, dropping its error.
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

  // Waits for the task handed over before, then takes `task`. Throws the first error of an
  // earlier Finish; `task` is then deleted unfinished.
  void Hand(std::unique_ptr<DownloadTask> task) {
    std::unique_lock lock(mutex_);
    WaitIdle(lock);
    task_ = std::move(task);
    changed_.notify_all();
  }
  // Waits for the task in hand and returns how many tasks were finished; throws as Hand.
  unsigned Finished() {
    std::unique_lock lock(mutex_);
    WaitIdle(lock);
    return finished_;
  }

 private:
  void WaitIdle(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return !task_; });
    if (error_) std::rethrow_exception(error_);
  }

  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return task_ || stopping_; });
      if (!task_) return;
      lock.unlock();
      // Only this thread touches the task until it resets task_.
      std::exception_ptr error;
      try {
        task_->Finish();
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      task_.reset();
      if (error) {
        if (!error_) error_ = error;
      } else {
        ++finished_;
      }
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::unique_ptr<DownloadTask> task_;  // guarded by mutex_; set while a Finish runs or waits
  std::exception_ptr error_;            // guarded by mutex_
  unsigned finished_ = 0;               // guarded by mutex_
  bool stopping_ = false;               // guarded by mutex_
  std::thread thread_;                  // last: starts once the members above exist
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

DownloadManager::DownloadManager(std::shared_ptr<Client> client, unsigned hardwareThreads)
    : client_(std::move(client)), hardwareThreads_(hardwareThreads) {}

DownloadManager::~DownloadManager() = default;

unsigned DownloadManager::WorkerCount(unsigned hardwareThreads, std::size_t tasks) {
  const unsigned wanted = hardwareThreads > 1 ? hardwareThreads - 1 : 1;
  return static_cast<unsigned>(std::min<std::size_t>(wanted, tasks));
}

void DownloadManager::Add(const std::shared_ptr<File>& file) {
  const std::uint64_t size = file->Size(*client_);
  {
    std::lock_guard lock(progressMutex_);
    total_ += size;
  }
  const std::uint64_t ranges = size <= kPartSize ? 1 : (size + kPartSize - 1) / kPartSize;
  auto rangesLeft = std::make_shared<std::atomic<std::uint64_t>>(ranges);
  const std::function<void()> written = [this, file, rangesLeft] { OnWritten(file, *rangesLeft); };
  std::lock_guard lock(taskMutex_);
  if (ranges == 1) {
    tasks_.push_back(std::make_unique<DownloadFile>(file, 0, 0, written));
    return;
  }
  // Every range asks for a whole part; the server stops at the end of the file.
  for (std::uint64_t offset = 0; offset < size; offset += kPartSize) {
    tasks_.push_back(std::make_unique<DownloadFile>(file, offset, kPartSize, written));
  }
}

void DownloadManager::OnWritten(const std::shared_ptr<File>& file,
                                std::atomic<std::uint64_t>& rangesLeft) {
  // The decrement orders every earlier range's write before the report.
  if (--rangesLeft == 0 && completed_) completed_(file);
}

unsigned DownloadManager::Download(const Progress& progress, const Completed& completed) {
  completed_ = completed;
  std::size_t queued = 0;
  {
    std::lock_guard lock(taskMutex_);
    queued = tasks_.size();
  }
  const unsigned workers = WorkerCount(hardwareThreads_, queued);
  const std::function<unsigned()> work = [this, &progress] { return Work(progress); };
  std::vector<std::shared_ptr<DownloadThread>> threads;
  for (unsigned i = 0; i < workers; ++i) threads.push_back(std::make_shared<DownloadThread>(work));

  unsigned tasksDone = 0;
  for (const auto& thread : threads) {
    thread->Join();
    // The other threads are joined by their destructors while this leaves.
    if (!thread->error().empty()) throw std::runtime_error(thread->error());
    tasksDone += thread->count();
  }
  return tasksDone;
}

unsigned DownloadManager::Work(const Progress& progress) {
  Client client(client_->host(), client_->port(), client_->version(), client_->platform(), false,
                client_->timeout());
  const std::function<void(std::uint64_t)> onProgress = [this, &progress](std::uint64_t bytes) {
    OnProgress(bytes, progress);
  };
  Finisher finisher;
  for (;;) {
    std::unique_ptr<DownloadTask> task;
    {
      std::lock_guard lock(taskMutex_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
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
  tasks_.clear();
}

}  // namespace network::common
