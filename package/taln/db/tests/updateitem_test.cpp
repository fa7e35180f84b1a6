#include "package/taln/db/updateitem.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

using taln::DescribeItem;
using taln::HashFile;
using taln::HexString;
using taln::IsSafeName;
using taln::UpdateItem;

TEST(HexStringTest, TwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(HexString({0x0a, 0x1b, 0xff}), "0a1bff");
  EXPECT_EQ(HexString({0x00, 0x90}), "0090");
  EXPECT_EQ(HexString({}), "");
}

TEST(HashFileTest, DigestOfWholeFileAcrossBlocks) {
  test_support::ScratchDir dir;
  const struct {
    const char* name;
    std::string contents;
    const char* digest;
  } cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 976 full blocks and a short one
      {"million", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::WriteFile(dir.path() / c.name, c.contents);
    EXPECT_EQ(HexString(HashFile((dir.path() / c.name).string())), c.digest);
  }
}

TEST(HashFileTest, NoDigestForMissingFileOrDirectory) {
  test_support::ScratchDir dir;
  EXPECT_TRUE(HashFile((dir.path() / "missing").string()).empty());
  EXPECT_TRUE(HashFile(dir.path().string()).empty());
}

TEST(DescribeItemTest, FieldsInOrderWithUtcTime) {
  const struct {
    UpdateItem item;
    const char* expected;
  } cases[] = {
      {{7, "x", 10, 0, {0x0a, 0xff}, true}, "{7, x, 10, Thu Jan  1 00:00:00 1970, 0aff, true}"},
      {{65535, "data/a b.pak", 18446744073709551615u, 1559736000, {}, false},
       "{65535, data/a b.pak, 18446744073709551615, Wed Jun  5 12:00:00 2019, , false}"},
      {{1, "y", 0, -86400, {0x01}, true}, "{1, y, 0, Wed Dec 31 00:00:00 1969, 01, true}"},
      // a time no calendar can print is left out with its separator
      {{2, "z", 3, std::numeric_limits<std::int64_t>::max(), {0x02}, false},
       "{2, z, 3, 02, false}"},
      {{2, "z", 3, std::numeric_limits<std::int64_t>::min(), {0x02}, false},
       "{2, z, 3, 02, false}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(DescribeItem(c.item), c.expected);
  }
}

TEST(IsSafeNameTest, OnlyNamesInsideTheRoot) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"a.bin", true},
      {"data/a.bin", true},
      {"..a/b..", true},
      {"./a", true},
      {"", false},
      {"/etc/passwd", false},
      {"\\x", false},
      {"C:/x", false},
      {"c:x", false},
      {"..", false},
      {"../escape.txt", false},
      {"..\\escape.txt", false},
      {"data/../../x", false},
      {"data/..", false},
      {std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsSafeName(c.name), c.safe);
  }
}

}  // namespace
