// The batch steps of TALN_DownloadManagerImpl: selection, download and installation.
#include "package/taln/talnupdatesteps.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>

#include "package/network/common/client.h"
#include "package/network/common/downloadmanager.h"
#include "package/network/common/file.h"
#include "package/network/common/rangejournal.h"
#include "package/platform/durablefile.h"
#include "package/settings/serversettings.h"
#include "package/taln/db/versiontext.h"
#include "package/taln/enginelog.h"
#include "package/taln/talndownloadmanagerimpl.h"
#include "package/taln/updaterstate.h"

namespace fs = boost::filesystem;

namespace taln {

namespace {

std::string Format(const char* format, const std::string& value) {
  return (boost::format(format) % value).str();
}

// Logs Format(format, value) at debug level, formatted only when the host keeps such lines: an
// update logs several for each of its files.
void LogDebug(const char* method, const char* format, const std::string& value) {
  if (logging::Logs(kLogDebug)) EngineLog(kLogDebug, method, Format(format, value));
}

// The hash of `name` (relative, with '/', no ".." component) as lexically_normal gives it: names
// that differ only by "." components or repeated separators name one file. Most names are normal
// already and are hashed as they are: normalizing each of a large release's names took more time
// than the rest of the download step's preparations.
std::size_t NormalNameHash(const std::string& name) {
  const std::hash<std::string_view> hash;
  const bool normal = name.find("//") == std::string::npos &&
                      name.find("./") == std::string::npos && !name.ends_with("/.") &&
                      !name.ends_with('/') && name != ".";
  if (normal) return hash(name);
  return hash(fs::path(name).lexically_normal().generic_string());
}

// Whether anything, of any kind, is at `path`.
bool Exists(const std::string& path) {
  boost::system::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

// What one look at a file tells: its symlink_status, and its last-write time as last_write_time
// gives it (for a symbolic link, that of what the link points to). The install needs both for
// each of thousands of downloads; taken one call each, the looks cost about as much as the
// renames.
struct Look {
  fs::file_status status;
  std::int64_t modified = 0;
};

Look LookAt(const std::string& path) {
  Look look;
  boost::system::error_code error;
#ifndef _WIN32
  struct stat facts {};
  if (::lstat(path.c_str(), &facts) != 0) {
    look.status = fs::file_status(errno == ENOENT || errno == ENOTDIR ? fs::file_not_found
                                                                      : fs::status_error);
    return look;
  }
  if (!S_ISLNK(facts.st_mode)) {
    const fs::file_type type = S_ISREG(facts.st_mode)   ? fs::regular_file
                               : S_ISDIR(facts.st_mode) ? fs::directory_file
                                                        : fs::type_unknown;
    look.status = fs::file_status(type, static_cast<fs::perms>(facts.st_mode) & fs::perms_mask);
    look.modified = facts.st_mtime;
    return look;
  }
#endif
  look.status = fs::symlink_status(path, error);
  if (fs::exists(look.status)) look.modified = fs::last_write_time(path, error);
  return look;
}

// Runs `work` on `count` threads, the calling one among them, and waits for all: fewer where no
// more threads can be started.
void RunOnThreads(std::size_t count, const std::function<void()>& work) {
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < count; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

InstallCalls& InstallCallsSlot() {
  static InstallCalls calls{
      [](const std::string& target, const std::string& link, boost::system::error_code& error) {
        fs::create_hard_link(target, link, error);
      },
      platform::SyncFile, platform::SyncDirectory, platform::SyncFiles};
  return calls;
}

// Keeps the installed file as `backup` while it stays in place, so that no moment passes without
// a file at `target`, whatever stops the process. Falls back to a rename where the filesystem
// cannot link (FAT, network shares, protected hard links); a process stopped before the download
// takes the target's place then leaves only the backup, which the next start puts back. On
// Windows the backup is always a rename: a running program can be renamed but not replaced.
// Returns whether the backup is a rename, the target then gone until the swap.
bool MakeBackup(const std::string& target, const std::string& backup,
                boost::system::error_code& error) {
#ifndef _WIN32
  // Linked first: a backup left from before is rare, and looking for one cost a call per file.
  CurrentInstallCalls().createHardLink(target, backup, error);
  if (error == boost::system::errc::file_exists) {
    fs::remove(backup, error);
    error.clear();
    CurrentInstallCalls().createHardLink(target, backup, error);
  }
  if (!error) return false;
  error.clear();
#endif
  fs::remove(backup, error);
  error.clear();
  fs::rename(target, backup, error);
  return true;
}

// The permissions the installed file gets: those of the file it replaces, else the download's,
// with execute bits for the programs the system starts by name ("*.exe"), which a download never
// carries. Never setuid, setgid or sticky: a file from the server must not run with its owner's
// rights. Always readable and writable by the owner, so that the next update can hash and replace
// it everywhere, not only as root. `found` is the target's symlink_status, `download` the
// download's status.
fs::perms InstalledPermissions(const std::string& target, const fs::file_status& found,
                               const fs::file_status& download) {
  boost::system::error_code error;
  const fs::file_status replaced = fs::is_symlink(found) ? fs::status(target, error) : found;
  fs::perms permissions;
  if (!error && fs::exists(replaced)) {
    permissions = replaced.permissions();
  } else {
    permissions = download.permissions();
    if (fs::path(target).extension() == ".exe") {
      permissions |= fs::owner_exe | fs::group_exe | fs::others_exe;
    }
  }
  permissions &= ~(fs::set_uid_on_exe | fs::set_gid_on_exe | fs::sticky_bit);
  return permissions | fs::owner_read | fs::owner_write;
}

// The digest of the file at `path`. A download (`sync`) is forced to the disk first: an installed
// file must not turn out empty or torn after a power cut while "Update.db" records it with this
// digest. An installed file is left alone; on Windows a running program cannot be opened for the
// write access that a sync needs.
std::vector<unsigned char> HashForInstall(const std::string& path, bool sync) {
  if (!sync) return HashFile(path);
  if (const std::error_code error = CurrentInstallCalls().syncFile(path)) {
    throw std::runtime_error(
        (boost::format("Cannot sync file '%1%'. Error: '%2%'") % path % error.message()).str());
  }
  return HashFile(path);
}

// Adds the folder of `name` (relative to `root`, with '/') to `folders`, with the folders above
// it up to `root`: the download step may have created them, so their entries are new too.
void AddFolders(const std::string& root, const std::string& name, std::set<std::string>& folders) {
  for (fs::path folder = fs::path(name).parent_path(); !folder.empty();
       folder = folder.parent_path()) {
    if (!folders.insert(root + "/" + folder.generic_string()).second) return;
  }
  folders.insert(root);
}

// Fails a batch whose downloads cannot fit on the root's file system before anything is written:
// writing until the disk is full would fail later anyway, with the disk full for everyone.
void CheckFreeSpace(const std::string& root,
                    const std::vector<std::reference_wrapper<const UpdateItem>>& items) {
  std::uint64_t needed = 0;
  for (const UpdateItem& item : items) {
    // Saturates: the sizes come from the server.
    needed = item.size > UINT64_MAX - needed ? UINT64_MAX : needed + item.size;
  }
  const std::uint64_t available = fs::space(root).available;
  if (needed > available) {
    throw std::runtime_error(
        (boost::format("Not enough disk space: the update needs %1% bytes, %2% bytes are free") %
         needed % available)
            .str());
  }
}

// Files handed to one DownloadManager run.
constexpr std::size_t kFilesPerRun = 4096;

int Percent(std::uint64_t downloaded, std::uint64_t total) {
  if (total == 0) return 100;
  return static_cast<int>(downloaded * 100 / total);
}

// Syncs and hashes files on a thread of its own as they are queued (a download whose digest could
// not be taken as its bytes arrived, once its last range is written, while the rest of the batch
// downloads), and what is still queued at Finish on every hardware thread: hashing, and waiting
// for the disk, are most of an install's time otherwise. A download queued with its digest (where
// the batch's common sync failed) is only synced.
class FileHasher {
 public:
  using Digests = std::unordered_map<std::string, std::vector<unsigned char>>;

  FileHasher() {
    try {
      thread_ = std::thread([this] { Work(true); });
    } catch (const std::system_error&) {
      // Everything is left to Finish.
    }
  }
  // Drops what is still queued and waits for the file in hand.
  ~FileHasher() {
    {
      std::lock_guard lock(mutex_);
      queue_.clear();
      closing_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  FileHasher(const FileHasher&) = delete;
  FileHasher& operator=(const FileHasher&) = delete;

  // Queues the file at `path`, whole on disk and written no more; a download (`sync`) is synced
  // before it is hashed. With `digest` (taken from its bytes as they arrived) the file is synced
  // and not read back: the digest counts once the sync succeeded.
  void Add(const std::string& path, bool sync = true, std::vector<unsigned char> digest = {}) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back({path, sync, std::move(digest)});
    }
    changed_.notify_one();
  }

  // Syncs and hashes what is still queued on every hardware thread and returns the digests by
  // path. A file that could not be synced or read has none.
  Digests Finish() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    // With the hashing thread, one per hardware thread.
    RunOnThreads(std::max(2u, std::thread::hardware_concurrency()) - 1, [this] { Work(false); });
    if (thread_.joinable()) thread_.join();
    return std::move(digests_);
  }

 private:
  // Hashes queued files until the queue is empty and, if `wait`, Finish or the destructor ran.
  void Work(bool wait) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (wait) changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) return;
      Queued queued = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      const std::string& path = queued.path;
      std::vector<unsigned char> digest;
      try {
        if (queued.digest.empty()) {
          digest = HashForInstall(path, queued.sync);
        } else if (!CurrentInstallCalls().syncFile(path)) {
          digest = std::move(queued.digest);
        }
      } catch (const std::exception&) {
        // No digest: the install step syncs and hashes the file again, and reports the failure.
      }
      lock.lock();
      if (!digest.empty()) digests_[path] = std::move(digest);
    }
  }

