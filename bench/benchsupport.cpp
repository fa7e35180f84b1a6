#include "bench/benchsupport.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/process.hpp>

namespace bench {

namespace {

namespace bp = boost::process;
namespace fs = std::filesystem;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

const auto kLoopback = boost::asio::ip::make_address("127.0.0.1");

// The port aus-server reports in its log; digesting a large release takes a while.
unsigned short WaitForAusPort(const fs::path& log, bp::child& server) {
  const std::regex listening("listening on \\S+ port (\\d+)");
  const auto deadline = Clock::now() + std::chrono::minutes(10);
  while (Clock::now() < deadline) {
    std::ifstream in(log);
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
      if (std::regex_search(line, match, listening)) {
        return static_cast<unsigned short>(std::stoi(match[1]));
      }
    }
    if (!server.running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  throw std::runtime_error("aus-server did not start; see " + log.string());
}

}  // namespace

WorkDir::WorkDir(const std::string& prefix) {
  path_ = fs::temp_directory_path() / (prefix + "." + std::to_string(std::random_device()()));
  fs::create_directories(path_);
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

WorkDir::~WorkDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteRandomFile(const fs::path& path, std::uint64_t bytes, std::mt19937_64& random) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  for (std::uint64_t left = bytes; left > 0;) {
    const auto count = std::min<std::uint64_t>(left, block.size() * sizeof(block[0]));
    std::generate_n(block.begin(), (count + 7) / 8, std::ref(random));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
    left -= count;
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

unsigned short FreePort() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, {kLoopback, 0});
  return acceptor.local_endpoint().port();
}

void WaitForListener(unsigned short port) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  boost::asio::io_context io;
  while (Clock::now() < deadline) {
    tcp::socket socket(io);
    boost::system::error_code error;
    socket.connect({kLoopback, port}, error);
    if (!error) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("nothing listens on port " + std::to_string(port));
}

long StatusKiB(int pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

AusServerProcess::AusServerProcess(const fs::path& program, const fs::path& releases,
                                   const fs::path& log)
    : child_(program.string(), "--releases", releases.string(), "--listen", "127.0.0.1", "--port",
             "0", bp::std_out > log.string(), bp::std_err > log.string()),
      port_(WaitForAusPort(log, child_)) {}

AusServerProcess::~AusServerProcess() {
  std::error_code ignored;
  child_.terminate(ignored);
}

NginxProcess::NginxProcess(const fs::path& folder, const fs::path& root) : port_(FreePort()) {
  fs::create_directories(folder);
  std::ofstream(folder / "nginx.conf")
      << "worker_processes 2;\nerror_log stderr;\npid " << (folder / "pid").string()
      << ";\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n  sendfile on;\n"
      << "  keepalive_requests 1000000;\n"
      << "  server { listen 127.0.0.1:" << port_ << "; root " << root.string() << "; }\n}\n";
  child_ = bp::child(bp::search_path("nginx"), "-p", folder.string(), "-c", "nginx.conf", "-g",
                     "daemon off;");
  WaitForListener(port_);
}

NginxProcess::~NginxProcess() {
  // A fast shutdown: the master takes its workers down (a killed master would leave them).
  std::error_code ignored;
  bp::system(bp::search_path("kill"), "-TERM", std::to_string(child_.id()), ignored);
  child_.wait(ignored);
}

std::string NginxProcess::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

}  // namespace bench
