#include "tests/support/scratchdir.h"

#include <fstream>
#include <random>
#include <sstream>

namespace test_support {

ScratchDir::ScratchDir() {
  std::random_device random;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "t";
  for (;;) {
    path_ = std::filesystem::temp_directory_path() /
            ("launcher-" + name + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::filesystem::path& path, const std::string& contents) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::string ReadText(const std::filesystem::path& path) {
  std::string text = ReadFile(path);
#ifdef _WIN32
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }
  text = std::move(lines);
#endif
  return text;
}

InScratchDir::InScratchDir() : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(scratch_.path());
}

InScratchDir::~InScratchDir() { std::filesystem::current_path(previous_); }

}  // namespace test_support
