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
#include <functional>
#include <random>
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

#include "bench/benchsupport.h"
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

void WriteRelease(const fs::path& folder, std::uint64_t bytes) {
  std::mt19937_64 random(42);
  for (int i = 0; i < kFiles; ++i) {
    bench::WriteRandomFile(folder / ("f" + std::to_string(i)), bytes / kFiles, random);
  }
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
  bench::WorkDir work("server_bench");
  const fs::path releases = work.path() / "releases";
  const fs::path release = releases / "1.0.0";
  std::printf("writing a %llu MiB release of %d files\n", static_cast<unsigned long long>(mib),
              kFiles);
  WriteRelease(release, mib << 20);

  bench::AusServerProcess aus(ausServer, releases, work.path() / "aus-server.log");
  const unsigned short ausPort = aus.port();
  bench::NginxProcess nginx(work.path() / "nginx", release);

  const auto curl = bp::search_path("curl");
  auto fetchNginx = [&](const std::vector<int>& files) {
    std::vector<std::string> args = {"-s", "--fail"};
    for (int i : files) {
      args.push_back("-o");
      args.push_back("/dev/null");
      args.push_back(nginx.Url("f" + std::to_string(i)));
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
              bench::StatusKiB(aus.pid(), "VmRSS"), kIdleConnections,
              bench::StatusKiB(aus.pid(), "VmHWM"));
  idle.clear();
  return 0;
}
