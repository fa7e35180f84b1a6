#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "package/platform/platformfacts.h"

// Readers of the Linux sources of the platform facts. Each takes its source's location so tests
// can point it at a tree of their own, reads at most kMaxSourceBytes of each file (a huge or
// endless file is cut there, never read to its end), and gives the fallback value when the source
// is missing or unreadable.
namespace platform {

// Far above any real source (an EDID is at most 32 KiB, a DMI table a few KiB).
inline constexpr std::size_t kMaxSourceBytes = 1 << 20;

// The first interface under `classNet` (/sys/class/net) in index order that is up, not a
// loopback and has a hardware address; kNoMacAddress when none is.
std::string ReadMacAddress(const std::filesystem::path& classNet);
// The first line of `file` (/etc/machine-id); "ERROR" when it is missing or empty.
std::string ReadMachineId(const std::filesystem::path& file);
// SystemDescription of the table in `file` (/sys/firmware/dmi/tables/DMI, which has no header).
std::string ReadSystemDescription(const std::filesystem::path& file);
// The first connector under `drm` (/sys/class/drm) in name order whose EDID gives a size that is
// not 0 by 0.
std::optional<SizeMm> ReadEdidSize(const std::filesystem::path& drm);

struct KernelVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  bool operator==(const KernelVersion&) const = default;
};
// "6.1.0-18-amd64" gives 6, 1, 0; numbers that are missing stay 0.
KernelVersion ParseKernelRelease(const std::string& release);

}  // namespace platform
