#include "launcher/updatemanager.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "package/logging/logger.h"
#include "package/taln/talndownloadmanager.h"
#include "package/taln/updaterstate.h"
#include "tests/support/scratchdir.h"

namespace {

namespace State = taln::UPDATER_STATE;
using launcher::UpdateManager;

constexpr std::int64_t kSecond = 10000000;

// The engine's facade is a process-wide singleton: pin it to a root that cannot be used, so no
// test here ever starts an engine on a real folder. Its first Start raises; later ones do nothing.
class UnusableEngineRoot : public testing::Environment {
 public:
  void SetUp() override {
    taln::TALN_DownloadManager::Instance((scratch_.path() / "not-a-folder").string());
  }

 private:
  test_support::ScratchDir scratch_;
};
const auto* const kEngineRoot = testing::AddGlobalTestEnvironment(new UnusableEngineRoot);

class FakeWindow : public launcher::IReportOnProgress {
 public:
  void SetStatusText(const char* text) override { texts.push_back(text); }
  void SetProgress(float percent) override { progress.push_back(percent); }
  void Close() override { ++closed; }

  std::vector<std::string> texts;
  std::vector<float> progress;
  int closed = 0;
};

class UpdateManagerTest : public test_support::InScratchDir {
 protected:
  UpdateManagerTest()
      : manager_(
            &window_, [this] { return now_; },
            [this](std::function<void()> task) { tasks_.push_back(std::move(task)); }) {
    Logger::Instance().SetLevel(0);
    Logger::Instance().SetStreamMask(Logger::kStreamFile);
    Logger::Instance().SetFile("log.txt");
  }
  ~UpdateManagerTest() override {
    Logger::Instance().SetFile(nullptr);
    Logger::Instance().SetStreamMask(Logger::kStreamStdout);
    Logger::Instance().SetLevel(3);
  }

  void Event(const std::string& state, int progress = 0, const std::string& message = "") {
    manager_.OnUpdaterEvent(nullptr, state, progress, message);
  }
  void RunPostedTask() {
    ASSERT_FALSE(tasks_.empty());
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    task();
  }
  std::string Log() const { return test_support::ReadText(dir() / "log.txt"); }

