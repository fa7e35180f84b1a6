#include "server/releases.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <gtest/gtest.h>

#include "server/tests/testclient.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = std::filesystem;

using aus::server::BrokenRelease;
using aus::server::IgnoredEntry;
using aus::server::ParseReleaseFolder;
using aus::server::ReleaseLoadError;
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

// Files written by a test are younger than Releases::kSettleTime; a clock an hour ahead lets
// their digests be cached.
Releases::LoadOptions Settled() {
  Releases::LoadOptions options;
  options.now = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  return options;
}

std::vector<Version> Versions(const Releases& releases) {
  std::vector<Version> versions;
  for (const auto& [version, release] : releases.All()) versions.push_back(version);
  return versions;
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
    const char* why;
  } cases[] = {
      {"4.35.1906051200", Version{4, 35, 1906051200}, ""},
      {"0.0.0", Version{0, 0, 0}, ""},
      {"1.2", std::nullopt, "not named major.minor.revision"},
      {"1.2.3.4", std::nullopt, "not named major.minor.revision"},
      {"1.2.3 ", std::nullopt, "not named major.minor.revision"},
      {"v1.2.0", std::nullopt, "not named major.minor.revision"},
      {"01.2.3", std::nullopt, "a number has a leading zero"},
      {"1.02.0", std::nullopt, "a number has a leading zero"},
      {"-1.2.3", std::nullopt, "not named major.minor.revision"},
      {"+1.2.3", std::nullopt, "not named major.minor.revision"},
      {"1..3", std::nullopt, "not named major.minor.revision"},
      {"1.2.2147483648", std::nullopt, "a number is above 2147483647"},
      {"", std::nullopt, "not named major.minor.revision"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_EQ(ParseReleaseFolder(c.name, &why), c.version);
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(ParseReleaseFolder(c.name), c.version);
  }
}