  struct Queued {
    std::string path;
    bool sync;
    std::vector<unsigned char> digest;  // taken as the bytes arrived; empty: read the file
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Queued> queue_;  // guarded by mutex_
  Digests digests_;           // guarded by mutex_
  bool closing_ = false;      // guarded by mutex_
  std::thread thread_;
};

// The digests InstallItems checks, taken before it moves anything: those of the downloads taken
// while downloading, the others now on every hardware thread. A path that an earlier item of the
// batch renames onto or away from (a name listed twice, or "a" and "a.upd") is hashed when its
// turn comes instead, as is a path the install loop no longer hashes. A few bytes per item: a
// release may list 65,536 files.
class DigestsAhead {
 public:
  // `taken` (the downloads' digests by position, possibly shorter than `batch`) must outlive this.
  DigestsAhead(const std::vector<UpdateItem>& batch,
               const std::function<std::string(const std::string&)>& path,
               const std::vector<std::vector<unsigned char>>& taken)
      : downloads_(batch.size()),
        known_(batch.size()),
        looks_(batch.size()),
        digests_(batch.size()) {
    // The paths each item renames, by their hash, with the first item that does: a path whose
    // hash an earlier item renames counts as moved. A path that merely shares the hash is hashed
    // in its turn, which costs time, never a wrong digest.
    const std::hash<std::string> hash;
    std::vector<std::pair<std::size_t, std::size_t>> renamed;
    renamed.reserve(3 * batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const std::string target = path(batch[i].name);
      renamed.emplace_back(hash(target), i);
      renamed.emplace_back(hash(target + ".upd"), i);
      renamed.emplace_back(hash(target + ".$$$"), i);
    }
    std::sort(renamed.begin(), renamed.end());
    const auto movedBefore = [&renamed, &hash](const std::string& file, std::size_t index) {
      const std::size_t fileHash = hash(file);
      const auto first = std::lower_bound(renamed.begin(), renamed.end(),
                                          std::pair<std::size_t, std::size_t>{fileHash, 0});
      return first != renamed.end() && first->first == fileHash && first->second < index;
    };
    // The downloads are looked at first, on every hardware thread: a look each is most of this
    // step's time where the digests were taken as the bytes arrived.
    std::atomic<std::size_t> nextLook{0};
    RunOnThreads(std::max(1u, std::thread::hardware_concurrency()), [&] {
      constexpr std::size_t kLooksPerTake = 256;
      for (std::size_t first = nextLook.fetch_add(kLooksPerTake); first < batch.size();
           first = nextLook.fetch_add(kLooksPerTake)) {
        const std::size_t last = std::min(batch.size(), first + kLooksPerTake);
        for (std::size_t i = first; i < last; ++i) looks_[i] = LookAt(path(batch[i].name) + ".upd");
      }
    });
    FileHasher hasher;
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const std::string hashed = Hashed(path, batch[i], i, true);
      known_[i] = !movedBefore(path(batch[i].name) + ".upd", i);
      if (movedBefore(hashed, i)) continue;
      if (downloads_[i] && i < taken.size() && !taken[i].empty()) {
        digests_[i] = &taken[i];
      } else {
        hasher.Add(hashed, downloads_[i]);
        pending.push_back(i);
      }
    }
    renamed = {};
    hashed_ = hasher.Finish();
    for (const std::size_t i : pending) {
      const auto found = hashed_.find(Hashed(path, batch[i], i, false));
      if (found != hashed_.end()) digests_[i] = &found->second;
    }
  }

