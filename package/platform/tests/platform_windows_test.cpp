#include "package/platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "package/platform/platformfacts.h"

namespace {

TEST(PlatformTest, GathersPlausibleWindowsFacts) {
  testing::internal::CaptureStdout();
  Platform facts;
  facts.initailize();
  const std::string diagnostics = testing::internal::GetCapturedStdout();

  EXPECT_EQ(facts.type, 2u);
  EXPECT_GE(facts.osMajorVersion, 5u);
  EXPECT_GT(facts.osBuildNumber, 0u);
  EXPECT_TRUE(std::regex_match(facts.macAddress, std::regex("([0-9A-F]{2}-)*[0-9A-F]{2}")))
      << facts.macAddress;
  EXPECT_NE(facts.machineGuid, "ERROR");
  EXPECT_GT(facts.physicalMemoryMB, 0u);
  EXPECT_GT(facts.virtualScreenWidth, 0);
  EXPECT_GT(facts.virtualScreenHeight, 0);
  EXPECT_EQ(facts.userAgent.rfind("Mozilla/", 0), 0u) << facts.userAgent;

  std::istringstream lines(diagnostics);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.rfind("Platform::initailize: ", 0), 0u) << line;
  }
  EXPECT_EQ(Platform::Instance().name, "Windows NT");
}

// The script runs this under several configured Windows versions, naming the one it expects in
// PLATFORM_TEST_WINDOWS as "<major>.<minor> old" or "<major>.<minor> new".
TEST(PlatformTest, VersionIsTheConfiguredWindows) {
  const char* expected = std::getenv("PLATFORM_TEST_WINDOWS");
  if (expected == nullptr) GTEST_SKIP() << "PLATFORM_TEST_WINDOWS not set";
  unsigned major = 0;
  unsigned minor = 0;
  char age[8] = {};
  ASSERT_EQ(std::sscanf(expected, "%u.%u %7s", &major, &minor, age), 3) << expected;

  Platform facts;
  facts.initailize();
  EXPECT_EQ(facts.osMajorVersion, major);
  EXPECT_EQ(facts.osMinorVersion, minor);
  EXPECT_EQ(platform::IsOldWindows(facts.type, facts.osMajorVersion, facts.osMinorVersion),
            std::string(age) == "old");
}

}  // namespace
