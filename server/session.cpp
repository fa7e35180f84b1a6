#include "server/session.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include <boost/asio/defer.hpp>
#include <boost/asio/write.hpp>

#include "package/logging/logger.h"
#include "package/network/protocol/ioerror.h"
#include "package/network/protocol/opacket.h"
#include "package/taln/db/versiontext.h"
#include "server/messagetype.h"

namespace aus::server {

namespace {

constexpr const char* kChannel = "AUS";

std::string Endpoint(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code error;
  const auto endpoint = socket.remote_endpoint(error);
  if (error) return "unknown peer";
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// The head of a FileData reply block of `count` bytes, which follow it.
std::vector<char> BlockHead(std::size_t count) {
  network::protocol::OPacket packet(true, kFileDataType);
  packet << true;
  packet.WriteBlockCount(static_cast<std::uint32_t>(count));
  const auto data = packet.Data();
  return {data->begin(), data->end()};
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

Session::Session(boost::asio::ip::tcp::socket socket, std::shared_ptr<const ServedReleases> served,
                 const SessionOptions& options, std::shared_ptr<Metrics> metrics)
    : socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      served_(std::move(served)),
      releases_(served_->Current()),
      options_(options),
      metrics_(std::move(metrics)),
      peer_(Endpoint(socket_)),
      opened_(std::chrono::steady_clock::now()) {
  metrics_->Opened();
}

Session::~Session() {
  if (!closed_) Close("server stopped");
  metrics_->Closed();
}

void Session::Start() {
  // Blocks go out through sendfile, which must return rather than wait when the socket is full.
  boost::system::error_code ignored;
  socket_.native_non_blocking(true, ignored);
  Touch();
  WaitForDeadline();
  Read();
}

void Session::Read() {
  socket_.async_read_some(
      boost::asio::buffer(readBuffer_),
      [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
        self->OnRead(error, count);
      });
}

void Session::OnRead(const boost::system::error_code& error, std::size_t count) {
  if (closed_) return;
  if (error) {
    Close(error == boost::asio::error::eof ? "closed by the client"
                                           : "read failed: " + error.message());
    return;
  }
  Touch();
  try {
    if (parser_.Feed(readBuffer_.data(), count)) {
      unframedBytes_ = 0;
    } else {
      unframedBytes_ += count;
    }
  } catch (const network::protocol::IO_Error&) {
    Close("invalid packet size");
    return;
  }
  if (unframedBytes_ > kMaxUnframedBytes) {
    Close("request too large");
    return;
  }
  Process();
}

void Session::Process() {
  while (auto request = parser_.Pop()) {
    ++requests_;
    metrics_->Request(request->Type());
    // A new list pins a new "latest": what FileData by index and version 0.0.0 refer to until the
    // next UpdateDb, whatever is published in between.
    if (request->Type() == kUpdateDbType && !request->IsReply()) releases_ = served_->Current();
    const Answer answer = AnswerRequest(*releases_, *request);
    if (answer.refusal) {
      ++refusals_;
      metrics_->Refusal(*answer.refusal);
    }
    if (!answer.note.empty() && answer.action != Answer::Action::kClose) {
      Logger::Instance().Print(kChannel, 3, "Session: %s: %s", peer_.c_str(), answer.note.c_str());
    }
    switch (answer.action) {
      case Answer::Action::kNothing:
        continue;
      case Answer::Action::kReply:
        Send(answer.reply, &Session::Process);
        return;
      case Answer::Action::kTransfer:
        BeginTransfer(answer.transfer);
        return;
      case Answer::Action::kClose:
        Close(answer.note);
        return;
    }
  }
  Read();
}

void Session::Send(PacketBuffer packet, void (Session::*next)()) {
  // The lambda owns the packet until the write has completed.
  boost::asio::async_write(socket_, boost::asio::buffer(*packet),
                           [self = shared_from_this(), packet, next](
                               const boost::system::error_code& error, std::size_t count) {
                             if (self->closed_) return;
                             if (error) {
                               self->Close("write failed: " + error.message());
                               return;
                             }
                             self->bytesSent_ += count;
                             self->metrics_->Sent(count);
                             self->Touch();
                             ((*self).*next)();
                           });
}

void Session::BeginTransfer(const Transfer& transfer) {
  fileDescriptor_ = FileDescriptor(::open(transfer.file->path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fileDescriptor_) {
    FailTransfer("cannot open '" + transfer.file->name + "'");
    return;
  }
  if (!transfer.file->Unchanged(fileDescriptor_.get())) {
    FailTransfer("'" + transfer.file->name + "' changed on disk since the server started");
    return;
  }
  file_ = transfer.file;
  position_ = transfer.begin;
  rangeBegin_ = transfer.begin;
  end_ = transfer.end;
  SendBlock();
}

void Session::SendBlock() {
  const std::uint64_t left = end_ - position_;
  blockLeft_ = static_cast<std::size_t>(std::min<std::uint64_t>(options_.blockSize, left));
  lastBlock_ = blockLeft_ == 0;  // the series ends with an empty block
  pending_ = BlockHead(blockLeft_);
  pendingSent_ = 0;
  if (blockLeft_ > 0 && blockLeft_ == left && !ReadLastBlock()) return;
  SendBlockRest();
}

bool Session::ReadLastBlock() {
  const std::size_t head = pending_.size();
  pending_.resize(head + blockLeft_);
  ssize_t read;
  do {
    read = ::pread(fileDescriptor_.get(), pending_.data() + head, blockLeft_,
                   static_cast<off_t>(position_));
  } while (read < 0 && errno == EINTR);
  if (read != static_cast<ssize_t>(blockLeft_)) {
    const std::string what = "'" + file_->name + "' shrank during a transfer";
    // Nothing sent yet: the series can still be refused. Otherwise it cannot be ended properly.
    if (position_ == rangeBegin_) {
      FailTransfer(what);
    } else {
      Close(what);
    }
    return false;
  }
  position_ += blockLeft_;
  blockLeft_ = 0;
  const std::vector<char> end = BlockHead(0);
  pending_.insert(pending_.end(), end.begin(), end.end());
  lastBlock_ = true;
  return true;
}

void Session::SendBlockRest() {
  const int socket = socket_.native_handle();
  while (pendingSent_ < pending_.size() || blockLeft_ > 0) {
    ssize_t sent = 0;
    if (pendingSent_ < pending_.size()) {
      // MSG_MORE: the head leaves in one segment with the bytes rather than alone.
      const int more = blockLeft_ > 0 ? MSG_MORE : 0;
      sent = ::send(socket, pending_.data() + pendingSent_, pending_.size() - pendingSent_,
                    MSG_DONTWAIT | MSG_NOSIGNAL | more);
      if (sent > 0) pendingSent_ += static_cast<std::size_t>(sent);
    } else {
      off_t offset = static_cast<off_t>(position_);
      sent = ::sendfile(socket, fileDescriptor_.get(), &offset, blockLeft_);
      if (sent > 0) {
        position_ += static_cast<std::uint64_t>(sent);
        blockLeft_ -= static_cast<std::size_t>(sent);
      }
    }
    if (sent > 0) {
      bytesSent_ += static_cast<std::uint64_t>(sent);
      metrics_->Sent(static_cast<std::uint64_t>(sent));
      Touch();
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitUntilWritable();
      return;
    } else if (sent < 0 && errno != EINTR) {
      Close("write failed: " + std::system_category().message(errno));
      return;
    } else if (sent == 0) {
      // The head promised bytes the file no longer has; a refusal cannot follow it any more.
      Close("'" + file_->name + "' shrank during a transfer");
      return;
    }
  }
  // Queued behind the handlers ready now, so that a client that reads as fast as this sends does
  // not hold the thread. Deferred, not posted: it continues this handler, and waking another
  // thread for it, once per small file, cost the server a fifth of its time in thread switches.
  boost::asio::defer(socket_.get_executor(), [self = shared_from_this()] {
    if (self->closed_) return;
    if (self->lastBlock_) {
      self->EndTransfer();
    } else {
      self->SendBlock();
    }
  });
}

void Session::WaitUntilWritable() {
  socket_.async_wait(boost::asio::ip::tcp::socket::wait_write,
                     [self = shared_from_this()](const boost::system::error_code& error) {
                       if (self->closed_) return;
                       if (error) {
                         self->Close("write failed: " + error.message());
                         return;
                       }
                       self->SendBlockRest();
                     });
}

void Session::EndTransfer() {
  fileDescriptor_ = FileDescriptor();
  file_ = nullptr;
  std::vector<char>().swap(pending_);  // a block's worth, not kept by idle sessions
  Process();
}

void Session::FailTransfer(const std::string& note) {
  Logger::Instance().Print(kChannel, 4, "Session: %s: FileData refused (4 read failed): %s",
                           peer_.c_str(), note.c_str());
  ++refusals_;
  metrics_->Refusal(aus::error_code::kReadFailed);
  Send(Refusal(kFileDataType, aus::error_code::kReadFailed), &Session::EndTransfer);
}

void Session::Touch() { deadline_ = std::chrono::steady_clock::now() + options_.idleTimeout; }

void Session::WaitForDeadline() {
  timer_.expires_at(deadline_);
  timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    if (error || self->closed_) return;
    if (std::chrono::steady_clock::now() >= self->deadline_) {
      self->Close("idle timeout");
    } else {
      self->WaitForDeadline();
    }
  });
}

void Session::Close(const std::string& reason) {
  closed_ = true;
  // key=value pairs, so that log tools can take the line apart; the reason is quoted, as it has
  // spaces.
  std::string quoted;
  for (const char c : reason) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  const Release* latest = releases_->Latest();
  const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - opened_);
  Logger::Instance().Print(
      kChannel, 2,
      "Session.End: peer=%s reason=\"%s\" duration_ms=%lld requests=%llu refusals=%llu "
      "bytes_sent=%llu latest=%s",
      peer_.c_str(), quoted.c_str(), static_cast<long long>(lasted.count()),
      static_cast<unsigned long long>(requests_), static_cast<unsigned long long>(refusals_),
      static_cast<unsigned long long>(bytesSent_),
      latest ? FormatVersion(latest->version).c_str() : "none");
  boost::system::error_code ignored;
  socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
}

}  // namespace aus::server
