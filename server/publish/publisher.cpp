#include "server/publish/publisher.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "package/signing/releasesignature.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/db/updateitem.h"
#include "package/taln/db/versiontext.h"
#include "server/digestcache.h"
#include "server/filestamp.h"
#include "server/releases.h"

namespace aus::publish {

namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

// Windows compares names ignoring the case of letters. Only ASCII letters are folded: names
// outside ASCII are rare in builds, and folding them would need Windows' own case table.
std::string Folded(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// Collects every reason a build is refused, so one run names them all.
class Problems {
 public:
  void Add(const std::string& text, std::vector<std::string> paths) {
    texts_.push_back(text);
    for (auto& path : paths) paths_.push_back(std::move(path));
  }
  void ThrowIfAny(const fs::path& build) const {
    if (texts_.empty()) return;
    std::string what = "the build '" + build.string() + "' cannot be published:";
    for (const auto& text : texts_) what += "\n  " + text;
    throw PublishError(what, paths_);
  }

 private:
  std::vector<std::string> texts_;
  std::vector<std::string> paths_;
};

struct Entry {
  std::string name;  // relative, '/' between components
  bool folder = false;
};

// Every entry below `build`, links followed; problems with single entries go to `problems`.
std::vector<Entry> Walk(const fs::path& build, std::size_t maxFiles, Problems& problems) {
  std::vector<Entry> entries;
  std::size_t files = 0;
  // The folders from the top down to the current entry's parent, canonical, so that a link back
  // into one of them is caught instead of walked without end.
  std::vector<fs::path> open{fs::canonical(build)};
  fs::recursive_directory_iterator it(build, fs::directory_options::follow_directory_symlink), end;
  std::string previous;
  std::error_code stepError;
  for (; it != end; it.increment(stepError)) {
    const auto& entry = *it;
    const std::string name = entry.path().lexically_relative(build).generic_string();
    previous = name;
    open.resize(static_cast<std::size_t>(it.depth()) + 1);
    std::error_code error;
    const auto type = entry.status(error).type();
    if (entry.path().filename() == "CefCache" || (it.depth() == 0 && name == "Update.db")) {
      if (type == fs::file_type::directory) it.disable_recursion_pending();
      continue;
    }
    if (type == fs::file_type::directory) {
      auto canonical = fs::canonical(entry.path(), error);
      if (entry.is_symlink() && std::find(open.begin(), open.end(), canonical) != open.end()) {
        problems.Add(Quoted(name) + " links to a folder that contains it", {name});
        it.disable_recursion_pending();
        continue;
      }
      open.push_back(std::move(canonical));
      entries.push_back({name, true});
      continue;
    }
    if (type == fs::file_type::not_found) {
      problems.Add(Quoted(name) + " is a symbolic link to nothing", {name});
    } else if (error) {
      problems.Add("cannot read " + Quoted(name) + ": " + error.message(), {name});
    } else if (type != fs::file_type::regular) {
      problems.Add(Quoted(name) + " is not a regular file", {name});
    } else {
      entries.push_back({name, false});
      // Past the limit the rest need not be walked: the build is refused whatever follows.
      if (++files > maxFiles) {
        problems.Add("more than " + std::to_string(maxFiles) + " files: at most " +
                         std::to_string(maxFiles) + " can be listed",
                     {"."});
        break;
      }
    }
  }
  if (stepError) {
    problems.Add("cannot read " + Quoted(previous) + ": " + stepError.message(), {previous});
  }
  return entries;
}

}  // namespace

std::vector<std::string> CheckBuild(const fs::path& build, const std::vector<std::string>& optional,
                                    std::size_t maxFiles) {
  std::error_code error;
  if (!fs::is_directory(build, error)) {
    throw PublishError("the build '" + build.string() + "' is not a folder", {build.string()});
  }
  Problems problems;
  const auto entries = Walk(build, maxFiles, problems);

  std::vector<std::string> files;
  std::map<std::string, std::vector<std::string>> byFolded;  // folded name -> spellings
  for (const auto& entry : entries) {
    const std::string& name = entry.name;
    if (name.find_first_of("\\\r\n") != std::string::npos) {
      problems.Add(Quoted(name) + " holds '\\' or a line break: the launcher would read it as " +
                       "another name",
                   {name});
    } else if (!taln::IsSafeName(name)) {
      problems.Add("unsafe name " + Quoted(name) + ": the launcher refuses it", {name});
    }
    byFolded[Folded(name)].push_back(name);
    if (!entry.folder) files.push_back(name);
  }
  for (auto& [folded, spellings] : byFolded) {
    if (spellings.size() < 2) continue;
    std::sort(spellings.begin(), spellings.end());
    std::string text;
    for (const auto& spelling : spellings) text += (text.empty() ? "" : " and ") + Quoted(spelling);
    problems.Add(text + " differ only in letter case: they collide on Windows", spellings);
  }
  for (const auto& name : files) {
    for (const char* suffix : {".upd", ".$$$"}) {
      auto it = byFolded.find(Folded(name + suffix));
      if (it == byFolded.end()) continue;
      problems.Add(Quoted(it->second.front()) + " stands beside " + Quoted(name) +
                       ": the launcher uses that name while it installs " + Quoted(name),
                   {name, it->second.front()});
    }
  }
  if (auto it = byFolded.find("manifest"); it != byFolded.end()) {
    problems.Add(Quoted(it->second.front()) + ": aus-publish writes the release's manifest",
                 {it->second.front()});
  }
  if (auto it = byFolded.find(signing::kSignatureFile); it != byFolded.end()) {
    problems.Add(Quoted(it->second.front()) + ": aus-publish writes the release's signature",
                 {it->second.front()});
  }
  if (auto it = byFolded.find(Folded(taln::kReleaseStateFile)); it != byFolded.end()) {
    problems.Add(Quoted(it->second.front()) +
                     ": the launcher keeps its record of the installed release there",
                 {it->second.front()});
  }
  const std::set<std::string> known(files.begin(), files.end());
  for (std::string name : optional) {
    taln::NormalizeName(name);
    if (!known.count(name)) {
      problems.Add("optional " + Quoted(name) + " is not a file of the build", {name});
    }
  }
  if (files.empty()) {
    problems.Add("no files: launchers would get an empty list", {"."});
  }
  problems.ThrowIfAny(build);
  std::sort(files.begin(), files.end());
  return files;
}

std::string ManifestText(const std::string& version, const std::vector<std::string>& optional) {
  const auto parsed = server::ParseReleaseFolder(version);
  const Version v = parsed.value_or(Version{});
  std::string text = "[version]\nmajor=" + std::to_string(v.major) +
                     "\nminor=" + std::to_string(v.minor) +
                     "\nrevision=" + std::to_string(v.revision) + "\n";
  if (optional.empty()) return text;
  text += "[deploy]\n";
  for (std::string name : optional) {
    std::replace(name.begin(), name.end(), '/', '\\');
    text += "optional=" + name + "\n";
  }
  return text;
}

namespace {

// Removes the staging folder unless the publish got through.
class StagingFolder {
 public:
  explicit StagingFolder(fs::path path) : path_(std::move(path)) {}
  ~StagingFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

