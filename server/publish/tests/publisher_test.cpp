#include "server/publish/publisher.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/signing/releasesignature.h"
#include "package/signing/signingkey.h"
#include "server/releases.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = std::filesystem;

using aus::publish::CheckBuild;
using aus::publish::Publish;
using aus::publish::PublishError;
using aus::publish::PublishOptions;
using aus::server::Releases;
using test_support::ReadFile;
using test_support::WriteFile;

// Files written by a test are younger than Releases::kSettleTime; a clock an hour ahead lets
// Publish cache their digests without waiting.
std::chrono::system_clock::time_point HourAhead() {
  return std::chrono::system_clock::now() + std::chrono::hours(1);
}

// Entries of a folder, relative with '/', sorted; "name/" for folders.
std::vector<std::string> Tree(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    names.push_back(entry.path().lexically_relative(folder).generic_string() +
                    (entry.is_directory() ? "/" : ""));
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CheckBuildTest, RefusesNamingEveryOffendingPath) {
  const struct {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> optional;
    std::vector<std::string> paths;  // expected in the error, in any order
    std::string text;                // part of what()
  } cases[] = {
      {"files differing in case",
       {"bin/Game.exe", "bin/game.exe", "ok.txt"},
       {},
       {"bin/Game.exe", "bin/game.exe"},
       "'bin/Game.exe' and 'bin/game.exe' differ only in letter case"},
      {"folders differing in case",
       {"Data/a.txt", "data/b.txt"},
       {},
       {"Data", "data"},
       "collide on Windows"},
      {"download name beside",
       {"bin/game.exe", "bin/game.exe.upd"},
       {},
       {"bin/game.exe", "bin/game.exe.upd"},
       "'bin/game.exe.upd' stands beside 'bin/game.exe'"},
      {"backup name beside, other case",
       {"a.txt", "A.TXT.$$$"},
       {},
       {"a.txt", "A.TXT.$$$"},
       "'A.TXT.$$$' stands beside 'a.txt'"},
      {"backslash", {"a\\..\\..\\evil"}, {}, {"a\\..\\..\\evil"}, "holds '\\'"},
      {"line break", {"a\nb"}, {}, {"a\nb"}, "line break"},
      {"drive-qualified", {"C:evil"}, {}, {"C:evil"}, "unsafe name 'C:evil'"},
      {"manifest of its own", {"manifest", "a"}, {}, {"manifest"}, "writes the release's manifest"},
      {"signature of its own",
       {"Release.sig", "a"},
       {},
       {"Release.sig"},
       "writes the release's signature"},
      {"the launcher's release record",
       {"release.state", "a"},
       {},
       {"release.state"},
       "the launcher keeps its record of the installed release there"},
      {"optional file missing",
       {"a"},
       {"video\\intro.bik"},
       {"video/intro.bik"},
       "optional 'video/intro.bik'"},
      {"no files", {}, {}, {"."}, "no files"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::ScratchDir build;
    fs::create_directories(build.path());
    for (const auto& file : c.files) WriteFile(build.path() / file, "x");
    try {
      CheckBuild(build.path(), c.optional);
      ADD_FAILURE() << "accepted";
    } catch (const PublishError& error) {
      EXPECT_NE(std::string(error.what()).find(c.text), std::string::npos) << error.what();
      for (const auto& path : c.paths) {
        EXPECT_NE(std::find(error.paths.begin(), error.paths.end(), path), error.paths.end())
            << path;
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << path;
      }
    }
  }
}

TEST(CheckBuildTest, NamesEveryProblemAtOnce) {
  test_support::ScratchDir build;
  WriteFile(build.path() / "A.txt", "x");
  WriteFile(build.path() / "a.txt", "x");
  WriteFile(build.path() / "b.dll", "x");
  WriteFile(build.path() / "b.dll.upd", "x");
  fs::create_symlink(build.path() / "missing", build.path() / "dangling");
  fs::create_directory_symlink(build.path(), build.path() / "loop");
  try {
    CheckBuild(build.path(), {});
    FAIL() << "accepted";
  } catch (const PublishError& error) {
    const std::string what = error.what();
    for (const char* part : {"'A.txt' and 'a.txt'", "'b.dll.upd' stands beside 'b.dll'",
                             "'dangling' is a symbolic link to nothing",
                             "'loop' links to a folder that contains it"}) {
      EXPECT_NE(what.find(part), std::string::npos) << part << " in " << what;
    }
  }
}

TEST(CheckBuildTest, AcceptsNamesThatOnlyLookAlike) {
  test_support::ScratchDir build;
  for (const char* file : {"a.upd", "b", "b.update", "c.$$", "sub/c.txt", "CefCache/x", "Update.db",
                           "data/Update.db"}) {
    WriteFile(build.path() / file, "x");
  }
  EXPECT_EQ(
      CheckBuild(build.path(), {"sub\\c.txt"}),
      (std::vector<std::string>{"a.upd", "b", "b.update", "c.$$", "data/Update.db", "sub/c.txt"}));
}

TEST(CheckBuildTest, RefusesMoreFilesThanCanBeListed) {
  // The limit is what 16-bit indexes can number; a small one here keeps the test quick.
  static_assert(aus::publish::kMaxFiles == 65536);
  test_support::ScratchDir build;
  for (int i = 0; i < 4; ++i) WriteFile(build.path() / "sub" / std::to_string(i), "x");
  EXPECT_EQ(CheckBuild(build.path(), {}, 4).size(), 4u);
  WriteFile(build.path() / "4", "x");
  try {
    CheckBuild(build.path(), {}, 4);
    FAIL() << "accepted";
  } catch (const PublishError& error) {
    EXPECT_NE(std::string(error.what()).find("more than 4 files"), std::string::npos);
  }
}

class PublishTest : public ::testing::Test {
 protected:
  PublishTest() {
    WriteFile(build_.path() / "bin" / "Kolvex.exe", "game");
    WriteFile(build_.path() / "bin" / "launcher.exe", "launcher");
    WriteFile(build_.path() / "video" / "intro.bik", std::string(100000, 'v'));
    fs::create_directories(releases_.path());
    options_.releases = releases_.path();
    options_.from = build_.path();
    options_.version = "1.2.0";
    options_.optional = {"video/intro.bik"};
    options_.now = HourAhead;
  }

  // Loads the releases as aus-server does, expecting every digest to come from the cache that
  // publishing filled.
  std::shared_ptr<const Releases> LoadFromTheDigestCache() const {
    Releases::LoadOptions load;
    std::uint64_t digested = 0;
    load.progress = [&](std::uint64_t done, std::uint64_t) { digested = done; };
    auto releases = Releases::Load(releases_.path(), load);
    EXPECT_EQ(digested, 0u) << "bytes digested anew";
    return releases;
  }

  test_support::ScratchDir build_;
  test_support::ScratchDir releases_;
  PublishOptions options_;
};

TEST_F(PublishTest, BuildsTheReleaseWithItsManifestAndEveryDigestCached) {
  std::vector<std::string> phases;
  options_.progress = [&](const char* phase, std::uint64_t done, std::uint64_t total) {
    if (phases.empty() || phases.back() != phase) phases.push_back(phase);
    EXPECT_LE(done, total);
  };
  const auto published = Publish(options_);
  EXPECT_EQ(published.folder, releases_.path() / "1.2.0");
  EXPECT_EQ(published.files, 4u);
  EXPECT_EQ(phases, (std::vector<std::string>{"copying", "digesting"}));
  EXPECT_EQ(Tree(releases_.path()),
            (std::vector<std::string>{".aus-digests", "1.2.0/", "1.2.0/bin/",
                                      "1.2.0/bin/Kolvex.exe", "1.2.0/bin/launcher.exe",
                                      "1.2.0/manifest", "1.2.0/video/", "1.2.0/video/intro.bik"}));
  EXPECT_EQ(ReadFile(releases_.path() / "1.2.0" / "bin" / "Kolvex.exe"), "game");
  EXPECT_EQ(ReadFile(releases_.path() / "1.2.0" / "manifest"),
            "[version]\nmajor=1\nminor=2\nrevision=0\n[deploy]\noptional=video\\intro.bik\n");

  // The server loads it without digesting a byte, and marks the optional file.
  const auto releases = LoadFromTheDigestCache();
  const auto* release = releases->Find({1, 2, 0});
  ASSERT_NE(release, nullptr);
  ASSERT_NE(release->Find("video/intro.bik"), nullptr);
  EXPECT_FALSE(release->Find("video/intro.bik")->required);
  EXPECT_TRUE(release->Find("bin/Kolvex.exe")->required);
}

// The signature covers the list exactly as the server sends it, and the server still takes every
// digest from the cache.
TEST_F(PublishTest, SignsTheListTheServerSends) {
  auto key = std::make_shared<const signing::SigningKey>(signing::SigningKey::Generate());
  options_.signingKey = key;
  const auto published = Publish(options_);
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(HourAhead().time_since_epoch()).count();
  EXPECT_GT(published.signedAt, now - 60);
  EXPECT_LE(published.signedAt, now);

  const auto releases = LoadFromTheDigestCache();
  const auto* release = releases->Find({1, 2, 0});
  ASSERT_NE(release, nullptr);
  ASSERT_NE(release->Find("release.sig"), nullptr);
  EXPECT_EQ(published.files, 5u);

  const auto signature =
      signing::ParseSignatureFile(ReadFile(releases_.path() / "1.2.0" / "release.sig"));
  ASSERT_TRUE(signature);
  EXPECT_EQ(signature->version, (Version{1, 2, 0}));
  EXPECT_EQ(signature->signedAt, published.signedAt);
  const std::vector<taln::UpdateItem> items(release->files.begin(), release->files.end());
  EXPECT_TRUE(signing::VerifySignature(
      key->Public(), signing::CanonicalForm({1, 2, 0}, signature->signedAt, items),
      signature->signature));
  EXPECT_FALSE(signing::VerifySignature(
      signing::SigningKey::Generate().Public(),
      signing::CanonicalForm({1, 2, 0}, signature->signedAt, items), signature->signature));
}

TEST(GenerateKeyTest, WritesAPrivateKeyOnlyItsOwnerReadsAndNeverOverwritesOne) {
  test_support::ScratchDir scratch;
  const fs::path folder = scratch.path() / "keys";
  const auto key = aus::publish::GenerateKey(folder);
  const std::string pem = ReadFile(folder / "release.key");
  EXPECT_EQ(signing::SigningKey::FromPem(pem).Public(), key);
  EXPECT_NE(ReadFile(folder / "release.pub").find("BEGIN PUBLIC KEY"), std::string::npos);
  EXPECT_EQ(fs::status(folder / "release.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  EXPECT_THROW(aus::publish::GenerateKey(folder), PublishError);
  EXPECT_EQ(ReadFile(folder / "release.key"), pem);
}

TEST_F(PublishTest, KeepsTheDigestsOfReleasesAlreadyThere) {
  Publish(options_);
  WriteFile(build_.path() / "bin" / "Kolvex.exe", "game, patched");
  options_.version = "1.2.1";
  Publish(options_);
  const auto releases = LoadFromTheDigestCache();
  EXPECT_EQ(releases->All().size(), 2u);
  EXPECT_EQ(releases->Latest()->version, (Version{1, 2, 1}));
}

TEST_F(PublishTest, RefusalsLeaveTheReleasesAsTheyWere) {
  WriteFile(releases_.path() / "1.0.0" / "old.txt", "old");
  fs::create_directory_symlink(releases_.path() / "1.0.0", releases_.path() / "1.1.0");
  const auto before = Tree(releases_.path());
  const struct {
    const char* name;
    std::string version;
    std::string text;
  } cases[] = {
      {"existing folder", "1.0.0", "release 1.0.0 already exists"},
      {"existing link", "1.1.0", "release 1.1.0 already exists"},
      {"not a version", "1.2", "'1.2' is not a version"},
      {"leading zero", "1.02.0", "'1.02.0' is not a version"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    options_.version = c.version;
    try {
      Publish(options_);
      ADD_FAILURE() << "published";
    } catch (const PublishError& error) {
      EXPECT_NE(std::string(error.what()).find(c.text), std::string::npos) << error.what();
    }
    EXPECT_EQ(Tree(releases_.path()), before);
  }
  // A refused build leaves no staging folder behind.
  WriteFile(build_.path() / "BIN" / "x", "x");
  options_.version = "1.3.0";
  EXPECT_THROW(Publish(options_), PublishError);
  EXPECT_EQ(Tree(releases_.path()), before);
}

TEST_F(PublishTest, AnInterruptedPublishIsNamedNotOverwritten) {
  fs::create_directories(releases_.path() / ".aus-publish-1.2.0" / "1.2.0");
  try {
    Publish(options_);
    FAIL() << "published";
  } catch (const PublishError& error) {
    EXPECT_NE(std::string(error.what()).find(".aus-publish-1.2.0' exists"), std::string::npos)
        << error.what();
  }
  EXPECT_TRUE(fs::exists(releases_.path() / ".aus-publish-1.2.0" / "1.2.0"));
  EXPECT_FALSE(fs::exists(releases_.path() / "1.2.0"));
}

}  // namespace
