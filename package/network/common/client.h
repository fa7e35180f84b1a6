#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/opacket.h"
#include "package/network/protocol/packetparser.h"
#include "package/network/protocol/version.h"

namespace network::common {

// Sent first on every connection.
inline constexpr Version kProtocolVersion{2, 2, 1704181200};

// One plain TCP connection to the update server. Connecting resolves host and port (any address
// family configured on the machine), tries the endpoints in the resolver's order and greets the
// server with ProtocolVersion (type 0: kProtocolVersion) and ClientVersion (type 1: version,
// platform), expecting no answer. Every operation blocks the calling thread; a Client is used by
// one thread at a time, except for Abort, which any thread may call at any time.
//
// Failures are boost::system::system_error with the location "resolve", "connect", "write" or
// "read_some" (also when the server closes the stream), and network::protocol::IO_Error for a
// malformed packet length. Connecting, and every read and write, gives up after `timeout`
// without progress, reported as boost::asio::error::timed_out at that location. A failed
// connect leaves the Client unconnected, so the next Send or Receive starts again from the
// resolve; after a failed read or write the Client is unusable and its owner drops it. After
// Abort, every operation fails with boost::asio::error::operation_aborted at its location.
class Client {
 public:
  static constexpr std::size_t kReceiveBufferSize = 32800;
  static constexpr std::chrono::milliseconds kDefaultTimeout = std::chrono::seconds(60);

  // With deferConnect false, connects and greets at once (failures leave the constructor);
  // otherwise the first Send or Receive does.
  Client(const std::string& host, const std::string& port, const Version& version,
         const std::string& platform, bool deferConnect,
         std::chrono::milliseconds timeout = kDefaultTimeout);
  // Shuts the connection down and closes it, ignoring errors.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Writes the whole packet (filling in its length), after any queued ones; connects first if
  // needed.
  void Send(protocol::OPacket& packet);
  // Copies the whole packet (filling in its length) to be written with the next Send, or by the
  // next Receive before it waits for the server; connects first if needed. Requests sent ahead of
  // their replies go out together, one write and one segment for several. Failures of that write
  // are reported where it happens, at "write".
  void Queue(protocol::OPacket& packet);
  // The next whole packet from the server, in arrival order; packets that arrived together with
  // it stay queued for the next call. Writes the queued packets first when it has to wait.
  // Connects first if needed.
  std::shared_ptr<protocol::IPacket> Receive();
  // Connects and greets now, unless connected already: what the first Send or Receive does
  // otherwise. For an owner that must be able to Abort the connect, so cannot connect in the
  // constructor.
  void Connect();

  // Thread-safe; the Client must outlive the call. Ends the operation in progress, if any, at
  // once with operation_aborted at its location (a name lookup in progress is abandoned: the
  // system's lookup cannot be interrupted, so the destructor then waits for it to end), and makes
  // every later operation that would use the network fail the same way without touching it.
  void Abort();

  const std::string& host() const { return host_; }
  const std::string& port() const { return port_; }
  const Version& version() const { return version_; }
  const std::string& platform() const { return platform_; }
  std::chrono::milliseconds timeout() const { return timeout_; }

 private:
  boost::asio::ip::tcp::resolver::results_type Resolve();
  void Greet();
  // Runs the asynchronous operation `start` until it completes or the timeout passes; on timeout
  // the socket is closed and the result is timed_out. After Abort, operation_aborted without
  // starting it.
  template <typename Start>
  boost::system::error_code RunWithTimeout(Start start);
  std::size_t ReadSome();
  void Flush();

  std::string host_;
  std::string port_;
  Version version_;
  std::string platform_;
  std::chrono::milliseconds timeout_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::ip::tcp::resolver resolver_;
  std::vector<char> receiveBuffer_;
  std::vector<char> queued_;  // packets written by the next Flush
  protocol::PacketParser parser_;
  bool connected_ = false;
  std::atomic<bool> aborted_{false};  // set once by Abort, from any thread
};

}  // namespace network::common
