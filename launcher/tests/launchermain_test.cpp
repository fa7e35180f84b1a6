#include "launcher/launchermain.h"

#include <string>

#include <gtest/gtest.h>

#include "package/platform/platform.h"
#include "package/settings/serversettings.h"
#include "tests/support/scratchdir.h"

namespace {

using test_support::ReadFile;
using test_support::WriteFile;

class PinClientVersionTest : public test_support::InScratchDir {};

TEST_F(PinClientVersionTest, OnlyOldWindowsWithoutAVersionIsPinned) {
  struct Case {
    const char* name;
    std::uint32_t type, major, minor;
    const char* settings;
    bool pinned;
  } cases[] = {
      {"Windows XP", 2, 5, 1, "[Client]\nlanguage=en\n", true},
      {"Windows 7", 2, 6, 1, "[Client]\nlanguage=en\n", false},
      {"Windows Vista", 2, 6, 0, "[Client]\nlanguage=en\n", true},
      {"Linux 5.0", 6, 5, 0, "[Client]\nlanguage=en\n", false},
      {"a version already set", 2, 5, 1, "[Client]\nclient_version=1.2.3\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("Settings.ini", c.settings);
    const ServerSettings settings;
    Platform system;
    system.type = c.type;
    system.osMajorVersion = c.major;
    system.osMinorVersion = c.minor;
    launcher::PinClientVersionOnOldWindows(system, settings);
    const std::string after = ReadFile("Settings.ini");
    if (c.pinned) {
      EXPECT_NE(after.find("client_version=4.34.1905201200"), std::string::npos) << after;
      EXPECT_NE(after.find("language=en"), std::string::npos) << after;
    } else {
      EXPECT_EQ(after, c.settings);
    }
  }
}

}  // namespace
