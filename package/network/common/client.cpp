#include "package/network/common/client.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

namespace network::common {

namespace {

using boost::asio::ip::tcp;

constexpr unsigned char kProtocolVersionType = 0;
constexpr unsigned char kClientVersionType = 1;

}  // namespace

Client::Client(const std::string& host, const std::string& port, const Version& version,
               const std::string& platform, bool deferConnect, std::chrono::milliseconds timeout)
    : host_(host),
      port_(port),
      version_(version),
      platform_(platform),
      timeout_(timeout),
      socket_(io_),
      resolver_(io_),
      receiveBuffer_(kReceiveBufferSize) {
  if (!deferConnect) Connect();
}

Client::~Client() {
  if (!connected_) return;
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

void Client::Abort() {
  // The flag stops operations not yet started; the close, run by the thread that runs io_, ends
  // the one waiting now. Posted after the flag is set, so an operation that missed the flag
  // still finds the close queued when it runs io_.
  aborted_ = true;
  boost::asio::post(io_, [this] {
    boost::system::error_code ignored;
    socket_.close(ignored);
    resolver_.cancel();
  });
}

template <typename Start>
boost::system::error_code Client::RunWithTimeout(Start start) {
  if (aborted_) return boost::asio::error::operation_aborted;
  boost::system::error_code result = boost::asio::error::would_block;
  start(result);
  io_.restart();
  io_.run_for(timeout_);
  if (result == boost::asio::error::would_block) {
    // Closing cancels the operation; its handler must run before `result` goes out of scope.
    boost::system::error_code ignored;
    socket_.close(ignored);
    io_.restart();
    io_.run();
    result = boost::asio::error::timed_out;
  }
  return result;
}

tcp::resolver::results_type Client::Resolve() {
  struct Lookup {
    boost::system::error_code error = boost::asio::error::would_block;
    tcp::resolver::results_type endpoints;
  };
  // Shared with the handler: an aborted wait returns before the lookup ends.
  const auto lookup = std::make_shared<Lookup>();
  if (!aborted_) {
    resolver_.async_resolve(
        host_, port_, tcp::resolver::address_configured,
        [lookup](const boost::system::error_code& e, tcp::resolver::results_type endpoints) {
          lookup->error = e;
          lookup->endpoints = std::move(endpoints);
        });
    io_.restart();
    while (lookup->error == boost::asio::error::would_block && !aborted_) io_.run_one();
  }
  if (aborted_) lookup->error = boost::asio::error::operation_aborted;
  if (lookup->error) throw boost::system::system_error(lookup->error, "resolve");
  return lookup->endpoints;
}

void Client::Connect() {
  if (connected_) return;
  const auto endpoints = Resolve();
  boost::system::error_code error = boost::asio::error::host_not_found;
  for (const auto& entry : endpoints) {
    boost::system::error_code ignored;
    socket_.close(ignored);
    error = RunWithTimeout([&](boost::system::error_code& result) {
      socket_.async_connect(entry.endpoint(),
                            [&result](const boost::system::error_code& e) { result = e; });
    });
    if (!error || error == boost::asio::error::operation_aborted) break;
  }
  if (error) {
    boost::system::error_code ignored;
    socket_.close(ignored);
    throw boost::system::system_error(error, "connect");
  }
  // Requests are small and each waits for its reply: Nagle's delay would hold the greeting's
  // second packet until the server's delayed acknowledgement.
  boost::system::error_code ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  connected_ = true;
  Greet();
}

void Client::Greet() {
  protocol::OPacket protocolVersion(false, kProtocolVersionType);
  protocolVersion << kProtocolVersion;
  protocol::OPacket clientVersion(false, kClientVersionType);
  clientVersion << version_ << platform_;
  Queue(protocolVersion);
  Send(clientVersion);
}

void Client::Queue(protocol::OPacket& packet) {
  if (!connected_) Connect();
  const auto data = packet.Data();
  queued_.insert(queued_.end(), data->begin(), data->end());
}

void Client::Send(protocol::OPacket& packet) {
  Queue(packet);
  Flush();
}

void Client::Flush() {
  // Written piece by piece so that the timeout counts from the last progress.
  std::size_t sent = 0;
  while (sent < queued_.size()) {
    std::size_t written = 0;
    const auto error = RunWithTimeout([&](boost::system::error_code& result) {
      socket_.async_write_some(
          boost::asio::buffer(queued_.data() + sent, queued_.size() - sent),
          [&result, &written](const boost::system::error_code& e, std::size_t n) {
            result = e;
            written = n;
          });
    });
    if (error) {
      queued_.clear();
      throw boost::system::system_error(error, "write");
    }
    sent += written;
  }
  queued_.clear();
}

std::size_t Client::ReadSome() {
  std::size_t received = 0;
  const auto error = RunWithTimeout([&](boost::system::error_code& result) {
    socket_.async_read_some(
        boost::asio::buffer(receiveBuffer_),
        [&result, &received](const boost::system::error_code& e, std::size_t n) {
          result = e;
          received = n;
        });
  });
  if (error) throw boost::system::system_error(error, "read_some");
  return received;
}

std::shared_ptr<protocol::IPacket> Client::Receive() {
  if (!connected_) Connect();
  if (aborted_) {
    throw boost::system::system_error(boost::asio::error::operation_aborted, "read_some");
  }
  for (;;) {
    if (auto packet = parser_.Pop()) return packet;
    Flush();
    const std::size_t received = ReadSome();
    parser_.Feed(receiveBuffer_.data(), received);
  }
}

}  // namespace network::common
