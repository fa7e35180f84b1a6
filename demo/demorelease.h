#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "package/network/protocol/version.h"

// The demo releases: what the demo's update server offers, generated instead of committed.
namespace demo {

inline constexpr std::uint64_t kDefaultSeed = 20261209;
inline constexpr const char* kOptionalFile = "video/intro.bik";

// Release number n (1, 2, ...) is version 1.(n-1).0.
Version ReleaseVersion(int number);

// Writes release `number` into releases/"major.minor.revision"/ (replacing what is there) and
// returns that folder. Its files, the same bytes for the same seed and number on every machine:
// "manifest" (the version, kOptionalFile as optional), "README.txt", bin/"Kolvex.exe" (a copy of
// `game`, left out when none is given), and under data/ and video/ pseudo-random files from
// 48 KiB to 5 MiB in nested folders. From one release to the next "manifest", "README.txt",
// data/config/game.cfg and data/packs/maps/level02.map change; release 2 adds
// data/packs/maps/level03.map; the rest stays the same.
// Throws std::invalid_argument for a number below 1, std::filesystem::filesystem_error when a
// file cannot be written or `game` cannot be copied.
std::filesystem::path WriteRelease(const std::filesystem::path& releases, int number,
                                   std::uint64_t seed,
                                   const std::optional<std::filesystem::path>& game);

}  // namespace demo
