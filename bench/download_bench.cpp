// Measures DownloadManager over loopback: a few large files and many small ones are fetched
// into ".upd" files from an in-process update server that reads each block from disk as it
// sends it. Reference, in the same run: the same bytes streamed raw over one TCP connection per
// file and written to files by a plain read/write loop, the best a single-stream downloader can
// do. Also reports the peak resident memory after the DownloadManager run.
// Usage: download_bench [MiB of large files, default 192] [small files, default 500]. One worker
// runs (the hardware-thread count is given as 2), as on a 2-core machine. Best of 3 rounds.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <istream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "package/network/common/downloadmanager.h"
#include "package/network/protocol/packetparser.h"

namespace {

namespace fs = std::filesystem;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlockSize = 65536;
constexpr int kRounds = 3;
const tcp::endpoint kLoopback(boost::asio::ip::make_address("127.0.0.1"), 0);

// Serves FileSize and FileData by path from `root` (paths with '\'), one thread per connection.
// With `raw`, a connection instead reads one "path\n" line and gets the file's bytes, then EOF.
class Server {
 public:
  Server(fs::path root, bool raw)
      : root_(std::move(root)),
        raw_(raw),
        acceptor_(io_, kLoopback),
        thread_([this] { Accept(); }) {}
  ~Server() {
    stopping_ = true;
    boost::asio::io_context io;
    tcp::socket wake(io);
    boost::system::error_code ignored;
    wake.connect(acceptor_.local_endpoint(), ignored);
    thread_.join();
    for (auto& t : connections_) t.join();
  }
  std::string port() const { return std::to_string(acceptor_.local_endpoint().port()); }

 private:
  void Accept() {
    for (;;) {
      auto socket = std::make_shared<tcp::socket>(io_);
      acceptor_.accept(*socket);
      if (stopping_) return;
      socket->set_option(tcp::no_delay(true));
      connections_.emplace_back([this, socket] {
        try {
          raw_ ? ServeRaw(*socket) : Serve(*socket);
        } catch (const std::exception&) {
          // The client closed the connection.
        }
      });
    }
  }

  fs::path Local(std::string path) const {
    std::replace(path.begin(), path.end(), '\\', '/');
    return root_ / path;
  }

  void SendFile(tcp::socket& socket, const fs::path& path, std::uint64_t offset,
                std::uint64_t length, bool packets) const {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::uint64_t left = length == 0 ? ~std::uint64_t{0} : length;
    std::vector<char> block(kBlockSize);
    for (;;) {
      in.read(block.data(),
              static_cast<std::streamsize>(std::min<std::uint64_t>(left, kBlockSize)));
      const auto count = static_cast<std::size_t>(in.gcount());
      left -= count;
      if (packets) {
        network::protocol::OPacket reply(true, 11);
        reply << true;
        reply.WriteBlock(block.data(), static_cast<std::uint32_t>(count));
        boost::asio::write(socket, boost::asio::buffer(*reply.Data()));
      } else if (count > 0) {
        boost::asio::write(socket, boost::asio::buffer(block.data(), count));
      }
      if (count == 0) return;
    }
  }

  void Serve(tcp::socket& socket) const {
    network::protocol::PacketParser parser;
    std::vector<char> buffer(32800);
    for (int seen = 0;;) {
      auto packet = parser.Pop();
      if (!packet) {
        parser.Feed(buffer.data(), socket.read_some(boost::asio::buffer(buffer)));
        continue;
      }
      if (++seen <= 2) continue;  // the greeting
      bool byIndex = false;
      Version version;
      std::string path;
      std::uint64_t offset = 0, length = 0;
      if (packet->Type() == 11) *packet >> byIndex;
      *packet >> version >> path;
      if (packet->Type() == 12) {
        network::protocol::OPacket reply(true, 12);
        reply << true << std::uint64_t{fs::file_size(Local(path))};
        boost::asio::write(socket, boost::asio::buffer(*reply.Data()));
        continue;
      }
      *packet >> offset >> length;
      SendFile(socket, Local(path), offset, length, true);
    }
  }

