#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "package/network/protocol/ipacket.h"

namespace network::protocol {

// Cuts one connection's byte stream into whole packets. Used by one thread at a time.
class PacketParser {
 public:
  // Largest `length` accepted. The largest legitimate reply (a database of 65,536 items) is about
  // 10 MiB; a larger claim is hostile and must not make the parser buffer it.
  static constexpr std::uint32_t kMaxPacketLength = 64u * 1024 * 1024;

  // Takes the bytes of one read, queues every packet they complete and keeps the rest. Returns
  // whether any packet is queued (earlier ones included). When nothing is pending, whole packets
  // are copied straight out of `data` once. A `length` below 2 or above kMaxPacketLength throws
  // IO_Error with TagPacketCorrupted "Invalid packet size"; the parser then stays broken and
  // every later Feed throws the same.
  bool Feed(const char* data, std::size_t count);

  // The oldest queued packet, or null when none is queued.
  std::shared_ptr<IPacket> Pop();

 private:
  // Queues the packets in [data, data + count) and returns how many bytes they used.
  std::size_t Parse(const char* data, std::size_t count);
  [[noreturn]] void ThrowCorrupted();

  std::vector<char> pending_;
  std::uint32_t pendingLength_ = 0;  // `length` of the packet at the head of pending_; 0 unknown
  bool corrupted_ = false;
  std::deque<std::shared_ptr<IPacket>> queue_;
};

}  // namespace network::protocol
