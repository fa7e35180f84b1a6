// Measures network::common::DownloadManager fetching a release from aus-server, the way the update
// engine does it (files by index into "<name>.upd" files, workers from the hardware-thread
// count), in two parts:
//  1. Loopback: a release of --total-mib MiB (--big-files files of --big-mib MiB, the rest in
//     --small-files files of varied sizes) fetched with one worker, as on this 2-core machine,
//     against curl fetching the same files from nginx (sendfile on) into files, as one process
//     reusing its connection (-K). Rounds alternate between the two, each going first in turn;
//     each time is the best of --rounds. Also the peak resident memory (VmHWM) of the
//     downloading process. Targets: at most 1.2 times curl's time, under 64 MiB.
//  2. Latency: a smaller release (--latency-mib) through a delay proxy in the downloading
//     process, which holds each chunk for half the round trip in each direction, keeps at most
//     --window-kib KiB in flight per direction and connection (a TCP window) and can share a
//     --rate-mbit link. Throughput for each --rtt-ms and each --workers count (the hardware-thread
//     count given as workers + 1), one run each.
// Every download is compared byte for byte with the release. Each runs in a child process (this
// program with --fetch-port) so that its peak memory counts the download alone. aus-server is
// taken from the folder of this program, nginx and curl from PATH; the files go to the system's
// temporary folder. A default run takes about three minutes (--help lists the options):
//   cmake --build build --target download_bench aus-server && build/bin/download_bench
//   build/bin/download_bench --skip-comparison --rate-mbit 200
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/process.hpp>
#include <boost/program_options.hpp>

#include "bench/benchsupport.h"
#include "package/network/common/client.h"
#include "package/network/common/downloadmanager.h"
#include "package/network/common/file.h"
#include "package/network/common/rangejournal.h"
#include "package/network/common/updatedbfetch.h"
#include "package/platform/durablefile.h"

namespace {

namespace bp = boost::process;
namespace fs = std::filesystem;
namespace po = boost::program_options;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr Version kBuildVersion{4, 35, 1906051200};
const auto kLoopback = boost::asio::ip::make_address("127.0.0.1");

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- The delay proxy -------------------------------------------------------------------------

// One direction of the emulated link, shared by every connection: chunks leave one after the
// other at the link's rate, then travel for the one-way delay.
class Link {
 public:
  Link(Clock::duration delay, double bytesPerSecond)
      : delay_(delay), bytesPerSecond_(bytesPerSecond) {}

  // When a chunk of `bytes` handed to the link now reaches the other end.
  Clock::time_point Deliver(std::size_t bytes) {
    free_ = std::max(Clock::now(), free_);
    if (bytesPerSecond_ > 0) {
      free_ += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(bytes) / bytesPerSecond_));
    }
    return free_ + delay_;
  }

 private:
  Clock::duration delay_;
  double bytesPerSecond_;
  Clock::time_point free_{};
};

// What the proxy does to the bytes it passes towards the client, all connections together: counts
// them, resets the connection that carries the byte at every multiple of `resetEvery` (as a
// flaky route does), and kills this process once `killAt` bytes passed (as a player closing the
// launcher does). Zero turns either off.
struct Interference {
  std::uint64_t resetEvery = 0;
  std::uint64_t killAt = 0;
  std::uint64_t delivered = 0;  // touched by the proxy's thread only, read after it stopped
  std::uint64_t nextReset = 0;
};

// Forwards one direction of a proxied connection through a Link, holding at most `window` bytes.
// `interference` is set for the direction towards the client.
class Pipe : public std::enable_shared_from_this<Pipe> {
 public:
  Pipe(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to, Link& link,
       std::size_t window, Interference* interference)
      : from_(std::move(from)),
        to_(std::move(to)),
        timer_(to_->get_executor()),
        link_(link),
        window_(window),
        interference_(interference) {}

