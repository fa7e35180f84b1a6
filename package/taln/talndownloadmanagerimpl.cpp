#include "package/taln/talndownloadmanagerimpl.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/exception/get_error_info.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/system/system_error.hpp>

#include "package/network/common/client.h"
#include "package/network/common/downloadmanager.h"
#include "package/network/common/updatedbfetch.h"
#include "package/network/protocol/updateerror.h"
#include "package/settings/serversettings.h"
#include "package/taln/db/updatedbpacket.h"
#include "package/taln/db/versiontext.h"
#include "package/taln/enginelog.h"
#include "package/taln/releasecheck.h"
#include "package/taln/talnupdatesteps.h"
#include "package/taln/updaterstate.h"

namespace fs = boost::filesystem;

namespace taln {

namespace {

// Removes a backup whose file the last update removed, then the folders that this leaves empty,
// up to the root: they held only files of the release. `name` is the file's, relative to `root`.
void RemoveBackup(const fs::path& root, const fs::path& name) {
  const fs::path backup = root / (name.string() + ".$$$");
  boost::system::error_code error;
  fs::remove(backup, error);
  if (error) {
    EngineLog(kLogWarning, "SweepBackups",
              (boost::format("Cannot remove backup '%s'. Error: '%s'") % backup.string() %
               error.message())
                  .str());
    return;
  }
  for (fs::path folder = name.parent_path(); !folder.empty(); folder = folder.parent_path()) {
    if (!fs::is_empty(root / folder, error) || error || !fs::remove(root / folder, error)) break;
  }
}

}  // namespace

TALN_DownloadManagerImpl::TALN_DownloadManagerImpl(const std::string& root,
                                                   const EventCallback& callback,
                                                   SettingsSource settings,
                                                   unsigned hardwareThreads)
    : hardwareThreads_(hardwareThreads),
      root_(root),
      settings_(std::move(settings)),
      callback_(callback) {
  EngineLog(kLogInfo, "TALN_DownloadManagerImpl",
            (boost::format("DIST_NAME=%s") % kPlatformName).str());
}

TALN_DownloadManagerImpl::AbortScope::AbortScope(TALN_DownloadManagerImpl& engine,
                                                 std::function<void()> abort)
    : engine_(engine) {
  std::lock_guard<std::mutex> lock(engine_.abortMutex_);
  if (engine_.stopping_) {
    abort();
  } else {
    engine_.abort_ = std::move(abort);
  }
}

TALN_DownloadManagerImpl::AbortScope::~AbortScope() {
  std::lock_guard<std::mutex> lock(engine_.abortMutex_);
  engine_.abort_ = nullptr;
}

TALN_DownloadManagerImpl::~TALN_DownloadManagerImpl() {
  {
    std::lock_guard<std::mutex> silence(callbackMutex_);
    callback_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(abortMutex_);
    stopping_ = true;
    if (abort_) abort_();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_one();
  }
  if (worker_.joinable()) worker_.join();
}

void TALN_DownloadManagerImpl::RequestUpdate() {
  std::lock_guard<std::mutex> lock(mutex_);
  updateRequested_ = true;
}

void TALN_DownloadManagerImpl::RequestFile(const std::string& name, bool latest) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back({name, latest});
}

void TALN_DownloadManagerImpl::RequestRepair() {
  std::lock_guard<std::mutex> lock(mutex_);
  repairRequested_ = true;
}

void TALN_DownloadManagerImpl::ProcessRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) {
    wake_.notify_one();
    return;
  }
  if (starting_) {
    processPending_ = true;
    return;
  }
  FailPendingRequests();
}

void TALN_DownloadManagerImpl::FailPendingRequests() {
  processPending_ = false;
  requests_.clear();
  updateRequested_ = false;
  Emit(UPDATER_STATE::DOWNLOAD_FAILED, 0, "An error has occurred");
}

void TALN_DownloadManagerImpl::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ || starting_ || stopping_) return;
  // A worker whose initialisation failed has left Starting and is ending.
  if (worker_.joinable()) worker_.join();
  starting_ = true;
  processPending_ = false;
  repairing_ = repairRequested_;
  try {
    localDb_ = UpdateDB(fs::path(root_));
  } catch (...) {
    starting_ = false;
    throw;
  }
  worker_ = std::thread(&TALN_DownloadManagerImpl::WorkingThread, this);
}

