#include "package/network/common/rangejournal.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "package/network/common/downloadfile.h"

namespace network::common {

namespace {

constexpr char kMagic[] = "RNGJRNL1";
constexpr std::size_t kRecordSize = 16;

void PutU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint64_t GetU64(const char* in) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(in[i]);
  return value;
}

std::uint64_t Ranges(std::uint64_t size) {
  if (size <= kPartSize) return 1;
  return size / kPartSize + (size % kPartSize != 0 ? 1 : 0);
}

std::string Records(const std::set<std::uint64_t>& done, const std::vector<std::uint64_t>& more) {
  std::string out;
  for (const std::uint64_t index : done) {
    PutU64(out, index);
    PutU64(out, ~index);
  }
  for (const std::uint64_t index : more) {
    PutU64(out, index);
    PutU64(out, ~index);
  }
  return out;
}

}  // namespace

RangeJournal::RangeJournal(std::string download, std::uint64_t size,
                           std::vector<unsigned char> digest, Sync sync)
    : download_(std::move(download)),
      path_(PathFor(download_)),
      size_(size),
      digest_(std::move(digest)),
      sync_(std::move(sync)),
      lastSync_(std::chrono::steady_clock::now()) {
  Load();
}

std::string RangeJournal::PathFor(const std::string& download) { return download + ".journal"; }

std::uint64_t RangeJournal::DoneBytes() const {
  std::uint64_t bytes = 0;
  for (const std::uint64_t index : done_) {
    const std::uint64_t begin = index * kPartSize;
    bytes += std::min(kPartSize, size_ - begin);
  }
  return bytes;
}

std::string RangeJournal::Header() const {
  std::string header(kMagic, sizeof kMagic - 1);
  PutU64(header, size_);
  PutU64(header, kPartSize);
  PutU64(header, digest_.size());
  header.append(digest_.begin(), digest_.end());
  return header;
}

void RangeJournal::Load() {
  std::ifstream input(path_, std::ios::binary);
  if (!input) return;
  const std::string header = Header();
  std::string read(header.size(), '\0');
  if (!input.read(read.data(), static_cast<std::streamsize>(read.size())) || read != header) {
    input.close();  // Windows removes no file that is open
    Discard();
    return;
  }
  // Records up to the first torn or foreign one; whatever follows it is not trusted.
  const std::uint64_t ranges = Ranges(size_);
  bool torn = false;
  char record[kRecordSize];
  while (input.read(record, kRecordSize)) {
    const std::uint64_t index = GetU64(record);
    if (GetU64(record + 8) != ~index || index >= ranges) {
      torn = true;
      break;
    }
    done_.insert(index);
  }
  if (input.gcount() != 0) torn = true;
  input.close();
  if (done_.empty() || done_.size() == ranges) {
    Discard();
    return;
  }
  // The download must hold every byte the journal claims: a file replaced or cut short since
  // (by hand, or a truncating download that ran before the journal was read) holds none of them.
  std::error_code error;
  const std::uint64_t have = std::filesystem::file_size(download_, error);
  const std::uint64_t last = *done_.rbegin();
  if (error || have < last * kPartSize + std::min(kPartSize, size_ - last * kPartSize)) {
    Discard();
    return;
  }
  // A torn tail is rewritten away at the next record; records appended after it would be lost.
  fresh_ = torn;
}

void RangeJournal::Discard() {
  done_.clear();
  fresh_ = true;
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool RangeJournal::Written(std::uint64_t index) {
  std::lock_guard lock(mutex_);
  if (complete_) return false;
  pending_.push_back(index);
  return pending_.size() >= kRangesPerSync ||
         std::chrono::steady_clock::now() - lastSync_ >= kSyncInterval;
}

void RangeJournal::Flush() {
  std::lock_guard lock(mutex_);
  if (complete_ || pending_.empty()) return;
  lastSync_ = std::chrono::steady_clock::now();
  // Unsynced ranges are kept for the next try: the journal never gets ahead of the disk.
  if (sync_ && sync_(download_)) return;
  if (Append(pending_)) pending_.clear();
}

bool RangeJournal::Append(const std::vector<std::uint64_t>& indices) {
  if (fresh_) {
    // Written aside and renamed into place, so a journal is never seen half made.
    const std::string aside = path_ + ".new";
    {
      std::ofstream output(aside, std::ios::binary | std::ios::trunc);
      output << Header() << Records(done_, indices);
      output.close();
      if (!output) return false;
    }
    std::error_code error;
    std::filesystem::rename(aside, path_, error);
    if (error) return false;
    fresh_ = false;
    return true;
  }
  std::ofstream output(path_, std::ios::binary | std::ios::app);
  output << Records({}, indices);
  output.close();
  return static_cast<bool>(output);
}

void RangeJournal::Complete() {
  std::lock_guard lock(mutex_);
  complete_ = true;
  pending_.clear();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
  std::filesystem::remove(path_ + ".new", ignored);
}

}  // namespace network::common
