#include "server/tests/testclient.h"

#include <sstream>
#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>
#include <openssl/sha.h>

namespace aus::server::testing {

using network::protocol::OPacket;

namespace {

constexpr unsigned char kFileData = 11;

}  // namespace

TestClient::TestClient(unsigned short port) : socket_(io_) {
  socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
}

void TestClient::Send(OPacket packet) {
  const auto data = packet.Data();
  SendRaw(std::string(data->begin(), data->end()));
}

void TestClient::SendRaw(const std::string& bytes) {
  boost::asio::write(socket_, boost::asio::buffer(bytes));
}

std::size_t TestClient::ReadSome(std::chrono::steady_clock::duration timeout) {
  std::size_t count = 0;
  bool done = false;
  socket_.async_read_some(boost::asio::buffer(buffer_),
                          [&](const boost::system::error_code& error, std::size_t n) {
                            done = true;
                            count = error ? 0 : n;
                          });
  io_.restart();
  io_.run_for(timeout);
  if (!done) {
    socket_.cancel();
    io_.restart();
    io_.run();
    throw std::runtime_error("no reply from the server in time");
  }
  return count;
}

std::shared_ptr<network::protocol::IPacket> TestClient::Receive() {
  while (true) {
    if (auto packet = parser_.Pop()) return packet;
    const std::size_t count = ReadSome(kTimeout);
    if (count == 0) throw std::runtime_error("the server closed the connection");
    parser_.Feed(buffer_.data(), count);
  }
}

bool TestClient::WaitForClose(std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  try {
    while (ReadSome(deadline - std::chrono::steady_clock::now()) > 0) {
    }
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

void TestClient::Greet() {
  Send(OPacket(false, 0) << Version{2, 2, 1704181200});
  Send(OPacket(false, 1) << Version{4, 35, 1906051200} << std::string("win32"));
}

std::vector<WireItem> TestClient::UpdateDb(bool latest, const Version& version) {
  Send(OPacket(false, 10) << latest << version);
  auto reply = Receive();
  if (reply->Type() != 10 || !reply->IsReply()) throw std::runtime_error("unexpected reply");
  std::uint32_t count = 0;
  *reply >> count;
  std::vector<WireItem> items(count);
  for (auto& item : items)
    *reply >> item.index >> item.name >> item.size >> item.hash >> item.required;
  if (reply->Remaining() != 0) throw std::runtime_error("trailing bytes in the reply");
  return items;
}

std::pair<std::uint64_t, std::optional<aus::error_code>> TestClient::FileSize(
    const Version& version, const std::string& path) {
  Send(OPacket(false, 12) << version << path);
  auto reply = Receive();
  if (reply->Type() != 12 || !reply->IsReply()) throw std::runtime_error("unexpected reply");
  bool ok = false;
  *reply >> ok;
  std::uint64_t size = 0;
  aus::error_code code{};
  if (ok) {
    *reply >> size;
  } else {
    *reply >> code;
  }
  if (reply->Remaining() != 0) throw std::runtime_error("trailing bytes in the reply");
  return {size, ok ? std::nullopt : std::optional(code)};
}

FileDataResult TestClient::FileData(std::uint16_t index, std::uint64_t offset,
                                    std::uint64_t length) {
  Send(OPacket(false, kFileData) << true << index << offset << length);
  return ReceiveFileData();
}

FileDataResult TestClient::FileData(const Version& version, const std::string& path,
                                    std::uint64_t offset, std::uint64_t length) {
  Send(OPacket(false, kFileData) << false << version << path << offset << length);
  return ReceiveFileData();
}

FileDataResult TestClient::ReceiveFileData(std::size_t blocks) {
  FileDataResult result;
  while (result.blocks.size() < blocks) {
    auto reply = Receive();
    if (reply->Type() != kFileData || !reply->IsReply()) {
      throw std::runtime_error("unexpected reply");
    }
    bool ok = false;
    *reply >> ok;
    if (!ok) {
      aus::error_code code{};
      *reply >> code;
      result.refusal = code;
      return result;
    }
    std::ostringstream bytes;
    const std::uint32_t count = reply->ReadTo(bytes);
    if (reply->Remaining() != 0) throw std::runtime_error("trailing bytes in the reply");
    result.bytes += bytes.str();
    result.blocks.push_back(count);
    if (count == 0) return result;
  }
  return result;
}

std::vector<unsigned char> Sha256(const std::string& bytes) {
  std::vector<unsigned char> digest(SHA256_DIGEST_LENGTH);
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
  return digest;
}

}  // namespace aus::server::testing
