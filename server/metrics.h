#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "package/network/protocol/updateerror.h"
#include "server/releases.h"

namespace aus::server {

// Counts of a server's work, updated by its connections on any thread (every count is an atomic)
// and rendered for the metrics endpoint.
class Metrics {
 public:
  // A connection opened or ended.
  void Opened();
  void Closed();
  // A request of that message type was read (whatever its fate).
  void Request(unsigned char type);
  // A FileSize or FileData request was refused with that code.
  void Refusal(aus::error_code code);
  void Sent(std::uint64_t bytes) { bytesSent_.fetch_add(bytes, std::memory_order_relaxed); }
  // A reload of the releases ended.
  void Reloaded(bool ok);

  std::uint64_t OpenConnections() const { return open_.load(); }

  // The Prometheus text exposition format (version 0.0.4) of every count, with the versions
  // `releases` serves (null: none), the newest one marked as latest, and unavailable ones.
  std::string Text(const Releases* releases) const;

 private:
  static constexpr unsigned kTypes = 6;  // the five message types, then every other type
  static constexpr unsigned kCodes = 5;  // aus::error_code values 1 to 4; 0 unused

  std::atomic<std::uint64_t> open_{0};
  std::atomic<std::uint64_t> accepted_{0};
  std::atomic<std::uint64_t> requests_[kTypes] = {};
  std::atomic<std::uint64_t> refusals_[kCodes] = {};
  std::atomic<std::uint64_t> bytesSent_{0};
  std::atomic<std::uint64_t> reloads_{0};
  std::atomic<std::uint64_t> failedReloads_{0};
};

}  // namespace aus::server
