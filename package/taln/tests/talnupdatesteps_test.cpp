#include "package/taln/talnupdatesteps.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "package/platform/hosthooks.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/enginelog.h"
#include "package/taln/tests/enginetest.h"
#include "package/taln/updaterstate.h"

namespace {

namespace fs = std::filesystem;
namespace State = taln::UPDATER_STATE;
using taln_test::EngineTest;
using taln_test::FakeAus;
using test_support::WriteFile;

constexpr Version kV1{1, 0, 0};
constexpr Version kV2{1, 1, 0};

int FileDataRequests(const FakeAus& aus) {
  const auto requests = aus.Requests();
  return static_cast<int>(std::count_if(requests.begin(), requests.end(), [](const std::string& r) {
    return r.find("FileData") == 0;
  }));
}

std::string Normal(const fs::path& path) { return path.lexically_normal().generic_string(); }

// The engine's log lines with their levels, in place of the fixture's, for the test's lifetime.
class LevelLines {
 public:
  LevelLines() {
    taln::logging::SetLogCallback([this](taln::logging::LogLevel level, const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(level, line);
    });
  }
  ~LevelLines() { taln::logging::SetLogCallback(nullptr); }

  // The level of the first line holding `text`; kTrace when there is none.
  taln::logging::LogLevel LevelOf(const std::string& text) const {
    std::lock_guard lock(mutex_);
    for (const auto& [level, line] : lines_) {
      if (line.find(text) != std::string::npos) return level;
    }
    return taln::logging::LogLevel::kTrace;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<taln::logging::LogLevel, std::string>> lines_;  // guarded by mutex_
};

TEST_F(EngineTest, FailedBatchSavesTheRecordsOfWhatItInstalled) {
  aus_.Publish(kV1, {{{"a.txt", "one"}, {"b.txt", "two"}, {"c.txt", "three"}}, {}});
  aus_.Corrupt("b.txt", "TWO");
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(Update());
  EXPECT_EQ(events_->Events().back().message, "Hash validation failed for item 'b.txt'!");
  EXPECT_EQ(Read("a.txt"), "one");
  EXPECT_FALSE(fs::exists(Root("b.txt")));

  taln::UpdateDB saved(Root().string());
  ASSERT_TRUE(saved.Load());
  ASSERT_TRUE(saved.Contains("a.txt"));
  EXPECT_EQ(saved.Get("a.txt").hash, taln::HashFile(Root("a.txt").string()));
  EXPECT_FALSE(saved.Contains("b.txt"));
  EXPECT_FALSE(saved.Contains("c.txt"));

  // The next run fetches the bad download alone: "a.txt" is installed, "c.txt.upd" is whole.
  aus_.Corrupt("b.txt", "two");
  aus_.ClearRequests();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(FileDataRequests(aus_), 1);
  EXPECT_EQ(Read("b.txt"), "two");
  EXPECT_EQ(Read("c.txt"), "three");
}

// What a process stopped between the backup and the swap leaves, where the backup is a rename:
// the start puts the only copy back; a backup beside its installed file goes.
TEST_F(EngineTest, SweepRestoresABackupWhoseTargetIsMissing) {
  const struct {
    const char* name;
    std::map<std::string, std::string> before;
    std::map<std::string, std::string> after;
    std::vector<std::string> gone;
  } cases[] = {
      {"backup alone", {{"x.$$$", "old"}}, {{"x", "old"}}, {"x.$$$"}},
      {"backup and installed file", {{"x", "new"}, {"x.$$$", "old"}}, {{"x", "new"}}, {"x.$$$"}},
      {"backup beside its download",
       {{"d/y.$$$", "old"}, {"d/y.upd", "new"}},
       {{"d/y", "old"}, {"d/y.upd", "new"}},
       {"d/y.$$$"}},
      {"backup of a folder holding a backup",
       {{"f.$$$/z.$$$", "old"}},
       {{"f/z", "old"}},
       {"f.$$$", "f/z.$$$"}},
  };
  aus_.Publish(kV1, {{{"bin/launcher.exe", "launcher"}}, {}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, contents] : c.before) WriteFile(Root(name), contents);
    NewEngine();
    ASSERT_TRUE(StartEngine());
    for (const auto& [name, contents] : c.after) EXPECT_EQ(Read(name), contents) << name;
    for (const std::string& name : c.gone) EXPECT_FALSE(fs::exists(Root(name))) << name;
    DestroyEngine();
    for (const auto& [name, contents] : c.after) fs::remove_all(Root(name));
    fs::remove_all(Root("d"));
    fs::remove_all(Root("f"));
  }
  EXPECT_TRUE(lines_.Contains("Restored '"));
}

TEST_F(EngineTest, SweepLogsABackupItCannotRemove) {
  LevelLines lines;
  aus_.Publish(kV1, {{{"bin/launcher.exe", "launcher"}}, {}});
  WriteFile(Root("maps/level.$$$/kept.txt"), "kept");
  fs::create_directories(Root("maps/level"));
  ASSERT_TRUE(StartEngine());
  EXPECT_EQ(Read("maps/level.$$$/kept.txt"), "kept");
  EXPECT_EQ(lines.LevelOf("Cannot remove backup '" + (Root("maps") / "level.$$$").string() + "'"),
            taln::logging::LogLevel::kWarning);
  DestroyEngine();  // its threads log through `lines`
}

// "bin/game.dll" installed from kV1, then kV2 published with new contents and a new engine
// started on it: the next update replaces the file.
class ReplacedFileTest : public EngineTest {
 protected:
  void StartOverTheInstalledFile() {
    aus_.Publish(kV1, {{{"bin/game.dll", "game v1"}}, {}});
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Update());
    aus_.Publish(kV2, {{{"bin/game.dll", "game v2"}}, {}});
    NewEngine();
    ASSERT_TRUE(StartEngine());
  }
};

