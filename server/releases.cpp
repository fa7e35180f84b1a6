#include "server/releases.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <limits>
#include <set>
#include <stdexcept>
#include <system_error>

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/path.hpp>

#include "package/logging/logger.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/db/updatedbpacket.h"
#include "package/taln/db/updateitem.h"
#include "package/taln/db/versiontext.h"
#include "server/digestcache.h"
#include "server/messagetype.h"

namespace aus::server {

namespace {

constexpr const char* kChannel = "AUS";
constexpr std::size_t kMaxFiles = std::numeric_limits<std::uint16_t>::max() + std::size_t{1};

std::int64_t LastWrite(const std::filesystem::path& path) {
  const auto time = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path));
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

// Optional files of a release, from its manifest; accepted with either separator.
std::set<std::string> OptionalFiles(const std::filesystem::path& folder) {
  taln::UpdateDB db{boost::filesystem::path(folder.native())};
  db.ReadManifest();
  std::set<std::string> names;
  for (std::string name : db.OptionalFiles()) {
    taln::NormalizeName(name);
    names.insert(name);
  }
  return names;
}

// The regular files of a release folder, relative names sorted, '/' between components.
std::vector<std::string> ListFiles(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::filesystem::recursive_directory_iterator it(folder), end;
  for (; it != end; ++it) {
    const auto& entry = *it;
    if (entry.path().filename() == "CefCache") {
      if (entry.is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().lexically_relative(folder).generic_string();
    if (name == "Update.db") continue;
    // A '\' inside a file name would be read back by the launcher as a separator.
    if (name.find('\\') != std::string::npos || name.find('\n') != std::string::npos) {
      Logger::Instance().Print(kChannel, 3, "Releases.Load: skipping '%s': unusable file name",
                               entry.path().c_str());
      continue;
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::shared_ptr<const network::protocol::OPacket::Buffer> BuildUpdateDbReply(
    const std::vector<ReleaseFile>& files) {
  taln::UpdateDB::Items items(files.begin(), files.end());
  for (auto& item : items) boost::algorithm::replace_all(item.name, "/", "\\");
  network::protocol::OPacket reply(true, kUpdateDbType);
  taln::WriteUpdateDB(reply, taln::UpdateDB(std::move(items)));
  return reply.Data();
}

std::string CacheKey(const Version& version, const ReleaseFile& file) {
  return FormatVersion(version) + "/" + file.name;
}

// Fills in every file's digest, from the cache while it is valid. Throws std::runtime_error when
// a file cannot be read.
void DigestRelease(Release& release, DigestCache& cache,
                   const std::function<void(std::uint64_t)>& digested) {
  for (auto& file : release.files) {
    const auto key = CacheKey(release.version, file);
    if (auto hash = cache.Find(key, file.size, file.lastWrite)) {
      file.hash = std::move(*hash);
    } else {
      file.hash = taln::HashFile(boost::filesystem::path(file.path.native()));
      if (file.hash.empty()) throw std::runtime_error("cannot read '" + file.name + "'");
      digested(file.size);
    }
    cache.Put(key, file.size, file.lastWrite, file.hash);
  }
}

Release ScanRelease(const Version& version, const std::filesystem::path& folder) {
  Release release;
  release.version = version;
  const auto names = ListFiles(folder);
  if (names.size() > kMaxFiles) {
    throw std::runtime_error(std::to_string(names.size()) + " files, at most 65536 can be listed");
  }
  const auto optional = OptionalFiles(folder);
  for (const auto& name : names) {
    ReleaseFile file;
    file.index = static_cast<std::uint16_t>(release.files.size());
    file.name = name;
    file.path = folder / std::filesystem::path(name);
    file.size = std::filesystem::file_size(file.path);
    file.lastWrite = LastWrite(file.path);
    file.required = optional.count(name) == 0;
    release.byName[name] = release.files.size();
    release.files.push_back(std::move(file));
  }
  return release;
}

}  // namespace

bool ReleaseFile::Unchanged() const {
  std::error_code error;
  const bool sameSize = std::filesystem::file_size(path, error) == size && !error;
  try {
    return sameSize && LastWrite(path) == lastWrite;
  } catch (const std::filesystem::filesystem_error&) {
    return false;
  }
}

const ReleaseFile* Release::Find(const std::string& name) const {
  std::string normalized = name;
  taln::NormalizeName(normalized);
  auto it = byName.find(normalized);
  return it == byName.end() ? nullptr : &files[it->second];
}

std::optional<Version> ParseReleaseFolder(const std::string& name) {
  std::int32_t parts[3] = {};
  const char* at = name.data();
  const char* end = name.data() + name.size();
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (at == end || *at != '.') return std::nullopt;
      ++at;
    }
    // One spelling per version: no sign, no leading zero.
    if (at == end || *at < '0' || *at > '9') return std::nullopt;
    if (*at == '0' && at + 1 != end && at[1] >= '0' && at[1] <= '9') return std::nullopt;
    auto [next, error] = std::from_chars(at, end, parts[i]);
    if (error != std::errc()) return std::nullopt;
    at = next;
  }
  if (at != end) return std::nullopt;
  return Version{parts[0], parts[1], parts[2]};
}

std::shared_ptr<const Releases> Releases::Load(const std::filesystem::path& root,
                                               const Progress& progress) {
  std::error_code error;
  if (!std::filesystem::is_directory(root, error)) {
    throw std::runtime_error("releases directory '" + root.string() + "' is not a directory");
  }
  auto& log = Logger::Instance();
  auto releases = std::make_shared<Releases>();
  DigestCache cache(root / kDigestCacheName);
  cache.Load();

  auto& all = releases->releases_;
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    const auto version = ParseReleaseFolder(entry.path().filename().string());
    if (!version || !entry.is_directory()) continue;
    try {
      all.emplace(*version, ScanRelease(*version, entry.path()));
    } catch (const std::exception& failure) {
      log.Print(kChannel, 4, "Releases.Load: release %s left out: %s",
                FormatVersion(*version).c_str(), failure.what());
    }
  }

  std::uint64_t total = 0;
  for (const auto& [version, release] : all) {
    for (const auto& file : release.files) {
      if (!cache.Find(CacheKey(version, file), file.size, file.lastWrite)) total += file.size;
    }
  }
  std::uint64_t done = 0;
  auto digested = [&](std::uint64_t bytes) {
    done += bytes;
    if (progress) progress(done, total);
  };
  for (auto it = all.begin(); it != all.end();) {
    try {
      DigestRelease(it->second, cache, digested);
      it->second.updateDbReply = BuildUpdateDbReply(it->second.files);
      log.Print(kChannel, 2, "Releases.Load: release %s: %zu files",
                FormatVersion(it->first).c_str(), it->second.files.size());
      ++it;
    } catch (const std::exception& failure) {
      log.Print(kChannel, 4, "Releases.Load: release %s left out: %s",
                FormatVersion(it->first).c_str(), failure.what());
      it = all.erase(it);
    }
  }
  if (!cache.Save()) {
    log.Print(kChannel, 3, "Releases.Load: cannot write the digest cache in '%s'", root.c_str());
  }
  return releases;
}

const Release* Releases::Latest() const {
  return releases_.empty() ? nullptr : &releases_.rbegin()->second;
}

const Release* Releases::Find(const Version& version) const {
  auto it = releases_.find(version);
  return it == releases_.end() ? nullptr : &it->second;
}

}  // namespace aus::server
