#include "server/session.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include <boost/asio/write.hpp>

#include "package/logging/logger.h"
#include "package/network/protocol/ioerror.h"
#include "package/network/protocol/opacket.h"

namespace aus::server {

namespace {

constexpr const char* kChannel = "AUS";

std::string Endpoint(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code error;
  const auto endpoint = socket.remote_endpoint(error);
  if (error) return "unknown peer";
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

Session::Session(boost::asio::ip::tcp::socket socket, std::shared_ptr<const Releases> releases,
                 const SessionOptions& options,
                 std::shared_ptr<std::atomic<std::size_t>> connections)
    : socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      releases_(std::move(releases)),
      options_(options),
      connections_(std::move(connections)),
      peer_(Endpoint(socket_)) {
  ++*connections_;
}

Session::~Session() {
  if (!closed_) Close("server stopped");
  --*connections_;
}

void Session::Start() {
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
    const Answer answer = AnswerRequest(*releases_, *request);
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
                             self->Touch();
                             ((*self).*next)();
                           });
}

void Session::BeginTransfer(const Transfer& transfer) {
  if (!transfer.file->Unchanged()) {
    FailTransfer("'" + transfer.file->name + "' changed on disk since the server started");
    return;
  }
  file_.open(transfer.file->path, std::ios::binary);
  if (file_) file_.seekg(static_cast<std::streamoff>(transfer.begin));
  if (!file_) {
    FailTransfer("cannot open '" + transfer.file->name + "'");
    return;
  }
  position_ = transfer.begin;
  end_ = transfer.end;
  block_.resize(std::min<std::uint64_t>(options_.blockSize, end_ - position_));
  SendBlock();
}

void Session::SendBlock() {
  const auto count =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(block_.size(), end_ - position_));
  if (count > 0 && !file_.read(block_.data(), count)) {
    FailTransfer("read failed at offset " + std::to_string(position_));
    return;
  }
  position_ += count;
  network::protocol::OPacket packet(true, kFileDataType);
  packet << true;
  packet.WriteBlock(block_.data(), count);
  Send(packet.Data(), count > 0 ? &Session::SendBlock : &Session::EndTransfer);
}

void Session::EndTransfer() {
  file_.close();
  file_.clear();
  std::vector<char>().swap(block_);
  Process();
}

void Session::FailTransfer(const std::string& note) {
  Logger::Instance().Print(kChannel, 4, "Session: %s: FileData refused (4 read failed): %s",
                           peer_.c_str(), note.c_str());
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
  Logger::Instance().Print(kChannel, 2, "Session: %s closed (%s); %llu requests, %llu bytes sent",
                           peer_.c_str(), reason.c_str(),
                           static_cast<unsigned long long>(requests_),
                           static_cast<unsigned long long>(bytesSent_));
  boost::system::error_code ignored;
  socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
}

}  // namespace aus::server
