#include "package/network/common/downloadmanager.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "package/network/common/rangejournal.h"
#include "package/network/common/tests/contentserver.h"
#include "package/network/common/tests/silentpeers.h"
#include "package/network/protocol/updateerror.h"
#include "package/taln/db/updateitem.h"
#include "tests/support/fakeserver.h"
#include "tests/support/scratchdir.h"

namespace {

using network::common::Client;
using network::common::DownloadManager;
using network::common::File;
using network::common::kPartSize;
using network::common::testing::Bytes;
using network::common::testing::ContentServer;
using network::common::testing::FullListener;
using network::common::testing::Request;
using network::common::testing::ScriptedServer;
using network::common::testing::StalledServer;
using network::protocol::OPacket;

constexpr Version kVersion{4, 35, 1906051200};
constexpr auto kDeadline = std::chrono::seconds(10);
// How long an aborted call may take to return: far below kDeadline, which the connections of
// those tests take as their timeout, so that only the abort can end the call in time.
constexpr auto kAbortDeadline = std::chrono::seconds(2);
const std::string kSocketFailure =
    "Error while downloading resources\nCheck the Internet connection and try again";
constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

std::string Content(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
  return content;
}

std::shared_ptr<Client> SharedClient(const std::string& port,
                                     std::chrono::milliseconds timeout = Client::kDefaultTimeout) {
  return std::make_shared<Client>("127.0.0.1", port, kVersion, "win32", true, timeout);
}

bool IsAborted(const boost::system::system_error& e) {
  return e.code() == boost::asio::error::operation_aborted;
}

class DownloadManagerTest : public test_support::InScratchDir {
 protected:
  // Records every progress call; safe from several workers.
  DownloadManager::Progress Record() {
    return [this](std::uint64_t downloaded, std::uint64_t total) {
      std::lock_guard lock(mutex_);
      calls_.emplace_back(downloaded, total);
    };
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls_;
};

// (offset, length) of every FileData request, in offset order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges(const ContentServer& server) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const Request& request : server.requests()) {
    if (request.type == 11) ranges.emplace_back(request.offset, request.length);
  }
  std::sort(ranges.begin(), ranges.end());
  return ranges;
}

TEST_F(DownloadManagerTest, FilesAreCutIntoPartsAndDownloadedWhole) {
  struct Case {
    std::size_t size;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  };
  const Case cases[] = {
      {0, {{0, 0}}},
      {kPartSize, {{0, 0}}},
      {kPartSize + 1, {{0, kPartSize}, {kPartSize, kPartSize}}},
      {5000000, {{0, kPartSize}, {kPartSize, kPartSize}, {2 * kPartSize, kPartSize}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string content = Content(c.size);
    ContentServer server(ContentServer::Files{{"#1", content}}, 65536);
    DownloadManager manager(SharedClient(server.port()), 4);
    manager.Add(std::make_shared<File>(std::uint16_t{1}, "f.upd", c.size));
    EXPECT_EQ(manager.Download(Record()), c.ranges.size());
    EXPECT_EQ(Ranges(server), c.ranges);
    EXPECT_EQ(test_support::ReadFile("f.upd"), content);
  }
}

TEST_F(DownloadManagerTest, ProgressReachesTheTotal) {
  ContentServer server(
      ContentServer::Files{{"#1", Content(kPartSize + 10)}, {"a\\b.pak", Content(100)}});
  DownloadManager manager(SharedClient(server.port()), 3);
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "one.upd", kPartSize + 10));
  manager.Add(std::make_shared<File>("a/b.pak", "two.upd", kVersion));
  EXPECT_EQ(manager.Download(Record()), 3u);
  const auto calls = Calls();
  const std::pair<std::uint64_t, std::uint64_t> done{kPartSize + 110, kPartSize + 110};
  EXPECT_NE(std::find(calls.begin(), calls.end(), done), calls.end());
  for (const auto& [downloaded, total] : calls) EXPECT_LE(downloaded, total);
  EXPECT_EQ(test_support::ReadFile("two.upd"), Content(100));
}

