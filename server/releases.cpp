#include "server/releases.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <set>
#include <system_error>
#include <utility>

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/program_options.hpp>

#include "package/logging/logger.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/db/updatedbpacket.h"
#include "package/taln/db/updateitem.h"
#include "package/taln/db/versiontext.h"
#include "server/digestcache.h"
#include "server/messagetype.h"

namespace aus::server {

namespace {

namespace fs = std::filesystem;

constexpr const char* kChannel = "AUS";
constexpr std::size_t kMaxFiles = std::numeric_limits<std::uint16_t>::max() + std::size_t{1};
constexpr const char* kManifestName = "manifest";

// Thrown while a release is read: what keeps it from being served, and the file to blame.
struct ReleaseFault : std::runtime_error {
  ReleaseFault(std::string file, const std::string& reason)
      : std::runtime_error(reason), file(std::move(file)) {}
  std::string file;
};

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

struct Manifest {
  Version version;
  std::set<std::string> optional;  // '/' between components
};

// The release's manifest, read with the launcher's rules so that what the server accepts the
// launcher accepts too; nothing when there is none.
std::optional<Manifest> ReadManifest(const fs::path& folder) {
  namespace po = boost::program_options;
  const fs::path path = folder / kManifestName;
  std::error_code error;
  const auto status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return std::nullopt;
  if (error) {
    throw ReleaseFault(kManifestName,
                       "cannot read " + Quoted(kManifestName) + ": " + error.message());
  }
  if (status.type() != fs::file_type::regular) {
    throw ReleaseFault(kManifestName, Quoted(kManifestName) + " is not a regular file");
  }
  std::ifstream in(path);
  if (!in) throw ReleaseFault(kManifestName, "cannot read " + Quoted(kManifestName));
  Manifest manifest;
  const auto component = [](std::int32_t& target) {
    return po::value<unsigned int>()->required()->notifier(
        [&target](unsigned int value) { target = static_cast<std::int32_t>(value); });
  };
  po::options_description options;
  options.add_options()("version.major", component(manifest.version.major))(
      "version.minor", component(manifest.version.minor))("version.revision",
                                                          component(manifest.version.revision))(
      "deploy.optional", po::value<std::vector<std::string>>()->multitoken());
  try {
    po::variables_map values;
    po::store(po::parse_config_file(in, options), values);
    po::notify(values);
    if (values.count("deploy.optional")) {
      for (std::string name : values["deploy.optional"].as<std::vector<std::string>>()) {
        taln::NormalizeName(name);
        manifest.optional.insert(name);
      }
    }
  } catch (const po::error& failure) {
    throw ReleaseFault(kManifestName,
                       Quoted(kManifestName) + " cannot be parsed: " + failure.what());
  }
  return manifest;
}

// The regular files of a release folder, relative names sorted, '/' between components. Links
// are followed; throws ReleaseFault for an entry that cannot be served as a file.
std::vector<std::string> ListFiles(const fs::path& folder) {
  std::vector<std::string> names;
  // The folders from the release's top down to the current entry's parent, canonical, so that a
  // link back into one of them is caught instead of walked without end.
  std::vector<fs::path> open{fs::canonical(folder)};
  fs::recursive_directory_iterator it(folder, fs::directory_options::follow_directory_symlink), end;
  // A folder that cannot be listed fails the step after its entry, with an error that does not
  // name it: the entry before is to blame.
  std::string previous;
  std::error_code stepError;
  for (; it != end; it.increment(stepError)) {
    const auto& entry = *it;
    const std::string name = entry.path().lexically_relative(folder).generic_string();
    previous = name;
    open.resize(static_cast<std::size_t>(it.depth()) + 1);
    std::error_code error;
    const auto type = entry.status(error).type();
    if (entry.path().filename() == "CefCache") {
      if (type == fs::file_type::directory) it.disable_recursion_pending();
      continue;
    }
    if (type == fs::file_type::directory) {
      if (!entry.is_symlink()) {
        open.push_back(open.back() / entry.path().filename());
        continue;
      }
      auto target = fs::canonical(entry.path());
      if (std::find(open.begin(), open.end(), target) != open.end()) {
        throw ReleaseFault(name, Quoted(name) + " links to a folder that contains it");
      }
      open.push_back(std::move(target));
      continue;
    }
    if (name == "Update.db") continue;
    // A '\' inside a file name would be read back by the launcher as a separator.
    if (name.find('\\') != std::string::npos || name.find('\n') != std::string::npos) {
      Logger::Instance().Print(kChannel, 3, "Releases.Load: skipping '%s': unusable file name",
                               entry.path().c_str());
      continue;
    }
    if (type == fs::file_type::not_found) {
      throw ReleaseFault(name, Quoted(name) + " is a symbolic link to nothing");
    }
    if (error) throw ReleaseFault(name, "cannot read " + Quoted(name) + ": " + error.message());
    if (type != fs::file_type::regular) {
      throw ReleaseFault(name, Quoted(name) + " is not a regular file");
    }
    names.push_back(name);
  }
  // A failed step ends the walk as if it were complete.
  if (stepError) {
    throw ReleaseFault(previous, "cannot read " + Quoted(previous) + ": " + stepError.message());
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

// Fills in every file's digest, from the cache where allowed. Throws ReleaseFault when a file
// cannot be read. `settledBefore`: a digest is cached only for a file changed before this time.
void DigestRelease(Release& release, DigestCache& cache, bool useCache, std::int64_t settledBefore,
                   const std::function<void(std::uint64_t)>& digested) {
  for (auto& file : release.files) {
    const auto key = CacheKey(release.version, file);
    std::optional<std::vector<unsigned char>> cached;
    if (useCache) cached = cache.Find(key, file.stamp);
    if (cached) {
      file.hash = std::move(*cached);
    } else {
      file.hash = taln::HashFile(boost::filesystem::path(file.path.native()));
      if (file.hash.empty()) throw ReleaseFault(file.name, "cannot read " + Quoted(file.name));
      digested(file.size);
      if (file.stamp.changeTime >= settledBefore) continue;
    }
    cache.Put(key, file.stamp, file.hash);
  }
}

Release ScanRelease(const Version& version, const fs::path& folder) {
  Release release;
  release.version = version;
  const auto names = ListFiles(folder);
  const auto manifest = ReadManifest(folder);
  if (manifest && !(manifest->version == version)) {
    throw ReleaseFault(kManifestName, "its manifest gives [version] " +
                                          FormatVersion(manifest->version) + ", its folder " +
                                          FormatVersion(version));
  }
  if (names.size() > kMaxFiles) {
    throw ReleaseFault({}, std::to_string(names.size()) + " files, at most 65536 can be listed");
  }
  for (const auto& name : names) {
    ReleaseFile file;
    file.index = static_cast<std::uint16_t>(release.files.size());
    file.name = name;
    file.path = folder / fs::path(name);
    const auto stamp = ReadFileStamp(file.path);
    if (!stamp) throw ReleaseFault(name, "cannot read " + Quoted(name));
    file.stamp = *stamp;
    file.size = stamp->size;
    file.required = !manifest || manifest->optional.count(name) == 0;
    release.byName[name] = release.files.size();
    release.files.push_back(std::move(file));
  }
  return release;
}

// The failure as the operator needs it: the file to blame relative to the release folder.
BrokenRelease Describe(const Version& version, const fs::path& folder,
                       const std::exception& failure) {
  if (const auto* fault = dynamic_cast<const ReleaseFault*>(&failure)) {
    return {version, fault->file, fault->what()};
  }
  if (const auto* error = dynamic_cast<const fs::filesystem_error*>(&failure)) {
    const std::string name = error->path1().lexically_relative(folder).generic_string();
    if (name.empty() || name == "." || name.starts_with("..")) {
      return {version, {}, "cannot read its folder: " + error->code().message()};
    }
    return {version, name, "cannot read " + Quoted(name) + ": " + error->code().message()};
  }
  return {version, {}, failure.what()};
}

std::int64_t Nanoseconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

}  // namespace

bool ReleaseFile::Unchanged(int descriptor) const {
  const auto now = ReadFileStamp(descriptor);
  return now && *now == stamp;
}

const ReleaseFile* Release::Find(const std::string& name) const {
  std::string normalized = name;
  taln::NormalizeName(normalized);
  auto it = byName.find(normalized);
  return it == byName.end() ? nullptr : &files[it->second];
}

std::optional<Version> ParseReleaseFolder(const std::string& name, std::string* why) {
  const auto refuse = [why](const char* reason) -> std::optional<Version> {
    if (why) *why = reason;
    return std::nullopt;
  };
  std::int32_t parts[3] = {};
  const char* at = name.data();
  const char* end = name.data() + name.size();
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (at == end || *at != '.') return refuse("not named major.minor.revision");
      ++at;
    }
    const char* digits = at;
    while (at != end && *at >= '0' && *at <= '9') ++at;
    if (at == digits) return refuse("not named major.minor.revision");
    // One spelling per version: no sign, no leading zero.
    if (*digits == '0' && at - digits > 1) return refuse("a number has a leading zero");
    auto [next, error] = std::from_chars(digits, at, parts[i]);
    if (error != std::errc() || next != at) return refuse("a number is above 2147483647");
  }
  if (at != end) return refuse("not named major.minor.revision");
  return Version{parts[0], parts[1], parts[2]};
}

std::string BrokenRelease::Text() const {
  return "release " + FormatVersion(version) + " cannot be served: " + reason;
}

namespace {

std::string JoinTexts(const std::vector<BrokenRelease>& broken) {
  std::string text;
  for (const auto& release : broken) text += (text.empty() ? "" : "; ") + release.Text();
  return text;
}

}  // namespace

ReleaseLoadError::ReleaseLoadError(std::vector<BrokenRelease> broken)
    : std::runtime_error(JoinTexts(broken)), broken(std::move(broken)) {}

std::shared_ptr<const Releases> Releases::Load(const fs::path& root, const LoadOptions& options) {
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    throw std::runtime_error("releases directory '" + root.string() + "' is not a directory");
  }
  auto& log = Logger::Instance();
  const std::int64_t settledBefore = Nanoseconds(
      options.now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(kSettleTime));
  auto releases = std::make_shared<Releases>();
  DigestCache cache(root / kDigestCacheName);
  if (!options.rehash) cache.Load();

