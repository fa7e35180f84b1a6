#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Pure functions behind the platform record, shared by every implementation. Each reads only the
// bytes it is given: truncated or malformed input shortens the result, never runs past the input.
namespace platform {

using Bytes = std::span<const std::uint8_t>;

// The text buffer the system description is built in, terminating NUL included.
inline constexpr std::size_t kSystemDescriptionBuffer = 16384;

// The description from an SMBIOS structure table: the manufacturer, product and version strings
// of the system information (type 1) or, when its manufacturer is the placeholder "System
// manufacturer" (any case), of the baseboard (type 2), and each chassis (type 3) name, in table
// order, separated by single blanks and trimmed. The walk ends at an end-of-table structure
// (type 127), at the end of `table`, or at a structure that does not fit. The text stays below
// kSystemDescriptionBuffer bytes.
std::string SystemDescription(Bytes table);
// The same from the raw firmware block Windows keeps: an 8-byte header whose bytes 4 to 7 hold
// the table's length (its low 16 bits count), then the table.
std::string SystemDescriptionFromRawBlock(Bytes block);
// "(Desktop)" for 3, and so on; "(Other)" for unlisted values, those with bit 7 set included.
std::string ChassisName(std::uint8_t type);

struct SizeMm {
  unsigned width = 0;
  unsigned height = 0;
  bool operator==(const SizeMm&) const = default;
};
// The image size of an EDID's first detailed timing descriptor (bytes 66 to 68); nothing when the
// EDID is shorter than that.
std::optional<SizeMm> EdidSize(Bytes edid);
float MillimetresToInches(unsigned millimetres);

// One network adapter as the operating system lists it.
struct NetworkAdapter {
  bool up = false;
  bool loopback = false;
  std::vector<std::uint8_t> address;
};
inline constexpr const char* kNoMacAddress = "00-00-00-00-00-00";
// "00-1A-2B-3C-4D-5E": two upper-case hexadecimal digits per byte joined by hyphens.
std::string MacAddressText(Bytes address);
// The address text of the first adapter that is up, not a loopback and has an address;
// kNoMacAddress when none does.
std::string FirstMacAddress(const std::vector<NetworkAdapter>& adapters);

// Platform kinds; the record's `type`.
enum PlatformType : std::uint32_t {
  kPlatformIos = 0,
  kPlatformAndroid = 1,
  kPlatformWindowsNt = 2,
  kPlatformMacOsX = 3,
  kPlatformWindowsPhone = 4,
  kPlatformEmscripten = 5,
  kPlatformLinux = 6,
  kPlatformJavaScript = 7,
  kPlatformError = 8,
};
// "Windows NT" for 2, and so on; empty outside 0 to 8.
std::string PlatformTypeName(std::uint32_t type);

// Windows before Windows 7, as a program without a supported-OS manifest sees it: Windows NT with
// major version below 6 or minor version 0. False on every other platform.
bool IsOldWindows(std::uint32_t type, std::uint32_t majorVersion, std::uint32_t minorVersion);

}  // namespace platform