// Each file is reported once, and only when every one of its ranges, written by whichever
// workers took them, is on disk.
TEST_F(DownloadManagerTest, CompletedReportsEachFileOnceWholeOnDisk) {
  const std::size_t sizes[] = {0, 1, kPartSize, kPartSize + 1, 3 * kPartSize + 5};
  ContentServer::Files files;
  for (std::size_t i = 0; i < std::size(sizes); ++i)
    files["#" + std::to_string(i)] = Content(sizes[i] + i);
  ContentServer server(files, 65536);
  DownloadManager manager(SharedClient(server.port()), 4);
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(i), std::to_string(i) + ".upd",
                                       sizes[i] + i));
  }
  std::mutex mutex;
  std::map<std::string, std::vector<bool>> reports;  // per file: whole on disk at each report
  manager.Download(Record(), [&](const std::shared_ptr<File>& file) {
    const std::string index = file->localPath().substr(0, file->localPath().find('.'));
    const bool whole = test_support::ReadFile(file->localPath()) == files.at("#" + index);
    std::lock_guard lock(mutex);
    reports[file->localPath()].push_back(whole);
  });
  ASSERT_EQ(reports.size(), std::size(sizes));
  for (const auto& [path, whole] : reports) EXPECT_EQ(whole, std::vector<bool>{true}) << path;
}

TEST_F(DownloadManagerTest, WorkerCountFollowsHardwareThreadsAndTasks) {
  struct Case {
    unsigned hardwareThreads;
    std::uint64_t tasks;
    unsigned workers;
  };
  const Case cases[] = {{8, 3, 3},       {8, 20, 7}, {8, 0, 0}, {0, 5, 1},
                        {1, 5, 1},       {2, 5, 1},  {3, 5, 2}, {8, std::uint64_t{1} << 32, 7},
                        {8, kLargest, 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.hardwareThreads << " threads, " << c.tasks << " tasks");
    EXPECT_EQ(DownloadManager::WorkerCount(c.hardwareThreads, c.tasks), c.workers);
  }
}

// Counted, not cut: the count of a size near the largest must not wrap.
// A connection count set by the settings replaces the formula, within the ranges and the cap.
TEST_F(DownloadManagerTest, ConnectionsReplaceTheFormula) {
  struct Case {
    unsigned hardwareThreads;
    std::uint64_t tasks;
    unsigned connections;
    unsigned workers;
  };
  const Case cases[] = {{2, 20, 0, 1}, {2, 20, 4, 4}, {8, 20, 2, 2},
                        {2, 3, 8, 3},  {2, 0, 8, 0},  {2, kLargest, 1000, 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.connections << " connections, " << c.tasks << " tasks");
    EXPECT_EQ(DownloadManager::WorkerCount(c.hardwareThreads, c.tasks, c.connections), c.workers);
  }
}

TEST_F(DownloadManagerTest, RangeCountCoversEveryByteOnce) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {0, 1},
      {kPartSize, 1},
      {kPartSize + 1, 2},
      {5000000, 3},
      {kPartSize << 32, std::uint64_t{1} << 32},
      {(kPartSize << 32) + 1, (std::uint64_t{1} << 32) + 1},
      {kLargest, kLargest / kPartSize + 1},
  };
  for (const auto& [size, ranges] : cases) {
    SCOPED_TRACE(size);
    EXPECT_EQ(DownloadManager::RangeCount(size), ranges);
  }
}

// A claim of 2^64-1 bytes queues as one entry: its ranges are cut only as the workers take them,
// and the worker count is reckoned from a range count beyond 32 bits. Every worker holds its
// first range at the server until Cancel has run.
TEST_F(DownloadManagerTest, RangesOfAHugeClaimAreCutAsWorkersTakeThem) {
  std::mutex mutex;
  std::condition_variable changed;
  int held = 0;
  bool released = false;
  ContentServer server(ContentServer::Files{{"#1", "abc"}}, 4096, [&](const Request&) {
    std::unique_lock lock(mutex);
    ++held;
    changed.notify_all();
    changed.wait_for(lock, kDeadline, [&] { return released; });
  });
  DownloadManager manager(SharedClient(server.port()), 8,
                          [](const std::string&) { return kLargest; });
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "huge.upd", kLargest));
  auto result = std::async(std::launch::async, [&] { return manager.Download(Record()); });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return held == 7; }));
  }
  manager.Cancel();
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get(), 7u);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (std::uint64_t i = 0; i < 7; ++i) ranges.emplace_back(i * kPartSize, kPartSize);
  EXPECT_EQ(Ranges(server), ranges);
  EXPECT_EQ(test_support::ReadFile("huge.upd"), "abc");
}