void TALN_DownloadManagerImpl::WorkingThread() {
  // Without the engine lock: the databases are the worker's alone, and the main thread must not
  // wait on the server.
  const bool initialized = !stopping_ && Initialize();
  std::unique_lock<std::mutex> lock(mutex_);
  starting_ = false;
  running_ = initialized;
  if (!running_) {
    if (processPending_) FailPendingRequests();
    return;
  }
  while (!stopping_) {
    try {
      Batch batch = NextBatch(lock);
      if (batch.empty()) continue;
      lock.unlock();
      RunBatch(batch);
      lock.lock();
    } catch (const aus::UpdateError& error) {
      // A size asked on this thread, refused: its what() says nothing.
      if (!lock.owns_lock()) lock.lock();
      if (!stopping_) FailBatch(aus::RefusalText(error), error.what());
    } catch (const std::exception& error) {
      if (!lock.owns_lock()) lock.lock();
      if (!stopping_) FailBatch(error.what(), error.what());
    } catch (...) {
      if (!lock.owns_lock()) lock.lock();
      if (!stopping_) FailBatch("unknown exception", "An error has occurred");
    }
  }
  running_ = false;
}

TALN_DownloadManagerImpl::Batch TALN_DownloadManagerImpl::NextBatch(
    std::unique_lock<std::mutex>& lock) {
  if (requests_.empty()) {
    // Requests are only looked at when ProcessRequests wakes the worker.
    while (!updateRequested_ && !stopping_) {
      wake_.wait(lock);
      if (!requests_.empty()) break;
    }
    if (requests_.empty() && !updateRequested_) return {};
  }

  batchStart_ = Clock::now();
  batchFetched_ = 0;
  Batch batch;
  if (updateRequested_) {
    SetAsideOptionalFiles();
    AdoptReleaseFiles();
    batch.items = GetRequiredLatestFiles();
    batch.removals = GetRemovedFiles();
  }
  if (!requests_.empty()) {
    for (UpdateItem& item : ResolveRequests(requests_)) {
      const bool known =
          std::any_of(batch.items.begin(), batch.items.end(),
                      [&](const UpdateItem& other) { return other.name == item.name; });
      if (!known) batch.items.push_back(std::move(item));
    }
  }
  updateRequested_ = false;
  requests_.clear();
  if (batch.empty()) {
    // Records adopted as the release's own are kept for the next update to remove.
    if (localDb_.IsModified() && !localDb_.Save()) {
      EngineLog(kLogError, "RunBatch", "Can't save local UpdateDB!");
    }
    EngineLog(kLogInfo, "RunBatch", "Files to download: 0 (0 bytes); files to remove: 0");
    LogOutcome("the installation is up to date", 0);
    Emit(UPDATER_STATE::DOWNLOAD_FINISHED, 0, "");
  }
  return batch;
}

void TALN_DownloadManagerImpl::RunBatch(const Batch& batch) {
  const ItemRefs toDownload = SelectDownloads(batch.items);
  std::uint64_t bytes = 0;
  for (const UpdateItem& item : toDownload) bytes += item.size;
  EngineLog(kLogInfo, "RunBatch",
            (boost::format("Files to download: %1% (%2% bytes); files to remove: %3%") %
             toDownload.size() % bytes % batch.removals.size())
                .str());
  try {
    Emit(UPDATER_STATE::DOWNLOAD_STARTED, 0, "Downloading updates...");
    Digests taken = toDownload.empty() ? Digests() : DownloadItems(batch.items, toDownload);
    Emit(UPDATER_STATE::INSTALLING_UPDATES, 0, "Installing updates...");
    Folders renamedIn;
    try {
      InstallItems(batch.items, taken, renamedIn);
      // A digest per download: not kept through the save.
      taken = Digests();
      // Only once every download is in place: a failed update leaves the release's files.
      if (!stopping_) RemoveItems(batch.removals, renamedIn);
    } catch (...) {
      // The files installed before the failure keep their records; without them the next start
      // would take each for the file it replaced and download it again. The failure itself is
      // reported as it is.
      if (!SaveInstalled(renamedIn)) {
        EngineLog(kLogError, "RunBatch", "Can't save local UpdateDB!");
      }
      throw;
    }
    for (const UpdateItem& item : batch.items) localDb_.AddIfAbsent(item);
    if (!SaveInstalled(renamedIn)) throw std::runtime_error("Can't save local UpdateDB!");
  } catch (...) {
    batchFetched_ = FetchedBytes(toDownload);
    throw;
  }
  LogOutcome((boost::format("%1% files installed, %2% files removed") % batch.items.size() %
              batch.removals.size())
                 .str(),
             bytes);
  Emit(UPDATER_STATE::DOWNLOAD_FINISHED, 0, "");
}

void TALN_DownloadManagerImpl::LogOutcome(const std::string& outcome, std::uint64_t fetched) {
  const double seconds = std::chrono::duration<double>(Clock::now() - batchStart_).count();
  UpdateDB manifest(root_);
  manifest.ReadManifest();
  const Version& version = manifest.ManifestVersion();
  EngineLog(kLogInfo, "RunBatch",
            (boost::format("Update finished in %.2f s: %s; %d bytes downloaded; installed version "
                           "%s") %
             seconds % outcome % fetched %
             (version == Version{} ? std::string("unknown") : FormatVersion(version)))
                .str());
}

