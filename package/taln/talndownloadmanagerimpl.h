#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "package/network/protocol/version.h"
#include "package/settings/serversettings.h"
#include "package/taln/db/updatedb.h"
#include "package/taln/talnabstractdownloadmanager.h"

namespace network::common {
class Client;
class DownloadManager;
}  // namespace network::common

namespace taln {

// The version built into the launcher: announced on every server connection, asked for as the
// second database, and used for downloads by path in latest mode.
inline constexpr Version kBuildVersion{4, 35, 1906051200};
// The platform name announced on every server connection.
inline constexpr const char* kPlatformName = "win32";

// The working update engine for one installation root. Start runs a worker thread that
// initialises (sweeps "*.$$$" backups, loads or rebuilds "Update.db", fetches the server's
// databases for the target and the built-in version) and then serves batches: a full update of
// the required files and single files by name. A batch downloads "<target>.upd" files, checks
// their digests, swaps them in keeping "<target>.$$$" backups, and saves "Update.db". A full
// update also moves aside, as "<target>.$$$", the required files it installed that the target
// release no longer lists (one changed since is kept), and drops their records. Every
// stage leaves as an event through the callback; failures of a batch become DOWNLOAD_FAILED and
// the engine waits for the next request.
//
// States: Idle (after construction or a failed initialisation), Starting (Start until the
// worker's Initialize ends), Running. The destructor silences the callback, requests a stop and
// aborts the worker's open connections (a silent server is not waited out), then joins the
// worker; a batch caught downloading installs nothing.
class TALN_DownloadManagerImpl : public TALN_AbstractDownloadManager {
 public:
  // Where the server's address and the client version come from.
  using SettingsSource = std::function<const ServerSettings&()>;

  // Starts nothing. `root` is the installation's root directory.
  // `hardwareThreads` is what the machine reports; it sizes the download workers.
  TALN_DownloadManagerImpl(const std::string& root, const EventCallback& callback,
                           SettingsSource settings = &ServerSettings::Instance,
                           unsigned hardwareThreads = std::thread::hardware_concurrency());
  ~TALN_DownloadManagerImpl() override;

  void RequestUpdate() override;
  void RequestFile(const std::string& name, bool latest) override;
  // Wakes the worker when running; while Starting, leaves the requests to the end of the
  // initialisation; otherwise drops every request and emits DOWNLOAD_FAILED
  // "An error has occurred".
  void ProcessRequests() override;
  // When Idle: builds the local database for the root (a root that is not an existing directory
  // throws boost::filesystem::filesystem_error and leaves the engine Idle) and starts the
  // worker. Does nothing in other states, nor once the destructor has begun.
  void Start() override;
  // The next Start rescans the root (UpdateDB::Rescan) in place of loading "Update.db"; once
  // that is saved, later Starts load it again.
  void RequestRepair() override;

 private:
  struct FileRequest {
    std::string name;
    bool latest;
  };
  using Items = std::vector<UpdateItem>;
  // Items of a list that outlives this one: a release may list 65,536 files.
  using ItemRefs = std::vector<std::reference_wrapper<const UpdateItem>>;
  // SHA-256 digests of a batch's downloads, by position in its items; empty where none was taken.
  using Digests = std::vector<std::vector<unsigned char>>;
  using Folders = std::set<std::string>;
  using Clock = std::chrono::steady_clock;

  // What a batch does: install `items`, and remove the files of `removals` (local records).
  struct Batch {
    Items items;
    Items removals;
    bool empty() const { return items.empty() && removals.empty(); }
  };

  // While alive, the engine's stop calls `abort` to end the worker's network work; it is called
  // at once when the stop came first. One at a time, on the worker.
  class AbortScope {
   public:
    AbortScope(TALN_DownloadManagerImpl& engine, std::function<void()> abort);
    ~AbortScope();
    AbortScope(const AbortScope&) = delete;
    AbortScope& operator=(const AbortScope&) = delete;

   private:
    TALN_DownloadManagerImpl& engine_;
  };