  void Read() {
    reading_ = queued_ < window_;
    if (!reading_) return;
    auto data = std::make_shared<std::vector<char>>(kChunkSize);
    from_->async_read_some(boost::asio::buffer(*data),
                           [self = shared_from_this(), data](const boost::system::error_code& error,
                                                             std::size_t count) {
                             if (error) {
                               self->ended_ = true;
                               if (!self->writing_) self->WriteNext();
                               return;
                             }
                             data->resize(count);
                             self->queued_ += count;
                             self->queue_.push_back({self->link_.Deliver(count), std::move(*data)});
                             if (!self->writing_) self->WriteNext();
                             self->Read();
                           });
  }

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  struct Chunk {
    Clock::time_point due;
    std::vector<char> data;
  };

  void WriteNext() {
    writing_ = !queue_.empty();
    if (!writing_) {
      // The sender has closed and everything it sent is delivered: pass the close on.
      boost::system::error_code ignored;
      if (ended_) to_->shutdown(tcp::socket::shutdown_send, ignored);
      return;
    }
    timer_.expires_at(queue_.front().due);
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
      if (error) return;
      boost::asio::async_write(*self->to_, boost::asio::buffer(self->queue_.front().data),
                               [self](const boost::system::error_code& error, std::size_t count) {
                                 if (error) {
                                   boost::system::error_code ignored;
                                   self->from_->close(ignored);
                                   self->to_->close(ignored);
                                   return;
                                 }
                                 self->queued_ -= count;
                                 self->queue_.pop_front();
                                 if (self->Interfere(count)) return;
                                 if (!self->reading_ && !self->ended_) self->Read();
                                 self->WriteNext();
                               });
    });
  }

  // Counts `count` bytes delivered; true when the connection was reset for it.
  bool Interfere(std::size_t count) {
    if (interference_ == nullptr) return false;
    Interference& i = *interference_;
    i.delivered += count;
    if (i.killAt != 0 && i.delivered >= i.killAt) {
      std::fflush(stdout);
      _exit(9);  // no destructor, no flush of the download: as SIGKILL leaves it
    }
    if (i.resetEvery == 0 || i.delivered < i.nextReset + i.resetEvery) return false;
    i.nextReset += i.resetEvery;
    // Linger 0: the close sends a reset, as a dropped route or a restarted middlebox does.
    boost::system::error_code ignored;
    to_->set_option(boost::asio::socket_base::linger(true, 0), ignored);
    to_->close(ignored);
    from_->close(ignored);
    return true;
  }

  std::shared_ptr<tcp::socket> from_;
  std::shared_ptr<tcp::socket> to_;
  boost::asio::steady_timer timer_;
  Link& link_;
  std::size_t window_;
  Interference* interference_;
  std::deque<Chunk> queue_;
  std::size_t queued_ = 0;
  bool reading_ = false;
  bool writing_ = false;
  bool ended_ = false;
};

// Listens on 127.0.0.1, port 0, and relays every connection to `upstreamPort` through two Links,
// on a thread of its own.
class DelayProxy {
 public:
  DelayProxy(unsigned short upstreamPort, Clock::duration oneWayDelay, double bytesPerSecond,
             std::size_t window, Interference interference = {})
      : interference_(interference),
        upstream_(kLoopback, upstreamPort),
        acceptor_(io_, {kLoopback, 0}),
        toServer_(oneWayDelay, bytesPerSecond),
        toClient_(oneWayDelay, bytesPerSecond),
        window_(window) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~DelayProxy() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  unsigned short port() const { return acceptor_.local_endpoint().port(); }
  // Bytes delivered to the client so far; after the proxy's work is done.
  std::uint64_t delivered() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    return interference_.delivered;
  }

 private:
  void Accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
      if (error) return;
      auto client = std::make_shared<tcp::socket>(std::move(socket));
      auto server = std::make_shared<tcp::socket>(io_);
      server->async_connect(upstream_, [this, client, server](const boost::system::error_code& e) {
        if (e) return;
        client->set_option(tcp::no_delay(true));
        server->set_option(tcp::no_delay(true));
        std::make_shared<Pipe>(client, server, toServer_, window_, nullptr)->Read();
        std::make_shared<Pipe>(server, client, toClient_, window_, &interference_)->Read();
      });
      Accept();
    });
  }

  Interference interference_;  // used by the proxy's thread only
  tcp::endpoint upstream_;
  boost::asio::io_context io_;
  tcp::acceptor acceptor_;
  Link toServer_;
  Link toClient_;
  std::size_t window_;
  std::thread thread_;
};

