#include "server/metricsendpoint.h"

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace aus::server {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;

constexpr std::uint32_t kHeaderLimit = 8 * 1024;

// One scraper's connection: reads a request, answers it, and reads the next while kept alive.
class MetricsConnection : public std::enable_shared_from_this<MetricsConnection> {
 public:
  MetricsConnection(boost::asio::ip::tcp::socket socket, std::function<std::string()> render)
      : stream_(std::move(socket)), render_(std::move(render)) {}

  void Read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(0);
    stream_.expires_after(std::chrono::seconds(MetricsEndpoint::kIdleTimeoutSeconds));
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       if (error) {
                         self->Close();
                         return;
                       }
                       self->Answer(self->parser_->release());
                     });
  }

 private:
  void Answer(const http::request<http::empty_body>& request) {
    response_ = {};
    response_.version(request.version());
    response_.keep_alive(request.keep_alive());
    response_.set(http::field::server, "aus-server");
    if (request.target() != "/metrics") {
      response_.result(http::status::not_found);
      response_.set(http::field::content_type, "text/plain");
      response_.body() = "not found: the metrics are at /metrics\n";
    } else if (request.method() != http::verb::get && request.method() != http::verb::head) {
      response_.result(http::status::method_not_allowed);
      response_.set(http::field::allow, "GET, HEAD");
      response_.set(http::field::content_type, "text/plain");
      response_.body() = "method not allowed\n";
    } else {
      response_.result(http::status::ok);
      response_.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      if (request.method() == http::verb::get) response_.body() = render_();
    }
    response_.prepare_payload();
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        if (error || !self->response_.keep_alive()) {
                          self->Close();
                          return;
                        }
                        self->Read();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  std::function<std::string()> render_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  http::response<http::string_body> response_;
};

}  // namespace

MetricsEndpoint::MetricsEndpoint(boost::asio::io_context& io,
                                 const boost::asio::ip::tcp::endpoint& endpoint,
                                 std::function<std::string()> render)
    : acceptor_(io, endpoint), acceptRetry_(io), render_(std::move(render)) {
  Accept();
}

unsigned short MetricsEndpoint::Port() const { return acceptor_.local_endpoint().port(); }

void MetricsEndpoint::Accept() {
  acceptor_.async_accept(
      boost::asio::make_strand(acceptor_.get_executor()),
      [this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted) return;
        if (error) {
          // Out of descriptors, every accept fails at once: pausing keeps that from spinning.
          acceptRetry_.expires_after(std::chrono::milliseconds(100));
          acceptRetry_.async_wait([this](const boost::system::error_code& waited) {
            if (!waited) Accept();
          });
          return;
        }
        std::make_shared<MetricsConnection>(std::move(socket), render_)->Read();
        Accept();
      });
}

}  // namespace aus::server
