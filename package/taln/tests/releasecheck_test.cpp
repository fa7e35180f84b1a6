#include "package/taln/releasecheck.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include "package/signing/signingkey.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/enginelog.h"
#include "package/taln/tests/enginetest.h"
#include "package/taln/updaterstate.h"
#include "tests/support/scratchdir.h"

namespace {

namespace State = taln::UPDATER_STATE;
namespace fs = std::filesystem;
using signing::SigningKey;
using taln_test::EngineTest;
using taln_test::FakeAus;

constexpr Version kOld{1, 0, 0};
constexpr Version kInstalled{1, 1, 0};
constexpr Version kNew{1, 2, 0};
constexpr std::int64_t kInstalledTime = 2000;

FakeAus::Release Files(const std::string& flavour) {
  return {{{"bin/game.dll", "game " + flavour},
           {"data/a.pak", "alpha " + flavour},
           {"readme.txt", "read me " + flavour}},
          {"readme.txt"}};
}

// The "release.sig" of what `aus` lists for `version` (its own "release.sig" left out).
std::string SignatureOf(const FakeAus& aus, const Version& version, const SigningKey& key,
                        std::int64_t signedAt, const Version& signedVersion) {
  // As the launcher reads them: names with '/'.
  auto items = aus.Items(version, false);
  for (taln::UpdateItem& item : items) taln::NormalizeName(item.name);
  return signing::FormatSignatureFile(
      {signedVersion, signedAt, key.Sign(signing::CanonicalForm(signedVersion, signedAt, items))});
}

// Publishes `release` as `version` with a "release.sig" signed by `key`.
void PublishSigned(FakeAus& aus, const Version& version, FakeAus::Release release,
                   const SigningKey& key, std::int64_t signedAt) {
  release.files.erase(signing::kSignatureFile);
  aus.Publish(version, release);
  release.files[signing::kSignatureFile] = SignatureOf(aus, version, key, signedAt, version);
  aus.Publish(version, release);
}

// Publishes Files("new") as kNew signed by `key` at 3000, then serves it changed by `change` under
// that same "release.sig".
void ServeChanged(FakeAus& aus, const SigningKey& key,
                  const std::function<void(FakeAus::Release&)>& change) {
  auto release = Files("new");
  PublishSigned(aus, kNew, release, key, 3000);
  release.files[signing::kSignatureFile] = SignatureOf(aus, kNew, key, 3000, kNew);
  change(release);
  aus.Publish(kNew, release);
}

// Every entry below the root: contents for files, "<dir>" for folders, with the times.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).generic_string();
    const auto time = std::to_string(entry.last_write_time().time_since_epoch().count());
    tree[name] =
        entry.is_directory() ? "<dir> " + time : test_support::ReadFile(entry.path()) + " @" + time;
  }
  return tree;
}

class ReleaseCheckTest : public EngineTest {
 protected:
  ReleaseCheckTest() : key_(SigningKey::Generate()), other_(SigningKey::Generate()) {}

  std::string KeySetting() const {
    return "release_key=" + signing::FormatPublicKey(key_.Public()) + "\n";
  }

  // Installs kInstalled, signed at kInstalledTime, and starts once more, so that the backups of
  // the update are swept and the root stays as it is while nothing changes.
  void InstallSigned() {
    PublishSigned(aus_, kInstalled, Files("installed"), key_, kInstalledTime);
    UseServer(aus_, KeySetting());
    NewEngine();
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Update());
    NewEngine();
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Update());
    DestroyEngine();
    ASSERT_EQ(Read("data/a.pak"), "alpha installed");
  }

  SigningKey key_;
  SigningKey other_;
};

