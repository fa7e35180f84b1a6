#include "package/platform/platform.h"

// winsock2.h must come before windows.h, which the others need first.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <setupapi.h>
#include <urlmon.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "package/platform/platformfacts.h"

namespace {

using platform::SizeMm;

// One line on standard output, the thread's last error in place of %1%.
void Diagnose(const char* message) {
  const unsigned long error = GetLastError();
  std::string text = message;
  const std::size_t placeholder = text.find("%1%");
  if (placeholder != std::string::npos) text.replace(placeholder, 3, std::to_string(error));
  std::printf("%s: %s\n", "Platform::initailize", text.c_str());
  std::fflush(stdout);
}

struct WindowsVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
};

WindowsVersion QueryVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = 148;
  static_assert(sizeof info == 148);
  if (!GetVersionExA(&info)) {
    Diagnose("::GetVersionEx failed. Last error: %1%");
    return {};
  }
  return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
}

std::string QueryMacAddress() {
  constexpr int kMaxCalls = 4;
  ULONG size = 15000;
  std::unique_ptr<std::uint64_t[]> buffer;  // 8-byte aligned, as the adapter records need
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int call = 0; call < kMaxCalls && result == ERROR_BUFFER_OVERFLOW; ++call) {
    buffer.reset(new (std::nothrow) std::uint64_t[size / 8 + 1]);
    if (!buffer) break;
    result = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  std::vector<platform::NetworkAdapter> adapters;
  if (buffer && result == NO_ERROR) {
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()); adapter != nullptr;
         adapter = adapter->Next) {
      const std::size_t length =
          std::min<std::size_t>(adapter->PhysicalAddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
      adapters.push_back({adapter->OperStatus == IfOperStatusUp,
                          false,
                          {adapter->PhysicalAddress, adapter->PhysicalAddress + length}});
    }
  }
  const std::string text = platform::FirstMacAddress(adapters);
  if (text == platform::kNoMacAddress) Diagnose("GetMACAddressMSW failed. Last error: %1%");
  return text;
}

std::string QueryMachineGuid() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\MICROSOFT\\Cryptography", 0,
                    KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return "ERROR";
  }
  wchar_t buffer[512];
  DWORD size = sizeof buffer;
  const LONG result = RegQueryValueExW(key, L"MachineGuid", nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "ERROR";
  // The stored text need not end with a NUL: only the bytes the registry returned count.
  std::string text;
  for (DWORD i = 0; i < size / sizeof(wchar_t) && buffer[i] != 0; ++i) {
    text += static_cast<char>(buffer[i] & 0xFF);
  }
  return text;
}

std::string QuerySystemDescription() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\mssmbios\\Data", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return "";
  }
  DWORD type = 0;
  DWORD size = 0;
  std::vector<std::uint8_t> block;
  if (RegQueryValueExA(key, "SMBiosData", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_BINARY && size != 0) {
    try {
      block.resize(size);
    } catch (const std::bad_alloc&) {
      block.clear();
    }
    if (!block.empty() &&
        RegQueryValueExA(key, "SMBiosData", nullptr, &type, block.data(), &size) == ERROR_SUCCESS) {
      block.resize(std::min<std::size_t>(size, block.size()));
    } else {
      block.clear();
    }
  }
  RegCloseKey(key);
  return platform::SystemDescriptionFromRawBlock(block);
}

// The size in the first "EDID" value of a monitor's device key; nothing when it has none.
std::optional<SizeMm> ReadEdidValue(HKEY key) {
  std::vector<std::uint8_t> data(32768);  // the largest EDID, all extension blocks included
  for (DWORD index = 0;; ++index) {
    char name[128];
    DWORD nameSize = sizeof name;
    DWORD dataSize = static_cast<DWORD>(data.size());
    const LONG result =
        RegEnumValueA(key, index, name, &nameSize, nullptr, nullptr, data.data(), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) return std::nullopt;
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) return std::nullopt;
    if (result == ERROR_SUCCESS && std::string(name, nameSize) == "EDID") {
      return platform::EdidSize({data.data(), std::min<std::size_t>(dataSize, data.size())});
    }
  }
}

// Every present monitor is visited: the last one whose key opens decides.
std::optional<SizeMm> SearchEdid() {
  static const GUID kMonitorClass = {
      0x4D36E96E, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  const HDEVINFO devices = SetupDiGetClassDevsExA(&kMonitorClass, nullptr, nullptr, DIGCF_PRESENT,
                                                  nullptr, nullptr, nullptr);
  if (devices == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<SizeMm> size;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    const HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    size = ReadEdidValue(key);
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return size;
}

SizeMm DeviceContextSize(const char* adapter) {
  const HDC context = CreateDCA("DISPLAY", adapter, nullptr, nullptr);
  if (context == nullptr) return {};
  const SizeMm size{static_cast<unsigned>(GetDeviceCaps(context, HORZSIZE)),
                    static_cast<unsigned>(GetDeviceCaps(context, VERTSIZE))};
  DeleteDC(context);
  return size;
}

SizeMm QueryDisplaySize() {
  constexpr DWORD kActive = 0x1;
  constexpr DWORD kMirroring = 0x8;
  SizeMm size;
  DISPLAY_DEVICEA adapter{};
  adapter.cb = sizeof adapter;
  for (DWORD a = 0; EnumDisplayDevicesA(nullptr, a, &adapter, 0); ++a) {
    DISPLAY_DEVICEA monitor{};
    monitor.cb = sizeof monitor;
    for (DWORD m = 0; EnumDisplayDevicesA(adapter.DeviceName, m, &monitor, 0); ++m) {
      if ((monitor.StateFlags & kActive) == 0 || (monitor.StateFlags & kMirroring) != 0) continue;
      const std::optional<SizeMm> edid = SearchEdid();
      size = edid.value_or(SizeMm{});
      if (size == SizeMm{}) size = DeviceContextSize(adapter.DeviceName);
      if (edid) return size;
    }
  }
  return size;
}

std::uint32_t QueryPhysicalMemoryMB() {
  MEMORYSTATUSEX status{};
  status.dwLength = 64;
  static_assert(sizeof status == 64);
  if (!GlobalMemoryStatusEx(&status)) {
    Diagnose("GlobalMemoryStatusEx failed %1%");
    return 0;
  }
  return static_cast<std::uint32_t>(status.ullTotalPhys >> 20);
}

std::string QueryUserAgent() {
  char buffer[512] = {};
  DWORD size = sizeof buffer;
  if (ObtainUserAgentString(0, buffer, &size) != S_OK) {
    Diagnose("::ObtainUserAgentString failed. Last error: %1%");
    return "Mozilla/5.0 (Windows NT 5.1)";
  }
  buffer[sizeof buffer - 1] = 0;
  return buffer;
}

}  // namespace

void Platform::initailize() {
  type = platform::kPlatformWindowsNt;
  const WindowsVersion version = QueryVersion();
  macAddress = QueryMacAddress();
  machineGuid = QueryMachineGuid();
  osMajorVersion = version.major;
  osMinorVersion = version.minor;
  osBuildNumber = version.build;
  systemDescription = QuerySystemDescription();

  const SizeMm size = QueryDisplaySize();
  if (size == SizeMm{}) Diagnose("GetMonitorPhysicalSizes failed %1%");
  displayWidthInches = platform::MillimetresToInches(size.width);
  displayHeightInches = platform::MillimetresToInches(size.height);
  virtualScreenWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  virtualScreenHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  physicalMemoryMB = QueryPhysicalMemoryMB();
  userAgent = QueryUserAgent();
}
