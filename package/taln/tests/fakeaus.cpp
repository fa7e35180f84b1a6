#include "package/taln/tests/fakeaus.h"

#include <algorithm>
#include <chrono>
#include <sstream>

#include <openssl/evp.h>

#include "package/network/protocol/ipacket.h"
#include "package/network/protocol/opacket.h"
#include "package/network/protocol/updateerror.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/db/updatedbpacket.h"
#include "package/taln/db/versiontext.h"

namespace taln_test {

namespace {

using network::protocol::IPacket;
using network::protocol::OPacket;

constexpr unsigned char kUpdateDb = 10;
constexpr unsigned char kFileData = 11;
constexpr unsigned char kFileSize = 12;
constexpr std::size_t kBlockSize = 65536;

std::vector<unsigned char> Sha256(const std::string& contents) {
  std::vector<unsigned char> digest(32);
  unsigned int length = 0;
  EVP_Digest(contents.data(), contents.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

std::string Bytes(OPacket& packet) {
  const auto data = packet.Data();
  return std::string(data->begin(), data->end());
}

std::string Refusal(unsigned char type, aus::error_code code) {
  OPacket reply(true, type);
  reply << false << code;
  return Bytes(reply);
}

std::string Slashed(std::string name, char from, char to) {
  std::replace(name.begin(), name.end(), from, to);
  return name;
}

}  // namespace

FakeAus::FakeAus() : server_([this](test_support::FakeConnection& c) { Serve(c); }) {}

FakeAus::~FakeAus() { ReleaseFileData(); }

void FakeAus::HoldFileData() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = true;
}

void FakeAus::ReleaseFileData() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = false;
  holdChanged_.notify_all();
}

bool FakeAus::WaitUntilHeld(int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return holdChanged_.wait_for(lock, std::chrono::seconds(30), [&] { return held_ >= count; });
}

void FakeAus::DropFileDataAt(std::uint64_t offset, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  dropOffset_ = offset;
  drops_ = times;
}

void FakeAus::RefuseFileDataAt(std::uint64_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  refusedOffset_ = offset;
}

void FakeAus::Publish(const Version& version, Release release) {
  std::lock_guard<std::mutex> lock(mutex_);
  releases_[{version.major, version.minor, version.revision}] = std::move(release);
}

void FakeAus::Corrupt(const std::string& name, const std::string& contents) {
  std::lock_guard<std::mutex> lock(mutex_);
  corrupted_[name] = contents;
}

void FakeAus::AddRawItem(const std::string& name, const std::string& contents) {
  std::lock_guard<std::mutex> lock(mutex_);
  rawItems_[name] = contents;
}

void FakeAus::ClaimSize(const std::string& name, std::uint64_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  claimedSizes_[name] = size;
}

std::vector<std::string> FakeAus::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeAus::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

const FakeAus::Release* FakeAus::Find(const Version& version, bool latest) const {
  if (releases_.empty()) return nullptr;
  if (latest) return &releases_.rbegin()->second;
  const auto found = releases_.find({version.major, version.minor, version.revision});
  return found == releases_.end() ? nullptr : &found->second;
}

std::vector<taln::UpdateItem> FakeAus::Items(const Version& version, bool latest) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<taln::UpdateItem> items;
  const Release* release = Find(version, latest);
  if (release == nullptr) return items;
  for (const auto& [name, contents] : release->files) {
    taln::UpdateItem item;
    item.index = static_cast<std::uint16_t>(items.size());
    item.name = Slashed(name, '/', '\\');
    const auto claimed = claimedSizes_.find(name);
    item.size = claimed == claimedSizes_.end() ? contents.size() : claimed->second;
    item.hash = Sha256(contents);
    item.required = release->optional.count(name) == 0;
    items.push_back(item);
  }
  for (const auto& [name, contents] : rawItems_) {
    taln::UpdateItem item;
    item.index = static_cast<std::uint16_t>(items.size());
    item.name = name;
    item.size = contents.size();
    item.hash = Sha256(contents);
    item.required = true;
    items.push_back(item);
  }
  return items;
}

