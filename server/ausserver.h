#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/releases.h"
#include "server/session.h"

namespace aus::server {

struct ServerOptions {
  std::string listen = "127.0.0.1";
  unsigned short port = 3003;  // 0 picks a free port (see Port())
  unsigned threads = 0;        // 0: one per core
  SessionOptions session;
};

// The update server: accepts connections and serves each as a Session, on a pool of threads
// sharing one I/O context (each connection's handlers run on its own strand).
class AusServer {
 public:
  // Binds and listens at once. Throws boost::system::system_error when the address is not valid
  // or cannot be bound.
  AusServer(std::shared_ptr<const Releases> releases, const ServerOptions& options);
  ~AusServer();
  AusServer(const AusServer&) = delete;
  AusServer& operator=(const AusServer&) = delete;

  // The port listened on.
  unsigned short Port() const;
  // Connections open now.
  std::size_t Connections() const { return *connections_; }

  // Serves until Stop() or SIGINT/SIGTERM; the calling thread is one of the pool. Returns once
  // every pool thread has ended. Open connections are dropped.
  void Run();
  // Makes Run return; safe from any thread, also before Run.
  void Stop();

 private:
  void Accept();

  std::shared_ptr<const Releases> releases_;
  ServerOptions options_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer acceptRetry_;
  std::shared_ptr<std::atomic<std::size_t>> connections_;
};

}  // namespace aus::server
