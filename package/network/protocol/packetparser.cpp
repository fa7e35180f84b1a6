#include "package/network/protocol/packetparser.h"

#include <algorithm>
#include <utility>

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

std::uint32_t PacketParser::CheckedLength(const char* p) {
  const std::uint32_t length = ReadLength(p);
  if (length < IPacket::kHeaderSize - kLengthSize || length > kMaxPacketLength) ThrowCorrupted();
  return length;
}

std::size_t PacketParser::Parse(const char* data, std::size_t count) {
  std::size_t used = 0;
  for (;;) {
    const std::size_t available = count - used;
    if (pendingLength_ == 0) {
      if (available < kLengthSize) break;
      pendingLength_ = CheckedLength(data + used);
    }
    const std::size_t need = std::size_t{pendingLength_} + kLengthSize;
    if (available < need) break;
    queue_.push_back(std::make_shared<IPacket>(data + used, data + used + need));
    used += need;
    pendingLength_ = 0;
  }
  return used;
}

void PacketParser::ReservePending() {
  // Room for the whole packet saves regrowing it read by read, but only as much as a claim may
  // cost before its bytes arrive.
  if (pendingLength_ == 0) return;
  pending_.reserve(std::min(std::size_t{pendingLength_} + kLengthSize, kMaxReserve));
}

std::size_t PacketParser::CompletePending(const char* data, std::size_t count) {
  std::size_t taken = 0;
  if (pendingLength_ == 0) {
    taken = std::min(kLengthSize - pending_.size(), count);
    pending_.insert(pending_.end(), data, data + taken);
    if (pending_.size() < kLengthSize) return taken;
    pendingLength_ = CheckedLength(pending_.data());
  }
  ReservePending();
  const std::size_t need = std::size_t{pendingLength_} + kLengthSize;
  const std::size_t part = std::min(need - pending_.size(), count - taken);
  pending_.insert(pending_.end(), data + taken, data + taken + part);
  taken += part;
  if (pending_.size() == need) {
    queue_.push_back(std::make_shared<IPacket>(std::move(pending_)));
    pending_ = {};
    pendingLength_ = 0;
  }
  return taken;
}

bool PacketParser::Feed(const char* data, std::size_t count) {
  if (corrupted_) ThrowCorrupted();
  const std::size_t taken = pending_.empty() ? 0 : CompletePending(data, count);
  if (!pending_.empty()) return !queue_.empty();  // every byte went to the pending packet
  const std::size_t used = taken + Parse(data + taken, count - taken);
  ReservePending();
  pending_.assign(data + used, data + count);
  return !queue_.empty();
}

std::shared_ptr<IPacket> PacketParser::Pop() {
  if (queue_.empty()) return nullptr;
  auto packet = std::move(queue_.front());
  queue_.pop_front();
  return packet;
}

}  // namespace network::protocol