void FakeAus::Serve(test_support::FakeConnection& connection) {
  for (;;) {
    const std::string request = connection.ReadPacket();
    bool cut = false;
    const std::string reply = Answer(request, cut);
    if (cut) {
      connection.Write(reply.substr(0, reply.size() / 2));
      connection.Shutdown();
      return;
    }
    if (!reply.empty()) connection.Write(reply);
  }
}

std::string FakeAus::Answer(const std::string& bytes, bool& cut) {
  IPacket request(bytes.data(), bytes.data() + bytes.size());
  std::ostringstream note;
  switch (request.Type()) {
    case kUpdateDb: {
      bool latest = false;
      Version version;
      request >> latest >> version;
      note << "UpdateDb latest=" << latest << " version=" << FormatVersion(version);
      if (silentUpdateDb_) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(note.str());
        return "";
      }
      OPacket reply(true, wrongUpdateDbType_ ? kFileSize : kUpdateDb);
      taln::WriteUpdateDB(reply, taln::UpdateDB(Items(version, latest)));
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(note.str());
      return Bytes(reply);
    }
    case kFileSize: {
      Version version;
      std::string path;
      request >> version >> path;
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back("FileSize " + path + " " + FormatVersion(version));
      const Release* release = Find(version, false);
      const std::string name = Slashed(path, '\\', '/');
      if (release == nullptr || release->files.count(name) == 0) {
        return Refusal(kFileSize, aus::error_code::kFileNotFound);
      }
      const auto claimed = claimedSizes_.find(name);
      OPacket reply(true, kFileSize);
      reply << true
            << (claimed == claimedSizes_.end()
                    ? static_cast<std::uint64_t>(release->files.at(name).size())
                    : claimed->second);
      return Bytes(reply);
    }
    case kFileData:
      return AnswerFileData(request, cut);
    default:
      return "";  // the greeting needs no answer
  }
}

std::string FakeAus::AnswerFileData(IPacket& request, bool& cut) {
  bool byIndex = false;
  std::uint16_t index = 0;
  Version version;
  std::string path;
  std::uint64_t offset = 0, length = 0;
  request >> byIndex;
  if (byIndex) {
    request >> index;
  } else {
    request >> version >> path;
  }
  request >> offset >> length;

  std::string name;
  if (byIndex) {
    const auto items = Items(Version{}, true);
    if (index < items.size()) name = Slashed(items[index].name, '\\', '/');
  } else {
    name = Slashed(path, '\\', '/');
  }
  std::unique_lock<std::mutex> lock(mutex_);
  std::ostringstream note;
  if (byIndex) {
    note << "FileData index=" << index;
  } else {
    note << "FileData path=" << path << " version=" << FormatVersion(version);
  }
  note << " offset=" << offset << " length=" << length;
  requests_.push_back(note.str());
  if (holding_) {
    ++held_;
    holdChanged_.notify_all();
    holdChanged_.wait_for(lock, std::chrono::seconds(30), [this] { return !holding_; });
  }

  const Release* release = Find(version, byIndex);
  const std::string* contents = nullptr;
  if (rawItems_.count(name)) contents = &rawItems_.at(name);
  if (release && release->files.count(name)) contents = &release->files.at(name);
  if (corrupted_.count(name)) contents = &corrupted_.at(name);
  if (contents == nullptr) return Refusal(kFileData, aus::error_code::kFileNotFound);
  if (offset == refusedOffset_) return Refusal(kFileData, aus::error_code::kReadFailed);
  if (offset == dropOffset_ && drops_ > 0) {
    --drops_;
    cut = true;
  }

  const std::uint64_t begin = std::min<std::uint64_t>(offset, contents->size());
  const std::uint64_t end =
      length == 0 ? contents->size() : std::min<std::uint64_t>(contents->size(), begin + length);
  std::string replies;
  for (std::uint64_t at = begin;; at += kBlockSize) {
    const std::uint64_t count = std::min<std::uint64_t>(kBlockSize, end - std::min(at, end));
    OPacket reply(true, kFileData);
    reply << true;
    reply.WriteBlock(contents->data() + at, static_cast<std::uint32_t>(count));
    replies += Bytes(reply);
    if (count == 0) break;
  }
  return replies;
}

}  // namespace taln_test
