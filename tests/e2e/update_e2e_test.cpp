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

}  // namespace
