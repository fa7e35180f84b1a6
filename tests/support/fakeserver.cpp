#include "tests/support/fakeserver.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <cstdint>
#include <exception>

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

namespace test_support {

namespace {

using boost::asio::ip::tcp;

const tcp::endpoint kLoopback(boost::asio::ip::make_address("127.0.0.1"), 0);

}  // namespace

FakeConnection::FakeConnection(tcp::socket socket) : socket_(std::move(socket)) {}

std::string FakeConnection::Read(std::size_t count) {
  std::string bytes(count, '\0');
  boost::asio::read(socket_, boost::asio::buffer(bytes));
  return bytes;
}

std::string FakeConnection::ReadPacket() {
  std::string packet = Read(4);
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(packet[i])) << (8 * i);
  }
  return packet + Read(length);
}

void FakeConnection::WaitForClose() {
  char sink[4096];
  boost::system::error_code error;
  while (!error) socket_.read_some(boost::asio::buffer(sink), error);
}

void FakeConnection::Write(const std::string& bytes) {
  boost::asio::write(socket_, boost::asio::buffer(bytes));
}

void FakeConnection::Shutdown() {
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
}

namespace {
#ifdef _WIN32
constexpr int kShutBoth = SD_BOTH;
#else
constexpr int kShutBoth = SHUT_RDWR;
#endif
}  // namespace

FakeServer::FakeServer(Script script)
    : script_(std::move(script)),
      acceptor_(io_, kLoopback),
      acceptThread_([this] { AcceptLoop(); }) {}

// Only a broken runtime makes joining or locking throw here; ending the test run is right then.
FakeServer::~FakeServer() {  // NOLINT(bugprone-exception-escape)
  stopping_ = true;
  // Wake the blocking accept with a connection of our own.
  {
    boost::asio::io_context io;
    tcp::socket wake(io);
    boost::system::error_code ignored;
    wake.connect(acceptor_.local_endpoint(ignored), ignored);
    acceptThread_.join();
  }
  std::lock_guard lock(mutex_);
  // A raw shutdown on the descriptor is safe beside a blocked read on another thread; the
  // descriptor stays open until the threads are joined.
  for (auto& connection : connections_) ::shutdown(connection.socket_.native_handle(), kShutBoth);
  for (auto& thread : threads_) thread.join();
}

std::string FakeServer::port() const { return std::to_string(acceptor_.local_endpoint().port()); }

void FakeServer::AcceptLoop() {
  for (;;) {
    tcp::socket socket(io_);
    boost::system::error_code error;
    acceptor_.accept(socket, error);
    if (stopping_) return;
    if (error) continue;
    std::lock_guard lock(mutex_);
    ++accepted_;
    acceptedChanged_.notify_all();
    FakeConnection& connection = connections_.emplace_back(std::move(socket));
    threads_.emplace_back([this, &connection] { RunScript(connection); });
  }
}

int FakeServer::accepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

bool FakeServer::WaitUntilAccepted(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return acceptedChanged_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

void FakeServer::RunScript(FakeConnection& connection) {
  try {
    script_(connection);
  } catch (const boost::system::system_error&) {
    // The client closed or reset the connection: part of what the tests exercise.
  } catch (const std::exception& e) {
    ADD_FAILURE() << "fake server script threw: " << e.what();
  }
}

std::string UnusedPort() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, kLoopback);
  return std::to_string(acceptor.local_endpoint().port());
}

}  // namespace test_support
