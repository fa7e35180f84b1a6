#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace network::common {

// The SHA-256 of a download whose ranges (of kPartSize bytes, the last one shorter; one range for
// a file no larger) are written in any order. A range written when every range before it is
// hashed is hashed from its bytes in memory; one written ahead is hashed later, read back from the
// file when its turn comes, so nothing waits in memory. Safe to use from several threads.
class RangeDigest {
 public:
  // For the file at `path` of `size` bytes. `onDisk` are the ranges already in the file (a
  // resumed download): they are read back when their turn comes.
  RangeDigest(std::string path, std::uint64_t size, const std::set<std::uint64_t>& onDisk = {});
  ~RangeDigest();
  RangeDigest(const RangeDigest&) = delete;
  RangeDigest& operator=(const RangeDigest&) = delete;

  // Range `index` was written to the file with `data`. A range whose length is not the one its
  // place in the file calls for (a short reply), or that cannot be read back, leaves the digest
  // unknown: it then has to be taken from the file. Never throws.
  void Written(std::uint64_t index, std::string_view data);
  // The digest once every range is hashed; empty before, and when it is unknown.
  std::vector<unsigned char> Digest() const;

 private:
  // Hashes the ranges in ahead_ from next_ on, read back from the file; mutex_ held.
  void CatchUp();
  std::uint64_t Length(std::uint64_t index) const;
  void Fail();

  const std::string path_;
  const std::uint64_t size_;
  const std::uint64_t ranges_;
  mutable std::mutex mutex_;
  struct Context;
  std::unique_ptr<Context> context_;   // guarded by mutex_; null once finished or failed
  std::uint64_t next_ = 0;             // guarded by mutex_; the first range not hashed yet
  std::set<std::uint64_t> ahead_;      // guarded by mutex_; written after next_, not hashed
  std::vector<unsigned char> digest_;  // guarded by mutex_
};

}  // namespace network::common
