// The whole launcher against the reference update server: install, nothing to do, an update, and
// the game started every time with the launch token and the launcher's command line.
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/e2e/ausserverprocess.h"
#include "tests/e2e/programrun.h"
#include "tests/support/fakeserver.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::WriteFile;

constexpr const char* kToken = "D41C7A90E35B4F2688A1C0E97B52F3D6";

// A release folder: a fake game client that records its arguments, a file of several ranges and
// a small one.
void WriteRelease(const fs::path& folder, const std::string& readme) {
  WriteFile(folder / "bin" / "Kolvex.exe", "#!/bin/sh\necho \"$@\" >> ../game-started.txt\n");
  std::string pack(5'000'000, '\0');
  for (std::size_t i = 0; i < pack.size(); ++i) pack[i] = static_cast<char>(i * 13 % 241);
  WriteFile(folder / "data" / "pack.bin", pack);
  WriteFile(folder / "readme.txt", readme);
}

// Lines of the log at `level` ("INFO", "ERROR") that hold `text`.
bool HasLine(const std::string& log, const std::string& level, const std::string& text) {
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    if (line.find("; " + level + "; ") != std::string::npos &&
        line.find(text) != std::string::npos) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

class LauncherUpdateTest : public testing::Test {
 protected:
  LauncherUpdateTest() {
    WriteRelease(Releases() / "1.0.0", "first");
    fs::create_directories(Root() / "bin");
  }

  fs::path Releases() const { return scratch_.path() / "releases"; }
  fs::path Root() const { return scratch_.path() / "root"; }

  void PointAt(const std::string& port) {
    WriteFile(Root() / "bin" / "Settings.ini",
              "[Client]\nlog_level=0\n[AUS]\nhost=127.0.0.1\nport=" + port + "\n");
  }
  // Settings at the default log level, with `client` lines added to [Client].
  void PointAtWithDefaults(const std::string& port, const std::string& client = "") {
    WriteFile(Root() / "bin" / "Settings.ini",
              "[Client]\n" + client + "[AUS]\nhost=127.0.0.1\nport=" + port + "\n");
  }
  e2e::ProgramResult RunLauncher() {
    return e2e::RunProgram("/usr/bin/env", {"SDL_VIDEODRIVER=dummy", LAUNCHER_EXE, "-w", "a b"},
                           Root() / "bin");
  }
  std::string Log() const { return ReadFile(Root() / "bin" / "LogLauncher.txt"); }

  test_support::ScratchDir scratch_;
};

TEST_F(LauncherUpdateTest, InstallsStartsTheGameAndUpdatesOnlyWhatChanged) {
  e2e::AusServerProcess server(Releases());
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
  PointAt(server.port());

  auto result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_EQ(ReadFile(Root() / "readme.txt"), "first");
  EXPECT_EQ(ReadFile(Root() / "data" / "pack.bin"), ReadFile(Releases() / "1.0.0/data/pack.bin"));
  EXPECT_TRUE(fs::exists(Root() / "Update.db"));
  EXPECT_NE(Log().find("Items to be downloaded: "), std::string::npos);
  EXPECT_TRUE(fs::exists(Root() / "bin" / "Kolvex.exe"));

  result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(Log().find("Items to be downloaded: "), std::string::npos);
  EXPECT_NE(Log().find("No updates available!"), std::string::npos);

  WriteRelease(Releases() / "1.1.0", "second");
  e2e::AusServerProcess updated(Releases());  // digests are read at start
  PointAt(updated.port());
  result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ReadFile(Root() / "readme.txt"), "second");
  EXPECT_EQ(ReadFile(Root() / "readme.txt.$$$"), "first");
  const std::string log = Log();
  const auto listed = log.find("Items to be downloaded: ");
  ASSERT_NE(listed, std::string::npos);
  EXPECT_EQ(log.find("DownloadItems; bin/Kolvex.exe"), std::string::npos);
  EXPECT_EQ(log.find("DownloadItems; data/pack.bin"), std::string::npos);
  EXPECT_NE(log.find("DownloadItems; readme.txt"), std::string::npos);

  result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_FALSE(fs::exists(Root() / "readme.txt.$$$"));
  // The game runs on after the launcher has ended: give its line a moment to arrive.
  const std::string started = std::string("--lg ") + kToken + " -w a b\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadFile(Root() / "game-started.txt").size() < 4 * started.size() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ReadFile(Root() / "game-started.txt"), started + started + started + started);
}

