#include "package/network/protocol/ipacket.h"

#include <utility>

#include <boost/throw_exception.hpp>

namespace network::protocol {

IPacket::IPacket(const char* first, const char* last) {
  if (last - first < static_cast<std::ptrdiff_t>(kHeaderSize)) {
    BOOST_THROW_EXCEPTION(IO_Error() << TagPacketCorrupted("Invalid packet size"));
  }
  buffer_ = std::make_shared<const Buffer>(first, last);
}

IPacket::IPacket(Buffer bytes) {
  if (bytes.size() < kHeaderSize) {
    BOOST_THROW_EXCEPTION(IO_Error() << TagPacketCorrupted("Invalid packet size"));
  }
  buffer_ = std::make_shared<const Buffer>(std::move(bytes));
}

unsigned char IPacket::Type() const { return static_cast<unsigned char>((*buffer_)[5]); }

bool IPacket::IsReply() const { return ((*buffer_)[4] & 1) != 0; }

void IPacket::ThrowShort(std::size_t expected) {
  const std::size_t available = Remaining();
  cursor_ = buffer_->size();
  BOOST_THROW_EXCEPTION(IO_Error() << TagBufferBytesAvailable(static_cast<unsigned int>(available))
                                   << TagBufferBytesExpected(static_cast<unsigned int>(expected)));
}

template <typename T>
T IPacket::ReadLittleEndian() {
  if (Remaining() < sizeof(T)) ThrowShort(sizeof(T));
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<T>(static_cast<unsigned char>((*buffer_)[cursor_ + i]))
                            << (8 * i));
  }
  cursor_ += sizeof(T);
  return value;
}

IPacket& IPacket::operator>>(bool& value) {
  value = ReadLittleEndian<std::uint8_t>() != 0;
  return *this;
}

IPacket& IPacket::operator>>(char& value) {
  value = static_cast<char>(ReadLittleEndian<std::uint8_t>());
  return *this;
}

IPacket& IPacket::operator>>(std::uint8_t& value) {
  value = ReadLittleEndian<std::uint8_t>();
  return *this;
}

IPacket& IPacket::operator>>(std::uint16_t& value) {
  value = ReadLittleEndian<std::uint16_t>();
  return *this;
}

IPacket& IPacket::operator>>(std::uint32_t& value) {
  value = ReadLittleEndian<std::uint32_t>();
  return *this;
}

IPacket& IPacket::operator>>(std::uint64_t& value) {
  value = ReadLittleEndian<std::uint64_t>();
  return *this;
}

IPacket& IPacket::operator>>(aus::error_code& value) {
  value = static_cast<aus::error_code>(ReadLittleEndian<std::uint8_t>());
  return *this;
}

IPacket& IPacket::operator>>(Version& value) {
  for (std::int32_t* part : {&value.major, &value.minor, &value.revision}) {
    *part = static_cast<std::int32_t>(ReadLittleEndian<std::uint32_t>());
  }
  return *this;
}

IPacket& IPacket::operator>>(std::string& value) {
  std::uint32_t length = 0;
  *this >> length;
  if (length > Remaining()) {
    // The bytes that are there are consumed, as a byte-by-byte read would; the first missing
    // one is the failure.
    cursor_ = buffer_->size();
    ThrowShort(1);
  }
  value.assign(buffer_->data() + cursor_, length);
  cursor_ += length;
  return *this;
}

std::uint32_t IPacket::ReadTo(std::ostream& sink) {
  std::uint32_t count = 0;
  *this >> count;
  if (count > Remaining()) ThrowShort(count);
  sink.write(buffer_->data() + cursor_, count);
  cursor_ += count;
  return count;
}

}  // namespace network::protocol