TEST(ReleasesTest, ReusesCachedDigestsWhileTheStampIsUnchanged) {
  test_support::ScratchDir root;
  const auto file = root.path() / "1.0.0" / "data.bin";
  WriteFile(file, "original");
  Releases::Load(root.path(), Settled());
  const auto cacheFile = root.path() / Releases::kDigestCacheName;
  ASSERT_TRUE(std::filesystem::exists(cacheFile));

  // A planted digest is served as long as the file looks unchanged: proof it is not recomputed.
  std::string cache = ReadFile(cacheFile);
  const auto at = cache.find('\n') + 1;
  cache.replace(at, 64, std::string(64, 'a'));
  WriteFile(cacheFile, cache);
  EXPECT_EQ(Releases::Load(root.path(), Settled())->Latest()->files[0].hash,
            std::vector<unsigned char>(32, 0xaa));

  // Same size, new time: digested again.
  WriteFile(file, "replaced");
  std::filesystem::last_write_time(
      file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  EXPECT_EQ(Releases::Load(root.path(), Settled())->Latest()->files[0].hash, Sha256("replaced"));
}

TEST(ReleasesTest, AFileRewrittenWithTheSameSizeAndTimeIsDigestedAgain) {
  const struct {
    const char* name;
    bool byRename;  // as rsync -a does; otherwise in place, as a build may
  } cases[] = {{"in place", false}, {"replaced by rename", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::ScratchDir root;
    const auto file = root.path() / "1.0.0" / "data" / "sounds" / "sfx" / "s1.wav";
    const auto fixedTime = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
    WriteFile(file, "original");
    fs::last_write_time(file, fixedTime);
    ASSERT_EQ(Releases::Load(root.path(), Settled())->Latest()->files[0].hash, Sha256("original"));
    const auto before = aus::server::ReadFileStamp(file);
    ASSERT_TRUE(before);

    // The file system's clock ticks coarsely: rewrite until the change time shows the rewrite.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::optional<aus::server::FileStamp> after;
    do {
      if (c.byRename) {
        WriteFile(root.path() / "s1.wav.tmp", "replaced");
        fs::last_write_time(root.path() / "s1.wav.tmp", fixedTime);
        fs::rename(root.path() / "s1.wav.tmp", file);
      } else {
        WriteFile(file, "replaced");
        fs::last_write_time(file, fixedTime);
      }
      after = aus::server::ReadFileStamp(file);
      ASSERT_TRUE(after);
    } while (!c.byRename && after->changeTime == before->changeTime &&
             std::chrono::steady_clock::now() < deadline);
    ASSERT_EQ(after->size, before->size);
    ASSERT_EQ(after->modifiedTime, before->modifiedTime);
    ASSERT_FALSE(after == *before);

    EXPECT_EQ(Releases::Load(root.path(), Settled())->Latest()->files[0].hash, Sha256("replaced"));
  }
}

TEST(ReleasesTest, AFileChangedJustBeforeTheLoadIsNotCached) {
  test_support::ScratchDir root;
  WriteFile(root.path() / "1.0.0" / "fresh.bin", "fresh");
  const auto cacheFile = root.path() / Releases::kDigestCacheName;

  // Its change time may share the clock tick of a rewrite still to come.
  EXPECT_EQ(Releases::Load(root.path())->Latest()->files[0].hash, Sha256("fresh"));
  EXPECT_EQ(ReadFile(cacheFile).find("1.0.0/fresh.bin"), std::string::npos);

  Releases::Load(root.path(), Settled());
  EXPECT_NE(ReadFile(cacheFile).find("1.0.0/fresh.bin"), std::string::npos);
}

TEST(ReleasesTest, RehashIgnoresTheCache) {
  test_support::ScratchDir root;
  WriteFile(root.path() / "1.0.0" / "data.bin", "bytes");
  Releases::Load(root.path(), Settled());
  const auto cacheFile = root.path() / Releases::kDigestCacheName;
  std::string cache = ReadFile(cacheFile);
  cache.replace(cache.find('\n') + 1, 64, std::string(64, 'a'));
  WriteFile(cacheFile, cache);

  auto options = Settled();
  options.rehash = true;
  EXPECT_EQ(Releases::Load(root.path(), options)->Latest()->files[0].hash, Sha256("bytes"));
  // The cache is written again with the true digest.
  EXPECT_EQ(Releases::Load(root.path(), Settled())->Latest()->files[0].hash, Sha256("bytes"));
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

// Whether this process is kept out of a mode-000 file (root is not).
bool PermissionsApply(const fs::path& scratch) {
  const auto probe = scratch / "probe";
  WriteFile(probe, "x");
  fs::permissions(probe, fs::perms::none);
  const bool applies = !std::ifstream(probe).is_open();
  fs::remove(probe);
  return applies;
}

TEST(ReleasesTest, ABrokenReleaseStopsTheLoadOrIsUnavailableButNeverReplacedByAnOlderOne) {
  const struct {
    const char* name;
    // Breaks the release folder 1.1.0 of `root`.
    std::function<void(const fs::path& root)> breakIt;
    std::string file;          // to blame
    std::string reason;        // part of the reason
    bool permissions = false;  // made with permissions
  } cases[] = {
      {"a link to nothing",
       [](const fs::path& root) {
         fs::create_symlink("gone.txt", root / "1.1.0" / "data" / "locale" / "fr.txt");
       },
       "data/locale/fr.txt", "is a symbolic link to nothing"},
      {"a socket where a file is expected",
       [](const fs::path& root) {
         // A socket's path is short; bound beside the scratch folder, it is moved into place.
         const auto bound = fs::temp_directory_path() /
                            ("aus-" + std::to_string(std::random_device()()) + ".sock");
         fs::remove(bound);
         boost::asio::io_context io;
         boost::asio::local::stream_protocol::acceptor socket(
             io, boost::asio::local::stream_protocol::endpoint(bound.string()));
         fs::rename(bound, root / "1.1.0" / "data" / "locale" / "fr.txt");
       },
       "data/locale/fr.txt", "is not a regular file"},
      {"a folder where the manifest is expected",
       [](const fs::path& root) { fs::create_directories(root / "1.1.0" / "manifest" / "x"); },
       "manifest", "is not a regular file"},
      {"a manifest of another version",
       [](const fs::path& root) {
         WriteFile(root / "1.1.0" / "manifest", "[version]\nmajor=1\nminor=0\nrevision=0\n");
       },
       "manifest", "[version] 1.0.0, its folder 1.1.0"},
      {"a manifest that cannot be parsed",
       [](const fs::path& root) { WriteFile(root / "1.1.0" / "manifest", "[version]\nmajor=x\n"); },
       "manifest", "cannot be parsed"},
      {"a link to a folder that contains it",
       [](const fs::path& root) {
         fs::create_directory_symlink("..", root / "1.1.0" / "data" / "up");
       },
       "data/up", "links to a folder that contains it"},
      {"the version folder a link to nothing",
       [](const fs::path& root) {
         fs::remove_all(root / "1.1.0");
         fs::create_directory_symlink("gone", root / "1.1.0");
       },
       "", "'1.1.0' is a symbolic link to nothing"},
      // Permissions do not stop root, which CI runs as: these two run only for other users.
      {"a file that cannot be read",
       [](const fs::path& root) {
         WriteFile(root / "1.1.0" / "data" / "locale" / "fr.txt", "bonjour");
         fs::permissions(root / "1.1.0" / "data" / "locale" / "fr.txt", fs::perms::none);
       },
       "data/locale/fr.txt", "cannot read 'data/locale/fr.txt'", true},
      {"a folder that cannot be listed",
       [](const fs::path& root) {
         WriteFile(root / "1.1.0" / "data" / "locale" / "fr.txt", "bonjour");
         fs::permissions(root / "1.1.0" / "data" / "locale", fs::perms::none);
       },
       "data/locale", "cannot read 'data/locale'", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::ScratchDir root;
    if (c.permissions && !PermissionsApply(root.path())) continue;
    WriteFile(root.path() / "1.0.0" / "old.txt", "old");
    WriteFile(root.path() / "1.1.0" / "data" / "new.txt", "new");
    fs::create_directories(root.path() / "1.1.0" / "data" / "locale");
    c.breakIt(root.path());

    try {
      Releases::Load(root.path());
      ADD_FAILURE() << "loaded";
    } catch (const ReleaseLoadError& error) {
      ASSERT_EQ(error.broken.size(), 1u);
      EXPECT_EQ(error.broken[0].version, (Version{1, 1, 0}));
      EXPECT_EQ(error.broken[0].file, c.file);
      EXPECT_NE(error.broken[0].reason.find(c.reason), std::string::npos) << error.broken[0].reason;
      EXPECT_EQ(std::string(error.what()).rfind("release 1.1.0 cannot be served: ", 0), 0u)
          << error.what();
    }

    Releases::LoadOptions skip;
    skip.skipBroken = true;
    const auto releases = Releases::Load(root.path(), skip);
    EXPECT_EQ(releases->Latest(), nullptr);
    ASSERT_NE(releases->LatestUnavailable(), nullptr);
    EXPECT_EQ(releases->LatestUnavailable()->version, (Version{1, 1, 0}));
    EXPECT_EQ(releases->LatestUnavailable()->file, c.file);
    EXPECT_NE(releases->FindUnavailable({1, 1, 0}), nullptr);
    EXPECT_EQ(releases->Find({1, 1, 0}), nullptr);
    EXPECT_EQ(Versions(*releases), (std::vector<Version>{{1, 0, 0}}));
    if (c.permissions) fs::permissions(root.path() / "1.1.0" / "data" / "locale", fs::perms::all);
  }
}

TEST(ReleasesTest, EveryBrokenReleaseIsNamedAndAnOlderBrokenOneDoesNotHideTheLatest) {
  test_support::ScratchDir root;
  WriteFile(root.path() / "1.0.0" / "manifest", "[version]\nmajor=9\nminor=0\nrevision=0\n");
  WriteFile(root.path() / "1.1.0" / "a.txt", "a");
  WriteFile(root.path() / "1.2.0" / "b.txt", "b");
  fs::create_symlink("gone", root.path() / "1.2.0" / "c.txt");

  try {
    Releases::Load(root.path());
    ADD_FAILURE() << "loaded";
  } catch (const ReleaseLoadError& error) {
    ASSERT_EQ(error.broken.size(), 2u);
    EXPECT_EQ(error.broken[0].version, (Version{1, 0, 0}));
    EXPECT_EQ(error.broken[1].version, (Version{1, 2, 0}));
    EXPECT_EQ(error.broken[1].file, "c.txt");
    const std::string text = error.what();
    EXPECT_NE(text.find("release 1.0.0 cannot be served"), std::string::npos) << text;
    EXPECT_NE(text.find("release 1.2.0 cannot be served"), std::string::npos) << text;
  }

  // Fixing the newest makes it the latest; the broken 1.0.0 stays unavailable, alone.
  fs::remove(root.path() / "1.2.0" / "c.txt");
  Releases::LoadOptions skip;
  skip.skipBroken = true;
  const auto releases = Releases::Load(root.path(), skip);
  ASSERT_NE(releases->Latest(), nullptr);
  EXPECT_EQ(releases->Latest()->version, (Version{1, 2, 0}));
  EXPECT_EQ(releases->LatestUnavailable(), nullptr);
  EXPECT_NE(releases->FindUnavailable({1, 0, 0}), nullptr);
  EXPECT_EQ(Versions(*releases), (std::vector<Version>{{1, 1, 0}, {1, 2, 0}}));
}

TEST(ReleasesTest, LogsEveryEntryNotTakenAsAReleaseAndFollowsLinkedVersionFolders) {
  test_support::ScratchDir root;
  for (const char* folder : {"1.0.0", "1.1", "v1.2.0", "1.02.0", "latest", "1.2.2147483648"}) {
    WriteFile(root.path() / folder / "f", folder);
  }
  WriteFile(root.path() / "builds" / "b13" / "game.bin", "thirteen");
  WriteFile(root.path() / "builds" / "b13" / "manifest",
            "[version]\nmajor=1\nminor=3\nrevision=0\n");
  fs::create_directory_symlink("builds/b13", root.path() / "1.3.0");
  fs::create_directory_symlink("nowhere", root.path() / "old");
  WriteFile(root.path() / "README", "notes");
  WriteFile(root.path() / "2.0.0", "a file, not a folder");
  // A release being published, and a digest cache being saved, are passed over in silence.
  WriteFile(root.path() / ".aus-publish-1.4.0" / "1.4.0" / "f", "half copied");
  WriteFile(root.path() / ".aus-digests.tmp1234", "aus-digests 2\n");

  testing::internal::CaptureStdout();
  const auto releases = Releases::Load(root.path());
  const std::string log = testing::internal::GetCapturedStdout();

  EXPECT_EQ(releases->Ignored(),
            (std::vector<IgnoredEntry>{{"1.02.0", "a number has a leading zero"},
                                       {"1.1", "not named major.minor.revision"},
                                       {"1.2.2147483648", "a number is above 2147483647"},
                                       {"2.0.0", "not a folder"},
                                       {"README", "not a folder"},
                                       {"builds", "not named major.minor.revision"},
                                       {"latest", "not named major.minor.revision"},
                                       {"old", "a symbolic link to nothing"},
                                       {"v1.2.0", "not named major.minor.revision"}}));
  for (const auto& ignored : releases->Ignored()) {
    SCOPED_TRACE(ignored.name);
    EXPECT_NE(log.find("'" + ignored.name + "' is not a release: " + ignored.reason),
              std::string::npos)
        << log;
  }
  EXPECT_EQ(log.find(Releases::kDigestCacheName), std::string::npos) << log;
  EXPECT_EQ(log.find(Releases::kStagingPrefix), std::string::npos) << log;

  EXPECT_EQ(Versions(*releases), (std::vector<Version>{{1, 0, 0}, {1, 3, 0}}));
  ASSERT_NE(releases->Latest(), nullptr);
  EXPECT_EQ(Listing(*releases->Latest()),
            (std::vector<Listed>{{0, "game.bin", true}, {1, "manifest", true}}));
  EXPECT_EQ(releases->Latest()->files[0].hash, Sha256("thirteen"));
}

TEST(ReleasesTest, LinkedFoldersInsideAReleaseAreFollowed) {
  test_support::ScratchDir root;
  WriteFile(root.path() / "1.0.0" / "data" / "big.pak", "shared");
  WriteFile(root.path() / "1.1.0" / "bin" / "Kolvex.exe", "game");
  fs::create_directory_symlink("../1.0.0/data", root.path() / "1.1.0" / "data");

  const auto releases = Releases::Load(root.path());
  ASSERT_NE(releases->Latest(), nullptr);
  EXPECT_EQ(Listing(*releases->Latest()),
            (std::vector<Listed>{{0, "bin/Kolvex.exe", true}, {1, "data/big.pak", true}}));
  EXPECT_EQ(releases->Latest()->files[1].hash, Sha256("shared"));
}

}  // namespace
