#include "package/network/common/rangedigest.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "package/network/common/downloadfile.h"
#include "package/taln/db/updateitem.h"
#include "tests/support/scratchdir.h"

namespace {

using network::common::kPartSize;
using network::common::RangeDigest;

std::string Content(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 31 + i / 977);
  return content;
}

class RangeDigestTest : public test_support::InScratchDir {
 protected:
  // Writes range `index` of `content` into "f" at its offset, as a download does, then reports
  // it.
  static void Write(RangeDigest& digest, const std::string& content, std::uint64_t index) {
    const std::string_view range = std::string_view(content).substr(index * kPartSize, kPartSize);
    std::fstream file("f", std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(index * kPartSize));
    file.write(range.data(), static_cast<std::streamsize>(range.size()));
    file.close();
    digest.Written(index, range);
  }
};

// Whatever order the ranges are written in, the digest is that of the whole file; it is known
// only once every range is in.
TEST_F(RangeDigestTest, AnyOrderGivesTheFilesDigest) {
  struct Case {
    const char* name;
    std::size_t size;
    std::vector<std::uint64_t> order;
    std::set<std::uint64_t> onDisk;
  };
  const Case cases[] = {
      {"empty", 0, {0}, {}},
      {"one range", 1000, {0}, {}},
      {"in order", 3 * kPartSize + 5, {0, 1, 2, 3}, {}},
      {"backwards", 3 * kPartSize + 5, {3, 2, 1, 0}, {}},
      {"mixed", 4 * kPartSize, {1, 0, 3, 2}, {}},
      {"resumed with the first ranges on disk", 3 * kPartSize + 5, {2, 3}, {0, 1}},
      {"resumed with a hole", 3 * kPartSize + 5, {0, 2}, {1, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string content = Content(c.size);
    test_support::WriteFile("f", std::string(c.size, '\0'));
    {
      std::fstream file("f", std::ios::binary | std::ios::in | std::ios::out);
      for (const std::uint64_t index : c.onDisk) {
        file.seekp(static_cast<std::streamoff>(index * kPartSize));
        file.write(content.data() + index * kPartSize,
                   static_cast<std::streamsize>(std::min(kPartSize, c.size - index * kPartSize)));
      }
    }
    RangeDigest digest("f", c.size, c.onDisk);
    for (std::size_t i = 0; i < c.order.size(); ++i) {
      EXPECT_TRUE(digest.Digest().empty());
      Write(digest, content, c.order[i]);
    }
    EXPECT_EQ(digest.Digest(), taln::HashFile("f"));
    EXPECT_EQ(digest.Digest().size(), 32u);
  }
}

// A range of the wrong length leaves a gap or an overlap in the file that its bytes in memory do
// not show: the digest is then unknown, never one the file does not have.
TEST_F(RangeDigestTest, ARangeOfTheWrongLengthLeavesTheDigestUnknown) {
  const std::string content = Content(2 * kPartSize + 10);
  test_support::WriteFile("f", content);
  for (const std::size_t cut : {std::size_t{1}, kPartSize}) {
    SCOPED_TRACE(cut);
    RangeDigest digest("f", content.size());
    digest.Written(0, std::string_view(content).substr(0, kPartSize - cut));
    digest.Written(1, std::string_view(content).substr(kPartSize, kPartSize));
    digest.Written(2, std::string_view(content).substr(2 * kPartSize));
    EXPECT_TRUE(digest.Digest().empty());
  }
}

// A range written ahead that can no longer be read back leaves the digest unknown.
TEST_F(RangeDigestTest, ARangeThatCannotBeReadBackLeavesTheDigestUnknown) {
  const std::string content = Content(2 * kPartSize);
  test_support::WriteFile("f", content);
  RangeDigest digest("f", content.size());
  digest.Written(1, std::string_view(content).substr(kPartSize));
  std::filesystem::resize_file("f", kPartSize + 10);
  digest.Written(0, std::string_view(content).substr(0, kPartSize));
  EXPECT_TRUE(digest.Digest().empty());
}

}  // namespace
