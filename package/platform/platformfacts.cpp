#include "package/platform/platformfacts.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace platform {
namespace {

constexpr std::uint8_t kSystemInformation = 1;
constexpr std::uint8_t kBaseboard = 2;
constexpr std::uint8_t kChassis = 3;
constexpr std::uint8_t kEndOfTable = 127;
// Type and length, handle, then the three string numbers read here (bytes 4 to 6).
constexpr std::size_t kHeaderSize = 4;

class DescriptionBuilder {
 public:
  void Append(const std::string& item) {
    // Room for the item, its blank and the terminating NUL of the system's text buffer.
    if (text_.size() + item.size() + 2 > kSystemDescriptionBuffer) return;
    text_ += item;
    text_ += ' ';
  }
  std::string Finish() { return boost::algorithm::trim_copy(text_); }

 private:
  std::string text_;
};

// The byte at `offset` of the formatted part, 0 (no string) when the part is shorter.
std::uint8_t FormattedByte(Bytes formatted, std::size_t offset) {
  return offset < formatted.size() ? formatted[offset] : 0;
}

bool NamesString(Bytes formatted, std::size_t number) {
  for (std::size_t offset = 4; offset <= 6; ++offset) {
    if (FormattedByte(formatted, offset) == number) return true;
  }
  return false;
}

// The strings after a structure's formatted part, numbered from 1: each ends with a NUL, the set
// with one more (two NULs when there are none). Moves `cursor` past the set; nothing when the set
// runs past the table.
std::optional<std::vector<std::string>> ReadStrings(Bytes table, std::size_t& cursor) {
  std::vector<std::string> strings;
  if (cursor + 1 < table.size() && table[cursor] == 0 && table[cursor + 1] == 0) {
    cursor += 2;
    return strings;
  }
  while (cursor < table.size()) {
    std::size_t end = cursor;
    while (end < table.size() && table[end] != 0) ++end;
    if (end == table.size()) return std::nullopt;
    strings.emplace_back(reinterpret_cast<const char*>(table.data() + cursor), end - cursor);
    cursor = end + 1;
    if (cursor < table.size() && table[cursor] == 0) {
      ++cursor;
      return strings;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string SystemDescription(Bytes table) {
  DescriptionBuilder description;
  bool placeholderManufacturer = false;
  std::size_t position = 0;
  while (position + kHeaderSize <= table.size()) {
    const std::uint8_t type = table[position];
    const std::size_t length = table[position + 1];
    if (type == kEndOfTable || length < kHeaderSize || position + length > table.size()) break;
    const Bytes formatted = table.subspan(position, length);

    std::size_t cursor = position + length;
    const auto strings = ReadStrings(table, cursor);
    if (!strings) break;

    if (type == kChassis) description.Append(ChassisName(FormattedByte(formatted, 5)));
    for (std::size_t number = 1; number <= strings->size(); ++number) {
      if (!NamesString(formatted, number)) continue;
      const std::string& text = (*strings)[number - 1];
      if (type == kSystemInformation && !placeholderManufacturer) {
        if (boost::algorithm::iequals(text, "System manufacturer")) {
          placeholderManufacturer = true;
        } else {
          description.Append(text);
        }
      } else if (type == kBaseboard && placeholderManufacturer) {
        description.Append(text);
      }
    }
    position = cursor;
  }
  return description.Finish();
}

std::string SystemDescriptionFromRawBlock(Bytes block) {
  constexpr std::size_t kRawHeaderSize = 8;
  if (block.size() < kRawHeaderSize) return "";
  const std::size_t length = block[4] | (block[5] << 8);
  const Bytes table = block.subspan(kRawHeaderSize);
  return SystemDescription(table.first(std::min(length, table.size())));
}

std::string ChassisName(std::uint8_t type) {
  switch (type) {
    case 2:
      return "(Unknown)";
    case 3:
      return "(Desktop)";
    case 4:
      return "(Low Profile Desktop)";
    case 6:
      return "(Mini Tower)";
    case 7:
      return "(Tower)";
    case 8:
      return "(Portable)";
    case 9:
      return "(Laptop)";
    case 10:
      return "(Notebook)";
    case 14:
      return "(Sub Notebook)";
    default:
      return "(Other)";
  }
}

std::optional<SizeMm> EdidSize(Bytes edid) {
  if (edid.size() <= 68) return std::nullopt;
  return SizeMm{((edid[68] & 0xF0u) << 4) + edid[66], ((edid[68] & 0x0Fu) << 8) + edid[67]};
}

float MillimetresToInches(unsigned millimetres) { return static_cast<float>(millimetres) / 25.4f; }

std::string MacAddressText(Bytes address) {
  std::string text;
  for (const std::uint8_t byte : address) {
    std::array<char, 4> group;
    std::snprintf(group.data(), group.size(), text.empty() ? "%02X" : "-%02X", byte);
    text += group.data();
  }
  return text;
}

std::string FirstMacAddress(const std::vector<NetworkAdapter>& adapters) {
  for (const auto& adapter : adapters) {
    if (adapter.up && !adapter.loopback && !adapter.address.empty()) {
      return MacAddressText(adapter.address);
    }
  }
  return kNoMacAddress;
}

std::string PlatformTypeName(std::uint32_t type) {
  static constexpr const char* kNames[] = {"iOS",    "Android",      "Windows NT",
                                           "MacOsX", "WindowsPhone", "Emscripten",
                                           "Linux",  "JavaScript",   "ERROR"};
  return type < std::size(kNames) ? kNames[type] : "";
}

bool IsOldWindows(std::uint32_t type, std::uint32_t majorVersion, std::uint32_t minorVersion) {
  return type == kPlatformWindowsNt && (majorVersion < 6 || minorVersion == 0);
}

}  // namespace platform