// A size no disk here could hold, from the server's FileSize reply or from an UpdateDB item, is
// refused by Add before anything is queued, counted or written.
TEST_F(DownloadManagerTest, AddRefusesASizeAboveTheDiskCapacity) {
  const std::uint64_t capacity = DownloadManager::FileSystemCapacity("x.upd");
  ASSERT_LT(capacity, std::uint64_t{1} << 50) << "the scratch disk holds a pebibyte";
  ASSERT_EQ(capacity, boost::filesystem::space(".").capacity);
  struct Case {
    const char* name;
    std::uint64_t size;
    bool byPath;
  };
  const Case cases[] = {
      {"2^50 by index", std::uint64_t{1} << 50, false},
      {"2^64-1 by index", kLargest, false},
      {"2^64-1 by path", kLargest, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(Bytes(OPacket(true, 12) << true << c.size));
    DownloadManager manager(SharedClient(server.port()), 2);
    const auto file = c.byPath ? std::make_shared<File>("big.pak", "new/big.upd", kVersion)
                               : std::make_shared<File>(std::uint16_t{1}, "new/big.upd", c.size);
    try {
      manager.Add(file);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "File too large for its disk: new/big.upd is " + std::to_string(c.size) +
                              " bytes, the file system holds " + std::to_string(capacity) +
                              " bytes");
    }
    EXPECT_EQ(manager.Download(Record()), 0u);
    EXPECT_EQ(server.accepted(), c.byPath ? 1 : 0);  // only the shared client asked
    EXPECT_FALSE(std::filesystem::exists("new"));
  }
  EXPECT_TRUE(Calls().empty());
}

// The capacity of the nearest folder that exists: the first write makes the missing ones there.
// A size equal to it is taken.
TEST_F(DownloadManagerTest, CapacityIsThatOfTheNearestExistingFolder) {
  std::filesystem::create_directory("d");
  EXPECT_EQ(DownloadManager::FileSystemCapacity("d/e/f/g.upd"),
            boost::filesystem::space(".").capacity);
  ContentServer server(ContentServer::Files{{"#1", "abcd"}});
  std::vector<std::string> asked;
  DownloadManager manager(SharedClient(server.port()), 2, [&](const std::string& path) {
    asked.push_back(path);
    return std::uint64_t{4};
  });
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "d/e/g.upd", 4));
  EXPECT_THROW(manager.Add(std::make_shared<File>(std::uint16_t{1}, "d/h.upd", 5)),
               std::runtime_error);
  EXPECT_EQ(asked, (std::vector<std::string>{"d/e/g.upd", "d/h.upd"}));
  EXPECT_EQ(manager.Download(Record()), 1u);
  EXPECT_EQ(test_support::ReadFile("d/e/g.upd"), "abcd");
  EXPECT_FALSE(std::filesystem::exists("d/h.upd"));
}

// The capacity is that of a file system, so the files of one folder ask it once; a file of the
// same folder that does not fit is still refused.
TEST_F(DownloadManagerTest, CapacityIsAskedOncePerFolder) {
  ContentServer server(ContentServer::Files{{"#1", "abcd"}});
  std::vector<std::string> asked;
  DownloadManager manager(SharedClient(server.port()), 2, [&](const std::string& path) {
    asked.push_back(path);
    return std::uint64_t{4};
  });
  for (const char* path : {"d/a.upd", "d/b.upd", "d/e/c.upd", "d/e/f.upd", "g.upd", "h.upd"}) {
    manager.Add(std::make_shared<File>(std::uint16_t{1}, path, 4));
  }
  EXPECT_THROW(manager.Add(std::make_shared<File>(std::uint16_t{1}, "h2.upd", 5)),
               std::runtime_error);
  EXPECT_EQ(asked, (std::vector<std::string>{"d/a.upd", "d/e/c.upd", "g.upd"}));
  EXPECT_EQ(manager.Download(Record()), 6u);
  EXPECT_EQ(test_support::ReadFile("d/e/f.upd"), "abcd");
  EXPECT_FALSE(std::filesystem::exists("h2.upd"));
}

