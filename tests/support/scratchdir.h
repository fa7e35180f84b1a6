#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace test_support {

// A fresh directory under the system's temporary directory, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes `contents` to `path`, creating parent folders.
void WriteFile(const std::filesystem::path& path, const std::string& contents);
// The whole file as bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// A file the program writes in text mode (a log, "Settings.ini"), with its lines ending in "\n":
// on Windows text mode ends them in CR LF.
std::string ReadText(const std::filesystem::path& path);

// A test fixture whose body runs with a fresh scratch directory as the current path, for code
// that opens files by relative name. The previous current path is restored afterwards.
class InScratchDir : public ::testing::Test {
 protected:
  InScratchDir();
  ~InScratchDir() override;

  const std::filesystem::path& dir() const { return scratch_.path(); }

 private:
  std::filesystem::path previous_;
  ScratchDir scratch_;
};

}  // namespace test_support
