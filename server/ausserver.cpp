#include "server/ausserver.h"

#include <algorithm>
#include <csignal>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>

#include "package/logging/logger.h"
#include "package/taln/db/versiontext.h"

namespace aus::server {

namespace {

constexpr const char* kChannel = "AUS";
// Running out of descriptors fails every accept at once; pausing keeps that from spinning.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

}  // namespace

AusServer::AusServer(std::shared_ptr<const Releases> releases, const ServerOptions& options)
    : served_(std::make_shared<ServedReleases>(std::move(releases))),
      metrics_(std::make_shared<Metrics>()),
      options_(options),
      moreContexts_([threads = options.threads] {
        const unsigned count =
            threads ? threads : std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::unique_ptr<boost::asio::io_context>> contexts;
        for (unsigned i = 1; i < count; ++i) {
          // One thread runs it: no locking inside.
          contexts.push_back(std::make_unique<boost::asio::io_context>(1));
        }
        return contexts;
      }()),
      acceptor_(io_, {boost::asio::ip::make_address(options.listen), options.port}),
      acceptRetry_(io_),
      watchTimer_(io_) {
  if (options_.metricsPort) {
    metricsEndpoint_ = std::make_unique<MetricsEndpoint>(
        io_,
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(options_.metricsListen),
                                       *options_.metricsPort),
        [served = served_, metrics = metrics_] { return metrics->Text(served->Current().get()); });
  }
  Accept();
  if (options_.watch && options_.reload && options_.watchInterval.count() > 0) {
    watched_ = options_.watch();
    Watch();
  }
}

AusServer::~AusServer() {
  Stop();
  {
    std::lock_guard lock(reloadMutex_);
    reloadStopping_ = true;
  }
  reloadWake_.notify_all();
  if (reloadThread_.joinable()) reloadThread_.join();
}

unsigned short AusServer::Port() const { return acceptor_.local_endpoint().port(); }

unsigned short AusServer::MetricsPort() const {
  return metricsEndpoint_ ? metricsEndpoint_->Port() : 0;
}

boost::asio::io_context& AusServer::NextContext() {
  const std::size_t at = nextContext_;
  nextContext_ = (nextContext_ + 1) % (moreContexts_.size() + 1);
  return at == 0 ? io_ : *moreContexts_[at - 1];
}

void AusServer::Accept() {
  acceptor_.async_accept(
      boost::asio::make_strand(NextContext()),
      [this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted) return;
        if (error) {
          Logger::Instance().Print(kChannel, 4, "AusServer.Accept: %s", error.message().c_str());
          acceptRetry_.expires_after(kAcceptRetryDelay);
          acceptRetry_.async_wait([this](const boost::system::error_code& waited) {
            if (!waited) Accept();
          });
          return;
        }
        // A FileData series ends with a short block: with Nagle's algorithm it would wait for
        // the client's delayed acknowledgement of the block before it, on every request.
        boost::system::error_code ignored;
        socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
        const auto executor = socket.get_executor();
        boost::asio::post(executor, [session = std::make_shared<Session>(
                                         std::move(socket), served_, options_.session, metrics_)] {
          session->Start();
        });
        Accept();
      });
}

void AusServer::Watch() {
  watchTimer_.expires_after(options_.watchInterval);
  watchTimer_.async_wait([this](const boost::system::error_code& error) {
    if (error) return;
    std::string now = options_.watch();
    if (now != watched_) {
      watched_ = std::move(now);
      Reload();
    }
    Watch();
  });
}

void AusServer::Run() {
  boost::asio::signal_set signals(io_, SIGINT, SIGTERM);
  signals.async_wait([this](const boost::system::error_code& error, int signal) {
    if (error) return;
    Logger::Instance().Print(kChannel, 2, "AusServer.Run: stopping on signal %d", signal);
    Stop();
  });
  boost::asio::signal_set hangup(io_, SIGHUP);
  std::function<void(const boost::system::error_code&, int)> onHangup =
      [this, &hangup, &onHangup](const boost::system::error_code& error, int) {
        if (error) return;
        Logger::Instance().Print(kChannel, 2, "AusServer.Run: reloading the releases on SIGHUP");
        Reload();
        hangup.async_wait(onHangup);
      };
  hangup.async_wait(onHangup);
  std::vector<std::thread> pool;
  for (const auto& context : moreContexts_) {
    pool.emplace_back([&context = *context] {
      // Idle between connections; Stop ends it.
      const auto busy = boost::asio::make_work_guard(context);
      context.run();
    });
  }
  io_.run();
  Stop();
  for (auto& thread : pool) thread.join();
}

void AusServer::Stop() {
  io_.stop();
  for (const auto& context : moreContexts_) context->stop();
}

void AusServer::Reload() {
  if (!options_.reload) return;
  std::lock_guard lock(reloadMutex_);
  if (reloadStopping_) return;
  reloadWanted_ = true;
  if (!reloadThread_.joinable()) reloadThread_ = std::thread([this] { ReloadLoop(); });
  reloadWake_.notify_all();
}

void AusServer::ReloadLoop() {
  auto& log = Logger::Instance();
  std::unique_lock lock(reloadMutex_);
  while (true) {
    reloadWake_.wait(lock, [this] { return reloadWanted_ || reloadStopping_; });
    if (reloadStopping_) return;
    reloadWanted_ = false;
    lock.unlock();
    // Loading digests new files and can take minutes: it runs here, off the I/O threads, and
    // the served state changes only once the load has succeeded whole.
    try {
      auto releases = options_.reload();
      const Release* latest = releases->Latest();
      log.Print(kChannel, 2, "AusServer.Reload: serving %zu releases, latest %s",
                releases->All().size(), latest ? FormatVersion(latest->version).c_str() : "none");
      served_->Replace(std::move(releases));
      metrics_->Reloaded(true);
    } catch (const std::exception& error) {
      log.Print(kChannel, 5, "AusServer.Reload: %s; still serving the releases loaded before",
                error.what());
      metrics_->Reloaded(false);
    }
    lock.lock();
  }
}

}  // namespace aus::server
