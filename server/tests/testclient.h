#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/opacket.h"
#include "package/network/protocol/packetparser.h"
#include "package/network/protocol/updateerror.h"
#include "package/network/protocol/version.h"

namespace aus::server::testing {

// One item of an UpdateDb reply as it travels.
struct WireItem {
  std::uint16_t index = 0;
  std::string name;
  std::uint64_t size = 0;
  std::vector<unsigned char> hash;
  bool required = false;
  friend bool operator==(const WireItem&, const WireItem&) = default;
};

// A FileData series: the bytes, the size of every block (the final empty one included), or the
// refusal that ended it.
struct FileDataResult {
  std::string bytes;
  std::vector<std::size_t> blocks;
  std::optional<aus::error_code> refusal;
};

// A blocking client for tests, connected to 127.0.0.1:port. Every wait gives up after
// kTimeout and fails the test with an exception.
class TestClient {
 public:
  static constexpr auto kTimeout = std::chrono::seconds(10);

  explicit TestClient(unsigned short port);

  void Send(network::protocol::OPacket packet);
  void SendRaw(const std::string& bytes);
  // The next packet; throws std::runtime_error when the server closes or kTimeout passes.
  std::shared_ptr<network::protocol::IPacket> Receive();
  // Whether the server closes the connection within `timeout` (bytes still arriving are read and
  // dropped).
  bool WaitForClose(std::chrono::steady_clock::duration timeout = kTimeout);

  // The two greeting messages.
  void Greet();
  std::vector<WireItem> UpdateDb(bool latest, const Version& version);
  // The size, or the refusal's code.
  std::pair<std::uint64_t, std::optional<aus::error_code>> FileSize(const Version& version,
                                                                    const std::string& path);
  FileDataResult FileData(std::uint16_t index, std::uint64_t offset, std::uint64_t length);
  FileDataResult FileData(const Version& version, const std::string& path, std::uint64_t offset,
                          std::uint64_t length);
  // Reads a FileData series to its end, or only its next `blocks` blocks (then the result has
  // no final empty block unless the series ended among them).
  FileDataResult ReceiveFileData(std::size_t blocks = SIZE_MAX);

  boost::asio::ip::tcp::socket& Socket() { return socket_; }

 private:
  // Reads once; 0 at end of stream or error. Throws std::runtime_error after `timeout`.
  std::size_t ReadSome(std::chrono::steady_clock::duration timeout);

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  network::protocol::PacketParser parser_;
  std::vector<char> buffer_ = std::vector<char>(65536);
};

// SHA-256 of `bytes`, computed independently of the server's code.
std::vector<unsigned char> Sha256(const std::string& bytes);

}  // namespace aus::server::testing
