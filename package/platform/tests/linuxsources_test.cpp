#include "package/platform/linuxsources.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <regex>
#include <string>
#include <thread>

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

// Feeds a FIFO with up to `total` bytes of 'x' (no line feed) until its reader closes it, as an
// endless source would; gives up after ten seconds without progress.
class FifoWriter {
 public:
  FifoWriter(const std::filesystem::path& fifo, std::size_t total)
      : thread_([this, fifo, total] { Feed(fifo, total); }) {}
  ~FifoWriter() { Join(); }

  // The number of bytes the reader took before it closed the FIFO (or all of them).
  std::size_t Join() {
    if (thread_.joinable()) thread_.join();
    return written_;
  }

 private:
  void Feed(const std::filesystem::path& fifo, std::size_t total) {
    // The reader closing early must fail the write, not end the test program.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int fd = -1;
    while ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0) return;
    const std::string chunk(64 * 1024, 'x');
    while (written_ < total) {
      pollfd ready{fd, POLLOUT, 0};
      if (poll(&ready, 1, 10000) != 1) break;
      const ssize_t n = write(fd, chunk.data(), std::min(chunk.size(), total - written_));
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) break;
      written_ += static_cast<std::size_t>(n);
    }
    close(fd);
  }

  std::size_t written_ = 0;
  std::thread thread_;
};

TEST_F(LinuxSourcesTest, ReadsNoFurtherThanTheBound) {
  const struct {
    const char* name;
    std::function<std::size_t(const std::filesystem::path&)> read;  // the length of the result
  } readers[] = {
      {"first line", [](const auto& file) { return platform::ReadMachineId(file).size(); }},
      {"whole file", [](const auto& file) { return platform::ReadSystemDescription(file).size(); }},
  };
  for (const auto& reader : readers) {
    SCOPED_TRACE(reader.name);
    WriteFile(root() / "huge", std::string(platform::kMaxSourceBytes + 10, 'x'));
    EXPECT_LE(reader.read(root() / "huge"), platform::kMaxSourceBytes);

    const auto fifo = root() / "endless";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FifoWriter writer(fifo, 4 * platform::kMaxSourceBytes);
    EXPECT_LE(reader.read(fifo), platform::kMaxSourceBytes);
    // What the FIFO and the reader's buffer hold besides the bound.
    EXPECT_LT(writer.Join(), platform::kMaxSourceBytes + 512 * 1024);
    std::filesystem::remove(fifo);
  }
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
