// Simulated launchers for scripts/loadtest.sh: each one asks for the latest list, fetches every
// file by index in parts of the launcher's size on a connection of its own, checks each file's
// SHA-256 against the list, and retries a failed part whole on a fresh connection (as the
// launcher's download workers do), so a replica dying under it costs a retry, not the install.
// Prints throughput, time per launcher, retries and the bytes fetched twice; exits 1 when any
// launcher ends without a correct installation.
//
// Usage: loadtest_client --port N [--host 127.0.0.1] [--launchers 200] [--part 2097152]
//                        [--timeout 20] [--attempts 20] [--midway "command"] [--verbose]
// --midway runs the command (through the shell) once half of all bytes have arrived.
// loadtest_client --port N --idle COUNT [--hold S] opens COUNT connections, greets on each,
// prints "open" and holds them S seconds (default 5), for measuring memory per connection.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/program_options.hpp>
#include <openssl/evp.h>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/opacket.h"
#include "package/network/protocol/packetparser.h"

namespace {

namespace po = boost::program_options;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using network::protocol::IPacket;
using network::protocol::OPacket;

struct Options {
  std::string host = "127.0.0.1";
  unsigned short port = 0;
  unsigned launchers = 200;
  std::uint64_t part = 2097152;  // the launcher's kPartSize
  unsigned timeoutSeconds = 20;
  unsigned attempts = 20;
  std::string midway;
  unsigned idle = 0;
  unsigned holdSeconds = 5;
  bool verbose = false;
};

using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Digest NewDigest() {
  Digest digest(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!digest || !EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr)) {
    throw std::runtime_error("no SHA-256");
  }
  return digest;
}

// Feeds what IPacket::ReadTo writes into a digest.
class DigestSink : public std::streambuf {
 public:
  explicit DigestSink(EVP_MD_CTX* digest) : digest_(digest) {}

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    EVP_DigestUpdate(digest_, data, static_cast<std::size_t>(count));
    return count;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      const char byte = static_cast<char>(c);
      EVP_DigestUpdate(digest_, &byte, 1);
    }
    return traits_type::not_eof(c);
  }

 private:
  EVP_MD_CTX* digest_;
};

// One connection to the balancer; every wait gives up after the timeout with an exception.
class Connection {
 public:
  explicit Connection(const Options& options)
      : socket_(io_), timeout_(std::chrono::seconds(options.timeoutSeconds)) {
    tcp::resolver resolver(io_);
    bool done = false;
    boost::system::error_code failure;
    boost::asio::async_connect(socket_,
                               resolver.resolve(options.host, std::to_string(options.port)),
                               [&](const boost::system::error_code& error, const tcp::endpoint&) {
                                 failure = error;
                                 done = true;
                               });
    Wait(done, "connect");
    if (failure) throw std::runtime_error("connect: " + failure.message());
    socket_.set_option(tcp::no_delay(true));
    Send(OPacket(false, 0) << Version{2, 2, 1704181200});
    Send(OPacket(false, 1) << Version{4, 35, 1906051200} << std::string("win32"));
  }

  void Send(OPacket packet) {
    const auto bytes = packet.Data();
    bool done = false;
    boost::system::error_code failure;
    boost::asio::async_write(socket_, boost::asio::buffer(*bytes),
                             [&](const boost::system::error_code& error, std::size_t) {
                               failure = error;
                               done = true;
                             });
    Wait(done, "write");
    if (failure) throw std::runtime_error("write: " + failure.message());
  }

  std::shared_ptr<IPacket> Receive() {
    while (true) {
      if (auto packet = parser_.Pop()) return packet;
      if (buffer_.empty()) buffer_.resize(64 * 1024);  // idle connections never need it
      bool done = false;
      boost::system::error_code failure;
      std::size_t count = 0;
      socket_.async_read_some(boost::asio::buffer(buffer_),
                              [&](const boost::system::error_code& error, std::size_t n) {
                                failure = error;
                                count = n;
                                done = true;
                              });
      Wait(done, "read");
      if (failure) throw std::runtime_error("read: " + failure.message());
      parser_.Feed(buffer_.data(), count);
    }
  }

 private:
  void Wait(bool& done, const char* what) {
    io_.restart();
    io_.run_for(timeout_);
    if (!done) {
      boost::system::error_code ignored;
      socket_.close(ignored);
      io_.restart();
      io_.run();
      throw std::runtime_error(std::string(what) + ": timed out");
    }
  }

