#include "package/taln/talndownloadmanagerimpl.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "package/taln/db/updatedb.h"
#include "package/taln/enginelog.h"
#include "package/taln/tests/enginetest.h"
#include "package/taln/updaterstate.h"

namespace {

namespace State = taln::UPDATER_STATE;
using taln_test::EngineTest;
using taln_test::FakeAus;
using test_support::WriteFile;

constexpr Version kV1{1, 0, 0};
constexpr Version kV2{1, 1, 0};

// Above two ranges, so the large file is fetched in three.
const std::string kLarge = [] {
  std::string bytes(5'000'000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
  return bytes;
}();

FakeAus::Release ReleaseOne() {
  return {{{"bin/game.dll", "game v1"}, {"data/pack.bin", kLarge}, {"readme.txt", "hello"}}, {}};
}

using Sequence = std::vector<std::string>;

TEST_F(EngineTest, FreshInstallThenNothingToDo) {
  aus_.Publish(kV1, ReleaseOne());
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(events_->States(),
            (Sequence{State::INITIALIZATION_STARTED, State::INITIALIZATION_SUCCESSFUL,
                      State::DOWNLOAD_STARTED, State::DOWNLOADING, State::INSTALLING_UPDATES,
                      State::DOWNLOAD_FINISHED}));
  EXPECT_EQ(events_->Events()[0].message, "Checking for updates...");
  EXPECT_EQ(Read("bin/game.dll"), "game v1");
  EXPECT_EQ(Read("data/pack.bin"), kLarge);
  EXPECT_FALSE(std::filesystem::exists(Root("data/pack.bin.upd")));

  taln::UpdateDB saved(Root().string());
  ASSERT_TRUE(saved.Load());
  EXPECT_EQ(saved.size(), 4u);       // with bin/launcher.exe
  EXPECT_FALSE(saved.IsModified());  // every record has its file's time: nothing to hash again

  aus_.ClearRequests();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(events_->States(),
            (Sequence{State::INITIALIZATION_STARTED, State::INITIALIZATION_SUCCESSFUL,
                      State::DOWNLOAD_FINISHED}));
  for (const std::string& request : aus_.Requests()) {
    EXPECT_EQ(request.find("FileData"), std::string::npos) << request;
  }
}

TEST_F(EngineTest, ReusesAValidDownloadAndFetchesAWrongOneAgain) {
  aus_.Publish(kV1, ReleaseOne());
  WriteFile(Root("bin/game.dll.upd"), "game v1");
  WriteFile(Root("readme.txt.upd"), "stale");
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_TRUE(
      lines_.Contains("Checksum validation passed. Download is NOT required.", taln::kLogDebug));
  EXPECT_TRUE(
      lines_.Contains("Checksum validation NOT passed. Download is required.", taln::kLogDebug));
  EXPECT_EQ(Read("bin/game.dll"), "game v1");
  EXPECT_EQ(Read("readme.txt"), "hello");
  for (const std::string& request : aus_.Requests()) {
    EXPECT_EQ(request.find("index=0 "), std::string::npos) << "game.dll fetched: " << request;
  }
}

TEST_F(EngineTest, CorruptDownloadStopsTheBatchAfterEarlierItems) {
  aus_.Publish(kV1, ReleaseOne());
  aus_.Corrupt("data/pack.bin", "not the pack");
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(Update());
  const auto events = events_->Events();
  EXPECT_EQ(events.back().state, State::DOWNLOAD_FAILED);
  EXPECT_EQ(events.back().message, "Hash validation failed for item 'data/pack.bin'!");
  EXPECT_EQ(Read("bin/game.dll"), "game v1");  // installed before the bad item
  EXPECT_FALSE(std::filesystem::exists(Root("data/pack.bin")));
  EXPECT_FALSE(std::filesystem::exists(Root("readme.txt")));
}

int FileDataRequests(const FakeAus& aus) {
  const auto requests = aus.Requests();
  return static_cast<int>(std::count_if(requests.begin(), requests.end(), [](const std::string& r) {
    return r.find("FileData") == 0;
  }));
}

// "y"'s download is "y.upd", which the earlier item "y.upd" replaces when it is installed: "y"
// must be checked against what is there by then, not against a digest taken before.
TEST_F(EngineTest, DownloadReplacedByAnEarlierItemIsCheckedAsItIsThen) {
  aus_.Publish(kV1, {{{"y", "why"}, {"y.upd", "second"}}, {"y"}});
  auto& engine = NewEngine();
  ASSERT_TRUE(StartEngine());
  engine.RequestUpdate();
  engine.RequestFile("y", true);  // after the update's items in the batch
  engine.ProcessRequests();
  ASSERT_EQ(events_->WaitForOneOf({State::DOWNLOAD_FINISHED, State::DOWNLOAD_FAILED}),
            State::DOWNLOAD_FAILED);
  EXPECT_EQ(events_->Events().back().message, "Hash validation failed for item 'y'!");
  EXPECT_EQ(Read("y.upd"), "second");
  EXPECT_FALSE(std::filesystem::exists(Root("y")));
}

TEST_F(EngineTest, ChangedFileKeepsABackupUntilTheNextStart) {
  aus_.Publish(kV1, ReleaseOne());
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  // The next start records the installed file with this modification time.
  const auto replacedTime = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(Root("bin/game.dll"), replacedTime);

  auto next = ReleaseOne();
  next.files["bin/game.dll"] = "game v2";
  aus_.Publish(kV2, next);
  aus_.ClearRequests();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("bin/game.dll"), "game v2");
  EXPECT_EQ(Read("bin/game.dll.$$$"), "game v1");
  EXPECT_EQ(FileDataRequests(aus_), 1);

  // The new file carrying the replaced one's modification time, as when both fall in the same
  // second: "Update.db" describes the new file, which is not fetched again.
  std::filesystem::last_write_time(Root("bin/game.dll"), replacedTime);
  aus_.ClearRequests();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(std::filesystem::exists(Root("bin/game.dll.$$$")));
  EXPECT_EQ(Read("bin/game.dll"), "game v2");
  ASSERT_TRUE(Update());
  EXPECT_EQ(FileDataRequests(aus_), 0);
}

TEST_F(EngineTest, OutdatedOptionalFileIsRemovedNotFetched) {
  auto release = ReleaseOne();
  release.files["extras/music.ogg"] = "new music";
  release.optional.insert("extras/music.ogg");
  aus_.Publish(kV1, release);
  WriteFile(Root("extras/music.ogg"), "old music");
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_FALSE(std::filesystem::exists(Root("extras/music.ogg")));
  EXPECT_FALSE(std::filesystem::exists(Root("extras/music.ogg.$$$")));
  // The next start does not bring the outdated file back.
  NewEngine();
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(std::filesystem::exists(Root("extras/music.ogg")));
}

TEST_F(EngineTest, ProgramsBecomeExecutableAndReplacedFilesKeepTheirPermissions) {
  namespace fs = std::filesystem;
  aus_.Publish(kV1, {{{"bin/Kolvex.exe", "game"}, {"tools/run.sh", "v1"}}, {}});
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_NE(fs::status(Root("bin/Kolvex.exe")).permissions() & fs::perms::owner_exec,
            fs::perms::none);
  EXPECT_EQ(fs::status(Root("tools/run.sh")).permissions() & fs::perms::owner_exec,
            fs::perms::none);

  fs::permissions(Root("tools/run.sh"), fs::perms::owner_all);
  aus_.Publish(kV2, {{{"bin/Kolvex.exe", "game"}, {"tools/run.sh", "v2"}}, {}});
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("tools/run.sh"), "v2");
  EXPECT_EQ(fs::status(Root("tools/run.sh")).permissions(), fs::perms::owner_all);
}