  // The digest of item `index` at its download (`download`, then synced first) or its target
  // `hashed`, taken now unless that was done ahead for the same file.
  std::vector<unsigned char> Get(std::size_t index, const std::string& hashed,
                                 bool download) const {
    if (digests_[index] && download == downloads_[index]) return *digests_[index];
    return HashForInstall(hashed, download);
  }

  // Whether item `index` passes its checks when its turn comes, as far as what was seen ahead
  // tells: its download, or with none its target, was hashed ahead and has the digest of `item`,
  // and no earlier item renames either.
  bool PassesAhead(std::size_t index, const UpdateItem& item) const {
    return known_[index] && digests_[index] && *digests_[index] == item.hash;
  }

  // The look at item `index`'s download at `download` when its turn comes: the one taken ahead,
  // unless an earlier item renames that path.
  Look Download(std::size_t index, const std::string& download) const {
    return known_[index] ? looks_[index] : LookAt(download);
  }

 private:
  // The file of `item` to hash: its download when there is one (taken from its look when
  // `look`), else its target.
  std::string Hashed(const std::function<std::string(const std::string&)>& path,
                     const UpdateItem& item, std::size_t index, bool look) {
    const std::string target = path(item.name);
    if (look) downloads_[index] = fs::exists(looks_[index].status);
    return downloads_[index] ? target + ".upd" : target;
  }

