#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "package/network/protocol/packetparser.h"
#include "server/metrics.h"
#include "server/releases.h"
#include "server/requesthandler.h"
#include "server/servedreleases.h"

namespace aus::server {

struct SessionOptions {
  // A connection that neither sends nor takes bytes for this long is closed.
  std::chrono::steady_clock::duration idleTimeout = std::chrono::seconds(60);
  // Largest data block of one FileData reply.
  std::size_t blockSize = 64 * 1024;
};

// An open file, closed with the object.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;

  int get() const { return descriptor_; }
  explicit operator bool() const { return descriptor_ >= 0; }

 private:
  int descriptor_ = -1;
};

// One client connection: reads requests, answers them one at a time in the order they came (a
// client may send several before reading; no more is read while one is answered, so they wait in
// the socket's buffers, not here), streams file ranges from disk a block at a time, each block's
// bytes copied from the file to the socket by the kernel, except a range's last block, which is
// read and sent with its head and the series' end in one write.
// Keeps itself alive through its pending operations; the socket's executor must be a strand, as
// every handler touches the session's state. Memory per session is bounded: one read buffer, at
// most kMaxUnframedBytes of an incomplete request, and during a transfer one block.
// Logs one line when the connection ends and one per refused request.
//
// Which releases a connection sees: the state current when it opened, then at each UpdateDb
// request the state current then, kept until its next UpdateDb. "Latest" (FileData by index,
// version 0.0.0) is the newest release of that state, so indexes refer to the list the connection
// was last given, and a reload never changes the bytes of a list under a download.
class Session : public std::enable_shared_from_this<Session> {
 public:
  // Requests are small; a client sending this much without completing one is hostile.
  static constexpr std::size_t kMaxUnframedBytes = 64 * 1024;

  // `metrics` counts the session as open from construction to destruction, and its work.
  Session(boost::asio::ip::tcp::socket socket, std::shared_ptr<const ServedReleases> served,
          const SessionOptions& options, std::shared_ptr<Metrics> metrics);
  ~Session();

  void Start();

 private:
  void Read();
  void OnRead(const boost::system::error_code& error, std::size_t count);
  // Answers queued requests until one needs the socket, then reads again.
  void Process();
  void Send(PacketBuffer packet, void (Session::*next)());
  void BeginTransfer(const Transfer& transfer);
  void SendBlock();
  // Reads the range's last block into the pending bytes, after its head, and adds the empty block
  // that ends the series: a small file then goes out in one write and one segment, not three
  // calls and two segments. False when the file no longer has the bytes; the transfer is then
  // refused, or the connection closed once part of it went out.
  bool ReadLastBlock();
  // Sends what is left of the block in hand, its pending bytes and then those of the file; waits
  // whenever the socket is full.
  void SendBlockRest();
  void WaitUntilWritable();
  void EndTransfer();
  // Ends the series with a kReadFailed refusal.
  void FailTransfer(const std::string& note);
  void Touch();
  void WaitForDeadline();
  void Close(const std::string& reason);

  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer timer_;
  std::shared_ptr<const ServedReleases> served_;
  std::shared_ptr<const Releases> releases_;  // the state this connection was last given
  SessionOptions options_;
  std::shared_ptr<Metrics> metrics_;
  std::string peer_;
  std::chrono::steady_clock::time_point opened_;

  std::array<char, 4096> readBuffer_;
  network::protocol::PacketParser parser_;
  std::size_t unframedBytes_ = 0;
  std::chrono::steady_clock::time_point deadline_;

  // The FileData range being sent, and the block in hand: its pending bytes (its head; for the
  // range's last block also its bytes and the series' end), then `blockLeft_` bytes of the file
  // from `position_` on.
  const ReleaseFile* file_ = nullptr;
  FileDescriptor fileDescriptor_;
  std::uint64_t rangeBegin_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t end_ = 0;
  std::vector<char> pending_;
  std::size_t pendingSent_ = 0;
  std::size_t blockLeft_ = 0;
  bool lastBlock_ = false;  // the pending bytes end the series

  std::uint64_t requests_ = 0;
  std::uint64_t refusals_ = 0;
  std::uint64_t bytesSent_ = 0;
  bool closed_ = false;
};

}  // namespace aus::server