// 8 MiB come in 128 blocks plus an empty one per range: one event each would be more events than
// there are percentages, and each costs the launcher a frame.
TEST_F(EngineTest, DownloadingEventsFollowThePercentageNotTheBlocks) {
  aus_.Publish(kV1, {{{"data/big.pak", std::string(8u << 20, 'b')}}, {}});
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  std::vector<int> shown;
  for (const auto& event : events_->Events()) {
    if (event.state == State::DOWNLOADING) shown.push_back(event.progress);
  }
  EXPECT_LE(shown.size(), 101u);
  EXPECT_EQ(std::adjacent_find(shown.begin(), shown.end()), shown.end());
  EXPECT_NE(std::find(shown.begin(), shown.end(), 100), shown.end());
}

TEST_F(EngineTest, EmptyFilesReportFullProgress) {
  aus_.Publish(kV1, {{{"empty.txt", ""}}, {}});
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_TRUE(std::filesystem::exists(Root("empty.txt")));
  for (const auto& event : events_->Events()) {
    if (event.state == State::DOWNLOADING) {
      EXPECT_EQ(event.progress, 100);
    }
  }
}

TEST_F(EngineTest, ProcessRequestsBeforeStartFails) {
  auto& engine = NewEngine();
  engine.RequestUpdate();
  engine.ProcessRequests();
  const auto events = events_->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].state, State::DOWNLOAD_FAILED);
  EXPECT_EQ(events[0].message, "An error has occurred");
}