// A player who starts the launcher while the update server is down waits through the countdown;
// the retry ten seconds later finds the server up and the update runs to the game's start.
TEST_F(LauncherUpdateTest, RetriesAnUnreachableServerUntilItAnswers) {
  const std::string port = test_support::UnusedPort();
  PointAt(port);
  auto launcher = std::async(std::launch::async, [this] { return RunLauncher(); });

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Log().find("Couldn't get latest updates from server") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(Log().find("Couldn't get latest updates from server"), std::string::npos);
  EXPECT_TRUE(HasLine(Log(), "INFO", "Update server: 127.0.0.1:" + port)) << Log();
  EXPECT_TRUE(HasLine(Log(), "ERROR", "Cannot reach the update server at 127.0.0.1:" + port))
      << Log();
  e2e::AusServerProcess server(Releases(), port);
  ASSERT_EQ(server.port(), port) << "aus-server did not start on the launcher's port";

  const auto result = launcher.get();
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const std::string log = Log();
  const std::string retry = "UpdateManager.ReinitUpdater: attempt to reinit updater.";
  EXPECT_NE(log.find(retry), std::string::npos);
  EXPECT_EQ(log.find(retry), log.rfind(retry)) << "one retry reaches the server";
  EXPECT_EQ(ReadFile(Root() / "readme.txt"), "first");
}

// A release that drops files, with a player's save beside them: the dropped files go, the save,
// the settings and the previous log stay.
TEST_F(LauncherUpdateTest, UpgradeRemovesDroppedFilesAndKeepsThePlayersOwn) {
  WriteFile(Releases() / "1.0.0" / "data" / "locale" / "de.txt", "de");
  WriteFile(Releases() / "1.0.0" / "data" / "locale" / "en.txt", "en");
  e2e::AusServerProcess server(Releases());
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
  PointAtWithDefaults(server.port());
  ASSERT_EQ(RunLauncher().exitCode, 0);
  ASSERT_EQ(ReadFile(Root() / "data" / "locale" / "de.txt"), "de");
  WriteFile(Root() / "data" / "locale" / "player.sav", "my save");

  WriteRelease(Releases() / "1.1.0", "second");
  WriteFile(Releases() / "1.1.0" / "data" / "locale" / "en.txt", "en");
  e2e::AusServerProcess updated(Releases());
  PointAtWithDefaults(updated.port());
  const std::string firstLog = Log();
  auto result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_FALSE(fs::exists(Root() / "data" / "locale" / "de.txt"));
  EXPECT_EQ(ReadFile(Root() / "data" / "locale" / "en.txt"), "en");
  EXPECT_EQ(ReadFile(Root() / "data" / "locale" / "player.sav"), "my save");
  EXPECT_EQ(ReadFile(Root() / "readme.txt"), "second");
  EXPECT_EQ(ReadFile(Root() / "bin" / "LogLauncher.old.txt"), firstLog);
  EXPECT_TRUE(HasLine(Log(), "INFO", "Removed 'data/locale/de.txt'")) << Log();

  PointAtWithDefaults(updated.port());
  result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_FALSE(fs::exists(Root() / "data" / "locale" / "de.txt"));
  EXPECT_FALSE(fs::exists(Root() / "data" / "locale" / "de.txt.$$$"));
  EXPECT_EQ(ReadFile(Root() / "data" / "locale" / "player.sav"), "my save");
  EXPECT_TRUE(fs::exists(Root() / "bin" / "Settings.ini"));
}