// Every worker opens its own connection when it starts, so the server counts the workers.
TEST_F(DownloadManagerTest, EachWorkerConnectsOnce) {
  struct Case {
    std::size_t tasks;
    int workers;
  };
  for (const Case& c : {Case{3, 3}, Case{20, 7}, Case{0, 0}}) {
    SCOPED_TRACE(c.tasks);
    ContentServer::Files files;
    for (std::size_t i = 0; i < c.tasks; ++i) files["#" + std::to_string(i)] = Content(i);
    ContentServer server(files);
    DownloadManager manager(SharedClient(server.port()), 8);
    for (std::size_t i = 0; i < c.tasks; ++i) {
      manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(i),
                                         "f" + std::to_string(i) + ".upd", i));
    }
    EXPECT_EQ(manager.Download(Record()), c.tasks);
    EXPECT_TRUE(server.WaitUntilAccepted(c.workers, kDeadline));
    EXPECT_EQ(server.accepted(), c.workers);
  }
}

TEST_F(DownloadManagerTest, WorkerFailuresBecomeOneText) {
  const std::string at = "\n    at network::common::DownloadThread::Run";
  ContentServer server(ContentServer::Files{{"#1", "x"}});
  struct Case {
    const char* name;
    std::string port;
    unsigned short index;
    DownloadManager::Progress progress;
    std::string text;
  };
  const Case cases[] = {
      {"unreachable", test_support::UnusedPort(), 1, Record(),
       "Error while downloading resources\nCheck the Internet connection and try again"},
      {"refused", server.port(), 2, Record(),
       "The update server refused the file 'f.upd' with error code 3" + at},
      {"progress throws a non-exception", server.port(), 1,
       [](std::uint64_t, std::uint64_t) { throw 42; }, "unhandled exception" + at},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DownloadManager manager(SharedClient(c.port), 2);
    manager.Add(std::make_shared<File>(std::uint16_t{c.index}, "f.upd", 1));
    try {
      manager.Download(c.progress);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.text);
    }
  }
  EXPECT_TRUE(Calls().empty());
}

// A worker writes ranges while it fetches the next ones: the write's failure must still surface,
// whether it was the last task or others followed, and nothing fetched after it is written.
TEST_F(DownloadManagerTest, UnwritableFileReportsCouldNotCreate) {
  std::filesystem::create_directory("taken");
  ContentServer server(ContentServer::Files{{"#1", "x"}, {"#2", "y"}});
  for (const int following : {0, 1, 5}) {
    SCOPED_TRACE(following);
    DownloadManager manager(SharedClient(server.port()), 2);
    manager.Add(std::make_shared<File>(std::uint16_t{1}, "taken", 1));
    for (int i = 0; i < following; ++i) {
      manager.Add(std::make_shared<File>(std::uint16_t{2}, "f" + std::to_string(i) + ".upd", 1));
    }
    try {
      manager.Download(Record());
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Could not create file: taken", 0), 0u) << e.what();
    }
    for (int i = 0; i < following; ++i) {
      EXPECT_FALSE(std::filesystem::exists("f" + std::to_string(i) + ".upd")) << i;
    }
  }
}

TEST_F(DownloadManagerTest, FileSizeErrorKeepsEarlierFilesQueued) {
  ContentServer server(ContentServer::Files{{"#1", "abc"}});
  DownloadManager manager(SharedClient(server.port()), 2);
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "a.upd", 3));
  EXPECT_THROW(manager.Add(std::make_shared<File>("missing", "b.upd", kVersion)), aus::UpdateError);
  EXPECT_EQ(manager.Download(Record()), 1u);
  EXPECT_EQ(test_support::ReadFile("a.upd"), "abc");
}

// Two workers each hold a request at the server until Cancel has run.
TEST_F(DownloadManagerTest, CancelDropsQueuedTasksAndLetsRunningOnesFinish) {
  std::mutex mutex;
  std::condition_variable changed;
  int held = 0;
  bool released = false;
  ContentServer::Files files;
  for (int i = 0; i < 5; ++i) files["#" + std::to_string(i)] = "data";
  ContentServer server(files, 4096, [&](const Request& request) {
    if (request.type != 11) return;
    std::unique_lock lock(mutex);
    ++held;
    changed.notify_all();
    changed.wait_for(lock, kDeadline, [&] { return released; });
  });
  DownloadManager manager(SharedClient(server.port()), 3);
  for (int i = 0; i < 5; ++i) {
    manager.Add(
        std::make_shared<File>(static_cast<std::uint16_t>(i), "f" + std::to_string(i) + ".upd", 4));
  }
  auto result = std::async(std::launch::async, [&] { return manager.Download(Record()); });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return held == 2; }));
  }
  manager.Cancel();
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get(), 2u);
  EXPECT_EQ(Ranges(server).size(), 2u);
}

