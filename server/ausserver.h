#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/metrics.h"
#include "server/metricsendpoint.h"
#include "server/releases.h"
#include "server/servedreleases.h"
#include "server/session.h"

namespace aus::server {

struct ServerOptions {
  std::string listen = "127.0.0.1";
  unsigned short port = 3003;  // 0 picks a free port (see Port())
  unsigned threads = 0;        // 0: one per core
  SessionOptions session;
  // Loads the releases afresh, for Reload (and SIGHUP); throws when they cannot be served. Unset:
  // Reload does nothing.
  std::function<std::shared_ptr<const Releases>()> reload;
  // While both are set, `watch` is called every `watchInterval` and a Reload starts whenever its
  // result differs from the last one (a release folder appeared or went away).
  std::function<std::string()> watch;
  std::chrono::steady_clock::duration watchInterval{};
  // Serves GET /metrics over HTTP on this port (0 picks a free one; see MetricsPort()).
  std::optional<unsigned short> metricsPort;
  std::string metricsListen = "127.0.0.1";
};

// The update server: accepts connections and serves each as a Session, on a pool of threads with
// an I/O context each, the connections spread over them in turn: a connection's handlers stay on
// one thread, where one shared context woke another thread for every step (for small files a
// fifth of the server's time went to those switches). Releases are
// reloaded without a restart: open connections keep the state they were given (see Session),
// new connections and UpdateDb requests get the new one.
class AusServer {
 public:
  // Binds and listens at once. Throws boost::system::system_error when an address is not valid
  // or cannot be bound.
  AusServer(std::shared_ptr<const Releases> releases, const ServerOptions& options);
  // Stops, and waits for a reload under way to end.
  ~AusServer();
  AusServer(const AusServer&) = delete;
  AusServer& operator=(const AusServer&) = delete;

  // The port listened on.
  unsigned short Port() const;
  // The metrics port, or 0 without one.
  unsigned short MetricsPort() const;
  // Connections open now.
  std::size_t Connections() const { return metrics_->OpenConnections(); }
  // How many release states have been served: 1, plus one per successful reload.
  std::uint64_t Generation() const { return served_->Generation(); }

  // Serves until Stop() or SIGINT/SIGTERM; SIGHUP starts a Reload. The calling thread is one of
  // the pool, the one that also accepts. Returns once every pool thread has ended. Open
  // connections are dropped.
  void Run();
  // Makes Run return; safe from any thread, also before Run.
  void Stop();
  // Starts loading the releases again with options.reload, on a thread of its own, and returns
  // at once; when the load succeeds its state is served from then on, when it throws the error
  // is logged and the current state kept. Requests while a load runs make one more load after
  // it. Safe from any thread.
  void Reload();

 private:
  void Accept();
  // The context of the next connection: each in turn.
  boost::asio::io_context& NextContext();
  void Watch();
  void ReloadLoop();

  std::shared_ptr<ServedReleases> served_;
  std::shared_ptr<Metrics> metrics_;
  ServerOptions options_;
  // One for each further thread of the pool, and run by it alone. Destroyed after io_: a pending
  // accept there holds a socket of one of these.
  std::vector<std::unique_ptr<boost::asio::io_context>> moreContexts_;
  // The listener, the timers and signals, and its share of the connections: run by Run's caller.
  boost::asio::io_context io_;
  std::size_t nextContext_ = 0;  // only on the accept handler
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer acceptRetry_;
  boost::asio::steady_timer watchTimer_;
  std::string watched_;  // the last result of options_.watch; only on the watch timer's handler
  std::unique_ptr<MetricsEndpoint> metricsEndpoint_;

  std::mutex reloadMutex_;
  std::condition_variable reloadWake_;
  bool reloadWanted_ = false;    // guarded by reloadMutex_
  bool reloadStopping_ = false;  // guarded by reloadMutex_
  std::thread reloadThread_;     // started by the first Reload
};

}  // namespace aus::server