  std::vector<bool> downloads_;  // whether the item's download was there
  std::vector<bool> known_;      // whether no earlier item renames the item's download
  std::vector<Look> looks_;      // at each download, taken ahead
  // Into the digests given, or hashed_; null where the file is hashed in its turn.
  std::vector<const std::vector<unsigned char>*> digests_;
  FileHasher::Digests hashed_;
};

// What the install threads record, under one lock: the files installed, in "Update.db", and the
// folders whose entries changed, with those above them up to the root.
class InstallRecords {
 public:
  InstallRecords(const std::string& root, UpdateDB& db, std::set<std::string>& folders)
      : root_(root), db_(db), folders_(folders) {}

  // `modified` is the installed file's last-write time. Without it, the replaced file's record
  // would stay until a start sees the time change, which it misses within the same second, and
  // fetches the file once more.
  void Installed(const UpdateItem& item, std::int64_t modified) {
    UpdateItem installed = item;
    installed.modifiedTime = modified;
    installed.origin = UpdateItem::Origin::kInstalled;
    std::lock_guard lock(mutex_);
    db_.Put(installed);
  }
  // The folder of `name` may change: a backup or a swap is about to be made there.
  void Renamed(const std::string& name) {
    std::lock_guard lock(mutex_);
    AddFolders(root_, name, folders_);
  }

 private:
  const std::string& root_;
  std::mutex mutex_;
  UpdateDB& db_;                    // guarded by mutex_
  std::set<std::string>& folders_;  // guarded by mutex_
};

// The first `count` positions of `batch` by the folder of their files, in batch order within
// each. The folders are installed on threads of their own, each folder's files in order: an
// earlier item may rename what a later one installs ("a" and "a.upd", a name listed twice), always
// in its folder.
std::vector<std::vector<std::size_t>> FolderLanes(const std::vector<UpdateItem>& batch,
                                                  std::size_t count) {
  std::unordered_map<std::string, std::size_t> laneOf;
  std::vector<std::vector<std::size_t>> lanes;
  for (std::size_t i = 0; i < count; ++i) {
    std::string folder = fs::path(batch[i].name).lexically_normal().parent_path().generic_string();
#ifdef _WIN32
    // Names that differ only in case are one folder there.
    boost::algorithm::to_lower(folder);
#endif
    const auto [lane, added] = laneOf.try_emplace(std::move(folder), lanes.size());
    if (added) lanes.emplace_back();
    lanes[lane->second].push_back(i);
  }
  return lanes;
}