// Abort from another thread ends a Download whose workers wait on a silent server or on a connect
// nobody answers, and drops what was still queued.
TEST_F(DownloadManagerTest, AbortEndsARunningDownloadAtOnce) {
  StalledServer server(kDeadline);
  FullListener listener;
  ASSERT_TRUE(listener.full());
  for (const bool connecting : {false, true}) {
    SCOPED_TRACE(connecting ? "connecting" : "waiting for a reply");
    DownloadManager manager(SharedClient(connecting ? listener.port() : server.port(), kDeadline),
                            3);
    for (int i = 0; i < 4; ++i) {
      manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(i),
                                         "f" + std::to_string(i) + ".upd", 10));
    }
    auto result = std::async(std::launch::async, [&] { return manager.Download(Record()); });
    if (connecting) {
      ASSERT_TRUE(listener.WaitUntilConnecting(kDeadline));
    } else {
      ASSERT_TRUE(server.WaitUntilGreeted(2, kDeadline));
    }
    manager.Abort();
    ASSERT_EQ(result.wait_for(kAbortDeadline), std::future_status::ready);
    try {
      result.get();
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), kSocketFailure);
    }
  }
  EXPECT_TRUE(Calls().empty());
  for (int i = 0; i < 4; ++i)
    EXPECT_FALSE(std::filesystem::exists("f" + std::to_string(i) + ".upd"));
}

// A FileSize request in Add waits on the shared client: Abort ends it.
TEST_F(DownloadManagerTest, AbortEndsARunningAdd) {
  StalledServer server(kDeadline);
  DownloadManager manager(SharedClient(server.port(), kDeadline), 2);
  auto added = std::async(std::launch::async,
                          [&] { manager.Add(std::make_shared<File>("a.pak", "a.upd", kVersion)); });
  ASSERT_TRUE(server.WaitUntilGreeted(1, kDeadline));
  manager.Abort();
  ASSERT_EQ(added.wait_for(kAbortDeadline), std::future_status::ready);
  try {
    added.get();
    ADD_FAILURE() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_TRUE(IsAborted(e)) << e.what();
  }
}

// After Abort nothing touches the network: Add fails even for a file of known size, and Download
// fails without starting a worker, although a file was queued before.
TEST_F(DownloadManagerTest, AbortedManagerFailsAddAndDownloadAtOnce) {
  ContentServer server(ContentServer::Files{{"#1", "abc"}, {"b.pak", "b"}});
  DownloadManager manager(SharedClient(server.port()), 2);
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "a.upd", 3));
  manager.Abort();
  for (const bool byPath : {false, true}) {
    SCOPED_TRACE(byPath ? "by path" : "by index");
    try {
      manager.Add(byPath ? std::make_shared<File>("b.pak", "b.upd", kVersion)
                         : std::make_shared<File>(std::uint16_t{1}, "b.upd", 3));
      ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
      EXPECT_TRUE(IsAborted(e)) << e.what();
    }
  }
  try {
    manager.Download(Record());
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), kSocketFailure);
  }
  EXPECT_EQ(server.accepted(), 0);
  EXPECT_FALSE(std::filesystem::exists("a.upd"));
}

}  // namespace

// Options for the retry tests: the backoff is short, so only the behaviour is waited for.
network::common::DownloadOptions QuickRetries(std::vector<std::string>* warnings,
                                              std::mutex* mutex) {
  network::common::DownloadOptions options;
  options.backoff = std::chrono::milliseconds(1);
  options.warn = [warnings, mutex](const std::string& line) {
    std::lock_guard lock(*mutex);
    warnings->push_back(line);
  };
  return options;
}