TEST_F(EngineTest, InitialisationFailures) {
  struct Case {
    const char* name;
    void (*prepare)(FakeAus&);
    const char* logged;
  } cases[] = {
      {"no release", [](FakeAus&) {}, "Couldn't get latest updates from server"},
      {"wrong reply type",
       [](FakeAus& aus) {
         aus.Publish(kV1, ReleaseOne());
         aus.AnswerUpdateDbWithWrongType();
       },
       "Received unexpected message"},
      {"name above the root",
       [](FakeAus& aus) {
         aus.Publish(kV1, ReleaseOne());
         aus.AddRawItem("..\\escape.txt", "x");
       },
       "escape.txt'"},
      {"absolute name",
       [](FakeAus& aus) {
         aus.Publish(kV1, ReleaseOne());
         aus.AddRawItem("/tmp/absolute.txt", "x");
       },
       "'/tmp/absolute.txt'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAus aus;
    c.prepare(aus);
    UseServer(aus);
    NewEngine();
    EXPECT_FALSE(StartEngine());
    const auto events = events_->Events();
    EXPECT_EQ(events.back().state, State::INITIALIZATION_FAILED);
    EXPECT_EQ(events.back().message, "Failed to get update information from the server.");
    EXPECT_TRUE(lines_.Contains(c.logged, taln::kLogError));
    EXPECT_FALSE(std::filesystem::exists(Root("../escape.txt")));
  }
}

TEST_F(EngineTest, PinnedClientVersionAsksForThatVersion) {
  aus_.Publish({4, 34, 1905201200}, ReleaseOne());
  UseServer(aus_, "[Client]\nclient_version=4.34.1905201200\n");
  ASSERT_TRUE(StartEngine());
  EXPECT_TRUE(
      lines_.Contains("Getting updates for version 4.34.1905201200 from server", taln::kLogInfo));
  const auto requests = aus_.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0], "UpdateDb latest=0 version=4.34.1905201200");
  EXPECT_EQ(requests[1], "UpdateDb latest=0 version=4.35.1906051200");
}

TEST_F(EngineTest, LatestModeAsksForTheNewestVersion) {
  aus_.Publish(kV1, ReleaseOne());
  ASSERT_TRUE(StartEngine());
  EXPECT_TRUE(lines_.Contains("Getting latest updates from server", taln::kLogInfo));
  EXPECT_EQ(aus_.Requests().at(0), "UpdateDb latest=1 version=0.0.0");
}

TEST_F(EngineTest, RequestedFilesByPathWithTheBuiltInVersion) {
  aus_.Publish(kV1, ReleaseOne());
  aus_.Publish(taln::kBuildVersion, {{{"tools/tool.exe", "tool"}}, {}});
  auto& engine = NewEngine();
  ASSERT_TRUE(StartEngine());
  engine.RequestFile("tools\\tool.exe", false);
  engine.RequestFile("tools/tool.exe", false);
  engine.RequestFile("missing.txt", true);
  engine.ProcessRequests();
  ASSERT_EQ(events_->WaitForOneOf({State::DOWNLOAD_FINISHED, State::DOWNLOAD_FAILED}),
            State::DOWNLOAD_FINISHED);
  EXPECT_EQ(Read("tools/tool.exe"), "tool");
  EXPECT_TRUE(lines_.Contains("file missing.txt doesn't exist on AUS.", taln::kLogError));
  const auto requests = aus_.Requests();
  EXPECT_NE(std::find(requests.begin(), requests.end(),
                      "FileData path=tools\\tool.exe version=4.35.1906051200 offset=0 length=0"),
            requests.end());
}

TEST_F(EngineTest, DestroyedWhileWaitingEndsAtOnceWithoutEvents) {
  aus_.Publish(kV1, ReleaseOne());
  ASSERT_TRUE(StartEngine());
  const auto before = events_->Events().size();
  const auto started = std::chrono::steady_clock::now();
  DestroyEngine();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(events_->Events().size(), before);
}

// A stop must not wait out a server that stays silent: the destructor aborts the connections.
constexpr auto kPromptStop = std::chrono::seconds(2);