  void ServeRaw(tcp::socket& socket) const {
    boost::asio::streambuf line;
    boost::asio::read_until(socket, line, '\n');
    std::string path;
    std::getline(std::istream(&line), path);
    SendFile(socket, Local(path), 0, 0, false);
  }

  fs::path root_;
  bool raw_;
  boost::asio::io_context io_;
  tcp::acceptor acceptor_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> connections_;
  std::thread thread_;
};

std::vector<std::string> MakeFiles(const fs::path& root, int largeMiB, int small) {
  std::vector<std::string> names;
  std::mt19937_64 random(7);
  auto write = [&](const std::string& name, std::size_t size) {
    fs::create_directories((root / name).parent_path());
    std::ofstream out(root / name, std::ios::binary);
    // Written in small chunks so that generating the files does not count in the peak memory.
    std::vector<std::uint64_t> words(8192);
    for (std::size_t left = size; left > 0;) {
      for (auto& w : words) w = random();
      const std::size_t count = std::min(left, words.size() * 8);
      out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(count));
      left -= count;
    }
    names.push_back(name);
  };
  for (int i = 0; largeMiB > 0; ++i, largeMiB -= 64) {
    write("big/" + std::to_string(i) + ".pak", std::size_t(std::min(largeMiB, 64)) << 20);
  }
  for (int i = 0; i < small; ++i)
    write("small/" + std::to_string(i % 20) + "/" + std::to_string(i), 4096 + i * 97);
  return names;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double RunManager(const fs::path& root, const std::vector<std::string>& names) {
  Server server(root / "server", false);
  auto client = std::make_shared<network::common::Client>(
      "127.0.0.1", server.port(), Version{4, 35, 1906051200}, "win32", true);
  const auto start = Clock::now();
  network::common::DownloadManager manager(client, 2);
  for (const auto& name : names) {
    manager.Add(std::make_shared<network::common::File>(
        name, (root / "manager" / (name + ".upd")).string(), Version{1, 0, 0}));
  }
  manager.Download([](std::uint64_t, std::uint64_t) {});
  return Seconds(start);
}

double RunRaw(const fs::path& root, const std::vector<std::string>& names) {
  Server server(root / "server", true);
  boost::asio::io_context io;
  std::vector<char> buffer(32800);
  const auto start = Clock::now();
  for (const auto& name : names) {
    tcp::socket socket(io);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"),
                    static_cast<unsigned short>(std::stoi(server.port()))});
    boost::asio::write(socket, boost::asio::buffer(name + "\n"));
    const fs::path target = root / "raw" / name;
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary);
    boost::system::error_code error;
    for (;;) {
      const std::size_t n = socket.read_some(boost::asio::buffer(buffer), error);
      if (error) break;
      out.write(buffer.data(), static_cast<std::streamsize>(n));
    }
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int largeMiB = argc > 1 ? std::atoi(argv[1]) : 192;
  const int small = argc > 2 ? std::atoi(argv[2]) : 500;
  const fs::path root = fs::temp_directory_path() / ("download_bench-" + std::to_string(getpid()));
  const auto names = MakeFiles(root / "server", largeMiB, small);
  std::uint64_t bytes = 0;
  for (const auto& name : names) bytes += fs::file_size(root / "server" / name);

  // Rounds alternate between the two so that a busy machine weighs on both alike; best of each.
  double managerSeconds = 1e300;
  double rawSeconds = 1e300;
  long peakMiB = 0;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove_all(root / "manager");
    fs::remove_all(root / "raw");
    managerSeconds = std::min(managerSeconds, RunManager(root, names));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    peakMiB = usage.ru_maxrss / 1024;
    rawSeconds = std::min(rawSeconds, RunRaw(root, names));
  }
  fs::remove_all(root);
  std::printf("%zu files, %.0f MiB\n", names.size(), bytes / 1048576.0);
  std::printf("DownloadManager (1 worker): %.2f s, %.0f MB/s, peak RSS %ld MiB\n", managerSeconds,
              bytes / 1e6 / managerSeconds, peakMiB);
  std::printf("raw stream per file:        %.2f s, %.0f MB/s\n", rawSeconds,
              bytes / 1e6 / rawSeconds);
  std::printf("ratio: %.2f\n", managerSeconds / rawSeconds);
  return 0;
}
