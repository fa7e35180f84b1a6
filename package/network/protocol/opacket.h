#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/network/protocol/updateerror.h"
#include "package/network/protocol/version.h"

namespace network::protocol {

// A packet being built for sending:
//   u32 length (bytes after this field), u8 flags (bit 0: reply), u8 type, body.
// Every field is appended little-endian, with no padding; Data() fills in the length.
class OPacket {
 public:
  using Buffer = std::vector<char>;

  // Six header bytes, all zero, then the reply bit and the type.
  OPacket(bool reply, unsigned char type);

  // Sets or clears bit 0 of the flags; the other bits stay as they are.
  void SetReply(bool reply);
  void SetType(unsigned char type);

  // bool as 0 or 1; integers little-endian in their width.
  OPacket& operator<<(bool value);
  OPacket& operator<<(char value);
  OPacket& operator<<(std::uint8_t value);
  OPacket& operator<<(std::uint16_t value);
  OPacket& operator<<(std::uint32_t value);
  OPacket& operator<<(std::uint64_t value);
  OPacket& operator<<(aus::error_code value);
  // major, minor, revision as signed 32-bit integers.
  OPacket& operator<<(const Version& value);
  // u32 length, then the bytes.
  OPacket& operator<<(const std::string& value);

  // u32 count, then each element in its own encoding.
  template <typename T>
  OPacket& operator<<(const std::vector<T>& values) {
    *this << static_cast<std::uint32_t>(values.size());
    for (const auto& value : values) *this << value;
    return *this;
  }

  // A data block as IPacket::ReadTo reads it: u32 count, then the raw bytes.
  OPacket& WriteBlock(const char* data, std::uint32_t count);
  // The count of a data block whose bytes the sender writes itself, right after the packet (from
  // a file, say); the length covers them.
  OPacket& WriteBlockCount(std::uint32_t count);

  // Writes (size - 4), plus any bytes announced by WriteBlockCount, into the length field and
  // returns the whole packet. May be called again after further writes; the sender keeps the
  // returned reference while the bytes go out.
  std::shared_ptr<const Buffer> Data();

 private:
  template <typename T>
  OPacket& AppendLittleEndian(T value);

  std::shared_ptr<Buffer> buffer_;
  std::uint32_t bytesToFollow_ = 0;
};

}  // namespace network::protocol
