#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace test_support {

// The server's end of one accepted connection, with blocking helpers for scripts. Every read
// throws boost::system::system_error when the peer closes or resets the connection.
class FakeConnection {
 public:
  explicit FakeConnection(boost::asio::ip::tcp::socket socket);

  // Exactly `count` bytes.
  std::string Read(std::size_t count);
  // One length-prefixed packet (u32 little-endian length, then that many bytes), prefix
  // included.
  std::string ReadPacket();
  // Reads and drops everything until the peer closes the connection.
  void WaitForClose();
  void Write(const std::string& bytes);
  // Shuts both directions down; the socket itself is closed by the server's destructor.
  void Shutdown();

 private:
  friend class FakeServer;
  boost::asio::ip::tcp::socket socket_;
};

// A TCP server on 127.0.0.1 with an ephemeral port. Every accepted connection runs `script` on a
// thread of its own. A script ends normally, or by a socket error (taken as the peer's doing and
// ignored); any other exception is reported as a test failure. The destructor stops accepting,
// shuts every connection down and joins every thread, so a script blocked in a read ends then.
class FakeServer {
 public:
  using Script = std::function<void(FakeConnection&)>;

  explicit FakeServer(Script script);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // The port as text, for a client's port setting.
  std::string port() const;
  // Connections accepted so far.
  int accepted() const;
  // Waits until at least `count` connections were accepted; false when `timeout` passes first.
  // A client's connect can return before the server has accepted.
  bool WaitUntilAccepted(int count, std::chrono::milliseconds timeout) const;

 private:
  void AcceptLoop();
  void RunScript(FakeConnection& connection);

  Script script_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable acceptedChanged_;
  int accepted_ = 0;                       // guarded by mutex_
  std::list<FakeConnection> connections_;  // guarded by mutex_
  std::list<std::thread> threads_;         // guarded by mutex_
  std::thread acceptThread_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
std::string UnusedPort();

}  // namespace test_support
