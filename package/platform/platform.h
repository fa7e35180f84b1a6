#pragma once

#include <cstdint>
#include <string>

// Facts about the machine, gathered once per process. Gathering never fails: every source that
// cannot be read leaves its fallback value. On Windows the failed queries of the version, the
// network adapters, the display size, the memory and the user agent each print one diagnostic
// line "Platform::initailize: <message>" to standard output; elsewhere nothing is printed.
class Platform {
 public:
  // The process's record, gathered by the first call (concurrent first callers wait for it),
  // with `name` set from `type`. Immutable afterwards.
  static const Platform& Instance();

  // Fills the record from the running system. Instance() calls it once; tests build their own.
  void initailize();

  std::uint32_t type = 0;            // PlatformType: 2 on Windows, 6 on Linux
  std::string name;                  // PlatformTypeName(type), set by Instance()
  std::string userAgent;             // the system's default web user agent
  std::uint32_t osMajorVersion = 0;  // Windows version, or the kernel release on Linux
  std::uint32_t osMinorVersion = 0;
  std::uint32_t osBuildNumber = 0;
  std::string macAddress;         // "00-1A-2B-3C-4D-5E"; "00-00-00-00-00-00" when none
  std::string machineGuid;        // the installation's identifier; "ERROR" when unreadable
  std::string systemDescription;  // from the SMBIOS tables; empty when unreadable
  float displayWidthInches = 0;
  float displayHeightInches = 0;
  std::int32_t virtualScreenWidth = 0;  // pixels
  std::int32_t virtualScreenHeight = 0;
  std::uint32_t physicalMemoryMB = 0;  // MiB; 0 when unknown
};
