#include "package/platform/durablefile.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

using test_support::WriteFile;

class DurableFileTest : public test_support::InScratchDir {
 protected:
  DurableFileTest() {
    WriteFile(dir() / "folder" / "file.bin", "data");
    file_ = (dir() / "folder" / "file.bin").string();
    folder_ = (dir() / "folder").string();
  }

  std::string file_;
  std::string folder_;
};

TEST_F(DurableFileTest, ExistingFileAndFolderSync) {
  EXPECT_FALSE(platform::SyncFile(file_));
  EXPECT_FALSE(platform::SyncDirectory(folder_));
  EXPECT_EQ(test_support::ReadFile(file_), "data");
}

TEST_F(DurableFileTest, MissingPathsAndWrongKindsAreReported) {
  const std::string missingFile = (dir() / "folder" / "missing.bin").string();
  const std::string missingFolder = (dir() / "missing" / "file.bin").string();
  const struct {
    const char* name;
    std::error_code (*sync)(const std::string&);
    std::string path;
    std::errc expected;
  } cases[] = {
      {"file missing", platform::SyncFile, missingFile, std::errc::no_such_file_or_directory},
      {"file's folder missing", platform::SyncFile, missingFolder,
       std::errc::no_such_file_or_directory},
      {"folder missing", platform::SyncDirectory, (dir() / "missing").string(),
       std::errc::no_such_file_or_directory},
      {"folder is a file", platform::SyncDirectory, file_, std::errc::not_a_directory},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::error_code error = c.sync(c.path);
    EXPECT_TRUE(error);
    EXPECT_EQ(error, c.expected) << error.message();
  }
}

TEST_F(DurableFileTest, FilesSyncTogetherAndAMissingFolderIsReported) {
  WriteFile(dir() / "other" / "second.bin", "more");
  const std::string second = (dir() / "other" / "second.bin").string();
  const std::string missing = (dir() / "missing" / "file.bin").string();
  const struct {
    const char* name;
    std::vector<std::string> paths;
    std::error_code expected;
  } cases[] = {
      {"none", {}, {}},
      {"two folders", {file_, second}, {}},
      {"one in a missing folder",
       {file_, missing, second},
       std::make_error_code(std::errc::no_such_file_or_directory)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::error_code error = platform::SyncFiles(c.paths);
    EXPECT_EQ(error, c.expected) << error.message();
  }
  EXPECT_EQ(test_support::ReadFile(file_), "data");
  EXPECT_EQ(test_support::ReadFile(second), "more");
}

TEST_F(DurableFileTest, UnbufferedWritesTakeTheWholeBlocksAtAlignedOffsetsOnly) {
  constexpr std::size_t kBlock = platform::kUnbufferedBlock;
  std::string data((3 << 19) + 100, '\0');  // past the port's 1 MiB chunk, and a tail
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4093);
  const struct {
    const char* name;
    std::uint64_t offset;
    std::size_t size;
    std::size_t expected;  // where the system takes unbuffered writes at all
  } cases[] = {
      {"blocks and a tail", 0, data.size(), data.size() / kBlock * kBlock},
      {"at an aligned offset", 2 * kBlock, 2 * kBlock, 2 * kBlock},
      {"at an offset inside a block", 10, 2 * kBlock, 0},
      {"less than a block", 0, kBlock - 1, 0},
  };
  bool taken = false;  // decided by the first case
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(file_, "");
    std::size_t written = 1;
    const std::error_code error = platform::WriteUnbuffered(
        file_, c.offset, std::string_view(data).substr(0, c.size), written);
    EXPECT_FALSE(error) << error.message();
    if (&c == cases) taken = written != 0;
    EXPECT_EQ(written, taken ? c.expected : 0);
    const std::string contents = test_support::ReadFile(file_);
    EXPECT_EQ(contents.size(), written == 0 ? 0 : c.offset + written);
    EXPECT_TRUE(contents.size() < c.offset || contents.substr(c.offset) == data.substr(0, written));
  }
  if (!taken) return;
  std::size_t written = 1;
  EXPECT_EQ(platform::WriteUnbuffered((dir() / "missing.bin").string(), 0, data, written),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(written, 0u);
}

}  // namespace