// A pin to the older release: what the newer one added goes, what it changed comes back.
TEST_F(LauncherUpdateTest, DowngradeByPinRemovesTheNewerFiles) {
  WriteRelease(Releases() / "1.1.0", "second");
  WriteFile(Releases() / "1.1.0" / "data" / "added.txt", "added in 1.1.0");
  e2e::AusServerProcess server(Releases());
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
  PointAtWithDefaults(server.port());
  ASSERT_EQ(RunLauncher().exitCode, 0);
  ASSERT_EQ(ReadFile(Root() / "data" / "added.txt"), "added in 1.1.0");

  PointAtWithDefaults(server.port(), "client_version=1.0.0\n");
  const auto result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_EQ(ReadFile(Root() / "readme.txt"), "first");
  EXPECT_FALSE(fs::exists(Root() / "data" / "added.txt"));
  EXPECT_EQ(ReadFile(Root() / "data" / "pack.bin"), ReadFile(Releases() / "1.0.0/data/pack.bin"));
  EXPECT_TRUE(HasLine(Log(), "INFO", "Installed version: unknown; target version: 1.0.0")) << Log();
}

// A corruption that keeps the size and modification time is found only by a repair, which the
// trigger file beside "Settings.ini" asks for once.
TEST_F(LauncherUpdateTest, RepairTriggerFixesACorruptionThatKeepsSizeAndTime) {
  e2e::AusServerProcess server(Releases());
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
  PointAtWithDefaults(server.port());
  ASSERT_EQ(RunLauncher().exitCode, 0);
  const fs::path pack = Root() / "data" / "pack.bin";
  const std::string good = ReadFile(pack);
  const auto time = fs::last_write_time(pack);
  std::string bad = good;
  bad[1'234'567] = static_cast<char>(bad[1'234'567] ^ 0x5a);
  WriteFile(pack, bad);
  fs::last_write_time(pack, time);

  ASSERT_EQ(RunLauncher().exitCode, 0);
  EXPECT_EQ(ReadFile(pack), bad) << "unseen without the repair";

  WriteFile(Root() / "bin" / "Repair", "");
  const auto result = RunLauncher();
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_EQ(ReadFile(pack), good);
  EXPECT_FALSE(fs::exists(Root() / "bin" / "Repair"));
  EXPECT_TRUE(HasLine(Log(), "INFO", "repair finished")) << Log();
}

// What support reads at the default level for an update that succeeds and one that fails on a
// refusal: the server, the versions, what is to be fetched, the outcome and the game's start.
TEST_F(LauncherUpdateTest, SupportLinesOfASuccessfulAndAFailedUpdate) {
  e2e::AusServerProcess server(Releases());
  ASSERT_FALSE(server.port().empty()) << "aus-server did not start";
  PointAtWithDefaults(server.port());
  ASSERT_EQ(RunLauncher().exitCode, 0);
  std::string log = Log();
  for (const std::string& text :
       {"Update server: 127.0.0.1:" + server.port(),
        std::string("Installed version: unknown; target version: latest"),
        std::string("Files to download: 3 (5000048 bytes); files to remove: 0"),
        std::string("s: 3 files installed, 0 files removed; 5000048 bytes downloaded"),
        std::string("started the game 'Kolvex.exe'")}) {
    EXPECT_TRUE(HasLine(log, "INFO", text)) << text << "\n" << log;
  }
  EXPECT_EQ(log.find("; DEBUG; "), std::string::npos);

  WriteRelease(Releases() / "1.1.0", "second");
  e2e::AusServerProcess updated(Releases());
  fs::remove(Releases() / "1.1.0" / "readme.txt");  // listed, then gone: the server refuses it
  PointAtWithDefaults(updated.port());
  EXPECT_EQ(RunLauncher().exitCode, 0);
  log = Log();
  EXPECT_TRUE(HasLine(log, "ERROR", "The update server refused the file '")) << log;
  EXPECT_TRUE(HasLine(log, "ERROR", "readme.txt.upd' with error code ")) << log;
  EXPECT_TRUE(HasLine(log, "INFO", "Update failed after ")) << log;
  EXPECT_TRUE(HasLine(log, "INFO", "started the game 'Kolvex.exe'")) << log;
}

}  // namespace
