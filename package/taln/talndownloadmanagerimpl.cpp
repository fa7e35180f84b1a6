#include "package/taln/talndownloadmanagerimpl.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/exception/get_error_info.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>

#include "package/network/common/client.h"
#include "package/network/common/downloadmanager.h"
#include "package/network/common/updatedbfetch.h"
#include "package/settings/serversettings.h"
#include "package/taln/db/updatedbpacket.h"
#include "package/taln/db/versiontext.h"
#include "package/taln/enginelog.h"
#include "package/taln/talnupdatesteps.h"
#include "package/taln/updaterstate.h"

namespace fs = boost::filesystem;

namespace taln {

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
      Items batch = NextBatch(lock);
      if (batch.empty()) continue;
      lock.unlock();
      RunBatch(batch);
      lock.lock();
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

TALN_DownloadManagerImpl::Items TALN_DownloadManagerImpl::NextBatch(
    std::unique_lock<std::mutex>& lock) {
  if (requests_.empty()) {
    // Requests are only looked at when ProcessRequests wakes the worker.
    while (!updateRequested_ && !stopping_) {
      wake_.wait(lock);
      if (!requests_.empty()) break;
    }
    if (requests_.empty() && !updateRequested_) return {};
  }

  Items batch;
  if (updateRequested_) {
    SetAsideOptionalFiles();
    batch = GetRequiredLatestFiles();
  }
  if (!requests_.empty()) {
    for (UpdateItem& item : ResolveRequests(requests_)) {
      const bool known = std::any_of(batch.begin(), batch.end(), [&](const UpdateItem& other) {
        return other.name == item.name;
      });
      if (!known) batch.push_back(std::move(item));
    }
  }
  updateRequested_ = false;
  requests_.clear();
  if (batch.empty()) Emit(UPDATER_STATE::DOWNLOAD_FINISHED, 0, "");
  return batch;
}

void TALN_DownloadManagerImpl::RunBatch(const Items& batch) {
  const Items toDownload = SelectDownloads(batch);
  Emit(UPDATER_STATE::DOWNLOAD_STARTED, 0, "Downloading updates...");
  const Digests taken = toDownload.empty() ? Digests() : DownloadItems(toDownload);
  Emit(UPDATER_STATE::INSTALLING_UPDATES, 0, "Installing updates...");
  Folders renamedIn;
  try {
    InstallItems(batch, taken, renamedIn);
  } catch (...) {
    // The files installed before the failure keep their records; without them the next start
    // would take each for the file it replaced and download it again. The failure itself is
    // reported as it is.
    if (!SaveInstalled(renamedIn)) EngineLog(kLogError, "RunBatch", "Can't save local UpdateDB!");
    throw;
  }
  for (const UpdateItem& item : batch) localDb_.AddIfAbsent(item);
  if (!SaveInstalled(renamedIn)) throw std::runtime_error("Can't save local UpdateDB!");
  Emit(UPDATER_STATE::DOWNLOAD_FINISHED, 0, "");
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
  Emit(UPDATER_STATE::DOWNLOAD_FAILED, 0, eventMessage);
}

bool TALN_DownloadManagerImpl::Initialize() {
  try {
    Emit(UPDATER_STATE::INITIALIZATION_STARTED, 0, "Checking for updates...");
    SweepBackups();
    if (!localDb_.Load()) localDb_.Scan();
    if (localDb_.IsModified() && !localDb_.Save()) {
      localDb_ = UpdateDB();
      throw std::runtime_error("UpdateDB is modified but not saved!");
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

void TALN_DownloadManagerImpl::SweepBackups() {
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
  EngineLog(
      kLogInfo, "InitializeAUSUpdateDB",
      latest ? std::string("Getting latest updates from server")
             : (boost::format("Getting updates for version %s from server") % clientVersion).str());
  latestDb_ = GetUpdateDB(client, target, latest);
  if (latestDb_.empty()) throw std::runtime_error("Couldn't get latest updates from server");
  EngineLogItems("InitializeAUSUpdateDB", "AUS lates UpdateDB:", latestDb_);

  const std::string build = FormatVersion(kBuildVersion);
  EngineLog(kLogInfo, "InitializeAUSUpdateDB",
            (boost::format("Getting updates for version %s from server") % build).str());
  buildDb_ = GetUpdateDB(client, kBuildVersion, false);
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
