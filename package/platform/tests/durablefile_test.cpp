#include "package/platform/durablefile.h"

#include <filesystem>
#include <string>
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

TEST_F(DurableFileTest, FilesSyncTogetherAndAMissingOneIsReported) {
  WriteFile(dir() / "other" / "second.bin", "more");
  const std::string second = (dir() / "other" / "second.bin").string();
  const std::string missing = (dir() / "folder" / "missing.bin").string();
  const struct {
    const char* name;
    std::vector<std::string> paths;
    std::error_code expected;
  } cases[] = {
      {"none", {}, {}},
      {"two folders", {file_, second}, {}},
      {"one missing",
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

}  // namespace
