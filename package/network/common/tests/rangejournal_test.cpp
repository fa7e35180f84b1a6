#include "package/network/common/rangejournal.h"

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "package/network/common/downloadfile.h"
#include "tests/support/scratchdir.h"

namespace {

using network::common::kPartSize;
using network::common::RangeJournal;

constexpr std::uint64_t kSize = 5 * kPartSize + 7;  // six ranges
const std::vector<unsigned char> kDigest(32, 0xab);

class RangeJournalTest : public test_support::InScratchDir {
 protected:
  // A journal for "f.upd" recording `ranges`, with a download of `downloadSize` bytes.
  static void Make(const std::set<std::uint64_t>& ranges, std::uint64_t downloadSize) {
    test_support::WriteFile("f.upd", std::string(downloadSize, 'x'));
    RangeJournal journal("f.upd", kSize, kDigest, {});
    for (const std::uint64_t range : ranges) journal.Written(range);
    journal.Flush();
  }
};

TEST_F(RangeJournalTest, RecordedRangesAreReadBack) {
  Make({0, 1, 3}, 4 * kPartSize);
  const RangeJournal journal("f.upd", kSize, kDigest, {});
  EXPECT_EQ(journal.done(), (std::set<std::uint64_t>{0, 1, 3}));
  EXPECT_EQ(journal.DoneBytes(), 3 * kPartSize);
}

// A journal that does not describe the download at hand is removed and starts empty.
TEST_F(RangeJournalTest, AJournalThatDoesNotMatchIsDiscarded) {
  struct Case {
    const char* name;
    std::set<std::uint64_t> ranges;
    std::uint64_t downloadSize;
    std::uint64_t openedSize;
    std::vector<unsigned char> openedDigest;
  };
  const Case cases[] = {
      {"another size", {0, 1}, 2 * kPartSize, kSize + 1, kDigest},
      {"another digest", {0, 1}, 2 * kPartSize, kSize, std::vector<unsigned char>(32, 0xac)},
      {"download too short", {0, 3}, 3 * kPartSize, kSize, kDigest},
      {"download missing", {0}, 0, kSize, kDigest},
      {"every range", {0, 1, 2, 3, 4, 5}, kSize, kSize, kDigest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Make(c.ranges, c.downloadSize);
    if (c.downloadSize == 0) std::filesystem::remove("f.upd");
    const RangeJournal journal("f.upd", c.openedSize, c.openedDigest, {});
    EXPECT_TRUE(journal.done().empty());
    EXPECT_FALSE(std::filesystem::exists("f.upd.journal"));
  }
}

// A record cut short or zeroed by a crash ends what is trusted; the next record rewrites the
// journal without it, so later records are not lost behind it.
TEST_F(RangeJournalTest, ATornTailIsDroppedAndRewritten) {
  for (const std::string& tail : {std::string(5, '\1'), std::string(16, '\0')}) {
    SCOPED_TRACE(tail.size());
    std::filesystem::remove("f.upd.journal");
    Make({0, 1}, 4 * kPartSize);
    test_support::WriteFile("f.upd.journal", test_support::ReadFile("f.upd.journal") + tail);
    {
      RangeJournal journal("f.upd", kSize, kDigest, {});
      EXPECT_EQ(journal.done(), (std::set<std::uint64_t>{0, 1}));
      journal.Written(2);
      journal.Flush();
    }
    const RangeJournal journal("f.upd", kSize, kDigest, {});
    EXPECT_EQ(journal.done(), (std::set<std::uint64_t>{0, 1, 2}));
  }
}

// A range is recorded only once the download is synced: a failed sync records nothing.
TEST_F(RangeJournalTest, NothingIsRecordedWithoutASync) {
  test_support::WriteFile("f.upd", std::string(2 * kPartSize, 'x'));
  bool fail = true;
  {
    RangeJournal journal("f.upd", kSize, kDigest, [&](const std::string&) {
      return fail ? std::make_error_code(std::errc::io_error) : std::error_code();
    });
    journal.Written(0);
    journal.Flush();
    EXPECT_FALSE(std::filesystem::exists("f.upd.journal"));
    fail = false;
    journal.Written(1);
    journal.Flush();
  }
  const RangeJournal journal("f.upd", kSize, kDigest, {});
  EXPECT_EQ(journal.done(), (std::set<std::uint64_t>{0, 1}));
}

TEST_F(RangeJournalTest, CompleteRemovesTheJournal) {
  Make({0}, kPartSize);
  RangeJournal journal("f.upd", kSize, kDigest, {});
  journal.Written(1);
  journal.Complete();
  journal.Flush();
  EXPECT_FALSE(std::filesystem::exists("f.upd.journal"));
}

}  // namespace
