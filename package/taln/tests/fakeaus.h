#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/version.h"
#include "package/taln/db/updateitem.h"
#include "tests/support/fakeserver.h"

namespace taln_test {

// An update server for engine tests: serves releases held in memory, answers UpdateDb, FileSize
// and FileData as the real server does, records every request, and can be told to misbehave.
class FakeAus {
 public:
  struct Release {
    std::map<std::string, std::string> files;  // name with '/' -> contents
    std::set<std::string> optional;
  };

  FakeAus();
  // Releases held requests, so that the server's threads can end.
  ~FakeAus();

  // Adds or replaces the release of `version`; the highest version is the latest.
  void Publish(const Version& version, Release release);
  // Serves `contents` for `name` in FileData replies while the digest stays that of the release.
  void Corrupt(const std::string& name, const std::string& contents);
  // Answers UpdateDb with a FileSize reply.
  void AnswerUpdateDbWithWrongType() { wrongUpdateDbType_ = true; }
  // Adds an item with this raw name (e.g. "..\\escape.txt") to every UpdateDb reply.
  void AddRawItem(const std::string& name, const std::string& contents);
  // UpdateDb items and FileSize replies for `name` (with '/') claim `size` bytes.
  void ClaimSize(const std::string& name, std::uint64_t size);
  // From now on UpdateDb requests are recorded but never answered, as by a server gone silent.
  void SilenceUpdateDb() { silentUpdateDb_ = true; }
  // From now on FileData requests are recorded but not answered until ReleaseFileData (or 30
  // seconds) has passed.
  void HoldFileData();
  void ReleaseFileData();
  // The next `times` FileData requests at `offset` (of any file) are answered with half their
  // bytes, and then the connection is shut down, as a dropped connection is.
  void DropFileDataAt(std::uint64_t offset, int times);
  // FileData requests at `offset` are refused (kReadFailed) until this is called with another
  // offset.
  void RefuseFileDataAt(std::uint64_t offset);
  // Waits (at most 30 s) until `count` FileData requests are held; false on timeout.
  bool WaitUntilHeld(int count);

  std::string port() const { return server_.port(); }
  // "UpdateDb latest=1 version=0.0.0", "FileSize <path> <version>", "FileData index=<i>
  // offset=<o> length=<n>" or "FileData path=<path> version=<v> offset=<o> length=<n>".
  std::vector<std::string> Requests() const;
  void ClearRequests();

  // The item list the server sends for `version` (latest when `latest`).
  std::vector<taln::UpdateItem> Items(const Version& version, bool latest) const;

 private:
  void Serve(test_support::FakeConnection& connection);
  // Sets `cut` when the connection is to be dropped halfway through the reply.
  std::string Answer(const std::string& request, bool& cut);
  std::string AnswerFileData(network::protocol::IPacket& request, bool& cut);
  const Release* Find(const Version& version, bool latest) const;  // mutex_ held

  mutable std::mutex mutex_;
  std::map<std::tuple<int, int, int>, Release> releases_;  // guarded by mutex_
  std::map<std::string, std::string> corrupted_;           // guarded by mutex_
  std::map<std::string, std::string> rawItems_;            // guarded by mutex_
  std::map<std::string, std::uint64_t> claimedSizes_;      // guarded by mutex_
  std::vector<std::string> requests_;                      // guarded by mutex_
  std::atomic<bool> wrongUpdateDbType_{false};
  std::atomic<bool> silentUpdateDb_{false};
  std::condition_variable holdChanged_;
  bool holding_ = false;                      // guarded by mutex_
  std::uint64_t dropOffset_ = 0;              // guarded by mutex_
  int drops_ = 0;                             // guarded by mutex_
  std::uint64_t refusedOffset_ = UINT64_MAX;  // guarded by mutex_
  int held_ = 0;                              // guarded by mutex_
  test_support::FakeServer server_;
};

}  // namespace taln_test
