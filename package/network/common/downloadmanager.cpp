#include "package/network/common/downloadmanager.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/system/system_error.hpp>

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

}  // namespace

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
  std::lock_guard lock(taskMutex_);
  if (size <= kPartSize) {
    tasks_.push_back(std::make_unique<DownloadFile>(file, 0, 0));
    return;
  }
  // Every range asks for a whole part; the server stops at the end of the file.
  for (std::uint64_t offset = 0; offset < size; offset += kPartSize) {
    tasks_.push_back(std::make_unique<DownloadFile>(file, offset, kPartSize));
  }
}

unsigned DownloadManager::Download(const Progress& progress) {
  std::size_t queued = 0;
  {
    std::lock_guard lock(taskMutex_);
    queued = tasks_.size();
  }
  const unsigned workers = WorkerCount(hardwareThreads_, queued);
  const std::function<unsigned()> work = [this, &progress] { return Work(progress); };
  std::vector<std::shared_ptr<DownloadThread>> threads;
  for (unsigned i = 0; i < workers; ++i) threads.push_back(std::make_shared<DownloadThread>(work));

  unsigned completed = 0;
  for (const auto& thread : threads) {
    thread->Join();
    // The other threads are joined by their destructors while this leaves.
    if (!thread->error().empty()) throw std::runtime_error(thread->error());
    completed += thread->count();
  }
  return completed;
}

unsigned DownloadManager::Work(const Progress& progress) {
  Client client(client_->host(), client_->port(), client_->version(), client_->platform(), false,
                client_->timeout());
  const std::function<void(std::uint64_t)> onProgress = [this, &progress](std::uint64_t bytes) {
    OnProgress(bytes, progress);
  };
  unsigned completed = 0;
  for (;;) {
    std::unique_ptr<DownloadTask> task;
    {
      std::lock_guard lock(taskMutex_);
      if (tasks_.empty()) return completed;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task->Run(client, onProgress);
    ++completed;
  }
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