  void WorkingThread();
  // Drops the requests of a ProcessRequests that came while initialising, which failed.
  void FailPendingRequests();
  // Waits for work and assembles the next batch; empty when there is nothing to do.
  Batch NextBatch(std::unique_lock<std::mutex>& lock);
  void RunBatch(const Batch& batch);
  void FailBatch(const std::string& logText, const std::string& eventMessage);
  // Logs the outcome of the batch begun at batchStart_, with the bytes it downloaded.
  void LogOutcome(const std::string& outcome, std::uint64_t fetched);
  bool Initialize();
  // Removes the backups of the previous run whose file is there and puts back those whose file
  // is missing, unless `records` (the saved "Update.db" as stored, null when unreadable) says
  // the last update removed that file: its backup goes too, with the folders this empties.
  void SweepBackups(const UpdateDB* records);
  void InitializeAUSUpdateDB();
  UpdateDB GetUpdateDB(network::common::Client& client, const Version& version, bool latest);

  Items GetRequiredLatestFiles();
  // Marks the local records whose file is the target release's, name and digest, as installed:
  // the launcher would have put the same bytes there.
  void AdoptReleaseFiles();
  // The local records of installed, required files that the target release does not list.
  Items GetRemovedFiles();
  void SetAsideOptionalFiles();
  Items ResolveRequests(const std::list<FileRequest>& requests);
  UpdateItem GetItem(const std::string& name, const UpdateDB& db);
  // The items of `batch` to download: those without a ".upd" of their digest.
  ItemRefs SelectDownloads(const Items& batch);
  // Downloads `items`, which refer into `batch`, and returns the digests of the downloads, taken as
  // their bytes arrived (or read back), once every download of the batch is synced to the disk.
  Digests DownloadItems(const Items& batch, const ItemRefs& items);
  // Checks every item against its digest (from `taken` when its download was not touched since; a
  // download is synced to the disk before it is hashed) and swaps the downloads in. The leading
  // items whose checks pass by what was seen ahead go in parallel, a thread per folder; from the
  // first that may fail on, in order. Adds the folders whose entries it changes, and those above
  // them up to the root, to `renamedIn`. Stops at the first item that throws and throws what the
  // earliest such item threw.
  void InstallItems(const Items& batch, const Digests& taken, Folders& renamedIn);
  // Moves each file of `removals` to "<file>.$$$" and marks its record kRemoved, adding the
  // folders to `renamedIn` as InstallItems does; the next start's sweep removes the backup and
  // its Load the record. A file that no longer has its record's digest, or changed since it was
  // installed, stays, becomes the player's (kFound) and is logged. Throws "Cannot remove some
  // files" after trying them all when one could not be moved.
  void RemoveItems(const Items& removals, Folders& renamedIn);
  // The bytes of `downloads` now on disk: installed ones, and the ".upd" files still there.
  std::uint64_t FetchedBytes(const ItemRefs& downloads) const;
  // Syncs `renamedIn` (a folder that cannot be synced is logged), then saves `localDb_` if it
  // changed: "Update.db" never names a file whose rename a power cut may still undo. False when
  // the save failed.
  bool SaveInstalled(const Folders& renamedIn);

  void Emit(const std::string& state, int progress, const std::string& message);
  std::string Path(const std::string& name) const { return root_ + "/" + name; }

  std::thread worker_;
  // The engine lock; never held through network or disk work, so that the main thread's calls
  // and the destructor do not wait on a silent server.
  std::mutex mutex_;
  bool running_ = false;         // guarded by mutex_
  bool starting_ = false;        // guarded by mutex_
  bool processPending_ = false;  // guarded by mutex_; ProcessRequests came while Starting
  std::condition_variable wake_;
  std::list<FileRequest> requests_;    // guarded by mutex_
  bool updateRequested_ = false;       // guarded by mutex_
  bool repairRequested_ = false;       // guarded by mutex_
  std::mutex abortMutex_;              // taken alone, around nothing else
  std::atomic<bool> stopping_{false};  // set once, under abortMutex_, by the destructor
  std::function<void()> abort_;        // guarded by abortMutex_
  const unsigned hardwareThreads_;
  // Touched by the worker only, and by Start while no worker runs.
  bool repairing_ = false;
  Clock::time_point batchStart_;
  std::uint64_t batchFetched_ = 0;  // what a failed batch had downloaded
  UpdateDB localDb_;
  UpdateDB buildDb_;
  UpdateDB latestDb_;
  const std::string root_;
  const SettingsSource settings_;
  std::mutex callbackMutex_;  // taken inside mutex_, never around it
  EventCallback callback_;    // guarded by callbackMutex_
};

}  // namespace taln
