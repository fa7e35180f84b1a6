#include "server/releases.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/tests/testclient.h"
#include "tests/support/scratchdir.h"

namespace {

using aus::server::ParseReleaseFolder;
using aus::server::Releases;
using aus::server::testing::Sha256;
using test_support::ReadFile;
using test_support::WriteFile;

struct Listed {
  std::uint16_t index;
  std::string name;
  bool required;
  friend bool operator==(const Listed&, const Listed&) = default;
};

std::vector<Listed> Listing(const aus::server::Release& release) {
  std::vector<Listed> listed;
  for (const auto& file : release.files) listed.push_back({file.index, file.name, file.required});
  return listed;
}

TEST(ReleasesTest, ListsRegularFilesSortedWithOptionalOnesFromTheManifest) {
  test_support::ScratchDir root;
  const auto release = root.path() / "2.0.0";
  WriteFile(release / "b.bin", "bee");
  WriteFile(release / "a" / "x.txt", "ex");
  WriteFile(release / "music" / "theme.ogg", "la");
  WriteFile(release / "manifest",
            "[version]\nmajor=2\nminor=0\nrevision=0\n"
            "[deploy]\noptional=a\\x.txt\noptional=music/theme.ogg\n");
  WriteFile(release / "Update.db", "not served");
  WriteFile(release / "CefCache" / "c.dat", "not served");
  WriteFile(release / "a" / "CefCache" / "d.dat", "not served");

  const auto releases = Releases::Load(root.path());
  const auto* latest = releases->Latest();
  ASSERT_NE(latest, nullptr);
  EXPECT_EQ(Listing(*latest), (std::vector<Listed>{{0, "a/x.txt", false},
                                                   {1, "b.bin", true},
                                                   {2, "manifest", true},
                                                   {3, "music/theme.ogg", false}}));
  for (const auto& file : latest->files) {
    SCOPED_TRACE(file.name);
    const std::string contents = ReadFile(file.path);
    EXPECT_EQ(file.size, contents.size());
    EXPECT_EQ(file.hash, Sha256(contents));
  }
  EXPECT_EQ(latest->Find("a\\x.txt"), &latest->files[0]);
  EXPECT_EQ(latest->Find("Update.db"), nullptr);
}

TEST(ReleasesTest, OnlyVersionFoldersAreReleasesAndTheHighestIsLatest) {
  test_support::ScratchDir root;
  for (const char* folder : {"9.0.0", "10.0.0", "1.2", "latest", "01.2.3"}) {
    WriteFile(root.path() / folder / "f", folder);
  }
  WriteFile(root.path() / "11.0.0", "a file, not a folder");

  const auto releases = Releases::Load(root.path());
  std::vector<Version> versions;
  for (const auto& [version, release] : releases->All()) versions.push_back(version);
  EXPECT_EQ(versions, (std::vector<Version>{{9, 0, 0}, {10, 0, 0}}));
  EXPECT_EQ(releases->Latest()->version, (Version{10, 0, 0}));
  EXPECT_NE(releases->Find({9, 0, 0}), nullptr);
  EXPECT_EQ(releases->Find({9, 0, 1}), nullptr);
}

TEST(ReleasesTest, ParsesOnlyCanonicalVersionFolderNames) {
  const struct {
    const char* name;
    std::optional<Version> version;
  } cases[] = {
      {"4.35.1906051200", Version{4, 35, 1906051200}},
      {"0.0.0", Version{0, 0, 0}},
      {"1.2", std::nullopt},
      {"1.2.3.4", std::nullopt},
      {"1.2.3 ", std::nullopt},
      {"01.2.3", std::nullopt},
      {"-1.2.3", std::nullopt},
      {"+1.2.3", std::nullopt},
      {"1..3", std::nullopt},
      {"1.2.2147483648", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseReleaseFolder(c.name), c.version);
  }
}

TEST(ReleasesTest, ReusesCachedDigestsWhileSizeAndTimeAreUnchanged) {
  test_support::ScratchDir root;
  const auto file = root.path() / "1.0.0" / "data.bin";
  WriteFile(file, "original");
  Releases::Load(root.path());
  const auto cacheFile = root.path() / Releases::kDigestCacheName;
  ASSERT_TRUE(std::filesystem::exists(cacheFile));

  // A planted digest is served as long as the file looks unchanged: proof it is not recomputed.
  std::string cache = ReadFile(cacheFile);
  const auto at = cache.find('\n') + 1;
  cache.replace(at, 64, std::string(64, 'a'));
  WriteFile(cacheFile, cache);
  EXPECT_EQ(Releases::Load(root.path())->Latest()->files[0].hash,
            std::vector<unsigned char>(32, 0xaa));

  // Same size, new time: digested again.
  WriteFile(file, "replaced");
  std::filesystem::last_write_time(
      file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  EXPECT_EQ(Releases::Load(root.path())->Latest()->files[0].hash, Sha256("replaced"));
}

TEST(ReleasesTest, DamagedCacheIsIgnored) {
  test_support::ScratchDir root;
  WriteFile(root.path() / "1.0.0" / "data.bin", "bytes");
  for (const char* cache : {"garbage", "aus-digests 1\nzz 5 1 1.0.0/data.bin\n", ""}) {
    SCOPED_TRACE(cache);
    WriteFile(root.path() / Releases::kDigestCacheName, cache);
    EXPECT_EQ(Releases::Load(root.path())->Latest()->files[0].hash, Sha256("bytes"));
  }
}

TEST(ReleasesTest, RootMustBeADirectory) {
  test_support::ScratchDir root;
  EXPECT_EQ(Releases::Load(root.path())->Latest(), nullptr);
  WriteFile(root.path() / "file", "x");
  EXPECT_THROW(Releases::Load(root.path() / "file"), std::runtime_error);
  EXPECT_THROW(Releases::Load(root.path() / "missing"), std::runtime_error);
}

}  // namespace