// A backup left where the install makes its own (the sweep could not remove it) gives way to the
// backup of the file being replaced.
TEST_F(ReplacedFileTest, BackupLeftBeforeTheInstallIsReplaced) {
  ASSERT_NO_FATAL_FAILURE(StartOverTheInstalledFile());
  WriteFile(Root("bin/game.dll.$$$"), "left");
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("bin/game.dll"), "game v2");
  EXPECT_EQ(Read("bin/game.dll.$$$"), "game v1");
}

TEST_F(ReplacedFileTest, BackupIsARenameWhereLinksFail) {
  std::atomic<int> links{0};
  taln::InstallCalls calls = taln::CurrentInstallCalls();
  calls.createHardLink = [&links](const std::string&, const std::string&,
                                  boost::system::error_code& error) {
    ++links;
    error = boost::system::errc::make_error_code(boost::system::errc::operation_not_permitted);
  };
  const taln::InstallCallsForTest failingLinks(calls);

  ASSERT_NO_FATAL_FAILURE(StartOverTheInstalledFile());
  ASSERT_TRUE(Update());
#ifdef _WIN32
  EXPECT_EQ(links.load(), 0);  // a backup is always a rename there
#else
  EXPECT_GE(links.load(), 1);
#endif
  EXPECT_EQ(Read("bin/game.dll"), "game v2");
  EXPECT_EQ(Read("bin/game.dll.$$$"), "game v1");

  NewEngine();
  ASSERT_TRUE(StartEngine());
  EXPECT_EQ(Read("bin/game.dll"), "game v2");
  EXPECT_FALSE(fs::exists(Root("bin/game.dll.$$$")));
  DestroyEngine();  // its threads use the replaced calls
}

// Records the engine's sync calls; the folders with the size "Update.db" had at that moment.
class SyncRecorder {
 public:
  explicit SyncRecorder(const fs::path& database) {
    taln::InstallCalls calls = taln::CurrentInstallCalls();
    const auto sync = calls.syncFile;
    calls.syncFile = [this, sync](const std::string& path) {
      {
        std::lock_guard lock(mutex_);
        files_.push_back(Normal(path));
      }
      return failing_ == Normal(path) ? std::make_error_code(std::errc::io_error) : sync(path);
    };
    const auto syncAll = calls.syncFiles;
    calls.syncFiles = [this, syncAll](const std::vector<std::string>& paths) {
      bool fail = false;
      {
        std::lock_guard lock(mutex_);
        batches_.emplace_back();
        for (const std::string& path : paths) {
          files_.push_back(Normal(path));
          batches_.back().push_back({Normal(path), fs::exists(Unfinished(path))});
          fail = fail || failing_ == Normal(path);
        }
      }
      return fail ? std::make_error_code(std::errc::io_error) : syncAll(paths);
    };
    calls.syncDirectory = [this, database](const std::string& path) {
      std::lock_guard lock(mutex_);
      folders_.emplace_back(Normal(path), fs::file_size(database));
      return std::error_code();
    };
    calls_.emplace(std::move(calls));
  }