// ---- The downloading child ---------------------------------------------------------------------

struct FetchOptions {
  unsigned short port = 0;
  fs::path dest;
  unsigned hardwareThreads = 2;
  bool proxied = false;
  double delayMs = 0;
  double rateMbit = 0;
  std::size_t windowKiB = 4096;
  unsigned inFlight = 1;
  std::uint64_t resetEveryMiB = 0;
  std::uint64_t killAtMiB = 0;
  bool journal = false;  // files of several ranges resume from, and record into, a journal
};

// Downloads the latest release as the update engine does and prints "<seconds> <VmHWM KiB>
// <bytes the proxy delivered>" (0 without the proxy).
int Fetch(const FetchOptions& options) {
  std::optional<DelayProxy> proxy;
  unsigned short port = options.port;
  if (options.proxied) {
    proxy.emplace(
        options.port,
        std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(options.delayMs / 2)),
        options.rateMbit * 1e6 / 8, options.windowKiB * 1024,
        Interference{.resetEvery = options.resetEveryMiB << 20, .killAt = options.killAtMiB << 20});
    port = proxy->port();
  }
  auto client = std::make_shared<network::common::Client>("127.0.0.1", std::to_string(port),
                                                          kBuildVersion, "win32", true);
  const auto db = network::common::FetchUpdateDB(*client, true, Version{});
  if (!db || db->empty()) throw std::runtime_error("no release from the server");

  const auto start = Clock::now();
  network::common::DownloadOptions downloadOptions;
  downloadOptions.requestsInFlight = options.inFlight;
  downloadOptions.warn = [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
  };
  network::common::DownloadManager manager(client, options.hardwareThreads,
                                           network::common::DownloadManager::FileSystemCapacity,
                                           downloadOptions);
  std::uint64_t resumed = 0;
  for (const auto& item : *db) {
    const std::string download = (options.dest / (item.name + ".upd")).string();
    std::shared_ptr<network::common::RangeJournal> journal;
    if (options.journal && item.size > network::common::kPartSize) {
      journal = std::make_shared<network::common::RangeJournal>(download, item.size, item.hash,
                                                                platform::SyncFile);
      resumed += journal->DoneBytes();
    }
    manager.Add(std::make_shared<network::common::File>(item.index, download, item.size), journal);
  }
  if (resumed != 0)
    std::fprintf(stderr, "resuming with %llu bytes on disk\n",
                 static_cast<unsigned long long>(resumed));
  const unsigned completed = manager.Download([](std::uint64_t, std::uint64_t) {});
  const double seconds = Seconds(start);
  if (completed == 0 && resumed == 0) throw std::runtime_error("tasks left undone");
  std::printf("%.6f %ld %llu\n", seconds, bench::StatusKiB(getpid(), "VmHWM"),
              static_cast<unsigned long long>(proxy ? proxy->delivered() : 0));
  return 0;
}

// ---- The release and the comparison ------------------------------------------------------------

struct ReleaseShape {
  int bigFiles;
  std::uint64_t bigBytes;  // each
  int smallFiles;
  std::uint64_t smallBytes;  // all together
};