// A range whose connection drops or goes silent is fetched again on a fresh connection, up to
// three times in a row; refusals are not retried, and a batch fails only when the retries are
// spent. Progress goes back by the bytes fetched again, so it still ends on the total.
TEST_F(DownloadManagerTest, TransientFailuresAreRetriedOnAFreshConnection) {
  const std::string content = Content(3 * kPartSize);
  struct Case {
    const char* name;
    int cuts;     // the range at kPartSize is cut this many times
    bool silent;  // instead of a drop, the server does not answer until the client gives up
    bool refuse;  // the range is refused once
    int connections;
    std::size_t warnings;
    bool fails;
  };
  const Case cases[] = {
      {"dropped once", 1, false, false, 2, 1, false},
      {"dropped three times", 3, false, false, 4, 3, false},
      {"dropped four times", 4, false, false, 4, 3, true},
      {"silent once", 1, true, false, 2, 1, false},
      {"refused", 0, false, true, 1, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex mutex;
    int cuts = 0;  // guarded by mutex
    const auto cutHere = [&](const Request& request) {
      std::lock_guard lock(mutex);
      return request.offset == kPartSize && cuts < c.cuts && ++cuts > 0;
    };
    ContentServer::Files files{{"#1", content}};
    ContentServer server(
        files, 65536,
        [&](const Request& request) {
          if (c.silent && cutHere(request)) std::this_thread::sleep_for(std::chrono::seconds(3));
        },
        [&](const Request& request) { return !c.silent && cutHere(request); });
    std::vector<std::string> warnings;
    std::mutex warned;
    // Far above a block's time, also under ThreadSanitizer on a busy machine, far below the
    // silent server's.
    DownloadManager manager(SharedClient(server.port(), std::chrono::seconds(1)), 2,
                            DownloadManager::FileSystemCapacity, QuickRetries(&warnings, &warned));
    manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(c.refuse ? 2 : 1), "f.upd",
                                       content.size()));
    if (c.fails) {
      try {
        manager.Download(Record());
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), c.refuse ? "The update server refused the file 'f.upd' with error code "
                                       "3\n    at network::common::DownloadThread::Run"
                                     : kSocketFailure);
      }
    } else {
      EXPECT_EQ(manager.Download(Record()), 3u);
      EXPECT_EQ(test_support::ReadFile("f.upd"), content);
      const auto calls = Calls();
      ASSERT_FALSE(calls.empty());
      EXPECT_EQ(calls.back(), std::make_pair(content.size(), content.size()));
      for (const auto& [downloaded, total] : calls) EXPECT_LE(downloaded, total);
    }
    EXPECT_TRUE(server.WaitUntilAccepted(c.connections, kDeadline));
    EXPECT_EQ(server.accepted(), c.connections);
    ASSERT_EQ(warnings.size(), c.warnings);
    if (!warnings.empty()) {
      EXPECT_NE(warnings[0].find("'f.upd' bytes 2097152 to 4194304"), std::string::npos)
          << warnings[0];
      EXPECT_NE(warnings[0].find("retry 1 of 3 on a new connection"), std::string::npos)
          << warnings[0];
    }
  }
}

// An aborted manager does not wait out a backoff.
TEST_F(DownloadManagerTest, AbortEndsABackoff) {
  network::common::DownloadOptions options;
  options.backoff = std::chrono::seconds(30);
  DownloadManager manager(SharedClient(test_support::UnusedPort()), 2,
                          DownloadManager::FileSystemCapacity, options);
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "f.upd", 1));
  auto result = std::async(std::launch::async, [&] { return manager.Download(Record()); });
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  manager.Abort();
  ASSERT_EQ(result.wait_for(kAbortDeadline), std::future_status::ready);
  EXPECT_THROW(result.get(), std::runtime_error);
}

// With N requests in flight a connection sends N requests before it reads a reply: this server
// answers nothing until it holds them all, so a client that waits for each reply hangs (the
// connection's timeout then fails it). Replies come back in request order.
TEST_F(DownloadManagerTest, RequestsInFlightGoOutBeforeTheFirstReply) {
  constexpr int kFiles = 6;
  ContentServer::Files files;
  for (int i = 0; i < kFiles; ++i) files["#" + std::to_string(i)] = Content(1000 + 37 * i);
  for (const unsigned inFlight : {1u, 4u}) {
    SCOPED_TRACE(inFlight);
    std::atomic<int> maxHeld = 0;
    test_support::FakeServer server([&](test_support::FakeConnection& c) {
      c.Read(network::common::testing::kGreetingSize);
      std::vector<int> held;
      for (int served = 0; served < kFiles;) {
        // Takes requests until the client has sent as many as it may, then answers the oldest.
        while (held.size() < inFlight && served + held.size() < kFiles) {
          const std::string bytes = c.ReadPacket();
          network::protocol::IPacket packet(bytes.data(), bytes.data() + bytes.size());
          bool byIndex = false;
          std::uint16_t index = 0;
          packet >> byIndex >> index;
          held.push_back(index);
        }
        maxHeld = std::max<int>(maxHeld, static_cast<int>(held.size()));
        const std::string& content = files.at("#" + std::to_string(held.front()));
        held.erase(held.begin());
        ++served;
        OPacket data(true, 11);
        data << true;
        data.WriteBlock(content.data(), static_cast<std::uint32_t>(content.size()));
        OPacket end(true, 11);
        end << true;
        end.WriteBlock(nullptr, 0);
        c.Write(Bytes(data) + Bytes(end));
      }
      c.WaitForClose();
    });
    network::common::DownloadOptions options;
    options.requestsInFlight = inFlight;
    DownloadManager manager(SharedClient(server.port(), kDeadline), 2,
                            DownloadManager::FileSystemCapacity, options);
    for (int i = 0; i < kFiles; ++i) {
      manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(i),
                                         "f" + std::to_string(i) + ".upd", 1000 + 37 * i));
    }
    EXPECT_EQ(manager.Download(Record()), static_cast<unsigned>(kFiles));
    EXPECT_EQ(maxHeld, static_cast<int>(inFlight));
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_EQ(test_support::ReadFile("f" + std::to_string(i) + ".upd"),
                files.at("#" + std::to_string(i)));
    }
  }
}