// Installs `item`, item `index` of the batch, under `root`: checks the digest of its download
// (or, with none, of the installed file), keeps the installed file as a backup and swaps the
// download in. False when the backup could not be made (logged; the target stays as it was).
bool InstallItem(const std::string& root, const UpdateItem& item, std::size_t index,
                 const DigestsAhead& digests, InstallRecords& records) {
  const std::string target = root + "/" + item.name;
  const std::string download = target + ".upd";
  const std::string backup = target + ".$$$";
  const Look downloadLook = digests.Download(index, download);
  const bool downloaded = fs::exists(downloadLook.status);
  if (!downloaded) {
    EngineLog(kLogWarning, "InstallItems", Format("Update file '%s' does not exists!", download));
    if (!Exists(target)) {
      throw std::runtime_error(
          (boost::format("Target file '%1%' does not exists!") % target).str());
    }
  }
  const std::string hashed = downloaded ? download : target;
  const std::vector<unsigned char> digest = digests.Get(index, hashed, downloaded);
  LogDebug("InstallItems", "Actual hash calculated for '%s'.", hashed);
  if (digest != item.hash) {
    LogDebug("InstallItems", "Expected hash: %s", HexString(item.hash));
    LogDebug("InstallItems", "Actual hash: %s", HexString(digest));
    throw std::runtime_error(
        (boost::format("Hash validation failed for item '%1%'!") % item.name).str());
  }
  EngineLog(kLogDebug, "InstallItems", "Hash validation passed.");
  // The target already holds what the download would have brought: it stays as it is.
  if (!downloaded) {
    records.Installed(item, fs::last_write_time(target));
    return true;
  }

  // Set before the backup and the swap: the installed file never goes without them, whenever
  // the process stops, and a failure here leaves the target where it is.
  boost::system::error_code targetError;
  const fs::file_status found = fs::symlink_status(target, targetError);
  const fs::file_status downloadStatus =
      fs::is_symlink(downloadLook.status) ? fs::status(download) : downloadLook.status;
  const fs::perms permissions = InstalledPermissions(target, found, downloadStatus);
  // Mostly they are the download's already: a change costs the file system more than the look.
  if (permissions != downloadStatus.permissions()) fs::permissions(download, permissions);
  records.Renamed(item.name);
  bool movedAway = false;  // the backup is a rename: only it holds the old file until the swap
  if (fs::exists(found)) {
    boost::system::error_code error;
    movedAway = MakeBackup(target, backup, error);
    if (error) {
      EngineLog(kLogError, "InstallItems",
                (boost::format("Cannot rename file ('%s'). Error: '%s'") % target % error.message())
                    .str());
      return false;
    }
    LogDebug("InstallItems", "Backup file ('%s') has been created.", backup);
  }
  try {
    fs::rename(download, target);
  } catch (const fs::filesystem_error&) {
    // The old file goes back to its place: after a failed update the launcher starts the game
    // all the same (on Windows a scanner holding the download open is enough to get here).
    boost::system::error_code ignored;  // else the next start's sweep puts it back
    if (movedAway) fs::rename(backup, target, ignored);
    throw;
  }
  // A rename keeps the time, and nothing wrote the download since the look.
  records.Installed(item, downloadLook.modified);
  LogDebug("InstallItems", "Update for '%s' has been successfully installed.", item.name);
  return true;
}

}  // namespace

const InstallCalls& CurrentInstallCalls() { return InstallCallsSlot(); }

InstallCallsForTest::InstallCallsForTest(InstallCalls calls) : previous_(InstallCallsSlot()) {
  InstallCallsSlot() = std::move(calls);
}

InstallCallsForTest::~InstallCallsForTest() { InstallCallsSlot() = std::move(previous_); }

TALN_DownloadManagerImpl::Items TALN_DownloadManagerImpl::GetRequiredLatestFiles() {
  const UpdateDB diff = UpdateDB::Diff(latestDb_, localDb_);
  if (diff.empty()) {
    EngineLog(kLogDebug, "GetRequiredLatestFiles", "No updates available!");
  } else {
    EngineLogItems("GetRequiredLatestFiles", "Items to be updated:", diff);
  }
  Items required;
  for (const UpdateItem& item : diff) {
    if (item.required) required.push_back(item);
  }
  return required;
}

void TALN_DownloadManagerImpl::AdoptReleaseFiles() {
  Items adopted;
  for (const UpdateItem& item : localDb_) {
    if (item.origin != UpdateItem::Origin::kFound || !latestDb_.Contains(item.name)) continue;
    const UpdateItem& released = latestDb_.Get(item.name);
    if (released.hash != item.hash) continue;
    adopted.push_back(item);
    adopted.back().origin = UpdateItem::Origin::kInstalled;
    adopted.back().required = released.required;
  }
  for (const UpdateItem& item : adopted) localDb_.Put(item);
}

TALN_DownloadManagerImpl::Items TALN_DownloadManagerImpl::GetRemovedFiles() {
  Items removed;
  // A server that lists nothing is not a release without files.
  if (latestDb_.empty()) return removed;
  for (const UpdateItem& item : localDb_) {
    if (item.origin != UpdateItem::Origin::kInstalled &&
        item.origin != UpdateItem::Origin::kChanged) {
      continue;
    }
    if (!item.required) continue;
    if (!latestDb_.Contains(item.name)) removed.push_back(item);
  }
  return removed;
}

