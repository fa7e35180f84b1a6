#include "package/platform/port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "package/logging/logger.h"
#include "package/platform/port_posix.h"
#include "package/platform/tests/xserver.h"
#include "tests/support/scratchdir.h"

namespace {

using platform_test::XServer;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Running()) << "Xvfb did not start"; }

  XServer server_;
};

TEST_F(WindowTest, MatchesTheWholeTitleOnly) {
  using Title = std::optional<std::string>;
  const struct {
    const char* name;
    Title netName;
    Title wmName;
    bool found;
  } cases[] = {
      {"WM_NAME", std::nullopt, "Game", true},
      {"_NET_WM_NAME", "Game", std::nullopt, true},
      {"_NET_WM_NAME decides", "Game", "Other", true},
      {"_NET_WM_NAME decides against", "Game Launcher", "Game", false},
      {"longer title", "Game Launcher", std::nullopt, false},
      {"prefix", "Gam", std::nullopt, false},
      {"trailing blank", std::nullopt, "Game ", false},
      {"other case", "gAME", std::nullopt, true},
      {"other case in WM_NAME", std::nullopt, "GAME", true},
      {"other case, longer title", "game launcher", std::nullopt, false},
      {"no title", std::nullopt, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto window = server_.CreateWindow(c.netName, c.wmName);
    EXPECT_EQ(platform::FindWindowByTitle("Game"), c.found ? window : platform::kNoWindow);
    server_.DestroyWindow(window);
  }
}

TEST_F(WindowTest, SearchedTitleIgnoresCase) {
  const auto window = server_.CreateWindow("Game", std::nullopt);
  for (const char* title : {"game", "GAME", "gAmE"}) {
    SCOPED_TRACE(title);
    EXPECT_EQ(platform::FindWindowByTitle(title), window);
  }
  EXPECT_EQ(platform::FindWindowByTitle("game launcher"), platform::kNoWindow);
}

TEST_F(WindowTest, FindsTheClientInsideAFrameAndPrefersTheTopmost) {
  server_.CreateWindow("Game Launcher", std::nullopt);
  const auto frame = server_.CreateWindow("Game", std::nullopt);
  const auto inner = server_.CreateWindow(std::nullopt, std::nullopt, frame);
  const auto client = server_.CreateWindow("Game", std::nullopt, inner);
  server_.SetWmState(client);
  EXPECT_EQ(platform::FindWindowByTitle("Game"), client);

  const auto above = server_.CreateWindow(std::nullopt, "Game");
  EXPECT_EQ(platform::FindWindowByTitle("Game"), above);
}

TEST_F(WindowTest, MinimiseHidesAndDefaultShowsWithoutWindowManager) {
  const auto window = server_.CreateWindow("Game", std::nullopt);
  platform::ShowWindow(window, platform::kShowMinimize);
  EXPECT_FALSE(server_.Viewable(window));
  platform::ShowWindow(window, platform::kShowDefault);
  EXPECT_TRUE(server_.Viewable(window));
}

TEST_F(WindowTest, MinimiseAsksTheWindowManagerAndHidesWhenItDoesNotAct) {
  const auto window = server_.CreateWindow("Game", std::nullopt);
  server_.BecomeIdleWindowManager();

  platform::ShowWindow(window, platform::kShowMinimize);

  EXPECT_TRUE(server_.ReceivedIconifyRequest(window));
  EXPECT_FALSE(server_.Viewable(window));
}

TEST_F(WindowTest, VanishedWindowsAndMissingDisplayAreHarmless) {
  const auto window = server_.CreateWindow("Game", std::nullopt);
  server_.DestroyWindow(window);
  platform::ShowWindow(window, platform::kShowMinimize);
  platform::ShowWindow(window, platform::kShowDefault);
  EXPECT_EQ(platform::FindWindowByTitle("Game"), platform::kNoWindow);

  const auto game = server_.CreateWindow("Game", std::nullopt);
  unsetenv("DISPLAY");
  EXPECT_EQ(platform::FindWindowByTitle("Game"), platform::kNoWindow);
  platform::ShowWindow(game, platform::kShowMinimize);
  EXPECT_TRUE(server_.Viewable(game));
}

// Programs that record what they received in "record.txt" of the working directory.
class StartProgramTest : public test_support::InScratchDir {
 protected:
  static constexpr const char* kRecordArguments =
      "#!/bin/sh\n"
      "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > record.tmp\n"
      "mv record.tmp record.txt\n";

  static void WriteProgram(const std::filesystem::path& path, const std::string& text,
                           bool executable = true) {
    test_support::WriteFile(path, text);
    chmod(path.c_str(), executable ? 0755 : 0644);
  }

  static std::string WriteMarker(const std::string& marker) {
    return "#!/bin/sh\necho " + marker + " > record.tmp\nmv record.tmp record.txt\n";
  }

  // The record, or empty when none appeared within ten seconds.
  std::string WaitForRecord() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(dir() / "record.txt")) {
      if (std::chrono::steady_clock::now() >= deadline) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return test_support::ReadFile(dir() / "record.txt");
  }
};

TEST_F(StartProgramTest, PassesParametersSplitByTheWindowsRules) {
  WriteProgram("Kolvex.exe", kRecordArguments);
  const int result =
      platform::StartProgram("Kolvex.exe", R"(--lg TOKEN "two words" a\"b "" C:\dir\ )");
  EXPECT_GT(result, 32);
  EXPECT_EQ(WaitForRecord(), "[--lg]\n[TOKEN]\n[two words]\n[a\"b]\n[]\n[C:\\dir\\]\n");
}