// Requests in flight survive a dropped connection: the ones sent after the failed range go out
// again on the new connection, and every file arrives whole.
TEST_F(DownloadManagerTest, RequestsInFlightAreSentAgainAfterADrop) {
  ContentServer::Files files;
  for (int i = 0; i < 8; ++i) files["#" + std::to_string(i)] = Content(kPartSize / 2 + i);
  std::atomic<bool> cut = false;
  ContentServer server(files, 65536, {}, [&](const Request& request) {
    return request.key == "#3" && !cut.exchange(true);
  });
  std::vector<std::string> warnings;
  std::mutex warned;
  auto options = QuickRetries(&warnings, &warned);
  options.requestsInFlight = 8;
  DownloadManager manager(SharedClient(server.port(), kDeadline), 2,
                          DownloadManager::FileSystemCapacity, options);
  for (int i = 0; i < 8; ++i) {
    manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(i),
                                       "f" + std::to_string(i) + ".upd", kPartSize / 2 + i));
  }
  EXPECT_EQ(manager.Download(Record()), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(test_support::ReadFile("f" + std::to_string(i) + ".upd"),
              files.at("#" + std::to_string(i)));
  }
  EXPECT_EQ(server.accepted(), 2);
  EXPECT_EQ(warnings.size(), 1u);
}

std::vector<unsigned char> Digest(char c) { return std::vector<unsigned char>(32, c); }

// A download with a journal fetches only the ranges the journal does not hold, keeps the bytes
// of those it holds, counts them as downloaded, and removes the journal once the file is whole.
TEST_F(DownloadManagerTest, JournaledDownloadResumesFromItsRanges) {
  const std::string content = Content(5 * kPartSize + 100);
  {
    // A run that recorded ranges 0, 1 and 3, then stopped; range 2 was written but not recorded.
    network::common::RangeJournal journal("f.upd", content.size(), Digest('a'), {});
    std::string partial = content.substr(0, 4 * kPartSize);
    test_support::WriteFile("f.upd", partial);
    for (const std::uint64_t range : {0, 1, 3}) journal.Written(range);
    journal.Flush();
  }
  ContentServer server(ContentServer::Files{{"#1", content}}, 65536);
  DownloadManager manager(SharedClient(server.port()), 2);
  auto journal = std::make_shared<network::common::RangeJournal>("f.upd", content.size(),
                                                                 Digest('a'), nullptr);
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "f.upd", content.size()), journal);
  EXPECT_EQ(manager.Download(Record()), 3u);
  using Range = std::pair<std::uint64_t, std::uint64_t>;
  EXPECT_EQ(Ranges(server), (std::vector<Range>{{2 * kPartSize, kPartSize},
                                                {4 * kPartSize, kPartSize},
                                                {5 * kPartSize, kPartSize}}));
  EXPECT_EQ(test_support::ReadFile("f.upd"), content);
  const auto calls = Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_GE(calls.front().first, 3 * kPartSize);
  EXPECT_EQ(calls.back(), std::make_pair(content.size(), content.size()));
  EXPECT_FALSE(std::filesystem::exists("f.upd.journal"));
}

