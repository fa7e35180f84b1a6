#include "demo/demorelease.h"

#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "package/taln/db/updatedb.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;

constexpr std::uint64_t kTwoMiB = 2 * 1024 * 1024;

// Every file under `folder` by relative path, with its bytes.
std::map<std::string, std::string> Contents(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[entry.path().lexically_relative(folder).generic_string()] = ReadFile(entry.path());
    }
  }
  return files;
}

taln::UpdateDB Scanned(const fs::path& folder) {
  taln::UpdateDB db{boost::filesystem::path(folder.string())};
  db.Scan();
  return db;
}

class DemoReleaseTest : public ::testing::Test {
 protected:
  DemoReleaseTest() { test_support::WriteFile(game_, "game client bytes"); }

  fs::path Write(const fs::path& releases, int number, std::uint64_t seed = demo::kDefaultSeed) {
    return demo::WriteRelease(releases, number, seed, game_);
  }

  test_support::ScratchDir scratch_;
  fs::path game_ = scratch_.path() / "Kolvex.exe";
};

TEST_F(DemoReleaseTest, SameSeedGivesTheSameBytesAnotherSeedOtherBytes) {
  test_support::ScratchDir first, second, reseeded;
  const auto bytes = Contents(Write(first.path(), 2));
  EXPECT_EQ(bytes, Contents(Write(second.path(), 2)));
  const auto other = Contents(Write(reseeded.path(), 2, demo::kDefaultSeed + 1));
  EXPECT_NE(bytes.at("data/packs/world.pak"), other.at("data/packs/world.pak"));
  EXPECT_EQ(bytes.at("manifest"), other.at("manifest"));

  // Writing again replaces the folder rather than adding to it.
  test_support::WriteFile(first.path() / "1.1.0/stale.txt", "x");
  EXPECT_EQ(Contents(Write(first.path(), 2)), bytes);
}

TEST_F(DemoReleaseTest, ReleaseIsWhatTheLauncherExpects) {
  const auto folder = Write(scratch_.path() / "releases", 2);
  EXPECT_EQ(folder, scratch_.path() / "releases/1.1.0");
  auto db = Scanned(folder);
  const Version& version = db.ManifestVersion();
  EXPECT_EQ(std::tie(version.major, version.minor, version.revision), std::make_tuple(1, 1, 0));

  bool large = false, small = false;
  for (const auto& item : db) {
    SCOPED_TRACE(item.name);
    EXPECT_EQ(item.required, item.name != demo::kOptionalFile);
    large = large || item.size > kTwoMiB;
    small = small || (item.size > 0 && item.size < kTwoMiB);
  }
  EXPECT_TRUE(large && small);
  EXPECT_TRUE(db.Contains("data/packs/maps/level01.map"));
  EXPECT_EQ(ReadFile(folder / "bin/Kolvex.exe"), "game client bytes");
}

TEST_F(DemoReleaseTest, NextReleaseChangesOnlyTheNamedFiles) {
  const auto releases = scratch_.path() / "releases";
  const auto first = Scanned(Write(releases, 1));
  const auto second = Scanned(Write(releases, 2));
  std::set<std::string> changed;
  for (const auto& item : taln::UpdateDB::Diff(second, first)) changed.insert(item.name);
  EXPECT_EQ(changed, (std::set<std::string>{"README.txt", "data/config/game.cfg",
                                            "data/packs/maps/level02.map",
                                            "data/packs/maps/level03.map", "manifest"}));
}

TEST_F(DemoReleaseTest, RejectsReleaseZeroAndAMissingGame) {
  EXPECT_THROW(Write(scratch_.path(), 0), std::invalid_argument);
  EXPECT_THROW(demo::WriteRelease(scratch_.path(), 1, 1, scratch_.path() / "absent"),
               fs::filesystem_error);
}

}  // namespace