// Writes the files and returns their names ('/' separators) and sizes.
std::vector<std::pair<std::string, std::uint64_t>> WriteRelease(const fs::path& folder,
                                                                const ReleaseShape& shape) {
  std::mt19937_64 random(2024);
  std::vector<std::pair<std::string, std::uint64_t>> files;
  for (int i = 0; i < shape.bigFiles; ++i) {
    files.emplace_back("big/" + std::to_string(i) + ".pak", shape.bigBytes);
  }
  // Sizes spread evenly on a log scale between 1 KiB and 1 MiB, then scaled to the total.
  std::uniform_real_distribution<double> exponent(10, 20);
  std::vector<double> weights(shape.smallFiles);
  for (auto& weight : weights) weight = std::exp2(exponent(random));
  double sum = 0;
  for (double weight : weights) sum += weight;
  std::uint64_t left = shape.smallBytes;
  for (int i = 0; i < shape.smallFiles; ++i) {
    const auto size =
        i + 1 == shape.smallFiles
            ? left
            : std::min<std::uint64_t>(
                  left, static_cast<std::uint64_t>(weights[i] / sum * shape.smallBytes));
    left -= size;
    files.emplace_back("small/" + std::to_string(i % 40) + "/" + std::to_string(i) + ".dat", size);
  }
  for (const auto& [name, size] : files) bench::WriteRandomFile(folder / name, size, random);
  sync();
  return files;
}

std::uint64_t TotalBytes(const std::vector<std::pair<std::string, std::uint64_t>>& files) {
  std::uint64_t total = 0;
  for (const auto& file : files) total += file.second;
  return total;
}

// Throws unless `copy` holds the same bytes as `original`.
void CheckSame(const fs::path& original, const fs::path& copy) {
  if (!fs::exists(copy) || fs::file_size(copy) != fs::file_size(original)) {
    throw std::runtime_error(copy.string() + " is missing or has the wrong size");
  }
  std::ifstream a(original, std::ios::binary);
  std::ifstream b(copy, std::ios::binary);
  std::vector<char> x(1 << 20);
  std::vector<char> y(1 << 20);
  while (a.read(x.data(), static_cast<std::streamsize>(x.size())) || a.gcount() > 0) {
    b.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (b.gcount() != a.gcount() || !std::equal(x.begin(), x.begin() + a.gcount(), y.begin())) {
      throw std::runtime_error(copy.string() + " differs from " + original.string());
    }
  }
}

// Checks every downloaded file, then removes the download folder.
void CheckAndRemove(const fs::path& release,
                    const std::vector<std::pair<std::string, std::uint64_t>>& files,
                    const fs::path& dest, const std::string& suffix) {
  for (const auto& file : files) CheckSame(release / file.first, dest / (file.first + suffix));
  fs::remove_all(dest);
  // Whatever the kernel still has to write back would weigh on the next download.
  sync();
}

struct FetchResult {
  double seconds;
  long peakKiB;
  std::uint64_t delivered;  // bytes through the proxy
};

// Runs Fetch in a child process of this program. A child that the proxy kills (`killed`) gives
// no result.
FetchResult RunFetch(const fs::path& self, const FetchOptions& options, bool killed = false) {
  std::vector<std::string> args = {"--fetch-port",
                                   std::to_string(options.port),
                                   "--dest",
                                   options.dest.string(),
                                   "--hardware-threads",
                                   std::to_string(options.hardwareThreads),
                                   "--in-flight-child",
                                   std::to_string(options.inFlight)};
  if (options.proxied) {
    args.insert(args.end(), {"--proxy", "--delay-ms", std::to_string(options.delayMs),
                             "--rate-mbit", std::to_string(options.rateMbit), "--window-kib",
                             std::to_string(options.windowKiB), "--reset-every-mib-child",
                             std::to_string(options.resetEveryMiB), "--kill-at-mib",
                             std::to_string(options.killAtMiB)});
  }
  if (options.journal) args.push_back("--journal");
  bp::ipstream out;
  bp::child child(self.string(), bp::args(args), bp::std_out > out);
  FetchResult result{};
  out >> result.seconds >> result.peakKiB >> result.delivered;
  child.wait();
  if (killed) return {};
  if (child.exit_code() != 0 || !out) throw std::runtime_error("the download failed");
  return result;
}

// Fetches every file from nginx into `dest` with one curl process; returns the seconds taken.
double RunCurl(const bench::NginxProcess& nginx,
               const std::vector<std::pair<std::string, std::uint64_t>>& files,
               const fs::path& dest, const fs::path& config) {
  {
    std::ofstream out(config);
    for (const auto& file : files) {
      out << "url = \"" << nginx.Url(file.first) << "\"\noutput = \""
          << (dest / file.first).string() << "\"\n";
    }
  }
  const auto start = Clock::now();
  const int status = bp::system(bp::search_path("curl"), "--silent", "--show-error", "--fail",
                                "--create-dirs", "--config", config.string());
  const double seconds = Seconds(start);
  if (status != 0) throw std::runtime_error("curl failed");
  return seconds;
}