  FakeWindow window_;
  std::int64_t now_ = 1000 * kSecond;
  std::deque<std::function<void()>> tasks_;
  UpdateManager manager_;
};

TEST_F(UpdateManagerTest, EventsBecomeStatusAndProgress) {
  Event(State::INITIALIZATION_STARTED, 0, "Checking for updates...");
  Event(State::DOWNLOAD_STARTED, 0, "Downloading updates...");
  Event(State::DOWNLOADING, 50, "Downloading updates...");
  Event(State::INSTALLING_UPDATES, 0, "Installing updates...");
  Event("UPDATER_STATE.SOMETHING_ELSE", 7, "ignored");
  EXPECT_EQ(window_.texts,
            (std::vector<std::string>{"Checking for updates...", "Downloading updates...",
                                      "Installing updates..."}));
  EXPECT_EQ(window_.progress, (std::vector<float>{50.0f}));
  EXPECT_EQ(window_.closed, 0);
}

// Waits (at most 30 s) until the file at `path` holds `lines` lines, and returns it.
std::string WaitForLines(const std::filesystem::path& path, std::size_t lines) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string text;
  while (std::chrono::steady_clock::now() < deadline) {
    text = test_support::ReadFile(path);
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return text;
}

TEST_F(UpdateManagerTest, FinishedOrFailedUpdateStartsTheGameAndCloses) {
  // A game client that records each start's arguments, one per line.
  test_support::WriteFile("Kolvex.exe",
                          "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\" >>starts; done\n");
  std::filesystem::permissions("Kolvex.exe", std::filesystem::perms::owner_all);

  Event(State::DOWNLOAD_FINISHED);
  EXPECT_EQ(window_.closed, 1);
  EXPECT_EQ(WaitForLines("starts", 2), "--lg\nD41C7A90E35B4F2688A1C0E97B52F3D6\n");
  Event(State::DOWNLOAD_FAILED, 0, "Hash validation failed for item 'a'!");
  EXPECT_EQ(window_.texts.back(), "Hash validation failed for item 'a'!");
  EXPECT_EQ(window_.closed, 2);
  EXPECT_EQ(WaitForLines("starts", 4),
            "--lg\nD41C7A90E35B4F2688A1C0E97B52F3D6\n--lg\nD41C7A90E35B4F2688A1C0E97B52F3D6\n");
}

// The game's start and its result, for support: today's failure would otherwise be silent.
TEST_F(UpdateManagerTest, GameStartIsLoggedWithItsResult) {
  Event(State::DOWNLOAD_FINISHED);
  EXPECT_NE(Log().find("; ENGINE; ERROR; UpdateManager.StartGame: cannot start the game "
                       "'Kolvex.exe' (error 2)\n"),
            std::string::npos)
      << Log();
  test_support::WriteFile("Kolvex.exe", "#!/bin/sh\n");
  std::filesystem::permissions("Kolvex.exe", std::filesystem::perms::owner_all);
  Event(State::DOWNLOAD_FINISHED);
  EXPECT_NE(Log().find("; ENGINE; INFO; UpdateManager.StartGame: started the game 'Kolvex.exe'\n"),
            std::string::npos)
      << Log();
  EXPECT_EQ(window_.closed, 2);
}

// The trigger beside "Settings.ini" asks for one repair: it stays through a failed update, so the
// next start repairs again, and goes once an update has succeeded.
TEST_F(UpdateManagerTest, RepairTriggerGoesOnlyAfterASuccessfulUpdate) {
  std::filesystem::create_directory(dir() / "bin");
  std::filesystem::current_path(dir() / "bin");
  test_support::WriteFile("Repair", "");
  std::string program = " ", tail = "";
  char* argv[] = {program.data(), tail.data(), nullptr};
  manager_.Execute(2, argv);
  EXPECT_NE(Log().find("; ENGINE; INFO; UpdateManager.Execute: repair requested by the file "
                       "'Repair': every file is checked again\n"),
            std::string::npos)
      << Log();
  Event(State::DOWNLOAD_FAILED, 0, "Hash validation failed for item 'a'!");
  EXPECT_TRUE(std::filesystem::exists("Repair"));
  Event(State::DOWNLOAD_FINISHED);
  EXPECT_FALSE(std::filesystem::exists("Repair"));
  EXPECT_NE(Log().find("; ENGINE; INFO; UpdateManager.FinishRepair: repair finished, 'Repair' "
                       "removed\n"),
            std::string::npos);
}

TEST_F(UpdateManagerTest, FailedInitialisationCountsDownThenRestartsTheEngine) {
  Event(State::INITIALIZATION_FAILED, 0, "Failed to get update information from the server.");
  EXPECT_EQ(window_.texts.back(), "Failed to connect to autoupdate server. Retry in 10 sec");
  EXPECT_NE(Log().find("; ENGINE; INFO; UpdateManager.OnUpdaterEvent: the update check failed "
                       "(Failed to get update information from the server.); retry in 10 "
                       "seconds\n"),
            std::string::npos);
  for (const char* expected : {"09", "08", "07", "06", "05", "04", "03", "02", "01"}) {
    now_ += kSecond;
    RunPostedTask();
    EXPECT_EQ(window_.texts.back(),
              std::string("Failed to connect to autoupdate server. Retry in ") + expected + " sec");
  }
  EXPECT_EQ(Log().find("attempt to reinit updater"), std::string::npos);
  now_ += kSecond;
  try {
    RunPostedTask();
  } catch (const std::exception&) {
    // The first Start of this program on the pinned root.
  }
  EXPECT_NE(Log().find("; ENGINE; INFO; UpdateManager.ReinitUpdater: attempt to reinit updater.\n"),
            std::string::npos);
  EXPECT_TRUE(tasks_.empty());
}

TEST_F(UpdateManagerTest, CountdownFollowsTheSystemClockBackwards) {
  Event(State::INITIALIZATION_FAILED);
  now_ -= 3600 * kSecond;
  RunPostedTask();
  EXPECT_EQ(window_.texts.back(), "Failed to connect to autoupdate server. Retry in 3610 sec");
}

TEST_F(UpdateManagerTest, FailedExecuteShowsErrorAndNeverStartsTheGame) {
  // The root is the parent of the working directory, which cannot be told once it is gone.
  std::filesystem::create_directory(dir() / "bin");
  std::filesystem::current_path(dir() / "bin");
  std::filesystem::remove(dir() / "bin");
  std::string program = " ", tail = "";
  char* argv[] = {program.data(), tail.data(), nullptr};
  manager_.Execute(2, argv);
  ASSERT_FALSE(window_.texts.empty());
  EXPECT_EQ(window_.texts.back(), "An error has occurred");
  EXPECT_NE(Log().find("; ENGINE; ERROR; UpdateManager.Execute: "), std::string::npos);
  Event(State::DOWNLOAD_FINISHED);
  EXPECT_EQ(window_.closed, 0);
}

TEST(GameParametersTest, TokenThenTheTailUnchanged) {
  struct Case {
    const char* tail;
    std::string expected;
  } cases[] = {
      {"", "--lg D41C7A90E35B4F2688A1C0E97B52F3D6 "},
      {"-server \"a b\" x", "--lg D41C7A90E35B4F2688A1C0E97B52F3D6 -server \"a b\" x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    std::string program = " ", tail = c.tail;
    char* argv[] = {program.data(), tail.data(), nullptr};
    EXPECT_EQ(launcher::GameParameters(2, argv), c.expected);
  }
}

}  // namespace