// Each way of tampering with a signed release, or of replaying an old one, is refused before
// anything is written to the root, and the reason is logged.
TEST_F(ReleaseCheckTest, TamperedOrReplayedReleasesAreRefusedAndTheRootIsUntouched) {
  InstallSigned();
  const auto before = Tree(Root());
  ASSERT_TRUE(before.count(taln::kReleaseStateFile));

  struct Case {
    const char* name;
    // Publishes what the server offers; the release key is key_.
    std::function<void(FakeAus&, const SigningKey& key, const SigningKey& other)> serve;
    std::string settings;  // more lines for "Settings.ini", after the key
    std::string reason;    // in the logged refusal
  } cases[] = {
      {"changed digest",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         ServeChanged(aus, key, [](FakeAus::Release& release) {
           release.files["data/a.pak"] = "alpha evil";
         });
       },
       "", "does not match the list"},
      {"added item",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         ServeChanged(aus, key,
                      [](FakeAus::Release& release) { release.files["bin/evil.dll"] = "evil"; });
       },
       "", "does not match the list"},
      {"removed item",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         ServeChanged(aus, key,
                      [](FakeAus::Release& release) { release.files.erase("bin/game.dll"); });
       },
       "", "does not match the list"},
      {"renamed item",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         ServeChanged(aus, key, [](FakeAus::Release& release) {
           release.files["bin/game2.dll"] = release.files["bin/game.dll"];
           release.files.erase("bin/game.dll");
         });
       },
       "", "does not match the list"},
      {"flipped required flag",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         ServeChanged(aus, key, [](FakeAus::Release& release) { release.optional.clear(); });
       },
       "", "does not match the list"},
      {"signature from another key",
       [](FakeAus& aus, const SigningKey&, const SigningKey& other) {
         PublishSigned(aus, kNew, Files("new"), other, 3000);
       },
       "", "is not by the release key"},
      {"truncated signature",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         ServeChanged(aus, key, [](FakeAus::Release& release) {
           release.files[signing::kSignatureFile].resize(signing::kSignatureFileBytes - 1);
         });
       },
       "", "\"release.sig\" is malformed (91 bytes)"},
      {"missing signature",
       [](FakeAus& aus, const SigningKey&, const SigningKey&) { aus.Publish(kNew, Files("new")); },
       "", "its list has no \"release.sig\""},
      {"replayed older release",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         PublishSigned(aus, kOld, Files("old"), key, 1000);
       },
       "", "release 1.0.0 signed at 1000 is older than the installed 1.1.0 signed at 2000"},
      {"older signature of the installed version",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         PublishSigned(aus, kInstalled, Files("resigned"), key, 1500);
       },
       "", "release 1.1.0 signed at 1500 was signed before the installed 1.1.0 signed at 2000"},
      {"valid signature of another version",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         // The same files signed as 1.3.0 serve as 1.2.0, the version the launcher pins.
         auto release = Files("new");
         PublishSigned(aus, kNew, release, key, 3000);
         release.files[signing::kSignatureFile] = SignatureOf(aus, kNew, key, 3000, {1, 3, 0});
         aus.Publish(kNew, release);
       },
       "[Client]\nclient_version=1.2.0\n",
       "the list is signed as release 1.3.0, not as the version asked for, 1.2.0"},
      {"connection dropped inside the signature",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         PublishSigned(aus, kNew, Files("new"), key, 3000);
         aus.DropFileDataAt(0, 1);
       },
       "", "cannot fetch \"release.sig\": "},
      {"signature file claiming a huge size",
       [](FakeAus& aus, const SigningKey& key, const SigningKey&) {
         PublishSigned(aus, kNew, Files("new"), key, 3000);
         aus.ClaimSize(signing::kSignatureFile, std::uint64_t{1} << 40);
       },
       "", "\"release.sig\" claims 1099511627776 bytes, more than 4096"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAus aus;
    c.serve(aus, key_, other_);
    UseServer(aus, KeySetting() + c.settings);
    const std::size_t linesBefore = lines_.All().size();
    NewEngine();
    EXPECT_FALSE(StartEngine());
    const auto events = events_->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().state, State::INITIALIZATION_FAILED);
    EXPECT_EQ(events.back().message, "Failed to get update information from the server.");
    // This run's lines only: the fixture keeps every run's.
    const auto lines = lines_.All();
    const bool refused =
        std::any_of(lines.begin() + linesBefore, lines.end(), [&](const auto& line) {
          return line.find("Initialize; Release refused: ") != std::string::npos &&
                 line.find(c.reason) != std::string::npos;
        });
    EXPECT_TRUE(refused) << c.reason;
    EXPECT_TRUE(lines_.Contains("Release refused: ", taln::kLogError));
    DestroyEngine();
    EXPECT_EQ(Tree(Root()), before);
    for (const std::string& request : aus.Requests()) {
      // Nothing but the lists and the signature was asked for.
      EXPECT_TRUE(request.rfind("UpdateDb", 0) == 0 ||
                  request.find("release.sig") != std::string::npos ||
                  request.rfind("FileData index=", 0) == 0)
          << request;
    }
  }
}

