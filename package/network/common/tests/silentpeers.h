#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "package/network/common/tests/contentserver.h"
#include "tests/support/fakeserver.h"

namespace network::common::testing {

// A listening socket on 127.0.0.1 that never accepts, its backlog filled with connections of its
// own: the system then drops a further connection's handshake, so a connect to port() waits
// until the connecting side gives up.
class FullListener {
 public:
  FullListener() : acceptor_(io_) {
    using boost::asio::ip::tcp;
    acceptor_.open(tcp::v4());
    acceptor_.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
    acceptor_.listen(0);
    // A handshake the backlog still takes completes within microseconds on loopback; the first
    // one left unanswered for this long shows the backlog full.
    constexpr auto kUnanswered = std::chrono::milliseconds(300);
    for (int i = 0; i < 16 && !full_; ++i) {
      tcp::socket socket(io_);
      boost::system::error_code result = boost::asio::error::would_block;
      socket.async_connect(acceptor_.local_endpoint(),
                           [&result](const boost::system::error_code& e) { result = e; });
      io_.restart();
      io_.run_for(kUnanswered);
      if (result == boost::asio::error::would_block) {
        full_ = true;
        socket.close();
        io_.restart();
        io_.run();  // the cancelled connect's handler, before `result` goes
      } else {
        filling_.push_back(std::move(socket));
      }
    }
  }

  // False when the system kept answering handshakes; a test cannot use the port then.
  bool full() const { return full_; }
  std::string port() const { return std::to_string(acceptor_.local_endpoint().port()); }

  // Waits until some socket of this machine is sending a handshake to port(), as a connect does
  // while it waits; false when `timeout` passes first. Reads Linux's table of TCP sockets.
  bool WaitUntilConnecting(std::chrono::milliseconds timeout) const {
    char remote[32];
    std::snprintf(remote, sizeof remote, "0100007F:%04X 02", acceptor_.local_endpoint().port());
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
      std::ifstream table("/proc/net/tcp");
      for (std::string line; std::getline(table, line);) {
        if (line.find(remote) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::list<boost::asio::ip::tcp::socket> filling_;
  bool full_ = false;
};

// A server that takes each connection's greeting and then neither reads nor answers until it is
// destroyed (or `hold` passes): the client's reads wait, and its writes wait once the socket
// buffers are full.
class StalledServer {
 public:
  explicit StalledServer(std::chrono::milliseconds hold)
      : hold_(hold), server_([this](test_support::FakeConnection& c) {
          c.Read(kGreetingSize);
          std::unique_lock lock(mutex_);
          ++greeted_;
          changed_.notify_all();
          changed_.wait_for(lock, hold_, [this] { return released_; });
        }) {}
  ~StalledServer() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  StalledServer(const StalledServer&) = delete;
  StalledServer& operator=(const StalledServer&) = delete;

  std::string port() const { return server_.port(); }
  int accepted() const { return server_.accepted(); }
  // Waits until `count` connections were greeted; false when `timeout` passes first.
  bool WaitUntilGreeted(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return greeted_ >= count; });
  }

 private:
  const std::chrono::milliseconds hold_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int greeted_ = 0;                  // guarded by mutex_
  bool released_ = false;            // guarded by mutex_
  test_support::FakeServer server_;  // last: its destructor joins the scripts using the above
};

}  // namespace network::common::testing
