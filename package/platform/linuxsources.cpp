#include "package/platform/linuxsources.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> bytes;
  for (char c; bytes.size() < kMaxSourceBytes && in.get(c);)
    bytes.push_back(static_cast<std::uint8_t>(c));
  return bytes;
}

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  for (char c; line.size() < kMaxSourceBytes && in.get(c) && c != '\n';) line += c;
  return line;
}

// "00:1a:2b:3c:4d:5e"; empty when the text is not such an address.
std::vector<std::uint8_t> ParseHardwareAddress(const std::string& text) {
  std::vector<std::uint8_t> address;
  std::istringstream in(text);
  for (std::string group; std::getline(in, group, ':');) {
    if (group.size() != 2 || !std::isxdigit(static_cast<unsigned char>(group[0])) ||
        !std::isxdigit(static_cast<unsigned char>(group[1]))) {
      return {};
    }
    address.push_back(static_cast<std::uint8_t>(std::stoi(group, nullptr, 16)));
  }
  return address;
}

std::vector<fs::path> SortedEntries(const fs::path& directory) {
  std::error_code error;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace

std::string ReadMacAddress(const fs::path& classNet) {
  constexpr unsigned long kLoopbackFlag = 0x8;  // IFF_LOOPBACK
  std::vector<std::pair<long, NetworkAdapter>> indexed;
  for (const auto& interface : SortedEntries(classNet)) {
    NetworkAdapter adapter;
    adapter.up = ReadLine(interface / "operstate") == "up";
    adapter.loopback =
        (std::strtoul(ReadLine(interface / "flags").c_str(), nullptr, 0) & kLoopbackFlag) != 0;
    adapter.address = ParseHardwareAddress(ReadLine(interface / "address"));
    indexed.emplace_back(std::strtol(ReadLine(interface / "ifindex").c_str(), nullptr, 10),
                         std::move(adapter));
  }
  std::stable_sort(indexed.begin(), indexed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<NetworkAdapter> adapters;
  for (auto& entry : indexed) adapters.push_back(std::move(entry.second));
  return FirstMacAddress(adapters);
}

std::string ReadMachineId(const fs::path& file) {
  const std::string id = ReadLine(file);
  return id.empty() ? "ERROR" : id;
}

std::string ReadSystemDescription(const fs::path& file) {
  return SystemDescription(ReadBytes(file));
}

std::optional<SizeMm> ReadEdidSize(const fs::path& drm) {
  for (const auto& connector : SortedEntries(drm)) {
    const auto size = EdidSize(ReadBytes(connector / "edid"));
    if (size && (size->width != 0 || size->height != 0)) return size;
  }
  return std::nullopt;
}

KernelVersion ParseKernelRelease(const std::string& release) {
  KernelVersion version;
  std::sscanf(release.c_str(), "%u.%u.%u", &version.major, &version.minor, &version.build);
  return version;
}

}  // namespace platform
