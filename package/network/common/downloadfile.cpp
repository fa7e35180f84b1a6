#include "package/network/common/downloadfile.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/throw_exception.hpp>

#include "package/network/common/client.h"
#include "package/network/protocol/ioerror.h"
#include "package/network/protocol/updateerror.h"

namespace network::common {

namespace {

constexpr unsigned char kFileDataType = 11;

protocol::OPacket FileDataRequest(const File& file, std::uint64_t offset, std::uint64_t length) {
  protocol::OPacket request(false, kFileDataType);
  if (file.byIndex()) {
    request << true << std::uint16_t{file.index()};
  } else {
    request << false << *file.version() << *file.remotePath();
  }
  request << offset << length;
  return request;
}

// The server answers at most the range, or up to the end of the file; anything beyond that
// is hostile and must not grow the buffer.
std::uint64_t RangeLimit(const File& file, std::uint64_t offset, std::uint64_t length) {
  if (length != 0) return length;
  const auto size = file.knownSize();
  if (!size) return kPartSize;
  return *size > offset ? *size - offset : 0;
}

}  // namespace

DownloadFile::DownloadFile(std::shared_ptr<File> file, std::uint64_t offset, std::uint64_t length,
                           Written written)
    : file_(std::move(file)),
      offset_(offset),
      limit_(RangeLimit(*file_, offset, length)),
      length_(length),
      request_(FileDataRequest(*file_, offset, length)),
      written_(std::move(written)) {}

void DownloadFile::Send(Client& client) {
  received_ = 0;
  client.Queue(request_);
}

void DownloadFile::Receive(Client& client, const std::function<void(std::uint64_t)>& progress) {
  // One allocation for the whole range, made only once its reply comes: a buffer grown block by
  // block is copied at every step and, above the allocator's mapping threshold, touches fresh
  // pages each time; requests waiting in flight hold nothing.
  std::string storage;
  storage.reserve(std::min(limit_, kPartSize));
  buffer_ = std::make_unique<std::ostringstream>(std::move(storage));
  for (;;) {
    const auto reply = client.Receive();
    if (reply->Type() != kFileDataType || !reply->IsReply()) {
      throw std::logic_error("Unexpected packet");
    }
    bool ok = false;
    *reply >> ok;
    if (!ok) {
      aus::error_code code{};
      *reply >> code;
      BOOST_THROW_EXCEPTION(aus::UpdateError()
                            << aus::TagErrorCode(code) << aus::TagFileName(file_->localPath()));
    }
    const std::uint32_t count = reply->ReadTo(*buffer_);
    received_ += count;
    if (received_ > limit_) {
      BOOST_THROW_EXCEPTION(protocol::IO_Error()
                            << protocol::TagPacketCorrupted("Data beyond the requested range"));
    }
    progress(count);
    if (count == 0) return;
  }
}

std::uint64_t DownloadFile::Reset() {
  buffer_.reset();
  return std::exchange(received_, 0);
}

void DownloadFile::Finish() {
  file_->Write(static_cast<std::streamoff>(offset_), buffer_->view());
  if (written_) written_(buffer_->view());
  buffer_.reset();
}

std::string DownloadFile::Describe() const {
  return "'" + file_->localPath() + "' bytes " + std::to_string(offset_) + " to " +
         (length_ == 0 ? std::string("its end") : std::to_string(offset_ + length_));
}

}  // namespace network::common