template <typename Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST_F(EngineTest, DestroyedRightAfterStartEndsItsWorker) {
  aus_.Publish(kV1, ReleaseOne());
  // The worker may not yet have begun when the destructor runs; it must see the stop either way.
  for (int i = 0; i < 50; ++i) {
    NewEngine().Start();
    const auto started = std::chrono::steady_clock::now();
    DestroyEngine();
    ASSERT_LT(std::chrono::steady_clock::now() - started, kPromptStop) << "round " << i;
  }
}

TEST_F(EngineTest, DestroyedWhileTheServerIsSilentEndsAtOnce) {
  aus_.Publish(kV1, ReleaseOne());
  aus_.SilenceUpdateDb();
  auto& engine = NewEngine();
  engine.Start();
  ASSERT_TRUE(WaitFor([this] { return !aus_.Requests().empty(); }));
  // The main thread's calls do not wait for the initialisation either.
  engine.RequestUpdate();
  engine.ProcessRequests();
  const auto events = events_->Events().size();
  const auto started = std::chrono::steady_clock::now();
  DestroyEngine();
  EXPECT_LT(std::chrono::steady_clock::now() - started, kPromptStop);
  EXPECT_EQ(events_->Events().size(), events);
}

TEST_F(EngineTest, DestroyedWhileDownloadingAbortsTheRangesAndInstallsNothing) {
  aus_.Publish(kV1, ReleaseOne());
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  auto next = ReleaseOne();
  next.files["bin/game.dll"] = "game v2";
  next.files["data/pack.bin"] = std::string(kLarge.rbegin(), kLarge.rend());
  next.files["new.txt"] = "new";
  aus_.Publish(kV2, next);

  aus_.HoldFileData();
  auto& engine = NewEngine();
  ASSERT_TRUE(StartEngine());
  engine.RequestUpdate();
  engine.ProcessRequests();
  ASSERT_TRUE(aus_.WaitUntilHeld(1));
  const auto events = events_->Events().size();
  const auto started = std::chrono::steady_clock::now();
  DestroyEngine();
  EXPECT_LT(std::chrono::steady_clock::now() - started, kPromptStop);

  EXPECT_EQ(events_->Events().size(), events);
  EXPECT_EQ(Read("bin/game.dll"), "game v1");
  EXPECT_EQ(Read("data/pack.bin"), kLarge);
  EXPECT_FALSE(std::filesystem::exists(Root("new.txt")));
  EXPECT_FALSE(std::filesystem::exists(Root("bin/game.dll.$$$")));

  // The next run installs the release.
  aus_.ReleaseFileData();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("bin/game.dll"), "game v2");
  EXPECT_EQ(Read("data/pack.bin"), next.files["data/pack.bin"]);
  EXPECT_EQ(Read("new.txt"), "new");
}

TEST_F(EngineTest, ProgressNeverGoesBackwardsWithManyWorkers) {
  FakeAus::Release release;
  for (int i = 0; i < 12; ++i) release.files["data/part" + std::to_string(i)] = kLarge;
  aus_.Publish(kV1, release);
  NewEngine({}, 8);  // seven workers
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  std::vector<int> shown;
  for (const auto& event : events_->Events()) {
    if (event.state == State::DOWNLOADING) shown.push_back(event.progress);
  }
  ASSERT_FALSE(shown.empty());
  EXPECT_TRUE(std::adjacent_find(shown.begin(), shown.end(), std::greater_equal<int>()) ==
              shown.end())
      << testing::PrintToString(shown);
  EXPECT_EQ(shown.back(), 100);
}

TEST_F(EngineTest, UpdateLargerThanTheFreeSpaceFailsBeforeWriting) {
  constexpr std::uint64_t kClaimed = std::uint64_t{1} << 50;
  auto release = ReleaseOne();
  release.files["data/huge.pak"] = "small in truth";
  aus_.Publish(kV1, release);
  aus_.ClaimSize("data/huge.pak", kClaimed);
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(Update());
  const auto events = events_->Events();
  EXPECT_EQ(events.back().state, State::DOWNLOAD_FAILED);
  EXPECT_TRUE(
      lines_.Contains("the update needs " + std::to_string(kClaimed + 5'000'000 + 12) + " bytes, ",
                      taln::kLogError));
  EXPECT_TRUE(lines_.Contains(" bytes are free", taln::kLogError));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Root())) {
    EXPECT_NE(entry.path().extension(), ".upd") << entry.path();
  }
  for (const std::string& request : aus_.Requests()) {
    EXPECT_EQ(request.rfind("FileData", 0), std::string::npos) << request;
  }
}