void TALN_DownloadManagerImpl::SetAsideOptionalFiles() {
  for (const UpdateItem& item : UpdateDB::Diff(latestDb_, localDb_)) {
    if (item.required) continue;
    const std::string target = Path(item.name);
    const std::string backup = target + ".$$$";
    fs::rename(target, backup);
    // Removed now where it can be (a file in use on Windows can only be renamed): the start-up
    // sweep puts back a backup whose file is missing, as that is how a replaced file survives a
    // crash, and would bring the outdated file back.
    boost::system::error_code ignored;
    fs::remove(backup, ignored);
  }
}

TALN_DownloadManagerImpl::Items TALN_DownloadManagerImpl::ResolveRequests(
    const std::list<FileRequest>& requests) {
  Items resolved;
  for (const FileRequest& request : requests) {
    UpdateItem item = GetItem(request.name, request.latest ? latestDb_ : buildDb_);
    if (item.name.empty()) continue;
    item.required = request.latest;
    resolved.push_back(std::move(item));
  }
  return resolved;
}

UpdateItem TALN_DownloadManagerImpl::GetItem(const std::string& name, const UpdateDB& db) {
  std::string normalized = name;
  NormalizeName(normalized);
  if (localDb_.Contains(normalized) &&
      localDb_.Get(normalized).origin != UpdateItem::Origin::kRemoved &&
      localDb_.Get(normalized).hash == db.Get(normalized).hash) {
    return UpdateItem();
  }
  if (db.Contains(normalized)) return db.Get(normalized);
  EngineLog(kLogError, "GetItem", Format("file %s doesn't exist on AUS.", normalized));
  return UpdateItem();
}

TALN_DownloadManagerImpl::ItemRefs TALN_DownloadManagerImpl::SelectDownloads(const Items& batch) {
  ItemRefs selected;
  for (const UpdateItem& item : batch) {
    const std::string download = Path(item.name) + ".upd";
    if (!Exists(download)) {
      selected.push_back(item);
      continue;
    }
    LogDebug("GetRequiredLatestFiles", "Found .upd file for the item '%s'.", item.name);
    if (HashFile(download) == item.hash) {
      EngineLog(kLogDebug, "GetRequiredLatestFiles",
                "Checksum validation passed. Download is NOT required.");
    } else {
      EngineLog(kLogDebug, "GetRequiredLatestFiles",
                "Checksum validation NOT passed. Download is required.");
      selected.push_back(item);
    }
  }
  return selected;
}

