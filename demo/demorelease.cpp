#include "demo/demorelease.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/taln/db/versiontext.h"

namespace demo {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// A pseudo-random file: its bytes depend on the seed, its path and its revision only.
struct RandomFile {
  const char* path;
  std::uint64_t size;
  int firstRelease;
  bool changesEveryRelease;
};

// Sizes straddle the 2 MiB download range: 5 MiB plus a tail, exactly one byte over, and below.
constexpr RandomFile kRandomFiles[] = {
    {"data/packs/world.pak", 5 * kMiB + 12345, 1, false},
    {"data/packs/maps/level01.map", 700 * 1024, 1, false},
    {"data/packs/maps/level02.map", 3 * kMiB / 2, 1, true},
    {"data/packs/maps/level03.map", 2 * kMiB + 1, 2, false},
    {"data/sounds/ui/click.wav", 48 * 1024, 1, false},
    {kOptionalFile, kMiB, 1, false},
};

// FNV-1a, so that the seed of a file does not depend on the standard library's std::hash.
std::uint64_t Mix(std::uint64_t hash, const std::string& text) {
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) {
    throw fs::filesystem_error("cannot write", path, std::make_error_code(std::errc::io_error));
  }
}

// mt19937_64's sequence is fixed by the standard; the words are stored little-endian so the
// bytes do not depend on the machine either.
void WriteRandom(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::string bytes(size, '\0');
  for (std::uint64_t at = 0; at < size; at += 8) {
    std::uint64_t word = engine();
    for (std::uint64_t i = at; i < std::min(size, at + 8); ++i, word >>= 8) {
      bytes[i] = static_cast<char>(word & 0xFF);
    }
  }
  WriteText(path, bytes);
}

std::string ManifestText(const Version& version) {
  return "# Demo release " + FormatVersion(version) +
         "\n[version]\nmajor=" + std::to_string(version.major) +
         "\nminor=" + std::to_string(version.minor) +
         "\nrevision=" + std::to_string(version.revision) +
         "\n[deploy]\noptional=" + kOptionalFile + "\n";
}

}  // namespace

Version ReleaseVersion(int number) {
  if (number < 1) throw std::invalid_argument("release numbers start at 1");
  return Version{1, number - 1, 0};
}

fs::path WriteRelease(const fs::path& releases, int number, std::uint64_t seed,
                      const std::optional<fs::path>& game) {
  const Version version = ReleaseVersion(number);
  const std::string versionText = FormatVersion(version);
  const fs::path folder = releases / versionText;
  fs::remove_all(folder);
  fs::create_directories(folder);

  WriteText(folder / "manifest", ManifestText(version));
  WriteText(folder / "README.txt", "Kolvex demo release " + versionText + "\nGenerated with seed " +
                                       std::to_string(seed) + ".\n");
  WriteText(folder / "data/config/game.cfg", "[game]\nversion=" + versionText +
                                                 "\nworld=data/packs/world.pak\nlevels=" +
                                                 std::to_string(number == 1 ? 2 : 3) + "\n");
  for (const auto& file : kRandomFiles) {
    if (number < file.firstRelease) continue;
    const int revision = file.changesEveryRelease ? number : 1;
    const std::uint64_t fileSeed = Mix(Mix(0xcbf29ce484222325ULL, std::to_string(seed)),
                                       std::string(file.path) + "#" + std::to_string(revision));
    WriteRandom(folder / file.path, file.size, fileSeed);
  }
  if (game) {
    fs::create_directories(folder / "bin");
    fs::copy_file(*game, folder / "bin/Kolvex.exe", fs::copy_options::overwrite_existing);
  }
  return folder;
}

}  // namespace demo