  static std::string Unfinished(const std::string& download) {
    return download.substr(0, download.size() - std::string(".upd").size());
  }

  // Makes the sync of `path` fail, alone or in a batch; set before the engine starts.
  void Fail(const fs::path& path) { failing_ = Normal(path); }
  std::vector<std::string> Files() const {
    std::lock_guard lock(mutex_);
    return files_;
  }
  std::vector<std::pair<std::string, std::uintmax_t>> Folders() const {
    std::lock_guard lock(mutex_);
    return folders_;
  }
  // Each batch sync: the paths, each with whether its target ("<path>" less ".upd") was there.
  std::vector<std::vector<std::pair<std::string, bool>>> Batches() const {
    std::lock_guard lock(mutex_);
    return batches_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> files_;                                  // guarded by mutex_
  std::vector<std::pair<std::string, std::uintmax_t>> folders_;     // guarded by mutex_
  std::vector<std::vector<std::pair<std::string, bool>>> batches_;  // guarded by mutex_
  std::string failing_;                                             // set before the engine starts
  std::optional<taln::InstallCallsForTest> calls_;
};

TEST_F(EngineTest, DownloadsAndRenamedFoldersAreSyncedBeforeUpdateDbNamesThem) {
  SyncRecorder syncs(Root("Update.db"));
  aus_.Publish(kV1, {{{"bin/launcher.exe", "launcher"},
                      {"bin/game.dll", "game"},
                      {"data/deep/pack.bin", std::string(3u << 20, 'p')},
                      {"readme.txt", "hello"}},
                     {}});
  ASSERT_TRUE(StartEngine());
  const std::uintmax_t scanned = fs::file_size(Root("Update.db"));
  ASSERT_TRUE(Update());

  std::vector<std::string> files = syncs.Files();
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{Normal(Root("bin/game.dll.upd")),
                                             Normal(Root("data/deep/pack.bin.upd")),
                                             Normal(Root("readme.txt.upd"))}));
  std::vector<std::string> folders;
  for (const auto& [folder, databaseSize] : syncs.Folders()) {
    folders.push_back(folder);
    EXPECT_EQ(databaseSize, scanned) << folder << ": synced after \"Update.db\" was saved";
  }
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (std::vector<std::string>{Normal(Root().parent_path()), Normal(Root("bin")),
                                               Normal(Root("data")), Normal(Root("data/deep"))}));
  EXPECT_GT(fs::file_size(Root("Update.db")), scanned);
  DestroyEngine();  // its threads use the replaced calls
}

TEST_F(EngineTest, DownloadsAreSyncedTogetherBeforeAnyIsInstalled) {
  SyncRecorder syncs(Root("Update.db"));
  aus_.Publish(kV1, {{{"a.txt", "one"}, {"b/c.txt", "two"}, {"b/d/e.txt", "three"}}, {}});
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  ASSERT_EQ(syncs.Batches().size(), 1u);
  std::vector<std::pair<std::string, bool>> batch = syncs.Batches().front();
  std::sort(batch.begin(), batch.end());
  EXPECT_EQ(batch,
            (std::vector<std::pair<std::string, bool>>{{Normal(Root("a.txt.upd")), false},
                                                       {Normal(Root("b/c.txt.upd")), false},
                                                       {Normal(Root("b/d/e.txt.upd")), false}}));
  // Not synced once more, one by one.
  EXPECT_EQ(syncs.Files().size(), 3u);
  EXPECT_EQ(Read("b/d/e.txt"), "three");
  DestroyEngine();  // its threads use the replaced calls
}