TALN_DownloadManagerImpl::Digests TALN_DownloadManagerImpl::DownloadItems(const Items& batch,
                                                                          const ItemRefs& items) {
  EngineLog(kLogDebug, "DownloadItems", "Items to be downloaded: ");
  for (const UpdateItem& item : items) EngineLog(kLogDebug, "DownloadItems", item.name);
  CheckFreeSpace(root_, items);

  const ServerSettings& settings = settings_();
  auto client = std::make_shared<network::common::Client>(
      settings.GetAusHost(), settings.GetAusPort(), kBuildVersion, kPlatformName, true);
  const Version configured = ParseVersion(settings.GetClientVersion());
  const bool latest = configured == Version{};
  const Version byPathVersion = latest ? kBuildVersion : configured;

  network::common::DownloadOptions options;
  options.requestsInFlight = settings.GetRequestsInFlight();
  options.connections = settings.GetConnections();
  // Each download's digest comes from its bytes as they arrive: the hashing thread then only syncs
  // it, instead of reading every byte back.
  options.digests = true;
  options.warn = [](const std::string& line) { EngineLog(kLogWarning, "DownloadItems", line); };
  auto manager = std::make_shared<network::common::DownloadManager>(
      client, hardwareThreads_, network::common::DownloadManager::FileSystemCapacity, options);
  // Published before the first Add, which already asks the server for sizes.
  const AbortScope abortable(*this, [manager] { manager->Abort(); });
  // A file that another item of the batch also downloads into may change after it completes.
  // Found by the hashes of the paths, a few bytes per item; a path that only shares its hash with
  // another counts as shared too, which costs its journal and its digest as bytes arrive.
  std::unordered_set<std::string> shared;
  {
    std::vector<std::size_t> hashes;
    hashes.reserve(items.size());
    for (const UpdateItem& item : items) hashes.push_back(NormalNameHash(item.name));
    std::sort(hashes.begin(), hashes.end());
    for (const UpdateItem& item : items) {
      const auto [first, last] =
          std::equal_range(hashes.begin(), hashes.end(), NormalNameHash(item.name));
      if (last - first > 1) {
        shared.insert(fs::path(Path(item.name) + ".upd").lexically_normal().string());
      }
    }
  }
  FileHasher hasher;
  // By position in `batch`: each written by the thread that completes its download, read once
  // every run has ended.
  Digests digests(batch.size());
  const auto position = [&batch](const UpdateItem& item) {
    return static_cast<std::size_t>(&item - batch.data());
  };
  const auto download = [this, &batch](std::size_t at) { return Path(batch[at].name) + ".upd"; };
  // Downloads whose digest was taken as their bytes arrived, written but not synced: they are made
  // durable together once the last is written, before anything is installed. The others are
  // synced and read back by the hasher.
  std::mutex arrivedMutex;
  std::vector<std::size_t> arrived;   // guarded by arrivedMutex
  std::vector<std::size_t> readBack;  // guarded by arrivedMutex
  // One event per change of the percentage, not per data block: each event becomes a task and a
  // frame on the launcher's main thread, and thousands of them per gigabyte made that thread, not
  // the download, set the pace (a 1 GiB install took ten times as long) and queued the game start
  // behind them. Workers report concurrently, so the check and the event happen under one lock:
  // otherwise a worker that computed an older percentage could deliver it after a newer one.
  std::mutex shownMutex;
  int shown = -1;  // guarded by shownMutex
  const auto show = [this, &shownMutex, &shown](int percent) {
    std::lock_guard<std::mutex> lock(shownMutex);
    if (percent <= shown) return;
    shown = percent;
    Emit(UPDATER_STATE::DOWNLOADING, percent, "Downloading updates...");
  };
  std::uint64_t bytes = 0;  // what the server's database says, for every run's progress
  for (const UpdateItem& item : items) bytes += item.size;
  // The files go to the manager a run at a time: queued, each file is a few hundred bytes, and a
  // release may list 65,536 of them. A run ends with a round trip's wait for its last ranges.
  for (std::size_t first = 0; first < items.size(); first += kFilesPerRun) {
    const std::size_t last = std::min(items.size(), first + kFilesPerRun);
    // The run's files by position in `batch`; read by the workers while nothing changes it.
    std::unordered_map<const network::common::File*, std::size_t> positions;
    for (std::size_t i = first; i < last; ++i) {
      const UpdateItem& item = items[i];
      const std::string download = Path(item.name) + ".upd";
      // A download of several ranges resumes from those a stopped run left on disk; one that
      // another item shares has no single size and digest to keep them for.
      std::shared_ptr<network::common::RangeJournal> journal;
      if (item.size > network::common::kPartSize &&
          !shared.contains(fs::path(download).lexically_normal().string())) {
        journal = std::make_shared<network::common::RangeJournal>(download, item.size, item.hash,
                                                                  CurrentInstallCalls().syncFile);
        if (!journal->done().empty()) {
          EngineLog(kLogInfo, "DownloadItems",
                    (boost::format("Resuming '%s': %d of %d bytes are on disk.") % download %
                     journal->DoneBytes() % item.size)
                        .str());
        }
      }
      auto file = item.required && latest
                      ? std::make_shared<network::common::File>(item.index, download, item.size)
                      : std::make_shared<network::common::File>(item.name, download, byPathVersion);
      positions.emplace(file.get(), position(item));
      manager->Add(file, journal);
    }
    manager->Download(
        [&show, bytes](std::uint64_t downloaded, std::uint64_t total) {
          show(Percent(downloaded, std::max(total, bytes)));
        },
        [&](const std::shared_ptr<network::common::File>& file) {
          const std::string& path = file->localPath();
          if (!shared.empty() && shared.contains(fs::path(path).lexically_normal().string())) {
            return;
          }
          const std::size_t at = positions.at(file.get());
          if (file->digest().empty()) {
            hasher.Add(path);
            std::lock_guard lock(arrivedMutex);
            readBack.push_back(at);
            return;
          }
          digests[at] = file->digest();
          std::lock_guard lock(arrivedMutex);
          arrived.push_back(at);
        });
    if (stopping_) return {};
  }
  // Nothing gets installed once the destructor has run.
  if (stopping_) return {};
  show(100);
  // One sync for the batch: a sync per file waited for the disk once per file, which for
  // thousands of small files was most of an update's time. Where it fails, each download is
  // synced on its own, so that the one that cannot be is named and not installed.
  std::vector<std::string> paths;
  paths.reserve(arrived.size());
  for (const std::size_t at : arrived) paths.push_back(download(at));
  if (CurrentInstallCalls().syncFiles(paths)) {
    for (std::size_t i = 0; i < arrived.size(); ++i) {
      hasher.Add(paths[i], true, std::move(digests[arrived[i]]));
      digests[arrived[i]].clear();
      readBack.push_back(arrived[i]);
    }
  }
  paths = {};
  FileHasher::Digests hashed = hasher.Finish();
  for (const std::size_t at : readBack) {
    const auto found = hashed.find(download(at));
    if (found != hashed.end()) digests[at] = std::move(found->second);
  }
  return digests;
}

