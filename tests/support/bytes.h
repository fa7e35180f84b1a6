#pragma once

#include <cstdint>
#include <sstream>
#include <string>

namespace test_support {

// Bytes from hex pairs; blanks are ignored: Hex("0a ff") gives "\x0a\xff".
inline std::string Hex(const std::string& text) {
  std::string bytes;
  std::istringstream in(text);
  for (std::string pair; in >> pair;) bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
  return bytes;
}

// The four little-endian bytes of `value`.
inline std::string Le32(std::uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

}  // namespace test_support