TEST_F(EngineTest, DownloadThatCannotBeSyncedIsNotInstalled) {
  SyncRecorder syncs(Root("Update.db"));
  syncs.Fail(Root("b.txt.upd"));
  aus_.Publish(kV1, {{{"a.txt", "one"}, {"b.txt", "two"}}, {}});
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(Update());
  EXPECT_EQ(events_->Events().back().message,
            "Cannot sync file '" + EnginePath("b.txt.upd") + "'. Error: '" +
                std::make_error_code(std::errc::io_error).message() + "'");
  EXPECT_EQ(Read("a.txt"), "one");
  EXPECT_FALSE(fs::exists(Root("b.txt")));
  EXPECT_EQ(Read("b.txt.upd"), "two");
  DestroyEngine();  // its threads use the replaced calls
}

TEST_F(EngineTest, InstalledFilesNeverSetuidAndAlwaysOwnerWritable) {
  const struct {
    const char* name;
    fs::perms replaced;
    fs::perms installed;
  } cases[] = {
      {"setuid and setgid program", fs::perms(06755), fs::perms(0755)},
      {"sticky file", fs::perms(01640), fs::perms(0640)},
      {"read-only file", fs::perms(0444), fs::perms(0644)},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = "v" + std::to_string(round);
    const std::string after = "v" + std::to_string(round + 1);
    aus_.Publish({1, round, 0}, {{{"tools/run.sh", before}}, {}});
    NewEngine();
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Update());
    fs::permissions(Root("tools/run.sh"), c.replaced);
    ASSERT_EQ(fs::status(Root("tools/run.sh")).permissions(), c.replaced);

    aus_.Publish({1, round + 1, 0}, {{{"tools/run.sh", after}}, {}});
    NewEngine();
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Update());
    EXPECT_EQ(Read("tools/run.sh"), after);
    EXPECT_EQ(fs::status(Root("tools/run.sh")).permissions(), c.installed);
    round += 2;
  }
}

taln::UpdateDB SavedRecords(const fs::path& root) {
  taln::UpdateDB records(root.string());
  EXPECT_TRUE(records.LoadRecords());
  return records;
}

// A release that drops files: those the launcher installed go as a replaced file goes (a backup
// until the next start), and nothing else in the root is touched: files found there before the
// launcher's first run, files made since, and optional files.
TEST_F(EngineTest, UpgradeRemovesTheFilesTheReleaseDropsAndNothingElse) {
  FakeAus::Release first{{{"bin/game.dll", "game"},
                          {"data/locale/de.txt", "de"},
                          {"data/locale/en.txt", "en"},
                          {"data/voice/hello.ogg", "hello"},
                          {"extras/music.ogg", "music"},
                          {"readme.txt", "v1"}},
                         {"extras/music.ogg"}};
  aus_.Publish(kV1, first);
  WriteFile(Root("saves/slot1.sav"), "found by the first scan");
  WriteFile(Root("extras/music.ogg"), "music");  // the player fetched the optional file
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  WriteFile(Root("saves/slot2.sav"), "made since");

  FakeAus::Release second = first;
  second.files.erase("data/locale/de.txt");
  second.files.erase("data/voice/hello.ogg");
  second.files.erase("extras/music.ogg");
  second.optional.clear();
  second.files["readme.txt"] = "v2";
  aus_.Publish(kV2, second);
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_FALSE(fs::exists(Root("data/locale/de.txt")));
  EXPECT_EQ(Read("data/locale/de.txt.$$$"), "de");
  EXPECT_FALSE(fs::exists(Root("data/voice/hello.ogg")));
  EXPECT_EQ(Read("data/locale/en.txt"), "en");
  EXPECT_EQ(Read("readme.txt"), "v2");
  EXPECT_EQ(Read("extras/music.ogg"), "music");
  EXPECT_EQ(Read("saves/slot1.sav"), "found by the first scan");
  EXPECT_EQ(Read("saves/slot2.sav"), "made since");
  EXPECT_TRUE(fs::exists(Root("bin/launcher.exe")));
  EXPECT_TRUE(lines_.Contains("Removed 'data/locale/de.txt': the release no longer lists it.",
                              taln::kLogInfo));
  EXPECT_EQ(SavedRecords(Root()).Get("data/locale/de.txt").origin,
            taln::UpdateItem::Origin::kRemoved);

  // The next start sweeps the backups and the folder left empty, and drops the records.
  NewEngine();
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(fs::exists(Root("data/locale/de.txt.$$$")));
  EXPECT_FALSE(fs::exists(Root("data/voice")));
  EXPECT_EQ(Read("data/locale/en.txt"), "en");
  const taln::UpdateDB records = SavedRecords(Root());
  EXPECT_FALSE(records.Contains("data/locale/de.txt"));
  EXPECT_FALSE(records.Contains("data/voice/hello.ogg"));
  EXPECT_TRUE(records.Contains("saves/slot1.sav"));
  aus_.ClearRequests();
  ASSERT_TRUE(Update());
  EXPECT_FALSE(fs::exists(Root("data/locale/de.txt")));
  EXPECT_EQ(FileDataRequests(aus_), 0);
}