// Each range written is recorded once the download is synced, so an interrupted run leaves a
// journal the next one resumes from.
TEST_F(DownloadManagerTest, RangesWrittenAreJournaledAfterTheSync) {
  const std::string content = Content(6 * kPartSize);
  std::mutex mutex;
  std::vector<std::uintmax_t> synced;  // the download's size at each sync
  ContentServer server(ContentServer::Files{{"#1", content}}, 65536, {},
                       [](const Request& request) { return request.offset == 5 * kPartSize; });
  network::common::DownloadOptions options;
  options.retries = 0;
  DownloadManager manager(SharedClient(server.port()), 2, DownloadManager::FileSystemCapacity,
                          options);
  auto journal = std::make_shared<network::common::RangeJournal>(
      "f.upd", content.size(), Digest('b'), [&](const std::string& path) {
        std::lock_guard lock(mutex);
        synced.push_back(std::filesystem::file_size(path));
        return std::error_code();
      });
  manager.Add(std::make_shared<File>(std::uint16_t{1}, "f.upd", content.size()), journal);
  EXPECT_THROW(manager.Download(Record()), std::runtime_error);
  network::common::RangeJournal reread("f.upd", content.size(), Digest('b'), {});
  EXPECT_EQ(reread.done(), (std::set<std::uint64_t>{0, 1, 2, 3, 4}));
  ASSERT_FALSE(synced.empty());
  EXPECT_EQ(synced.back(), 5 * kPartSize);
  EXPECT_EQ(test_support::ReadFile("f.upd"), content.substr(0, 5 * kPartSize));
}

// With digests on, each file reported complete carries the SHA-256 of its bytes, whichever
// workers wrote its ranges and in whatever order.
TEST_F(DownloadManagerTest, CompletedFilesCarryTheirDigestsWhenAsked) {
  const std::size_t sizes[] = {0, 1, kPartSize, 3 * kPartSize + 5, 6 * kPartSize};
  ContentServer::Files files;
  for (std::size_t i = 0; i < std::size(sizes); ++i)
    files["#" + std::to_string(i)] = Content(sizes[i] + i);
  ContentServer server(files, 65536);
  for (const bool digests : {false, true}) {
    SCOPED_TRACE(digests);
    network::common::DownloadOptions options;
    options.digests = digests;
    options.requestsInFlight = 2;
    DownloadManager manager(SharedClient(server.port()), 4, DownloadManager::FileSystemCapacity,
                            options);
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(i), std::to_string(i) + ".upd",
                                         sizes[i] + i));
    }
    std::mutex mutex;
    std::map<std::string, std::vector<unsigned char>> reported;
    manager.Download(Record(), [&](const std::shared_ptr<File>& file) {
      std::lock_guard lock(mutex);
      reported[file->localPath()] = file->digest();
    });
    ASSERT_EQ(reported.size(), std::size(sizes));
    for (const auto& [path, digest] : reported) {
      EXPECT_EQ(digest, digests ? taln::HashFile(path) : std::vector<unsigned char>{}) << path;
    }
  }
}

// Small files are written sixteen at a time, by the writing thread or, when it is behind, by the
// worker; a file's small tail must still land, after its large ranges, with the file's digest.
TEST_F(DownloadManagerTest, ManySmallFilesAndTailsLandWholeWithTheirDigests) {
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < 150; ++i) sizes.push_back(i * 437 % 65536);
  for (const std::size_t tail : {1, 4096, 65536}) sizes.push_back(2 * kPartSize + tail);
  ContentServer::Files files;
  for (std::size_t i = 0; i < sizes.size(); ++i) files["#" + std::to_string(i)] = Content(sizes[i]);
  ContentServer server(files, 65536);
  network::common::DownloadOptions options;
  options.digests = true;
  options.requestsInFlight = 8;
  DownloadManager manager(SharedClient(server.port()), 2, DownloadManager::FileSystemCapacity,
                          options);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    manager.Add(std::make_shared<File>(static_cast<std::uint16_t>(i), std::to_string(i) + ".upd",
                                       sizes[i]));
  }
  std::mutex mutex;
  std::map<std::string, std::vector<unsigned char>> reported;
  manager.Download(Record(), [&](const std::shared_ptr<File>& file) {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(reported.emplace(file->localPath(), file->digest()).second) << file->localPath();
  });
  ASSERT_EQ(reported.size(), sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string path = std::to_string(i) + ".upd";
    EXPECT_EQ(test_support::ReadFile(path), files["#" + std::to_string(i)]) << path;
    EXPECT_EQ(reported[path], taln::HashFile(path)) << path;
  }
}