 private:
  fs::path path_;
};

void RefuseExisting(const fs::path& target, const std::string& version) {
  std::error_code error;
  if (fs::symlink_status(target, error).type() != fs::file_type::not_found) {
    throw PublishError("release " + version + " already exists: '" + target.string() + "'",
                       {target.string()});
  }
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    throw fs::filesystem_error("cannot write", path, std::make_error_code(std::errc::io_error));
  }
}

}  // namespace

signing::PublicKey GenerateKey(const fs::path& folder) {
  const fs::path privateFile = folder / "release.key";
  const fs::path publicFile = folder / "release.pub";
  for (const fs::path& file : {privateFile, publicFile}) {
    std::error_code error;
    if (fs::symlink_status(file, error).type() != fs::file_type::not_found) {
      throw PublishError("'" + file.string() + "' exists: a key is never overwritten",
                         {file.string()});
    }
  }
  const auto key = signing::SigningKey::Generate();
  fs::create_directories(folder);
  // Readable by its owner only before the key is in it.
  WriteText(privateFile, "");
  fs::permissions(privateFile, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  WriteText(privateFile, key.PrivatePem());
  WriteText(publicFile, key.PublicPem());
  return key.Public();
}

Published Publish(const PublishOptions& options) {
  const auto version = server::ParseReleaseFolder(options.version);
  if (!version || FormatVersion(*version) != options.version) {
    throw PublishError(Quoted(options.version) + " is not a version: major.minor.revision, plain " +
                           "decimal numbers",
                       {});
  }
  std::error_code error;
  if (!fs::is_directory(options.releases, error)) {
    throw PublishError("the releases directory '" + options.releases.string() + "' is not a folder",
                       {options.releases.string()});
  }
  const fs::path target = options.releases / options.version;
  RefuseExisting(target, options.version);
  const auto files = CheckBuild(options.from, options.optional);

  const fs::path staging = options.releases / (server::Releases::kStagingPrefix + options.version);
  if (!fs::create_directory(staging)) {
    throw PublishError("'" + staging.string() + "' exists: another publish of " + options.version +
                           " is under way, or one was cut short (remove it)",
                       {staging.string()});
  }
  StagingFolder cleanup(staging);
  const fs::path release = staging / options.version;

  std::uint64_t total = 0;
  for (const auto& name : files) total += fs::file_size(options.from / name);
  std::uint64_t done = 0;
  std::set<fs::path> made;
  for (const auto& name : files) {
    const fs::path to = release / name;
    if (made.insert(to.parent_path()).second) fs::create_directories(to.parent_path());
    fs::copy_file(options.from / name, to);
    done += fs::file_size(to);
    if (options.progress) options.progress("copying", done, total);
  }
  WriteText(release / "manifest", ManifestText(options.version, options.optional));

  // Digests of files changed within the settle time are not cached (see Releases::kSettleTime):
  // waiting it out lets the server take every digest from the cache.
  std::int64_t newest = 0;
  const auto stamped = [&newest](const fs::path& path) {
    if (const auto stamp = server::ReadFileStamp(path)) {
      newest = std::max(newest, stamp->changeTime);
    }
  };
  for (const auto& name : files) stamped(release / name);
  stamped(release / "manifest");
  const auto waitSettled = [&] {
    const auto settled = [&] {
      const auto settledBefore = options.now() - server::Releases::kSettleTime;
      return std::chrono::duration_cast<std::chrono::nanoseconds>(settledBefore.time_since_epoch())
                 .count() > newest;
    };
    while (!settled()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  };
  waitSettled();

  server::Releases::LoadOptions load;
  load.now = options.now;
  if (options.progress) {
    load.progress = [&options](std::uint64_t digested, std::uint64_t all) {
      options.progress("digesting", digested, all);
    };
  }
  auto loaded = server::Releases::Load(staging, load);

  std::int64_t signedAt = 0;
  if (options.signingKey) {
    // The list exactly as the server will send it, digests included.
    const server::Release* staged = loaded->Find(*version);
    const std::vector<taln::UpdateItem> items(staged->files.begin(), staged->files.end());
    signedAt =
        std::chrono::duration_cast<std::chrono::seconds>(options.now().time_since_epoch()).count();
    const std::string canonical = signing::CanonicalForm(*version, signedAt, items);
    WriteText(
        release / signing::kSignatureFile,
        signing::FormatSignatureFile({*version, signedAt, options.signingKey->Sign(canonical)}));
    stamped(release / signing::kSignatureFile);
    waitSettled();
    // Digests only the signature; the other files come from the staging cache.
    loaded = server::Releases::Load(staging, load);
  }

  // Added before the rename: a server reloading at once then finds every digest.
  server::DigestCache cache(options.releases / server::Releases::kDigestCacheName);
  cache.Load();
  cache.Add(cache);
  server::DigestCache staged(staging / server::Releases::kDigestCacheName);
  staged.Load();
  cache.Add(staged);
  const bool cached = cache.Save();

  RefuseExisting(target, options.version);
  fs::rename(release, target);

  Published published;
  published.folder = target;
  const server::Release* served = loaded->Find(*version);
  published.files = served ? served->files.size() : 0;
  published.bytes = total + fs::file_size(target / "manifest");
  published.digestsCached = cached;
  published.signedAt = signedAt;
  if (options.signingKey) published.bytes += fs::file_size(target / signing::kSignatureFile);
  return published;
}

}  // namespace aus::publish
