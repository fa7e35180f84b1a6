#include "package/platform/port.h"

// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

std::vector<std::string> SystemSplit(const std::string& arguments) {
  const std::wstring line = L"program.exe " + std::wstring(arguments.begin(), arguments.end());
  int count = 0;
  wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::string> result;
  for (int i = 1; split != nullptr && i < count; ++i) {
    const std::wstring argument = split[i];
    result.emplace_back(argument.begin(), argument.end());
  }
  LocalFree(split);
  return result;
}

TEST(SplitCommandLineTest, AgreesWithTheSystem) {
  const char* const lines[] = {
      "",
      "a b\tc",
      "  a   b  ",
      R"("two words")",
      R"(a"b c"d)",
      R"(a "" b)",
      R"("open)",
      R"(C:\d\ x)",
      R"(a\"b)",
      R"(a\\"b c")",
      R"(a\\\"b)",
      R"("a""b")",
      R"("a""b c")",
      R"(""")",
      R"("""")",
      R"(""""")",
      R"(a"""b c)",
      R"("a\\")",
      R"(--lg TOKEN "say ""hi""")",
  };
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    EXPECT_EQ(platform::SplitCommandLine(line), SystemSplit(line));
  }
}

// The record helper copied into the scratch directory. Not under the game client's name: the
// system looks for a program in the caller's own folder first, and the tests' folder holds the
// real Kolvex.exe and launcher.exe.
class StartProgramTest : public test_support::InScratchDir {
 protected:
  StartProgramTest() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::filesystem::copy_file(
        std::filesystem::path(self).parent_path() / "platform_record_arguments.exe",
        dir() / "RecordedGame.exe");
  }

  // The record, or empty when none appeared within twenty seconds.
  std::string WaitForRecord() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(dir() / "record.txt")) {
      if (std::chrono::steady_clock::now() >= deadline) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return test_support::ReadFile(dir() / "record.txt");
  }
};

TEST_F(StartProgramTest, ProgramReceivesTheParametersAsGiven) {
  const std::string parameters = R"(--lg D41C7A90E35B4F2688A1C0E97B52F3D6 "two words" a\"b )";
  EXPECT_GT(platform::StartProgram("RecordedGame.exe", parameters), 32);
  const std::string record = WaitForRecord();
  const std::string commandLine = record.substr(0, record.find('\n'));
  EXPECT_EQ(commandLine.substr(commandLine.size() - parameters.size()), parameters) << record;
  EXPECT_EQ(record.substr(commandLine.size() + 1),
            "[--lg]\n[D41C7A90E35B4F2688A1C0E97B52F3D6]\n[two words]\n[a\"b]\n");
}

TEST_F(StartProgramTest, MissingProgramIsReported) {
  EXPECT_LE(platform::StartProgram("NoSuchProgram.exe", ""), 32);
}

class WindowTest : public ::testing::Test {
 protected:
  HWND Create(const char* title) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "PlatformTestWindow";
    RegisterClassA(&windowClass);  // fails harmlessly once registered
    HWND window =
        CreateWindowExA(0, "PlatformTestWindow", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 100,
                        80, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    windows_.push_back(window);
    return window;
  }
  ~WindowTest() override {
    for (HWND window : windows_) DestroyWindow(window);
  }

  std::vector<HWND> windows_;
};

TEST_F(WindowTest, FindsTheWholeTitleAndMinimisesAndShows) {
  ASSERT_NE(Create("Game Launcher"), nullptr);
  EXPECT_EQ(platform::FindWindowByTitle("Game"), platform::kNoWindow);

  HWND game = Create("Game");
  ASSERT_NE(game, nullptr);
  const platform::WindowHandle found = platform::FindWindowByTitle("Game");
  EXPECT_EQ(found, reinterpret_cast<std::uintptr_t>(game));
  EXPECT_EQ(platform::FindWindowByTitle("gAME"), found);

  platform::ShowWindow(found, platform::kShowMinimize);
  EXPECT_TRUE(IsIconic(game));
  platform::ShowWindow(found, platform::kShowDefault);
  EXPECT_FALSE(IsIconic(game));
  EXPECT_TRUE(IsWindowVisible(game));
}

}  // namespace
