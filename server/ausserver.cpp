#include "server/ausserver.h"

#include <csignal>
#include <thread>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>

#include "package/logging/logger.h"

namespace aus::server {

namespace {

constexpr const char* kChannel = "AUS";
// Running out of descriptors fails every accept at once; pausing keeps that from spinning.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

}  // namespace

AusServer::AusServer(std::shared_ptr<const Releases> releases, const ServerOptions& options)
    : releases_(std::move(releases)),
      options_(options),
      acceptor_(io_, {boost::asio::ip::make_address(options.listen), options.port}),
      acceptRetry_(io_),
      connections_(std::make_shared<std::atomic<std::size_t>>(0)) {
  Accept();
}

AusServer::~AusServer() { Stop(); }

unsigned short AusServer::Port() const { return acceptor_.local_endpoint().port(); }

void AusServer::Accept() {
  acceptor_.async_accept(
      boost::asio::make_strand(io_),
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
        std::make_shared<Session>(std::move(socket), releases_, options_.session, connections_)
            ->Start();
        Accept();
      });
}

void AusServer::Run() {
  boost::asio::signal_set signals(io_, SIGINT, SIGTERM);
  signals.async_wait([this](const boost::system::error_code& error, int signal) {
    if (error) return;
    Logger::Instance().Print(kChannel, 2, "AusServer.Run: stopping on signal %d", signal);
    Stop();
  });
  unsigned count = options_.threads ? options_.threads : std::thread::hardware_concurrency();
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < count; ++i) pool.emplace_back([this] { io_.run(); });
  io_.run();
  for (auto& thread : pool) thread.join();
}

void AusServer::Stop() { io_.stop(); }

}  // namespace aus::server