TEST_F(StartProgramTest, ResolvesFromTheWorkingDirectoryThenPath) {
  const struct {
    const char* name;
    std::optional<std::string> inWorkingDirectory;
    bool executable;
    bool onPath;
    int result;  // 0 for started
    std::string record;
  } cases[] = {
      {"working directory first", WriteMarker("cwd"), true, true, 0, "cwd\n"},
      {"then PATH", std::nullopt, true, true, 0, "path\n"},
      {"missing", std::nullopt, true, false, platform::kErrorFileNotFound, ""},
      {"not executable", WriteMarker("cwd"), false, true, platform::kErrorAccessDenied, ""},
      {"not a program",
       "\x7f"
       "garbage",
       true, false, platform::kErrorBadFormat, ""},
  };
  const char* path = std::getenv("PATH");
  const std::string previousPath = path != nullptr ? path : "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const test_support::ScratchDir bin;
    if (c.onPath) WriteProgram(bin.path() / "launcher.exe", WriteMarker("path"));
    setenv("PATH", (bin.path().string() + ":" + previousPath).c_str(), 1);
    if (c.inWorkingDirectory) WriteProgram("launcher.exe", *c.inWorkingDirectory, c.executable);

    const int result = platform::StartProgram("launcher.exe", "");

    if (c.result == 0) {
      EXPECT_GT(result, 32);
    } else {
      EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(c.result == 0 ? WaitForRecord() : "", c.record);
    setenv("PATH", previousPath.c_str(), 1);
    std::filesystem::remove("launcher.exe");
    std::filesystem::remove("record.txt");
  }
}

TEST_F(StartProgramTest, DoesNotHandOverOpenFiles) {
  const int inherited = open(".", O_RDONLY);  // no close-on-exec
  ASSERT_GE(inherited, 0);
  WriteProgram("Kolvex.exe",
               "#!/bin/sh\n"
               "if [ -e /proc/$$/fd/$1 ]; then echo open; else echo closed; fi > record.tmp\n"
               "mv record.tmp record.txt\n");
  EXPECT_GT(platform::StartProgram("Kolvex.exe", std::to_string(inherited)), 32);
  EXPECT_EQ(WaitForRecord(), "closed\n");
  close(inherited);
}

// A process state as /proc shows it ('Z' for a zombie); 0 when there is no such process.
char ProcessState(const std::string& pid) {
  const std::string stat = test_support::ReadFile("/proc/" + pid + "/stat");
  const auto end = stat.rfind(')');  // the name in parentheses may hold blanks
  return end == std::string::npos || end + 2 >= stat.size() ? 0 : stat[end + 2];
}

void FailToStartThread(std::function<void()>) {
  throw std::system_error(EAGAIN, std::generic_category(), "thread");
}

TEST_F(StartProgramTest, ProgramIsReapedEvenWithoutAThread) {
  WriteProgram("Kolvex.exe", "#!/bin/sh\necho $$ > record.tmp\nmv record.tmp record.txt\n");
  const platform::ThreadStarter previous = platform::SetThreadStarter(FailToStartThread);
  int result = 0;
  EXPECT_NO_THROW(result = platform::StartProgram("Kolvex.exe", ""));
  platform::SetThreadStarter(previous);
  EXPECT_GT(result, 32);
  std::string pid = WaitForRecord();
  ASSERT_FALSE(pid.empty());
  pid.pop_back();

  // Nobody has reaped it yet: once it ends it is a zombie.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ProcessState(pid) != 'Z' && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ProcessState(pid), 'Z');
  std::filesystem::remove("record.txt");
  EXPECT_GT(platform::StartProgram("Kolvex.exe", ""), 32);
  EXPECT_EQ(ProcessState(pid), 0);
  EXPECT_FALSE(WaitForRecord().empty());
}

TEST_F(StartProgramTest, ProgramGetsBrokenPipesSignalledAgain) {
  WriteProgram("Kolvex.exe",
               "#!/bin/sh\n"
               "grep SigIgn /proc/$$/status > record.tmp\n"
               "mv record.tmp record.txt\n");
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  const int result = platform::StartProgram("Kolvex.exe", "");
  std::signal(SIGPIPE, previous);
  EXPECT_GT(result, 32);
  const std::string record = WaitForRecord();
  ASSERT_EQ(record.rfind("SigIgn:", 0), 0u) << record;
  const unsigned long long ignored = std::stoull(record.substr(7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << record;
}

// The launcher's standard output may be a pipe whose reader has gone; its log file must still get
// every line, and the process must live on.
TEST(BrokenPipeTest, ClosedStandardOutputCostsOnlyItsLines) {
  const test_support::ScratchDir scratch;
  const auto log = scratch.path() / "log.txt";
  EXPECT_EXIT(
      {
        alarm(20);  // the deadline of this child
        int fds[2];
        if (pipe(fds) != 0) std::exit(2);
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        platform::IgnoreBrokenPipes();
        Logger logger;
        logger.SetLevel(0);
        logger.SetStreamMask(Logger::kStreamStdout | Logger::kStreamFile);
        logger.SetFile(log.c_str());
        for (int i = 0; i < 5; ++i) logger.Print("ENGINE", 2, "line %d", i);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
  std::istringstream in(test_support::ReadFile(log));
  std::vector<std::string> bodies;
  for (std::string line; std::getline(in, line);) bodies.push_back(line.substr(22));
  EXPECT_EQ(bodies, (std::vector<std::string>{"ENGINE; INFO; line 0", "ENGINE; INFO; line 1",
                                              "ENGINE; INFO; line 2", "ENGINE; INFO; line 3",
                                              "ENGINE; INFO; line 4"}));
}

}  // namespace
