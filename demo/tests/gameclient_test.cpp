#include "demo/gameclient.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

using Args = std::vector<std::string>;

TEST(DisplaySecondsTest, ReadsTheOptionWhereverItStands) {
  const struct {
    const char* name;
    Args arguments;
    int expected;
  } cases[] = {
      {"absent", {"--lg", "TOKEN"}, demo::kDefaultSeconds},
      {"after the token", {"--lg", "TOKEN", "--seconds", "2"}, 2},
      {"last one wins", {"--seconds", "7", "--seconds", "1"}, 1},
      {"zero", {"--seconds", "0"}, 0},
      {"no value", {"--seconds"}, demo::kDefaultSeconds},
      {"not a number", {"--seconds", "3s"}, demo::kDefaultSeconds},
      {"negative", {"--seconds", "-5"}, 0},
      {"huge", {"--seconds", "99999999999999999999"}, demo::kDefaultSeconds},
      {"above the limit", {"--seconds", "100000"}, demo::kMaxSeconds},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(demo::DisplaySeconds(c.arguments), c.expected);
  }
}

TEST(InstalledVersionTest, ComesFromTheRootManifest) {
  const struct {
    const char* name;
    const char* manifest;  // null: no manifest file
    std::string expected;
  } cases[] = {
      {"no manifest", nullptr, "unknown"},
      {"complete", "[version]\nmajor=1\nminor=2\nrevision=30\n[deploy]\noptional=video/a.bik\n",
       "1.2.30"},
      {"missing revision", "[version]\nmajor=1\nminor=2\n", "unknown"},
      {"not a number", "[version]\nmajor=x\nminor=2\nrevision=3\n", "unknown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::ScratchDir root;
    if (c.manifest) test_support::WriteFile(root.path() / "manifest", c.manifest);
    EXPECT_EQ(demo::InstalledVersion(root.path()), c.expected);
  }
}

TEST(InstalledVersionTest, DirectoryNamedManifestOrMissingRootIsUnknown) {
  test_support::ScratchDir root;
  std::filesystem::create_directory(root.path() / "manifest");
  EXPECT_EQ(demo::InstalledVersion(root.path()), "unknown");
  EXPECT_EQ(demo::InstalledVersion(root.path() / "absent"), "unknown");
}

TEST(RecordLineTest, QuotesEveryArgumentUnambiguously) {
  const struct {
    const char* name;
    Args arguments;
    std::string expected;
  } cases[] = {
      {"none", {}, "\n"},
      {"token", {"--lg", "D41C"}, "\"--lg\" \"D41C\"\n"},
      {"empty argument", {"a", ""}, "\"a\" \"\"\n"},
      {"blank kept inside", {"two words"}, "\"two words\"\n"},
      {"quote and backslash",
       {R"(a"b\c)"},
       R"("a\"b\\c")"
       "\n"},
      {"line breaks", {"a\nb\rc"}, "\"a\\nb\\rc\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(demo::RecordLine(c.arguments), c.expected);
  }
}

TEST(AppendRecordTest, AppendsOneLinePerRun) {
  test_support::ScratchDir dir;
  const auto path = dir.path() / "record.txt";
  ASSERT_TRUE(demo::AppendRecord(path, {"--lg", "T"}));
  ASSERT_TRUE(demo::AppendRecord(path, {"x"}));
  EXPECT_EQ(test_support::ReadFile(path), "\"--lg\" \"T\"\n\"x\"\n");
  EXPECT_FALSE(demo::AppendRecord(dir.path(), {"x"}));
}

}  // namespace
