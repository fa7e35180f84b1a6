// The launcher's start-up as a player meets it: settings errors, the log file, exit codes.
#include <chrono>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "package/platform/tests/xserver.h"
#include "tests/e2e/programrun.h"
#include "tests/support/fakeserver.h"
#include "tests/support/scratchdir.h"

namespace {

using test_support::ReadFile;
using test_support::WriteFile;

constexpr int kExitFailure = 3;
// Settings of a launcher that may run on: an update server address where nothing answers.
std::string RunOnSettings() {
  return "[Client]\nlog_level=0\nenable_multiple_instances=true\n[AUS]\nhost=127.0.0.1\nport=" +
         test_support::UnusedPort() + "\n";
}

class LauncherStartTest : public testing::Test {
 protected:
  // The launcher keeps its window open until the player closes it.
  // The launcher runs in the installation's "bin" folder; the scratch folder is the root.
  LauncherStartTest() { std::filesystem::create_directory(Bin()); }

  e2e::ProgramResult Run() { return e2e::RunAndCloseWindow(LAUNCHER_EXE, {}, Bin()); }
  std::filesystem::path Bin() const { return dir_.path() / "bin"; }
  std::filesystem::path Path(const char* name) const { return Bin() / name; }

  test_support::ScratchDir dir_;
};

TEST_F(LauncherStartTest, SettingsErrorsEndStartUpWithFailureCode) {
  struct Case {
    const char* name;
    const char* settings;  // nullptr: no "Settings.ini"
    const char* message;
  } cases[] = {
      {"missing file", nullptr, "Settings.ini"},
      {"bad value", "[Client]\nvolume=loud\n", "Client.volume"},
      {"duplicate key", "[Client]\nlog_level=1\nlog_level=2\n",
       "cannot be specified more than once"},
  };
  const std::regex line(
      R"(\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}; ENGINE; ERROR; Settings\.ini error: .*)");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Path("Settings.ini"));
    if (c.settings) WriteFile(Path("Settings.ini"), c.settings);
    const auto result = Run();
    EXPECT_EQ(result.exitCode, kExitFailure);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.out, match, line)) << result.out;
    EXPECT_NE(match.str().find(c.message), std::string::npos) << match.str();
    EXPECT_EQ(result.err.find("terminate called"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Path("LogLauncher.txt")));
  }
}

TEST_F(LauncherStartTest, LogFileIsTruncatedAtEveryStart) {
  WriteFile(Path("Settings.ini"), RunOnSettings());
  WriteFile(Path("LogLauncher.txt"), "old line\n");
  const auto result = Run();
  EXPECT_EQ(result.exitCode, 0);
  const std::string log = ReadFile(Path("LogLauncher.txt"));
  EXPECT_EQ(log.find("old line"), std::string::npos);
  // The previous run's log is kept, replacing the one before it.
  EXPECT_EQ(ReadFile(Path("LogLauncher.old.txt")), "old line\n");
  EXPECT_EQ(Run().exitCode, 0);
  EXPECT_EQ(ReadFile(Path("LogLauncher.old.txt")), log);
  const std::regex format(R"((\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}; [A-Z]+; )"
                          R"((TRACE|DEBUG|INFO|WARNING|ERROR|CRITICAL); [^\n]*\n)*)");
  EXPECT_TRUE(std::regex_match(log, format)) << log;
}

// A player closing the window while the update server accepts and then says nothing: the launcher
// must not wait out its network timeouts.
TEST_F(LauncherStartTest, ClosedWhileTheServerIsSilentEndsWithinTwoSeconds) {
  test_support::FakeServer silent(
      [](test_support::FakeConnection& connection) { connection.WaitForClose(); });
  WriteFile(Path("Settings.ini"),
            "[Client]\nlog_level=0\nenable_multiple_instances=true\n[AUS]\nhost=127.0.0.1\nport=" +
                silent.port() + "\n");
  const auto result =
      e2e::RunAndCloseWindow(LAUNCHER_EXE, {}, Bin(), [&silent] { return silent.accepted() > 0; });
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_GE(result.closeToExit.count(), 0);
  EXPECT_LT(result.closeToExit, std::chrono::seconds(2));
}

// Another game client's window: the launcher brings it forward and leaves without a log.
TEST_F(LauncherStartTest, RunningGameWindowKeepsASecondLauncherOut) {
  platform_test::XServer display;
  ASSERT_TRUE(display.Running()) << "Xvfb did not start";
  display.CreateWindow("Game Launcher", "Game Launcher");
  const auto game = display.CreateWindow("Game", "Game");

  WriteFile(Path("Settings.ini"), "[Client]\nlog_level=0\n");
  const auto result = e2e::RunProgram(LAUNCHER_EXE, {}, Bin());
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(Path("LogLauncher.txt")));
  EXPECT_TRUE(display.Viewable(game));

  WriteFile(Path("Settings.ini"), RunOnSettings());
  EXPECT_EQ(Run().exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(Path("LogLauncher.txt")));
}

}  // namespace
