#include "package/network/protocol/packetparser.h"

#include <boost/throw_exception.hpp>

namespace network::protocol {

namespace {

constexpr std::size_t kLengthSize = 4;

std::uint32_t ReadLength(const char* p) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < kLengthSize; ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  return length;
}

}  // namespace

void PacketParser::ThrowCorrupted() {
  corrupted_ = true;
  pending_.clear();
  pendingLength_ = 0;
  BOOST_THROW_EXCEPTION(IO_Error() << TagPacketCorrupted("Invalid packet size"));
}

std::size_t PacketParser::Parse(const char* data, std::size_t count) {
  std::size_t used = 0;
  for (;;) {
    const std::size_t available = count - used;
    if (pendingLength_ == 0) {
      if (available < kLengthSize) break;
      const std::uint32_t length = ReadLength(data + used);
      if (length < IPacket::kHeaderSize - kLengthSize || length > kMaxPacketLength) {
        ThrowCorrupted();
      }
      pendingLength_ = length;
    }
    const std::size_t need = std::size_t{pendingLength_} + kLengthSize;
    if (available < need) break;
    queue_.push_back(std::make_shared<IPacket>(data + used, data + used + need));
    used += need;
    pendingLength_ = 0;
  }
  return used;
}

bool PacketParser::Feed(const char* data, std::size_t count) {
  if (corrupted_) ThrowCorrupted();
  if (pending_.empty()) {
    const std::size_t used = Parse(data, count);
    pending_.assign(data + used, data + count);
  } else {
    pending_.insert(pending_.end(), data, data + count);
    const std::size_t used = Parse(pending_.data(), pending_.size());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
  }
  return !queue_.empty();
}

std::shared_ptr<IPacket> PacketParser::Pop() {
  if (queue_.empty()) return nullptr;
  auto packet = std::move(queue_.front());
  queue_.pop_front();
  return packet;
}

}  // namespace network::protocol