  boost::asio::io_context io_;
  tcp::socket socket_;
  Clock::duration timeout_;
  network::protocol::PacketParser parser_;
  std::vector<char> buffer_;
};

struct Item {
  std::uint16_t index = 0;
  std::string name;
  std::uint64_t size = 0;
  std::string hash;
  bool required = false;
};

struct Result {
  bool ok = false;
  std::string error;
  double seconds = 0;
  std::uint64_t bytes = 0;       // of the release, fetched and checked
  std::uint64_t bytesAgain = 0;  // received for parts that failed, fetched again
  unsigned retries = 0;
  std::string list;  // the names and digests of the list it was given
};

struct Shared {
  explicit Shared(const Options& options) : options(options) {}
  const Options& options;
  std::atomic<std::uint64_t> received{0};
  std::uint64_t half = 0;  // of all launchers' bytes
  std::atomic<bool> midwayDone{false};
  std::thread midway;
  std::mutex midwayMutex;

  void Count(std::uint64_t bytes) {
    const auto before = received.fetch_add(bytes);
    if (options.midway.empty() || before + bytes < half || midwayDone.exchange(true)) return;
    std::lock_guard lock(midwayMutex);
    midway = std::thread([command = options.midway] {
      std::fprintf(stderr, "loadtest_client: half of the bytes in: %s\n", command.c_str());
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "loadtest_client: it failed\n");
    });
  }
};