// A signed newer release installs and becomes what later lists are checked against; a pinned
// older version is accepted; the state file is never listed as a file of the installation.
TEST_F(ReleaseCheckTest, SignedReleasesInstallAndMoveTheRecordedRelease) {
  InstallSigned();
  EXPECT_EQ(Read(taln::kReleaseStateFile), "version=1.1.0\nsigned=2000\n");
  EXPECT_TRUE(lines_.Contains("Release 1.1.0 signed at 2000 is signed by the release key " +
                              signing::FormatPublicKey(key_.Public())));

  PublishSigned(aus_, kNew, Files("new"), key_, 3000);
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("data/a.pak"), "alpha new");
  EXPECT_EQ(Read(taln::kReleaseStateFile), "version=1.2.0\nsigned=3000\n");

  // Going back is the player's choice through the pin, never the server's.
  UseServer(aus_, KeySetting() + "[Client]\nclient_version=1.1.0\n");
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("data/a.pak"), "alpha installed");
  EXPECT_EQ(Read(taln::kReleaseStateFile), "version=1.1.0\nsigned=2000\n");
  DestroyEngine();

  taln::UpdateDB db(boost::filesystem::path(Root().string()));
  ASSERT_TRUE(db.Load());
  EXPECT_FALSE(db.Contains(taln::kReleaseStateFile));
  EXPECT_TRUE(db.Contains("data/a.pak"));
}

// An installation made before the key was set has no record of a signed release; its manifest
// still names its version, and an older signed release is not taken for an update.
TEST_F(ReleaseCheckTest, WithoutARecordTheRootsManifestVersionGuardsAgainstReplays) {
  test_support::WriteFile(Root("manifest"), "[version]\nmajor=1\nminor=1\nrevision=0\n");
  PublishSigned(aus_, kOld, Files("old"), key_, 1000);
  UseServer(aus_, KeySetting());
  NewEngine();
  EXPECT_FALSE(StartEngine());
  EXPECT_TRUE(lines_.Contains(
      "Release refused: release 1.0.0 signed at 1000 is older than the installed 1.1.0 (by its "
      "manifest)",
      taln::kLogError));
  EXPECT_FALSE(fs::exists(Root(taln::kReleaseStateFile)));

  PublishSigned(aus_, kNew, Files("new"), key_, 3000);
  NewEngine();
  ASSERT_TRUE(StartEngine());
  EXPECT_EQ(Read(taln::kReleaseStateFile), "version=1.2.0\nsigned=3000\n");
}

// Only the target's list is signed: with a key, a file asked for from the built-in version's
// list is not installed, while one from the signed list is.
TEST_F(ReleaseCheckTest, FilesOfTheUnsignedBuiltInListAreNotInstalled) {
  InstallSigned();
  // Pinned: the built-in version, being the highest, would be the latest.
  aus_.Publish(taln::kBuildVersion, {{{"tools/tool.exe", "tool"}}, {}});
  UseServer(aus_, KeySetting() + "[Client]\nclient_version=1.1.0\n");
  auto& engine = NewEngine();
  ASSERT_TRUE(StartEngine());
  engine.RequestFile("tools/tool.exe", false);
  engine.RequestFile("readme.txt", true);
  engine.ProcessRequests();
  ASSERT_EQ(events_->WaitForOneOf({State::DOWNLOAD_FINISHED, State::DOWNLOAD_FAILED}),
            State::DOWNLOAD_FINISHED);
  EXPECT_FALSE(fs::exists(Root("tools/tool.exe")));
  EXPECT_EQ(Read("readme.txt"), "read me installed");
  EXPECT_TRUE(lines_.Contains("The list for version 4.35.1906051200 is not signed"));
}

// Without a key the launcher behaves as before: an unsigned release installs and nothing of
// the signature is fetched or recorded.
TEST_F(ReleaseCheckTest, WithoutAKeyReleasesAreTakenUnsigned) {
  aus_.Publish(kInstalled, Files("installed"));
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("data/a.pak"), "alpha installed");
  EXPECT_FALSE(fs::exists(Root(taln::kReleaseStateFile)));
}

TEST(ReleaseStateTest, ReadsWhatItSavesAndTakesAGarbledFileAsNone) {
  test_support::ScratchDir scratch;
  const std::string root = scratch.path().string();
  EXPECT_FALSE(taln::LoadReleaseState(root));
  taln::SaveReleaseState(root, {{4, 35, 1906051200}, 1765380000});
  EXPECT_EQ(taln::LoadReleaseState(root), (taln::ReleaseState{{4, 35, 1906051200}, 1765380000}));
  EXPECT_FALSE(fs::exists(scratch.path() / "Release.state.$$$"));
  for (const std::string& garbled :
       {std::string(""), std::string("version=1.0.0\n"), std::string("version=x\nsigned=5\n"),
        std::string("version=1.0.0\nsigned=5x\n"), std::string(300, 'v')}) {
    SCOPED_TRACE(garbled);
    test_support::WriteFile(scratch.path() / taln::kReleaseStateFile, garbled);
    EXPECT_FALSE(taln::LoadReleaseState(root));
  }
}

}  // namespace
