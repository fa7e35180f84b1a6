#include "server/digestcache.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

using aus::server::DigestCache;
using aus::server::FileStamp;
using test_support::WriteFile;

const std::vector<unsigned char> kHash(32, 0xab);
const std::string kHex(64, 'a');

TEST(DigestCacheTest, AnEntryIsTrustedOnlyWhileEveryPartOfTheStampIsUnchanged) {
  test_support::ScratchDir dir;
  const FileStamp stored{5, 1000, 2000, 77};
  {
    DigestCache cache(dir.path() / "cache");
    cache.Put("1.0.0/a", stored, kHash);
    ASSERT_TRUE(cache.Save());
  }
  DigestCache cache(dir.path() / "cache");
  cache.Load();

  const struct {
    const char* name;
    FileStamp stamp;
    bool trusted;
  } cases[] = {
      {"same stamp", stored, true},
      {"other size", {6, 1000, 2000, 77}, false},
      {"other modification time", {5, 1001, 2000, 77}, false},
      {"other change time, as after a rewrite keeping size and time", {5, 1000, 2001, 77}, false},
      {"other inode, as after a replacement by rename", {5, 1000, 2000, 78}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto found = cache.Find("1.0.0/a", c.stamp);
    EXPECT_EQ(found.has_value(), c.trusted);
    if (found) {
      EXPECT_EQ(*found, kHash);
    }
  }
  EXPECT_EQ(cache.Find("1.0.0/b", stored), std::nullopt);
}

TEST(DigestCacheTest, EntriesWithoutChangeTimeAndInodeAreNotTrusted) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"first format", "aus-digests 1\n" + kHex + " 5 1000 1.0.0/a\n"},
      {"fields missing", "aus-digests 2\n" + kHex + " 5 1000 1.0.0/a\n"},
      {"fields cut short", "aus-digests 2\n" + kHex + " 5 1000 2000\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::ScratchDir dir;
    WriteFile(dir.path() / "cache", c.text);
    DigestCache cache(dir.path() / "cache");
    cache.Load();
    for (const FileStamp& stamp : {FileStamp{5, 1000, 0, 0}, FileStamp{5, 1000, 2000, 0}}) {
      EXPECT_EQ(cache.Find("1.0.0/a", stamp), std::nullopt);
    }
  }
  // The same entry with every field is trusted: the cases above fail for the missing fields.
  test_support::ScratchDir dir;
  WriteFile(dir.path() / "cache", "aus-digests 2\n" + kHex + " 5 1000 2000 77 1.0.0/a\n");
  DigestCache cache(dir.path() / "cache");
  cache.Load();
  EXPECT_EQ(cache.Find("1.0.0/a", FileStamp{5, 1000, 2000, 77}),
            std::vector<unsigned char>(32, 0xaa));
}

}  // namespace