struct Options {
  int bigFiles = 4;
  int bigMiB = 200;
  int smallFiles = 2000;
  int totalMiB = 1024;
  int rounds = 3;
  int latencyMiB = 96;
  int latencySmallFiles = 100;
  std::vector<double> rttMs = {0, 20, 50};
  std::vector<unsigned> workers = {1, 3, 7};
  std::vector<unsigned> inFlight = {1, 8};
  int resumeMiB = 512;
  int resetEveryMiB = 100;
  double rateMbit = 0;
  std::size_t windowKiB = 4096;
};

void CompareWithCurl(const fs::path& self, const fs::path& work, const Options& options) {
  const std::uint64_t bigBytes = std::uint64_t(options.bigFiles) * options.bigMiB << 20;
  const std::uint64_t totalBytes = std::uint64_t(options.totalMiB) << 20;
  if (bigBytes > totalBytes) throw std::runtime_error("the big files exceed --total-mib");
  const fs::path releases = work / "releases";
  const fs::path release = releases / "1.0.0";
  std::printf("writing a release of %d MiB: %d files of %d MiB, %d small files\n", options.totalMiB,
              options.bigFiles, options.bigMiB, options.smallFiles);
  const auto files = WriteRelease(release, {options.bigFiles, std::uint64_t(options.bigMiB) << 20,
                                            options.smallFiles, totalBytes - bigBytes});
  bench::AusServerProcess aus(self.parent_path() / "aus-server", releases, work / "aus-server.log");
  bench::NginxProcess nginx(work / "nginx", release);

  FetchResult best{1e300, 0, 0};
  long worstPeakKiB = 0;
  double curlSeconds = 1e300;
  // Rounds alternate between the two, each going first in turn, so that a busy machine weighs
  // on both alike.
  for (int round = 0; round < options.rounds; ++round) {
    FetchResult ours{};
    double curl = 0;
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        ours = RunFetch(self, {.port = aus.port(), .dest = work / "ours"});
        CheckAndRemove(release, files, work / "ours", ".upd");
      } else {
        curl = RunCurl(nginx, files, work / "curl", work / "curl.conf");
        CheckAndRemove(release, files, work / "curl", "");
      }
    }
    best.seconds = std::min(best.seconds, ours.seconds);
    worstPeakKiB = std::max(worstPeakKiB, ours.peakKiB);
    curlSeconds = std::min(curlSeconds, curl);
    std::printf("round %d: DownloadManager %.2f s (peak RSS %.1f MiB), curl %.2f s\n", round + 1,
                ours.seconds, ours.peakKiB / 1024.0, curl);
  }
  const double mb = TotalBytes(files) / 1e6;
  std::printf("DownloadManager, 1 worker, aus-server: %6.2f s %7.0f MB/s  peak RSS %.1f MiB\n",
              best.seconds, mb / best.seconds, worstPeakKiB / 1024.0);
  std::printf("curl -K, one connection, nginx:       %6.2f s %7.0f MB/s\n", curlSeconds,
              mb / curlSeconds);
  std::printf("time ratio DownloadManager / curl: %.2f (target at most 1.2)\n",
              best.seconds / curlSeconds);
}

std::string RateText(double mbit) {
  char text[32];
  std::snprintf(text, sizeof text, "%g Mbit/s", mbit);
  return text;
}

