#pragma once

#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace aus::server {

// Serves GET /metrics over HTTP/1.1 on an I/O context, with the text `render` returns at each
// request (the Prometheus text format). Any other path is answered 404, any other method 405.
// Keep-alive is honoured; a connection is closed after kIdleTimeout without a complete request,
// and at once for a request head above 8 KiB or any body. Handlers run on the context's threads;
// `render` must be safe to call from any of them.
class MetricsEndpoint {
 public:
  static constexpr int kIdleTimeoutSeconds = 30;

  // Binds and listens at once; throws boost::system::system_error when it cannot.
  MetricsEndpoint(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
                  std::function<std::string()> render);

  unsigned short Port() const;

 private:
  void Accept();

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer acceptRetry_;
  std::function<std::string()> render_;
};

}  // namespace aus::server
