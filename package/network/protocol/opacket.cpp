#include "package/network/protocol/opacket.h"

namespace network::protocol {

namespace {

constexpr std::size_t kFlagsOffset = 4;
constexpr std::size_t kTypeOffset = 5;
constexpr std::size_t kHeaderSize = 6;

}  // namespace

OPacket::OPacket(bool reply, unsigned char type)
    : buffer_(std::make_shared<Buffer>(kHeaderSize, '\0')) {
  SetReply(reply);
  SetType(type);
}

void OPacket::SetReply(bool reply) {
  char& flags = (*buffer_)[kFlagsOffset];
  flags = static_cast<char>(reply ? (flags | 1) : (flags & ~1));
}

void OPacket::SetType(unsigned char type) { (*buffer_)[kTypeOffset] = static_cast<char>(type); }

template <typename T>
OPacket& OPacket::AppendLittleEndian(T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    buffer_->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
  return *this;
}

OPacket& OPacket::operator<<(bool value) { return AppendLittleEndian<std::uint8_t>(value ? 1 : 0); }
OPacket& OPacket::operator<<(char value) {
  return AppendLittleEndian(static_cast<std::uint8_t>(value));
}
OPacket& OPacket::operator<<(std::uint8_t value) { return AppendLittleEndian(value); }
OPacket& OPacket::operator<<(std::uint16_t value) { return AppendLittleEndian(value); }
OPacket& OPacket::operator<<(std::uint32_t value) { return AppendLittleEndian(value); }
OPacket& OPacket::operator<<(std::uint64_t value) { return AppendLittleEndian(value); }
OPacket& OPacket::operator<<(aus::error_code value) {
  return AppendLittleEndian(static_cast<std::uint8_t>(value));
}

OPacket& OPacket::operator<<(const Version& value) {
  for (std::int32_t part : {value.major, value.minor, value.revision}) {
    AppendLittleEndian(static_cast<std::uint32_t>(part));
  }
  return *this;
}

OPacket& OPacket::operator<<(const std::string& value) {
  *this << static_cast<std::uint32_t>(value.size());
  buffer_->insert(buffer_->end(), value.begin(), value.end());
  return *this;
}

OPacket& OPacket::WriteBlock(const char* data, std::uint32_t count) {
  *this << count;
  buffer_->insert(buffer_->end(), data, data + count);
  return *this;
}

OPacket& OPacket::WriteBlockCount(std::uint32_t count) {
  *this << count;
  bytesToFollow_ += count;
  return *this;
}

std::shared_ptr<const OPacket::Buffer> OPacket::Data() {
  const auto length = static_cast<std::uint32_t>(buffer_->size() - 4 + bytesToFollow_);
  for (std::size_t i = 0; i < 4; ++i) (*buffer_)[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return buffer_;
}

}  // namespace network::protocol
