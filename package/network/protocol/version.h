#pragma once

#include <cstdint>

// A client version {major, minor, revision}; {0, 0, 0} means no version (latest mode).
// On the wire: the three numbers as signed 32-bit little-endian integers, in this order.
struct Version {
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t revision = 0;

  friend bool operator==(const Version&, const Version&) = default;
};