std::vector<Item> FetchList(const Options& options, Result& result) {
  for (unsigned attempt = 1;; ++attempt) {
    try {
      Connection connection(options);
      connection.Send(OPacket(false, 10) << true << Version{});
      auto reply = connection.Receive();
      if (reply->Type() != 10) throw std::runtime_error("unexpected reply to UpdateDb");
      std::uint32_t count = 0;
      *reply >> count;
      std::vector<Item> items;
      for (std::uint32_t i = 0; i < count; ++i) {
        Item item;
        std::vector<unsigned char> hash;
        *reply >> item.index >> item.name >> item.size >> hash >> item.required;
        item.hash.assign(hash.begin(), hash.end());
        items.push_back(std::move(item));
      }
      if (items.empty()) throw std::runtime_error("empty list");
      return items;
    } catch (const std::exception& error) {
      if (attempt >= options.attempts) throw;
      ++result.retries;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

// Fetches [offset, offset + length) of the item into `digest`; `received` counts its bytes, also
// when it throws (the part is then fetched again).
void FetchPart(Connection& connection, const Item& item, std::uint64_t offset, std::uint64_t length,
               EVP_MD_CTX* digest, std::uint64_t& received, Shared& shared) {
  connection.Send(OPacket(false, 11) << true << item.index << offset << length);
  DigestSink sink(digest);
  std::ostream out(&sink);
  while (true) {
    auto reply = connection.Receive();
    if (reply->Type() != 11) throw std::runtime_error("unexpected reply to FileData");
    bool ok = false;
    *reply >> ok;
    if (!ok) throw std::runtime_error("FileData refused");
    const std::uint32_t count = reply->ReadTo(out);
    if (count == 0) break;
    received += count;
    // Counted by block, so that the midway command lands inside parts, not between them.
    shared.Count(count);
    if (received > length) throw std::runtime_error("more bytes than asked for");
  }
  if (received != length) throw std::runtime_error("part cut short");
}

Result RunLauncher(Shared& shared) {
  const Options& options = shared.options;
  Result result;
  const auto start = Clock::now();
  try {
    const auto items = FetchList(options, result);
    for (const auto& item : items) result.list += item.name + ":" + item.hash + "\n";
    std::unique_ptr<Connection> worker;
    for (const auto& item : items) {
      auto digest = NewDigest();
      auto saved = NewDigest();
      // An empty file is one request for "to the end", answered with the closing block alone.
      std::uint64_t offset = 0;
      do {
        const std::uint64_t length = std::min(options.part, item.size - offset);
        for (unsigned attempt = 1;; ++attempt) {
          std::uint64_t received = 0;
          EVP_MD_CTX_copy_ex(saved.get(), digest.get());
          try {
            if (!worker) worker = std::make_unique<Connection>(options);
            FetchPart(*worker, item, offset, length, digest.get(), received, shared);
            break;
          } catch (const std::exception& error) {
            worker.reset();
            EVP_MD_CTX_copy_ex(digest.get(), saved.get());
            result.bytesAgain += received;
            if (options.verbose) {
              std::fprintf(stderr, "loadtest_client: '%s' from %llu: %s after %llu bytes\n",
                           item.name.c_str(), static_cast<unsigned long long>(offset), error.what(),
                           static_cast<unsigned long long>(received));
            }
            ++result.retries;
            if (attempt >= options.attempts) {
              throw std::runtime_error("'" + item.name + "': " + error.what());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
        }
        offset += length;
        result.bytes += length;
      } while (offset < item.size);
      unsigned char value[EVP_MAX_MD_SIZE];
      unsigned int size = 0;
      EVP_DigestFinal_ex(digest.get(), value, &size);
      if (std::string(value, value + size) != item.hash) {
        throw std::runtime_error("'" + item.name + "': digest mismatch");
      }
    }
    result.ok = true;
  } catch (const std::exception& error) {
    result.error = error.what();
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size()) + 0.999);
  return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  po::options_description description("loadtest_client: simulated launchers");
  description.add_options()("help", "this text")("host", po::value(&options.host))(
      "port", po::value(&options.port)->required())("launchers", po::value(&options.launchers))(
      "part", po::value(&options.part))("timeout", po::value(&options.timeoutSeconds))(
      "attempts", po::value(&options.attempts))("midway", po::value(&options.midway))(
      "idle", po::value(&options.idle))("hold", po::value(&options.holdSeconds))(
      "verbose", po::bool_switch(&options.verbose), "print every retry");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description << '\n';
      return 0;
    }
    po::notify(values);
  } catch (const po::error& error) {
    std::cerr << "loadtest_client: " << error.what() << '\n' << description << '\n';
    return 2;
  }

  if (options.idle > 0) {
    std::vector<std::unique_ptr<Connection>> idle;
    try {
      for (unsigned i = 0; i < options.idle; ++i) {
        idle.push_back(std::make_unique<Connection>(options));
      }
    } catch (const std::exception& error) {
      std::cerr << "loadtest_client: " << error.what() << '\n';
      return 1;
    }
    std::printf("open\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(options.holdSeconds));
    return 0;
  }

  // The release's size, from one launcher's list, sets the midway point.
  Shared shared(options);
  try {
    Result probe;
    std::uint64_t size = 0;
    for (const auto& item : FetchList(options, probe)) size += item.size;
    shared.half = size * options.launchers / 2;
  } catch (const std::exception& error) {
    std::cerr << "loadtest_client: no list: " << error.what() << '\n';
    return 1;
  }

  std::vector<Result> results(options.launchers);
  std::latch ready(options.launchers + 1);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < options.launchers; ++i) {
    threads.emplace_back([&, i] {
      ready.arrive_and_wait();
      results[i] = RunLauncher(shared);
    });
  }
  const auto start = Clock::now();
  ready.arrive_and_wait();
  for (auto& thread : threads) thread.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  {
    std::lock_guard lock(shared.midwayMutex);
    if (shared.midway.joinable()) shared.midway.join();
  }

  unsigned ok = 0;
  unsigned retries = 0;
  std::uint64_t bytes = 0;
  std::uint64_t again = 0;
  std::vector<double> seconds;
  for (const auto& result : results) {
    if (result.ok && result.list == results.front().list) {
      ++ok;
    } else {
      std::cerr << "loadtest_client: a launcher failed: "
                << (result.ok ? "it was given another list" : result.error) << '\n';
    }
    retries += result.retries;
    bytes += result.bytes;
    again += result.bytesAgain;
    seconds.push_back(result.seconds);
  }
  const double mib = 1024.0 * 1024.0;
  std::printf("launchers            %u, with a correct installation: %u\n", options.launchers, ok);
  std::printf("bytes checked        %.1f MiB in %.2f s\n", static_cast<double>(bytes) / mib, wall);
  std::printf("throughput           %.1f MiB/s\n", static_cast<double>(bytes) / mib / wall);
  std::printf("time per launcher    p50 %.2f s, p99 %.2f s, max %.2f s\n", Percentile(seconds, 0.5),
              Percentile(seconds, 0.99), Percentile(seconds, 1.0));
  std::printf("retries              %u\n", retries);
  std::printf("bytes sent again     %.2f MiB (%.2f%% of the bytes checked)\n",
              static_cast<double>(again) / mib,
              bytes ? 100.0 * static_cast<double>(again) / static_cast<double>(bytes) : 0.0);
  return ok == options.launchers ? 0 : 1;
}