TEST_F(EngineTest, UnusableRootFailsStart) {
  WriteFile(Root("file"), "x");
  auto engine = std::make_unique<taln::TALN_DownloadManagerImpl>(
      Root("file").string(), [](const std::string&, int, const std::string&) {});
  EXPECT_THROW(engine->Start(), std::exception);
}

// A file corrupted with its size and modification time kept is what "Update.db" cannot see; a
// repair hashes every file and fetches it, and what the launcher installed stays known to it.
TEST_F(EngineTest, RepairFindsACorruptionThatKeepsSizeAndTime) {
  aus_.Publish(kV1, ReleaseOne());
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  const auto time = std::filesystem::last_write_time(Root("data/pack.bin"));
  std::string corrupt = kLarge;
  corrupt[4'000'000] = static_cast<char>(corrupt[4'000'000] ^ 0x55);
  WriteFile(Root("data/pack.bin"), corrupt);
  std::filesystem::last_write_time(Root("data/pack.bin"), time);

  aus_.ClearRequests();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(FileDataRequests(aus_), 0);
  EXPECT_EQ(Read("data/pack.bin"), corrupt) << "unseen without a repair";

  NewEngine().RequestRepair();
  ASSERT_TRUE(StartEngine());
  EXPECT_TRUE(lines_.Contains("Repair:", taln::kLogInfo));
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("data/pack.bin"), kLarge);
  EXPECT_EQ(FileDataRequests(aus_), 3);

  // The records of the installed files kept their origin: a file the next release drops goes.
  auto next = ReleaseOne();
  next.files.erase("readme.txt");
  aus_.Publish(kV2, next);
  NewEngine();
  ASSERT_TRUE(StartEngine());
  const auto lines = lines_.All();
  EXPECT_EQ(std::count_if(
                lines.begin(), lines.end(),
                [](const std::string& line) { return line.find("Repair:") != std::string::npos; }),
            1)
      << "the repair was asked for once";
  ASSERT_TRUE(Update());
  EXPECT_FALSE(std::filesystem::exists(Root("readme.txt")));
}

// What support reads at the default level: the server, the versions, what is to be downloaded,
// and how the update ended, with its time and bytes.
TEST_F(EngineTest, SupportLinesAtInfoLevel) {
  auto release = ReleaseOne();
  release.files["manifest"] = "[version]\nmajor=1\nminor=0\nrevision=0\n";
  aus_.Publish(kV1, release);
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  const std::uint64_t bytes = kLarge.size() + 7 + 5 + release.files["manifest"].size();
  for (const std::string& line : {
           "Update server: 127.0.0.1:" + aus_.port(),
           std::string("Installed version: unknown; target version: latest"),
           "Files to download: 4 (" + std::to_string(bytes) + " bytes); files to remove: 0",
           std::string("Update finished in "),
           "s: 4 files installed, 0 files removed; " + std::to_string(bytes) +
               " bytes downloaded; installed version 1.0.0",
       }) {
    EXPECT_TRUE(lines_.Contains(line, taln::kLogInfo)) << line;
  }

  aus_.Publish(kV2, {{{"manifest", "[version]\nmajor=1\nminor=1\nrevision=0\n"}}, {}});
  aus_.Corrupt("manifest", "[version]\nmajor=1\nminor=1\nrevision=9\n");
  UseServer(aus_, "[Client]\nclient_version=1.1.0\n");
  NewEngine();
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(Update());
  EXPECT_TRUE(lines_.Contains("Installed version: 1.0.0; target version: 1.1.0", taln::kLogInfo));
  EXPECT_TRUE(
      lines_.Contains("Files to download: 1 (37 bytes); files to remove: 3", taln::kLogInfo));
  EXPECT_TRUE(lines_.Contains("bytes downloaded: Hash validation failed for item 'manifest'!",
                              taln::kLogInfo));
  EXPECT_TRUE(lines_.Contains("Update failed after ", taln::kLogInfo));
  EXPECT_TRUE(std::filesystem::exists(Root("readme.txt"))) << "nothing removed by a failed update";
}

TEST_F(EngineTest, UnreachableServerIsNamed) {
  std::string port;
  {
    FakeAus gone;
    port = gone.port();
    UseServer(gone);
  }
  NewEngine();
  EXPECT_FALSE(StartEngine());
  EXPECT_TRUE(lines_.Contains("Update server: 127.0.0.1:" + port, taln::kLogInfo));
  EXPECT_TRUE(lines_.Contains("Cannot reach the update server at 127.0.0.1:" + port + ": ",
                              taln::kLogError));
}

}  // namespace