// A file the player changed stays, whether or not its modification time moved, and is logged; it
// is the player's from then on.
TEST_F(EngineTest, ChangedFileIsKeptWhenTheReleaseDropsIt) {
  aus_.Publish(kV1,
               {{{"keep.txt", "keep"}, {"edited.cfg", "1234"}, {"same-time.cfg", "1234"}}, {}});
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  const auto time = fs::last_write_time(Root("same-time.cfg"));
  WriteFile(Root("edited.cfg"), "mine");
  fs::last_write_time(Root("edited.cfg"), time - std::chrono::hours(1));
  WriteFile(Root("same-time.cfg"), "MINE");
  fs::last_write_time(Root("same-time.cfg"), time);

  aus_.Publish(kV2, {{{"keep.txt", "keep"}}, {}});
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("edited.cfg"), "mine");
  EXPECT_EQ(Read("same-time.cfg"), "MINE");
  for (const char* name : {"edited.cfg", "same-time.cfg"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(fs::exists(Root(std::string(name) + ".$$$")));
    EXPECT_TRUE(lines_.Contains(std::string("Kept '") + name +
                                    "': the release no longer lists it, but it was changed after "
                                    "it was installed.",
                                taln::kLogWarning));
    EXPECT_EQ(SavedRecords(Root()).Get(name).origin, taln::UpdateItem::Origin::kFound);
  }
}

// A release pinned to an older version: files added since go, changed ones are fetched back.
TEST_F(EngineTest, DowngradeByPinRemovesTheNewerFiles) {
  aus_.Publish(kV1, {{{"game.dll", "game v1"}, {"data/a.pak", "a"}}, {}});
  aus_.Publish(kV2, {{{"game.dll", "game v2"}, {"data/a.pak", "a"}, {"data/b.pak", "b"}}, {}});
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  ASSERT_EQ(Read("data/b.pak"), "b");

  UseServer(aus_, "[Client]\nclient_version=1.0.0\n");
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("game.dll"), "game v1");
  EXPECT_EQ(Read("data/a.pak"), "a");
  EXPECT_FALSE(fs::exists(Root("data/b.pak")));
  NewEngine();
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(fs::exists(Root("data/b.pak.$$$")));
  EXPECT_EQ(Read("data/a.pak"), "a");
}

// A process stopped after moving a file aside for removal but before saving "Update.db" leaves
// the record that says installed: the next start puts the file back, and the update that follows
// removes it again.
TEST_F(EngineTest, SweepRemovesOnlyTheBackupsOfRemovedFiles) {
  using Origin = taln::UpdateItem::Origin;
  const struct {
    const char* name;
    Origin origin;
    bool restored;
  } cases[] = {
      {"stopped before the save", Origin::kInstalled, true},
      {"saved as removed", Origin::kRemoved, false},
      {"found on disk", Origin::kFound, true},
  };
  aus_.Publish(kV1, {{{"bin/launcher.exe", "launcher"}}, {}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Root("data/old/x.$$$"), "old");
    taln::UpdateDB records(Root().string());
    records.Put({0, "bin/launcher.exe", 0, 0, {}, true, Origin::kFound});
    records.Put(
        {1, "data/old/x", 3, 0, taln::HashFile(Root("data/old/x.$$$").string()), true, c.origin});
    ASSERT_TRUE(records.Save());
    NewEngine();
    ASSERT_TRUE(StartEngine());
    EXPECT_FALSE(fs::exists(Root("data/old/x.$$$")));
    EXPECT_EQ(fs::exists(Root("data/old/x")), c.restored);
    EXPECT_EQ(fs::exists(Root("data/old")), c.restored);
    EXPECT_EQ(SavedRecords(Root()).Contains("data/old/x"), c.restored);
    DestroyEngine();
    fs::remove_all(Root("data"));
  }
}

}  // namespace
