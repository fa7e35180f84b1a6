#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "package/network/protocol/ioerror.h"
#include "package/network/protocol/updateerror.h"
#include "package/network/protocol/version.h"

namespace network::protocol {

// One received packet (header included), read field by field from the first body byte on.
// Encodings are OPacket's. Every read that runs out of bytes throws IO_Error with
// TagBufferBytesAvailable (bytes that were left) and TagBufferBytesExpected (bytes the read
// needed); the bytes a failed read consumed stay consumed. No read allocates more than the bytes
// actually left in the packet, whatever count or length the packet claims.
class IPacket {
 public:
  using Buffer = std::vector<char>;

  static constexpr std::size_t kHeaderSize = 6;

  // Copies [first, last). Throws IO_Error with TagPacketCorrupted "Invalid packet size" when the
  // range is shorter than the header.
  IPacket(const char* first, const char* last);
  // Takes `bytes` as they are; throws as above.
  explicit IPacket(Buffer bytes);

  unsigned char Type() const;
  bool IsReply() const;
  // Body bytes not read yet.
  std::size_t Remaining() const { return buffer_->size() - cursor_; }

  // bool: 0 is false, anything else true.
  IPacket& operator>>(bool& value);
  IPacket& operator>>(char& value);
  IPacket& operator>>(std::uint8_t& value);
  IPacket& operator>>(std::uint16_t& value);
  IPacket& operator>>(std::uint32_t& value);
  IPacket& operator>>(std::uint64_t& value);
  IPacket& operator>>(aus::error_code& value);
  IPacket& operator>>(Version& value);
  // u32 length, then the bytes. A string cut short consumes what is there, then throws with
  // available 0, expected 1.
  IPacket& operator>>(std::string& value);

  // u32 count, then the elements. Every element takes at least one byte, so a count beyond the
  // bytes left fails at the first missing element instead of allocating the claimed count.
  template <typename T>
  IPacket& operator>>(std::vector<T>& values) {
    std::uint32_t count = 0;
    *this >> count;
    values.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
      T value{};
      *this >> value;
      values.push_back(std::move(value));
    }
    return *this;
  }

  // Reads a data block: u32 n, then writes the next n bytes to `sink` and returns n. When n
  // exceeds the bytes left, throws IO_Error (available = bytes left, expected = n) having written
  // nothing.
  std::uint32_t ReadTo(std::ostream& sink);

 private:
  // Throws the IO_Error of a read needing `expected` bytes, leaving the cursor at the end.
  [[noreturn]] void ThrowShort(std::size_t expected);
  template <typename T>
  T ReadLittleEndian();

  std::shared_ptr<const Buffer> buffer_;
  std::size_t cursor_ = kHeaderSize;
};

}  // namespace network::protocol