void TALN_DownloadManagerImpl::InstallItems(const Items& batch, const Digests& taken,
                                            Folders& renamedIn) {
  if (stopping_) return;
  const DigestsAhead digests(
      batch, [this](const std::string& name) { return Path(name); }, taken);
  InstallRecords records(root_, localDb_, renamedIn);
  std::atomic<bool> failed{false};
  std::atomic<bool> stop{false};
  std::mutex errorMutex;
  std::size_t errorAt = batch.size();  // guarded by errorMutex
  std::exception_ptr error;            // guarded by errorMutex: that of the earliest item
  // Installs the lanes on up to `threads` threads, each lane's items in order.
  const auto install = [&](const std::vector<std::vector<std::size_t>>& lanes,
                           std::size_t threads) {
    std::atomic<std::size_t> nextLane{0};
    RunOnThreads(std::min(threads, lanes.size()), [&] {
      for (std::size_t lane = nextLane++; lane < lanes.size() && !stop; lane = nextLane++) {
        for (const std::size_t i : lanes[lane]) {
          if (stop) return;
          try {
            if (!InstallItem(root_, batch[i], i, digests, records)) failed = true;
          } catch (...) {
            std::lock_guard lock(errorMutex);
            if (i < errorAt) {
              errorAt = i;
              error = std::current_exception();
            }
            stop = true;
            return;
          }
        }
      }
    });
  };
  // The leading items that pass their checks by what was seen ahead go in parallel; from the
  // first that may not on, the items go in order, as no item after a failed check may be
  // installed.
  std::size_t sure = 0;
  while (sure < batch.size() && digests.PassesAhead(sure, batch[sure])) ++sure;
  install(FolderLanes(batch, sure), hardwareThreads_);
  std::vector<std::size_t> rest(batch.size() - sure);
  std::iota(rest.begin(), rest.end(), sure);
  install({rest}, 1);
  if (error) std::rethrow_exception(error);
  if (failed) throw std::runtime_error("Cannot install some updates");
}

void TALN_DownloadManagerImpl::RemoveItems(const Items& removals, Folders& renamedIn) {
  bool failed = false;
  for (const UpdateItem& record : removals) {
    const std::string target = Path(record.name);
    if (!Exists(target)) {
      localDb_.Remove(record.name);
      continue;
    }
    // A player's edit that kept the modification time is caught here too.
    if (record.origin == UpdateItem::Origin::kChanged || HashFile(target) != record.hash) {
      EngineLog(kLogWarning, "RemoveItems",
                Format("Kept '%s': the release no longer lists it, but it was changed after it "
                       "was installed.",
                       record.name));
      UpdateItem kept = record;
      kept.origin = UpdateItem::Origin::kFound;
      localDb_.Put(kept);
      continue;
    }
    // As a replaced file goes: the backup stays until the next start, which puts it back where
    // "Update.db" still lists the file as installed (the process stopped before saving) and
    // removes it where the record says removed.
    boost::system::error_code error;
    fs::rename(target, target + ".$$$", error);
    if (error) {
      EngineLog(
          kLogError, "RemoveItems",
          (boost::format("Cannot remove file '%s'. Error: '%s'") % target % error.message()).str());
      failed = true;
      continue;
    }
    AddFolders(root_, record.name, renamedIn);
    UpdateItem removed = record;
    removed.origin = UpdateItem::Origin::kRemoved;
    localDb_.Put(removed);
    EngineLog(kLogInfo, "RemoveItems",
              Format("Removed '%s': the release no longer lists it.", record.name));
  }
  if (failed) throw std::runtime_error("Cannot remove some files");
}

std::uint64_t TALN_DownloadManagerImpl::FetchedBytes(const ItemRefs& downloads) const {
  std::uint64_t fetched = 0;
  for (const UpdateItem& item : downloads) {
    boost::system::error_code error;
    const std::uint64_t size = fs::file_size(Path(item.name) + ".upd", error);
    if (!error) {
      fetched += std::min(size, item.size);
    } else if (localDb_.Contains(item.name) && localDb_.Get(item.name).hash == item.hash) {
      fetched += item.size;
    }
  }
  return fetched;
}

}  // namespace taln
