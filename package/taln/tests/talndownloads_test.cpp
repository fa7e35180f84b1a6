// The engine's downloads over an unreliable connection: retries, and resuming what a stopped or
// failed run left on disk.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/network/common/downloadfile.h"
#include "package/taln/enginelog.h"
#include "package/taln/tests/enginetest.h"
#include "package/taln/updaterstate.h"

namespace {

namespace State = taln::UPDATER_STATE;
using network::common::kPartSize;
using taln_test::EngineTest;
using taln_test::FakeAus;

constexpr Version kV1{1, 0, 0};

// Four ranges.
const std::string kLarge = [] {
  std::string bytes(3 * kPartSize + 12345, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
  return bytes;
}();

FakeAus::Release Release() { return {{{"data/pack.bin", kLarge}, {"readme.txt", "hello"}}, {}}; }

// Offsets of the FileData requests for the file at index `index`.
std::vector<std::uint64_t> Offsets(const FakeAus& aus, int index) {
  std::vector<std::uint64_t> offsets;
  const std::string prefix = "FileData index=" + std::to_string(index) + " offset=";
  for (const std::string& request : aus.Requests()) {
    if (request.rfind(prefix, 0) != 0) continue;
    offsets.push_back(std::stoull(request.substr(prefix.size())));
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

// A connection dropped in the middle of a range costs a warning and that range again, not the
// batch.
TEST_F(EngineTest, ADroppedConnectionIsRetriedWithAWarning) {
  aus_.Publish(kV1, Release());
  aus_.DropFileDataAt(kPartSize, 1);
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("data/pack.bin"), kLarge);
  EXPECT_TRUE(lines_.Contains("retry 1 of 3 on a new connection", taln::kLogWarning));
  EXPECT_EQ(Offsets(aus_, 0),
            (std::vector<std::uint64_t>{0, kPartSize, kPartSize, 2 * kPartSize, 3 * kPartSize}));
}

// A batch that fails midway keeps the ranges it wrote: the next start fetches only the rest.
TEST_F(EngineTest, AFailedBatchResumesFromItsRangesAtTheNextStart) {
  aus_.Publish(kV1, Release());
  aus_.RefuseFileDataAt(2 * kPartSize);
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(Update());
  EXPECT_EQ(events_->Events().back().state, State::DOWNLOAD_FAILED);
  EXPECT_FALSE(std::filesystem::exists(Root("data/pack.bin")));
  EXPECT_TRUE(std::filesystem::exists(Root("data/pack.bin.upd.journal")));

  aus_.RefuseFileDataAt(UINT64_MAX);
  aus_.ClearRequests();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("data/pack.bin"), kLarge);
  std::vector<std::uint64_t> fetched = Offsets(aus_, 0);
  EXPECT_EQ(std::count(fetched.begin(), fetched.end(), 0), 0);
  EXPECT_EQ(std::count(fetched.begin(), fetched.end(), 2 * kPartSize), 1);
  EXPECT_TRUE(lines_.Contains("Resuming '", taln::kLogInfo));
  EXPECT_FALSE(std::filesystem::exists(Root("data/pack.bin.upd.journal")));
  EXPECT_FALSE(std::filesystem::exists(Root("data/pack.bin.upd")));
}

// A journal left for another release's file is not trusted: the file is fetched whole.
TEST_F(EngineTest, AJournalForOtherBytesIsDiscarded) {
  aus_.Publish(kV1, Release());
  aus_.RefuseFileDataAt(2 * kPartSize);
  ASSERT_TRUE(StartEngine());
  EXPECT_FALSE(Update());
  ASSERT_TRUE(std::filesystem::exists(Root("data/pack.bin.upd.journal")));

  std::string changed = kLarge;
  changed[10] ^= 1;
  aus_.Publish({1, 1, 0}, {{{"data/pack.bin", changed}, {"readme.txt", "hello"}}, {}});
  aus_.RefuseFileDataAt(UINT64_MAX);
  aus_.ClearRequests();
  NewEngine();
  ASSERT_TRUE(StartEngine());
  ASSERT_TRUE(Update());
  EXPECT_EQ(Read("data/pack.bin"), changed);
  EXPECT_EQ(Offsets(aus_, 0),
            (std::vector<std::uint64_t>{0, kPartSize, 2 * kPartSize, 3 * kPartSize}));
}

}  // namespace
