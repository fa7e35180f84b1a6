#include "package/platform/linuxsources.h"

#include <sys/utsname.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "package/platform/platform.h"
#include "package/platform/tests/xserver.h"
#include "tests/support/scratchdir.h"

namespace {

using test_support::WriteFile;

class LinuxSourcesTest : public ::testing::Test {
 protected:
  std::filesystem::path root() const { return scratch_.path(); }

  void WriteInterface(const std::string& name, const std::string& operstate,
                      const std::string& flags, const std::string& address, int index) {
    const auto directory = root() / "net" / name;
    WriteFile(directory / "operstate", operstate + "\n");
    WriteFile(directory / "flags", flags + "\n");
    WriteFile(directory / "address", address + "\n");
    WriteFile(directory / "ifindex", std::to_string(index) + "\n");
  }

  test_support::ScratchDir scratch_;
};

TEST_F(LinuxSourcesTest, MacAddressOfTheFirstQualifyingInterfaceInIndexOrder) {
  EXPECT_EQ(platform::ReadMacAddress(root() / "net"), "00-00-00-00-00-00");

  WriteInterface("lo", "unknown", "0x9", "00:00:00:00:00:00", 1);
  WriteInterface("a-loop", "up", "0x9", "02:00:00:00:00:01", 2);
  WriteInterface("b-down", "down", "0x1002", "02:00:00:00:00:02", 3);
  WriteInterface("c-tunnel", "up", "0x1091", "", 4);
  WriteInterface("d-garbage", "up", "0x1003", "zz:00", 5);
  EXPECT_EQ(platform::ReadMacAddress(root() / "net"), "00-00-00-00-00-00");

  WriteInterface("eth1", "up", "0x1003", "aa:bb:cc:dd:ee:ff", 7);
  WriteInterface("eth0", "up", "0x1003", "00:1a:2b:3c:4d:5e", 6);
  EXPECT_EQ(platform::ReadMacAddress(root() / "net"), "00-1A-2B-3C-4D-5E");
}

TEST_F(LinuxSourcesTest, MachineIdAndSystemDescriptionWithFallbacks) {
  EXPECT_EQ(platform::ReadMachineId(root() / "machine-id"), "ERROR");
  WriteFile(root() / "machine-id", "0123456789abcdef0123456789abcdef\n");
  EXPECT_EQ(platform::ReadMachineId(root() / "machine-id"), "0123456789abcdef0123456789abcdef");

  EXPECT_EQ(platform::ReadSystemDescription(root() / "DMI"), "");
  const char table[] = "\x01\x07\x00\x00\x01\x02\x00Maker\0Box\0\0\x7f\x04\x00\x00\0";
  WriteFile(root() / "DMI", std::string(table, sizeof table - 1));
  EXPECT_EQ(platform::ReadSystemDescription(root() / "DMI"), "Maker Box");
}

TEST_F(LinuxSourcesTest, EdidOfTheFirstConnectorWithASize) {
  EXPECT_EQ(platform::ReadEdidSize(root() / "drm"), std::nullopt);
  std::string edid(128, '\0');
  edid[66] = 0x3C;
  edid[67] = 0x22;
  edid[68] = 0x21;
  WriteFile(root() / "drm" / "card0" / "dev", "226:0\n");
  WriteFile(root() / "drm" / "card0-DP-1" / "edid", "");
  WriteFile(root() / "drm" / "card0-DP-2" / "edid", std::string(128, '\0'));
  WriteFile(root() / "drm" / "card0-HDMI-A-1" / "edid", edid);
  edid[66] = 0x10;
  WriteFile(root() / "drm" / "card1-HDMI-A-2" / "edid", edid);
  EXPECT_EQ(platform::ReadEdidSize(root() / "drm"), (platform::SizeMm{572, 290}));
}

TEST(KernelReleaseTest, ParsesTheLeadingNumbers) {
  const std::pair<const char*, platform::KernelVersion> cases[] = {
      {"6.1.0-18-amd64", {6, 1, 0}},
      {"5.15.133.1-microsoft", {5, 15, 133}},
      {"4.19", {4, 19, 0}},
      {"", {0, 0, 0}},
  };
  for (const auto& [release, version] : cases) {
    SCOPED_TRACE(release);
    EXPECT_EQ(platform::ParseKernelRelease(release), version);
  }
}

TEST(PlatformTest, GathersLinuxFacts) {
  const platform_test::XServer server;
  ASSERT_TRUE(server.Running());
  Platform facts;
  facts.initailize();

  utsname system{};
  uname(&system);
  const auto kernel = platform::ParseKernelRelease(system.release);
  EXPECT_EQ(facts.type, 6u);
  EXPECT_EQ(facts.osMajorVersion, kernel.major);
  EXPECT_EQ(facts.osMinorVersion, kernel.minor);
  EXPECT_FALSE(platform::IsOldWindows(facts.type, facts.osMajorVersion, facts.osMinorVersion));
  EXPECT_TRUE(std::regex_match(facts.macAddress, std::regex("([0-9A-F]{2}-)*[0-9A-F]{2}")))
      << facts.macAddress;
  EXPECT_EQ(facts.virtualScreenWidth, 320);
  EXPECT_EQ(facts.virtualScreenHeight, 240);
  EXPECT_GT(facts.physicalMemoryMB, 0u);
  EXPECT_NE(facts.userAgent.find("Linux"), std::string::npos);

  const Platform& instance = Platform::Instance();
  EXPECT_EQ(&instance, &Platform::Instance());
  EXPECT_EQ(instance.name, "Linux");
}

}  // namespace
