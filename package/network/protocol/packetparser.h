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
  // Most a packet's claimed length makes the parser reserve before its bytes arrive.
  static constexpr std::size_t kMaxReserve = 256 * 1024;

  // Takes the bytes of one read, queues every packet they complete and keeps the rest. Returns
  // whether any packet is queued (earlier ones included). Whole packets are copied straight out of
  // `data` once; a packet that spans reads is gathered in a buffer that becomes its own, which
  // reserves at most kMaxReserve ahead of the bytes. A `length` below 2 or above kMaxPacketLength
  // throws IO_Error with TagPacketCorrupted "Invalid packet size"; the parser then stays broken and
  // every later Feed throws the same.
  bool Feed(const char* data, std::size_t count);

  // The oldest queued packet, or null when none is queued.
  std::shared_ptr<IPacket> Pop();

 private:
  // Queues the packets in [data, data + count) and returns how many bytes they used.
  std::size_t Parse(const char* data, std::size_t count);
  // Adds to the packet begun in pending_ only the bytes it lacks, queues it once whole and
  // returns how many bytes of `data` it took.
  std::size_t CompletePending(const char* data, std::size_t count);
  // Once the pending packet's length is known, reserves for it up to kMaxReserve.
  void ReservePending();
  // The `length` at `p`; throws as Feed when it is out of bounds.
  std::uint32_t CheckedLength(const char* p);
  [[noreturn]] void ThrowCorrupted();

  IPacket::Buffer pending_;          // the start of the next packet, never a whole one
  std::uint32_t pendingLength_ = 0;  // `length` of the packet in pending_; 0 while unknown
  bool corrupted_ = false;
  std::deque<std::shared_ptr<IPacket>> queue_;
};

}  // namespace network::protocol
