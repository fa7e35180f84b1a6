// Measures aus-server fetching a whole release over loopback, against nginx (sendfile on)
// serving the same files to `curl -o /dev/null` in the same run. One client, then four in
// parallel, each fetching its share of the files and discarding the bytes. Also reports
// aus-server's resident memory with a thousand idle connections and its peak.
// Usage: server_bench [MiB of release, default 1024]. aus-server is taken from the folder of
// this program; nginx and curl from PATH. Each timing is the best of a few rounds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/process.hpp>

#include "package/network/protocol/opacket.h"
#include "package/network/protocol/packetparser.h"

namespace {

namespace bp = boost::process;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using boost::asio::ip::tcp;

constexpr int kRounds = 3;
constexpr int kFiles = 8;
constexpr int kIdleConnections = 1000;

// A scratch folder that readers of any user (nginx's workers) can enter, removed at the end.
struct WorkDir {
  fs::path path;
  WorkDir() {
    path = fs::temp_directory_path() / ("server_bench." + std::to_string(std::random_device()()));
    fs::create_directories(path);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  }
  ~WorkDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

void WriteRelease(const fs::path& folder, std::uint64_t bytes) {
  fs::create_directories(folder);
  std::mt19937_64 random(42);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream out(folder / ("f" + std::to_string(i)), std::ios::binary);
    for (std::uint64_t left = bytes / kFiles; left > 0;) {
      for (auto& word : block) word = random();
      const auto count = std::min<std::uint64_t>(left, block.size() * sizeof(block[0]));
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
      left -= count;
    }
  }
}

unsigned short FreePort() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

void WaitForListener(unsigned short port) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  boost::asio::io_context io;
  while (Clock::now() < deadline) {
    tcp::socket socket(io);
    boost::system::error_code error;
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, error);
    if (!error) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("nothing listens on port " + std::to_string(port));
}

// The port aus-server reports in its log, waited for.
unsigned short WaitForAusPort(const fs::path& log) {
  const std::regex listening("listening on \\S+ port (\\d+)");
  const auto deadline = Clock::now() + std::chrono::seconds(600);
  while (Clock::now() < deadline) {
    std::ifstream in(log);
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
      if (std::regex_search(line, match, listening)) {
        return static_cast<unsigned short>(std::stoi(match[1]));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  throw std::runtime_error("aus-server did not start");
}

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM").
long StatusKiB(int pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Fetches the files by index on one connection and discards them; returns the bytes received.
std::uint64_t FetchAus(unsigned short port, const std::vector<int>& files) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  network::protocol::PacketParser parser;
  std::vector<char> buffer(256 * 1024);
  std::uint64_t received = 0;
  for (int index : files) {
    network::protocol::OPacket request(false, 11);
    request << true << static_cast<std::uint16_t>(index) << std::uint64_t{0} << std::uint64_t{0};
    boost::asio::write(socket, boost::asio::buffer(*request.Data()));
    for (bool done = false; !done;) {
      parser.Feed(buffer.data(), socket.read_some(boost::asio::buffer(buffer)));
      while (auto packet = parser.Pop()) {
        bool ok = false;
        std::uint32_t count = 0;
        *packet >> ok >> count;
        if (!ok || packet->Remaining() != count) throw std::runtime_error("bad FileData reply");
        received += count;
        done = count == 0;
      }
    }
  }
  return received;
}

// Seconds for `clients` parallel fetchers to take every file, best of kRounds.
double BestSeconds(int clients, const std::function<void(const std::vector<int>&)>& fetch) {
  double best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::vector<int>> shares(clients);
    for (int i = 0; i < kFiles; ++i) shares[i % clients].push_back(i);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (const auto& share : shares) threads.emplace_back([&fetch, share] { fetch(share); });
    for (auto& thread : threads) thread.join();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const fs::path ausServer = fs::absolute(argv[0]).parent_path() / "aus-server";
  WorkDir work;
  const fs::path releases = work.path / "releases";
  const fs::path release = releases / "1.0.0";
  std::printf("writing a %llu MiB release of %d files\n", static_cast<unsigned long long>(mib),
              kFiles);
  WriteRelease(release, mib << 20);

  const fs::path ausLog = work.path / "aus-server.log";
  bp::child aus(ausServer.string(), "--releases", releases.string(), "--port", "0",
                bp::std_out > ausLog.string(), bp::std_err > ausLog.string());
  const unsigned short ausPort = WaitForAusPort(ausLog);

  const unsigned short nginxPort = FreePort();
  fs::create_directories(work.path / "nginx");
  std::ofstream(work.path / "nginx" / "nginx.conf")
      << "worker_processes 2;\nerror_log stderr;\npid " << (work.path / "nginx" / "pid").string()
      << ";\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n  sendfile on;\n"
      << "  server { listen 127.0.0.1:" << nginxPort << "; root " << release.string() << "; }\n}\n";
  bp::child nginx(bp::search_path("nginx"), "-p", (work.path / "nginx").string(), "-c",
                  "nginx.conf", "-g", "daemon off;");
  WaitForListener(nginxPort);

  const auto curl = bp::search_path("curl");
  auto fetchNginx = [&](const std::vector<int>& files) {
    std::vector<std::string> args = {"-s", "--fail"};
    for (int i : files) {
      args.push_back("-o");
      args.push_back("/dev/null");
      args.push_back("http://127.0.0.1:" + std::to_string(nginxPort) + "/f" + std::to_string(i));
    }
    if (bp::system(curl, args) != 0) throw std::runtime_error("curl failed");
  };
  auto fetchAus = [&](const std::vector<int>& files) { FetchAus(ausPort, files); };

  const double gib = static_cast<double>(mib) / 1024;
  std::printf("%-10s %14s %14s %8s\n", "clients", "aus GiB/s", "nginx GiB/s", "ratio");
  for (int clients : {1, 4}) {
    const double nginxSeconds = BestSeconds(clients, fetchNginx);
    const double ausSeconds = BestSeconds(clients, fetchAus);
    std::printf("%-10d %14.2f %14.2f %8.2f\n", clients, gib / ausSeconds, gib / nginxSeconds,
                nginxSeconds / ausSeconds);
  }

  boost::asio::io_context io;
  std::vector<tcp::socket> idle;
  for (int i = 0; i < kIdleConnections; ++i) {
    idle.emplace_back(io).connect({boost::asio::ip::make_address("127.0.0.1"), ausPort});
  }
  FetchAus(ausPort, {0});  // answered only once every idle connection was accepted
  std::printf("aus-server resident memory: %ld KiB with %d idle connections, peak %ld KiB\n",
              StatusKiB(aus.id(), "VmRSS"), kIdleConnections, StatusKiB(aus.id(), "VmHWM"));
  idle.clear();
  // A fast shutdown: the master takes its workers down (a killed master would leave them).
  bp::system(bp::search_path("kill"), "-TERM", std::to_string(nginx.id()));
  nginx.wait();
  aus.terminate();
  return 0;
}