void MeasureLatency(const fs::path& self, const fs::path& work, const Options& options) {
  const std::uint64_t totalBytes = std::uint64_t(options.latencyMiB) << 20;
  const fs::path releases = work / "latency-releases";
  // Two big files hold three quarters of the bytes.
  const auto files = WriteRelease(
      releases / "1.0.0", {2, totalBytes * 3 / 8, options.latencySmallFiles, totalBytes / 4});
  bench::AusServerProcess aus(self.parent_path() / "aus-server", releases,
                              work / "latency-aus-server.log");
  std::printf(
      "\nthrough the delay proxy: %d MiB, 2 files of %.0f MiB and %d small files; "
      "window %zu KiB per connection, rate %s\n",
      options.latencyMiB, totalBytes * 3 / 8 / 1048576.0, options.latencySmallFiles,
      options.windowKiB, options.rateMbit > 0 ? RateText(options.rateMbit).c_str() : "unlimited");
  std::printf("%8s %9s", "RTT ms", "in flight");
  for (unsigned workers : options.workers) std::printf("  %2u worker(s) MB/s", workers);
  std::printf("\n");
  const double mb = TotalBytes(files) / 1e6;
  for (double rtt : options.rttMs) {
    for (unsigned inFlight : options.inFlight) {
      std::printf("%8.0f %9u", rtt, inFlight);
      for (unsigned workers : options.workers) {
        const fs::path dest = work / "latency";
        const FetchResult result = RunFetch(self, {.port = aus.port(),
                                                   .dest = dest,
                                                   .hardwareThreads = workers + 1,
                                                   .proxied = true,
                                                   .delayMs = rtt,
                                                   .rateMbit = options.rateMbit,
                                                   .windowKiB = options.windowKiB,
                                                   .inFlight = inFlight});
        CheckAndRemove(releases / "1.0.0", files, dest, ".upd");
        const double rate = mb / result.seconds;
        if (options.rateMbit > 0) {
          std::printf("  %8.1f (%3.0f %%)", rate, 100 * rate * 8 / options.rateMbit);
        } else {
          std::printf("  %18.1f", rate);
        }
        std::fflush(stdout);
      }
      std::printf("\n");
    }
  }
}

// Interruptions, on loopback through the proxy without delay: a release of one file of
// --resume-mib MiB fetched (1) with the connection reset every --reset-every-mib MiB: the bytes
// fetched against the file's; (2) killed once half the file has arrived, then started again: the
// bytes the second run fetched against the file's.
void MeasureInterruptions(const fs::path& self, const fs::path& work, const Options& options) {
  const std::uint64_t bytes = std::uint64_t(options.resumeMiB) << 20;
  const fs::path releases = work / "resume-releases";
  const auto files = WriteRelease(releases / "1.0.0", {1, bytes, 0, 0});
  bench::AusServerProcess aus(self.parent_path() / "aus-server", releases,
                              work / "resume-aus-server.log");
  const fs::path dest = work / "resume";
  FetchOptions fetch{.port = aus.port(), .dest = dest, .proxied = true, .journal = true};

  fetch.resetEveryMiB = options.resetEveryMiB;
  const FetchResult reset = RunFetch(self, fetch);
  CheckAndRemove(releases / "1.0.0", files, dest, ".upd");
  std::printf(
      "\none file of %d MiB, connection reset every %d MiB: completed in %.2f s, %.1f MiB "
      "fetched, %.3f of the file (target at most 1.05)\n",
      options.resumeMiB, options.resetEveryMiB, reset.seconds, reset.delivered / 1048576.0,
      static_cast<double>(reset.delivered) / static_cast<double>(bytes));

  fetch.resetEveryMiB = 0;
  fetch.killAtMiB = static_cast<std::uint64_t>(options.resumeMiB) / 2;
  RunFetch(self, fetch, true);
  std::uintmax_t partial = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dest)) {
    if (entry.is_regular_file() && entry.path().extension() == ".upd") partial += entry.file_size();
  }
  fetch.killAtMiB = 0;
  const FetchResult resumed = RunFetch(self, fetch);
  CheckAndRemove(releases / "1.0.0", files, dest, ".upd");
  std::printf(
      "killed once %llu MiB had arrived (%.1f MiB on disk), then started again: the second run "
      "fetched %.1f MiB, %.3f of the file (target at most 0.55)\n",
      static_cast<unsigned long long>(options.resumeMiB / 2),
      partial / 1048576.0, resumed.delivered / 1048576.0,
      static_cast<double>(resumed.delivered) / static_cast<double>(bytes));
}

}  // namespace