  auto& all = releases->releases_;
  std::map<Version, fs::path, VersionLess> folders;
  std::vector<BrokenRelease> broken;
  const auto ignore = [&](const std::string& name, const std::string& reason) {
    log.Print(kChannel, 3, "Releases.Load: '%s' is not a release: %s", name.c_str(),
              reason.c_str());
    releases->ignored_.push_back({name, reason});
  };
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    // The digest cache, its temporaries, and releases still being published.
    if (name.starts_with(kDigestCacheName) || name.starts_with(kStagingPrefix)) continue;
    std::string why;
    const auto version = ParseReleaseFolder(name, &why);
    const auto type = entry.status(error).type();
    if (type == fs::file_type::not_found && version) {
      // A link named as a release whose target is gone: a release, broken.
      broken.push_back({*version, {}, Quoted(name) + " is a symbolic link to nothing"});
      continue;
    }
    if (type != fs::file_type::directory) {
      ignore(name,
             type == fs::file_type::not_found ? "a symbolic link to nothing" : "not a folder");
      continue;
    }
    if (!version) {
      ignore(name, why);
      continue;
    }
    folders.emplace(*version, entry.path());
    try {
      all.emplace(*version, ScanRelease(*version, entry.path()));
    } catch (const std::exception& failure) {
      broken.push_back(Describe(*version, entry.path(), failure));
    }
  }
  std::sort(releases->ignored_.begin(), releases->ignored_.end(),
            [](const IgnoredEntry& a, const IgnoredEntry& b) { return a.name < b.name; });

  std::uint64_t total = 0;
  for (const auto& [version, release] : all) {
    for (const auto& file : release.files) {
      if (options.rehash || !cache.Find(CacheKey(version, file), file.stamp)) total += file.size;
    }
  }
  std::uint64_t done = 0;
  auto digested = [&](std::uint64_t bytes) {
    done += bytes;
    if (options.progress) options.progress(done, total);
  };
  for (auto it = all.begin(); it != all.end();) {
    try {
      DigestRelease(it->second, cache, !options.rehash, settledBefore, digested);
      it->second.updateDbReply = BuildUpdateDbReply(it->second.files);
      ++it;
    } catch (const std::exception& failure) {
      broken.push_back(Describe(it->first, folders[it->first], failure));
      it = all.erase(it);
    }
  }
  // Digests taken so far are kept even when the load fails, so the next attempt is quicker.
  if (!cache.Save()) {
    log.Print(kChannel, 3, "Releases.Load: cannot write the digest cache in '%s'", root.c_str());
  }
  std::sort(broken.begin(), broken.end(), [](const BrokenRelease& a, const BrokenRelease& b) {
    return VersionLess()(a.version, b.version);
  });
  if (!broken.empty() && !options.skipBroken) throw ReleaseLoadError(std::move(broken));
  for (auto& release : broken) {
    log.Print(kChannel, 4, "Releases.Load: %s; it is unavailable", release.Text().c_str());
    releases->broken_.emplace(release.version, std::move(release));
  }
  for (const auto& [version, release] : all) {
    log.Print(kChannel, 2, "Releases.Load: release %s: %zu files", FormatVersion(version).c_str(),
              release.files.size());
  }
  return releases;
}

const Release* Releases::Latest() const {
  if (releases_.empty() || LatestUnavailable()) return nullptr;
  return &releases_.rbegin()->second;
}

const Release* Releases::Find(const Version& version) const {
  auto it = releases_.find(version);
  return it == releases_.end() ? nullptr : &it->second;
}

const BrokenRelease* Releases::FindUnavailable(const Version& version) const {
  auto it = broken_.find(version);
  return it == broken_.end() ? nullptr : &it->second;
}

const BrokenRelease* Releases::LatestUnavailable() const {
  if (broken_.empty()) return nullptr;
  const auto& newest = *broken_.rbegin();
  if (!releases_.empty() && VersionLess()(newest.first, releases_.rbegin()->first)) return nullptr;
  return &newest.second;
}

}  // namespace aus::server