bool TALN_DownloadManagerImpl::SaveInstalled(const Folders& renamedIn) {
  for (const std::string& folder : renamedIn) {
    if (const std::error_code error = CurrentInstallCalls().syncDirectory(folder)) {
      // The installed files are in place; after a power cut a start finds the replaced ones by
      // their modification time and hashes them again.
      EngineLog(
          kLogWarning, "RunBatch",
          (boost::format("Cannot sync folder '%s'. Error: '%s'") % folder % error.message()).str());
    }
  }
  return !localDb_.IsModified() || localDb_.Save();
}

void TALN_DownloadManagerImpl::FailBatch(const std::string& logText,
                                         const std::string& eventMessage) {
  updateRequested_ = false;
  requests_.clear();
  EngineLog(kLogError, "WorkingThread", logText);
  const double seconds = std::chrono::duration<double>(Clock::now() - batchStart_).count();
  EngineLog(kLogInfo, "WorkingThread",
            (boost::format("Update failed after %.2f s; %d bytes downloaded: %s") % seconds %
             batchFetched_ % logText)
                .str());
  Emit(UPDATER_STATE::DOWNLOAD_FAILED, 0, eventMessage);
}

bool TALN_DownloadManagerImpl::Initialize() {
  try {
    Emit(UPDATER_STATE::INITIALIZATION_STARTED, 0, "Checking for updates...");
    {
      UpdateDB records(root_);
      SweepBackups(records.LoadRecords() ? &records : nullptr);
    }
    if (repairing_) {
      EngineLog(kLogInfo, "Initialize",
                "Repair: \"Update.db\" is set aside and every file is checked again");
      localDb_.Rescan();
    } else if (!localDb_.Load()) {
      localDb_.Scan();
    }
    if (localDb_.IsModified() && !localDb_.Save()) {
      localDb_ = UpdateDB();
      throw std::runtime_error("UpdateDB is modified but not saved!");
    }
    if (repairing_) {
      // What the rescan found is saved: a retry of the initialisation loads it.
      repairing_ = false;
      std::lock_guard<std::mutex> lock(mutex_);
      repairRequested_ = false;
    }
    EngineLogItems("Initialize", "Client UpdateDB:", localDb_);
    InitializeAUSUpdateDB();
    Emit(UPDATER_STATE::INITIALIZATION_SUCCESSFUL, 0, "");
    return true;
  } catch (const std::exception& error) {
    EngineLog(kLogError, "Initialize", error.what());
  } catch (...) {
    EngineLog(kLogError, "Initialize", "unknown exception");
  }
  const char* message = localDb_.empty()    ? "Couldn't create UpdateDB."
                        : latestDb_.empty() ? "Failed to get update information from the server."
                                            : "Unknown error while initialization.";
  Emit(UPDATER_STATE::INITIALIZATION_FAILED, 0, message);
  return false;
}

void TALN_DownloadManagerImpl::SweepBackups(const UpdateDB* records) {
  std::vector<fs::path> backups;
  for (fs::recursive_directory_iterator entry(root_), end; entry != end; ++entry) {
    if (entry->path().extension() == ".$$$") backups.push_back(entry->path());
  }
  // Deepest first, so that putting a folder back never moves a backup still to be looked at.
  for (auto backup = backups.rbegin(); backup != backups.rend(); ++backup) {
    fs::path target = *backup;
    target.replace_extension();
    boost::system::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (error && status.type() != fs::file_not_found) {
      // Whether the target is there is unknown: the backup stays for a later start.
      EngineLog(kLogError, "SweepBackups",
                (boost::format("Cannot restore '%s' from its backup. Error: '%s'") %
                 target.string() % error.message())
                    .str());
      continue;
    }
    if (fs::exists(status)) {
      fs::remove(*backup, error);
      if (error) {
        // A folder that is not empty stays; it harms nothing.
        EngineLog(kLogWarning, "SweepBackups",
                  (boost::format("Cannot remove backup '%s'. Error: '%s'") % backup->string() %
                   error.message())
                      .str());
      }
      continue;
    }
    const fs::path name = target.lexically_relative(root_);
    if (records != nullptr && records->Contains(name.generic_string()) &&
        records->Get(name.generic_string()).origin == UpdateItem::Origin::kRemoved) {
      // Removed by the last update, which saved "Update.db" so.
      RemoveBackup(root_, name);
      continue;
    }
    // The process stopped between moving the installed file aside and moving its update in (the
    // backup is a rename where links are unavailable, and always on Windows): the backup is the
    // only copy of the file.
    error.clear();
    fs::rename(*backup, target, error);
    if (error) {
      EngineLog(kLogError, "SweepBackups",
                (boost::format("Cannot restore '%s' from its backup. Error: '%s'") %
                 target.string() % error.message())
                    .str());
    } else {
      EngineLog(kLogWarning, "SweepBackups",
                (boost::format("Restored '%s' from its backup.") % target.string()).str());
    }
  }
}