int main(int argc, char* argv[]) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  FetchOptions fetch;
  bool skipComparison = false;
  bool skipLatency = false;
  bool skipInterruptions = false;
  po::options_description description("download_bench options");
  description.add_options()("help", "show this text")(
      "big-files", po::value(&options.bigFiles)->default_value(options.bigFiles),
      "large files of the loopback release")(
      "big-mib", po::value(&options.bigMiB)->default_value(options.bigMiB),
      "MiB of each large file")("small-files",
                                po::value(&options.smallFiles)->default_value(options.smallFiles),
                                "small files sharing the rest of the release")(
      "total-mib", po::value(&options.totalMiB)->default_value(options.totalMiB),
      "MiB of the loopback release")("rounds",
                                     po::value(&options.rounds)->default_value(options.rounds),
                                     "loopback rounds; the best time of each side counts")(
      "latency-mib", po::value(&options.latencyMiB)->default_value(options.latencyMiB),
      "MiB of the release fetched through the delay proxy")(
      "latency-small-files",
      po::value(&options.latencySmallFiles)->default_value(options.latencySmallFiles),
      "small files of that release (a quarter of its bytes)")(
      "rtt-ms", po::value(&options.rttMs)->multitoken(), "round trips to emulate (0 20 50)")(
      "workers", po::value(&options.workers)->multitoken(), "worker counts to run (1 3 7)")(
      "rate-mbit", po::value(&options.rateMbit)->default_value(options.rateMbit),
      "link rate of the delay proxy, 0 for none")(
      "window-kib", po::value(&options.windowKiB)->default_value(options.windowKiB),
      "bytes in flight per direction and connection in the delay proxy")(
      "in-flight", po::value(&options.inFlight)->multitoken(),
      "requests in flight per connection to run (1 8)")(
      "resume-mib", po::value(&options.resumeMiB)->default_value(options.resumeMiB),
      "MiB of the file of the interruption part")(
      "reset-every-mib", po::value(&options.resetEveryMiB)->default_value(options.resetEveryMiB),
      "MiB between connection resets in the interruption part")(
      "skip-comparison", po::bool_switch(&skipComparison), "skip the loopback part")(
      "skip-latency", po::bool_switch(&skipLatency), "skip the latency part")(
      "skip-interruptions", po::bool_switch(&skipInterruptions), "skip the interruption part");
  po::options_description child("internal: one download in a child process");
  child.add_options()("fetch-port", po::value(&fetch.port))("dest", po::value(&fetch.dest))(
      "hardware-threads", po::value(&fetch.hardwareThreads))(
      "proxy", po::bool_switch(&fetch.proxied))("delay-ms", po::value(&fetch.delayMs))(
      "in-flight-child", po::value(&fetch.inFlight))("reset-every-mib-child",
                                                     po::value(&fetch.resetEveryMiB))(
      "kill-at-mib", po::value(&fetch.killAtMiB))("journal", po::bool_switch(&fetch.journal));
  po::variables_map values;
  try {
    po::options_description all;
    all.add(description).add(child);
    po::store(po::parse_command_line(argc, argv, all), values);
    if (values.count("help")) {
      std::cout << description << '\n';
      return 0;
    }
    po::notify(values);
  } catch (const po::error& error) {
    std::cerr << "download_bench: " << error.what() << "\n" << description << '\n';
    return 2;
  }

  try {
    if (fetch.port != 0) {
      network::common::KeepTransferBuffersMapped();  // as the launcher does
      fetch.rateMbit = options.rateMbit;
      fetch.windowKiB = options.windowKiB;
      return Fetch(fetch);
    }
    const fs::path self = fs::absolute(argv[0]);
    bench::WorkDir work("download_bench");
    if (!skipComparison) CompareWithCurl(self, work.path(), options);
    if (!skipLatency) MeasureLatency(self, work.path(), options);
    if (!skipInterruptions) MeasureInterruptions(self, work.path(), options);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "download_bench: " << error.what() << '\n';
    return 1;
  }
}
