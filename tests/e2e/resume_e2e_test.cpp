// The update engine killed in the middle of a large download, then started again: the second run
// keeps the ranges the first one had on disk and recorded, and fetches only the rest.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/ausserverprocess.h"
#include "tests/e2e/programrun.h"
#include "tests/support/scratchdir.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRange = 2097152;
constexpr std::size_t kSize = 24 * kRange;

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + i / 4099) % 251);
  return bytes;
}

// The journal records ranges four or more at a time, each time after syncing the download, on a
// thread of its own: strace kills the engine as that thread enters its fifth sync of the download,
// when at least 16 of the 24 ranges are recorded and the last ones are not.
TEST(ResumeTest, KilledMidFileTheNextRunKeepsTheRecordedRanges) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is missing (scripts/setup.sh installs it)";
  }
  test_support::ScratchDir scratch;
  const fs::path releases = scratch.path() / "releases";
  const fs::path work = scratch.path() / "work";
  const fs::path root = scratch.path() / "root";
  const std::string content = Pattern(kSize);
  test_support::WriteFile(releases / "1.0.0" / "data" / "big.bin", content);
  fs::create_directories(root);
  e2e::AusServerProcess server(releases);
  ASSERT_FALSE(server.port().empty());
  test_support::WriteFile(work / "Settings.ini",
                          "[AUS]\nhost=127.0.0.1\nport=" + server.port() + "\n");
  const fs::path download = root / "data" / "big.bin.upd";

  const e2e::ProgramResult killed =
      e2e::RunProgram("strace",
                      {"-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync", "-e",
                       "inject=fdatasync:signal=KILL:when=5", "-P", download.string(),
                       ENGINE_BATCH_EXE, root.string()},
                      work);
  EXPECT_NE(killed.exitCode, 0);
  ASSERT_TRUE(fs::exists(fs::path(download.string() + ".journal")));
  EXPECT_FALSE(fs::exists(root / "data" / "big.bin"));

  const e2e::ProgramResult resumed = e2e::RunProgram(ENGINE_BATCH_EXE, {root.string()}, work);
  EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err;
  const std::string resuming = "Resuming '" + download.string() + "': ";
  const std::size_t at = resumed.err.find(resuming);
  ASSERT_NE(at, std::string::npos) << resumed.err;
  const std::string kept =
      resumed.err.substr(at + resuming.size(), resumed.err.find('\n', at) - at - resuming.size());
  const std::uint64_t bytes = std::stoull(kept);
  EXPECT_EQ(kept, std::to_string(bytes) + " of " + std::to_string(kSize) + " bytes are on disk.");
  // Whole ranges, at least the sixteen the first four syncs recorded, never the whole file.
  EXPECT_EQ(bytes % kRange, 0u);
  EXPECT_GE(bytes, 16 * kRange);
  EXPECT_LT(bytes, kSize);
  EXPECT_EQ(test_support::ReadFile(root / "data" / "big.bin"), content);
  EXPECT_FALSE(fs::exists(fs::path(download.string() + ".journal")));
  EXPECT_FALSE(fs::exists(download));
}

}  // namespace