void TALN_DownloadManagerImpl::InitializeAUSUpdateDB() {
  const ServerSettings& settings = settings_();
  network::common::Client client(settings.GetAusHost(), settings.GetAusPort(), kBuildVersion,
                                 kPlatformName, true);
  const AbortScope abortable(*this, [&client] { client.Abort(); });
  const std::string& clientVersion = settings.GetClientVersion();
  const Version target = ParseVersion(clientVersion);
  const bool latest = target == Version{};
  EngineLog(kLogInfo, "InitializeAUSUpdateDB",
            (boost::format("Update server: %s:%s") % client.host() % client.port()).str());
  UpdateDB manifest(root_);
  manifest.ReadManifest();
  const Version& installed = manifest.ManifestVersion();
  EngineLog(kLogInfo, "InitializeAUSUpdateDB",
            (boost::format("Installed version: %s; target version: %s") %
             (installed == Version{} ? std::string("unknown") : FormatVersion(installed)) %
             (latest ? std::string("latest") : FormatVersion(target)))
                .str());
  EngineLog(
      kLogInfo, "InitializeAUSUpdateDB",
      latest ? std::string("Getting latest updates from server")
             : (boost::format("Getting updates for version %s from server") % clientVersion).str());
  latestDb_ = GetUpdateDB(client, target, latest);
  if (latestDb_.empty()) throw std::runtime_error("Couldn't get latest updates from server");
  const auto key = ReleaseKey(settings.GetReleaseKey());
  if (key) {
    try {
      VerifyRelease(client, root_, *key, latestDb_, target, latest);
    } catch (...) {
      // A list the studio did not sign is no update information: nothing of it is acted on.
      latestDb_ = UpdateDB();
      throw;
    }
  }
  EngineLogItems("InitializeAUSUpdateDB", "AUS lates UpdateDB:", latestDb_);

  const std::string build = FormatVersion(kBuildVersion);
  EngineLog(kLogInfo, "InitializeAUSUpdateDB",
            (boost::format("Getting updates for version %s from server") % build).str());
  buildDb_ = GetUpdateDB(client, kBuildVersion, false);
  if (key && !buildDb_.empty()) {
    // Only the target's list is signed: files asked for from this one are not installed.
    EngineLog(
        kLogInfo, "InitializeAUSUpdateDB",
        (boost::format("The list for version %s is not signed: no file is taken from it") % build)
            .str());
    buildDb_ = UpdateDB();
  }
  EngineLogItems("InitializeAUSUpdateDB",
                 (boost::format("AUS UpdateDB for version %s:") % build).str(), buildDb_);
}

UpdateDB TALN_DownloadManagerImpl::GetUpdateDB(network::common::Client& client,
                                               const Version& version, bool latest) {
  try {
    if (auto db = network::common::FetchUpdateDB(client, latest, version)) return std::move(*db);
    EngineLog(kLogError, "InitializeAUSUpdateDB", "Received unexpected message");
  } catch (const UnsafeNameError& error) {
    const std::string* name = boost::get_error_info<TagUnsafeName>(error);
    EngineLog(kLogError, "InitializeAUSUpdateDB",
              "Unusable update database: the file name '" + (name ? *name : "") +
                  "' leaves the installation root");
  } catch (const boost::system::system_error& error) {
    EngineLog(kLogError, "InitializeAUSUpdateDB", error.what());
    EngineLog(kLogError, "InitializeAUSUpdateDB",
              (boost::format("Cannot reach the update server at %s:%s: %s") % client.host() %
               client.port() % error.code().message())
                  .str());
  } catch (const std::exception& error) {
    EngineLog(kLogError, "InitializeAUSUpdateDB", error.what());
  } catch (...) {
    EngineLog(kLogError, "InitializeAUSUpdateDB", "unknown exception");
  }
  return UpdateDB();
}

void TALN_DownloadManagerImpl::Emit(const std::string& state, int progress,
                                    const std::string& message) {
  std::lock_guard<std::mutex> lock(callbackMutex_);
  if (callback_.empty()) return;
  try {
    callback_(state, progress, message);
  } catch (const std::exception& error) {
    // An event that cannot be delivered must not end the engine's threads.
    EngineLog(kLogError, "Emit", error.what());
  }
}

}  // namespace taln
