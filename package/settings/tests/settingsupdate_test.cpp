#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "package/logging/logger.h"
#include "package/settings/clientsettings.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/scratchdir.h"

namespace {

using test_support::ReadFile;
using test_support::ReadText;
using test_support::WriteFile;

constexpr const char* kPin = "[Client]\nclient_version=4.34.1905201200";

class SettingsUpdateTest : public test_support::InScratchDir {
 protected:
  // Runs the update with the process logger writing to "log.txt" only; returns what it logged.
  static std::string UpdateLogged(const std::string& text) {
    RouteLogToFile();
    ClientSettings::UpdateSettings(text, false);
    return ReadText("log.txt");
  }

  static void RouteLogToFile() {
    auto& logger = Logger::Instance();
    logger.SetLevel(0);
    logger.SetStreamMask(Logger::kStreamFile);
    logger.SetFile("log.txt");
  }

  void TearDown() override {
    auto& logger = Logger::Instance();
    logger.SetFile(nullptr);
    logger.SetLevel(3);
    logger.SetStreamMask(Logger::kStreamStdout);
  }
};

TEST_F(SettingsUpdateTest, NothingToMergeTouchesNothing) {
  ClientSettings::UpdateSettings("", false);  // no Settings.ini either: not even opened
  EXPECT_FALSE(std::filesystem::exists("Settings.ini"));
}

TEST_F(SettingsUpdateTest, MergesWithoutRestart) {
  struct Case {
    const char* name;
    const char* settings;
    const char* update;  // "SettingsUpdate.ini", or the text when `asText`
    bool asText;
    const char* expected;  // nullptr: the file stays byte for byte
  } cases[] = {
      {"same values keep the file", "# keep\n[AUS]\nhost = a\n\n[Client]\nvolume=100\n",
       "[AUS]\nhost=a\n", false, nullptr},
      {"changed value", "# gone\n[Client]\nvolume=100\nlog_level=2\n", "[Client]\nvolume=50\n",
       false, "[Client]\nvolume=50\nlog_level=2\n"},
      {"new key and section appended", "[Client]\nvolume=100\n[AUS]\nport=3003\n",
       "[Extra]\nx=1\n[Client]\nfullscreen=false\n", false,
       "[Client]\nvolume=100\nfullscreen=false\n[AUS]\nport=3003\n[Extra]\nx=1\n"},
      {"pin adds the key", "[AUS]\nhost=a\n", kPin, true,
       "[AUS]\nhost=a\n[Client]\nclient_version=4.34.1905201200\n"},
      {"pin replaces an empty value", "[Client]\nclient_version=\nvolume=1\n", kPin, true,
       "[Client]\nclient_version=4.34.1905201200\nvolume=1\n"},
      {"keys outside sections are kept, not merged", "top=1\n[Client]\nvolume=1\n",
       "top=2\n[Client]\nvolume=2\n", false, "top=1\n[Client]\nvolume=2\n"},
      {"dotted key added", "[Client]\nvolume=1\n", "[Client]\naudio.backend=pulse\n", false,
       "[Client]\nvolume=1\naudio.backend=pulse\n"},
      {"dotted key changed", "[Client]\naudio.backend=alsa\nvolume=1\n",
       "[Client]\naudio.backend=pulse\n", false, "[Client]\naudio.backend=pulse\nvolume=1\n"},
      {"dotted key beside its undotted prefix", "[Client]\naudio=on\n",
       "[Client]\naudio.backend=pulse\n", false, "[Client]\naudio=on\naudio.backend=pulse\n"},
      {"dotted section", "[a.b]\nx=1\n", "[a.b]\nx=2\n[c.d]\ny.z=3\n", false,
       "[a.b]\nx=2\n[c.d]\ny.z=3\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("Settings.ini", c.settings);
    std::filesystem::remove("SettingsUpdate.ini");
    if (!c.asText) WriteFile("SettingsUpdate.ini", c.update);
    ClientSettings::UpdateSettings(c.asText ? c.update : "", false);
    const std::string merged = ReadText("Settings.ini");
    EXPECT_EQ(merged, c.expected ? c.expected : c.settings);
    // The merged file reads back as what was written: the next start changes nothing.
    ClientSettings::UpdateSettings(c.asText ? c.update : "", false);
    EXPECT_EQ(ReadText("Settings.ini"), merged);
    EXPECT_FALSE(std::filesystem::exists("Settings.ini.new"));
  }
}

TEST_F(SettingsUpdateTest, TextTakesPrecedenceOverTheFile) {
  WriteFile("Settings.ini", "[Client]\nvolume=1\n");
  WriteFile("SettingsUpdate.ini", "[AUS]\nhost=other\n");
  ClientSettings::UpdateSettings("[Client]\nvolume=2", false);
  EXPECT_EQ(ReadText("Settings.ini"), "[Client]\nvolume=2\n");
}

TEST_F(SettingsUpdateTest, ReadErrorsAreLoggedRaisedAndWriteNothing) {
  struct Case {
    const char* name;
    const char* settings;  // nullptr: missing
    const char* update;
    std::string message;
  } cases[] = {
      {"missing settings", nullptr, "[AUS]\nhost=a\n", "Settings.ini: cannot open file"},
      {"bad update line", "[AUS]\nhost=a\n", "[AUS]\nhost\n", "'=' character not found in line"},
      {"duplicate key", "[AUS]\nhost=a\nhost=b\n", "[AUS]\nhost=c\n", "duplicate key name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("Settings.ini");
    if (c.settings) WriteFile("Settings.ini", c.settings);
    WriteFile("SettingsUpdate.ini", c.update);
    std::string error;
    RouteLogToFile();
    try {
      ClientSettings::UpdateSettings("", false);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_NE(ReadText("log.txt").find("; ENGINE; ERROR; Settings.ini update error: " + error),
              std::string::npos);
    if (c.settings) {
      EXPECT_EQ(ReadText("Settings.ini"), c.settings);
    }
  }
}

// A disk that fills up while the merged file is written: "Settings.ini" keeps its old bytes and
// the error goes through the guard.
TEST_F(SettingsUpdateTest, FailedWriteLeavesTheFileAsItWas) {
  const std::string settings = "# comment\n[AUS]\nhost=a\n[Client]\nvolume=1\n";
  WriteFile("Settings.ini", settings);
  WriteFile("SettingsUpdate.ini", "[Client]\nvolume=2\nbig=" + std::string(2048, 'x') + "\n");
  RouteLogToFile();
  EXPECT_EXIT(
      {
        test_support::LimitFileSize(512);
        try {
          ClientSettings::UpdateSettings("", false);
        } catch (const std::exception& error) {
          const std::string text = error.what();
          std::exit(text.find("cannot write file") == std::string::npos ? 2 : 0);
        }
        std::exit(1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadText("Settings.ini"), settings);
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    files.insert(entry.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"Settings.ini", "SettingsUpdate.ini", "log.txt"}));
  EXPECT_NE(ReadText("log.txt").find("; ENGINE; ERROR; Settings.ini update error: "
                                     "Settings.ini.new: cannot write file\n"),
            std::string::npos);
}

TEST_F(SettingsUpdateTest, MergedFileKeepsThePermissions) {
  namespace fs = std::filesystem;
  WriteFile("Settings.ini", "[Client]\nvolume=1\n");
  fs::permissions("Settings.ini", fs::perms::owner_read | fs::perms::owner_write);
  ClientSettings::UpdateSettings("[Client]\nvolume=2", false);
  EXPECT_EQ(ReadText("Settings.ini"), "[Client]\nvolume=2\n");
  EXPECT_EQ(fs::status("Settings.ini").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(SettingsUpdateTest, ChangedAddressRestartsEvenWhenLauncherCannotStart) {
  WriteFile("Settings.ini", "[AUS]\nhost=old\nport=3003\n");
  WriteFile("SettingsUpdate.ini", "[AUS]\nhost=new\n");
  EXPECT_EXIT(UpdateLogged(""), testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadText("Settings.ini"), "[AUS]\nhost=new\nport=3003\n");
  EXPECT_NE(ReadText("log.txt").find("; ENGINE; WARNING; Settings.ini update: cannot run "
                                     "launcher.exe\n"),
            std::string::npos);
  // The next start finds nothing to change and runs on.
  EXPECT_EQ(UpdateLogged(""), "");
}

TEST_F(SettingsUpdateTest, ChangedPortStartsTheLauncherAgain) {
  WriteFile("launcher.exe", "#!/bin/sh\necho started > restarted.txt\n");
  std::filesystem::permissions("launcher.exe", std::filesystem::perms::owner_all);
  WriteFile("Settings.ini", "[AUS]\nhost=a\nport=3003\n");
  WriteFile("SettingsUpdate.ini", "[AUS]\nport=4004\n");
  EXPECT_EXIT(UpdateLogged(""), testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadText("Settings.ini"), "[AUS]\nhost=a\nport=4004\n");
  EXPECT_NE(ReadText("log.txt").find(
                "; ENGINE; INFO; Settings.ini update: client will be closed for restart\n"),
            std::string::npos);
  // The restarted program runs on its own: wait for its line, not just for its file.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadFile("restarted.txt") != "started\n" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ReadFile("restarted.txt"), "started\n");
}

TEST_F(SettingsUpdateTest, ForcedRestartAfterAnyChange) {
  WriteFile("Settings.ini", "[Client]\nvolume=1\n");
  EXPECT_EXIT(ClientSettings::UpdateSettings("[Client]\nvolume=2", true),
              testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadText("Settings.ini"), "[Client]\nvolume=2\n");
}

}  // namespace
