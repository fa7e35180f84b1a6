#include "launcher/updatemanager.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include <boost/filesystem/operations.hpp>

#include "launcher/posttask.h"
#include "package/logging/logger.h"
#include "package/platform/port.h"
#include "package/taln/talndownloadmanager.h"
#include "package/taln/updaterstate.h"

namespace launcher {

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr const char* kGameProgram = "Kolvex.exe";
// StartProgram's results up to this one are failures.
constexpr int kLastStartError = 32;
constexpr std::int64_t kRetrySeconds = 10;
// Each countdown step reads the clock and posts the next one. Without a pause the window loop
// would run these steps back to back, a core at full load for as long as retries go on; with it
// the window still handles its events between steps and the seconds shown lag by at most this.
constexpr std::chrono::milliseconds kCountdownPause{50};

void PostAfterPause(std::function<void()> task) {
  std::this_thread::sleep_for(kCountdownPause);
  PostTask(std::move(task));
}

taln::TALN_DownloadManager& Engine() { return taln::TALN_DownloadManager::Instance(""); }

}  // namespace

std::string GameParameters(int argc, char* argv[]) {
  std::string parameters = std::string("--lg ") + kLaunchToken;
  for (int i = 1; i < argc; ++i) parameters += std::string(" ") + argv[i];
  return parameters;
}

std::int64_t UpdateManager::SystemTicks() {
  using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, kTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

UpdateManager::UpdateManager(IReportOnProgress* report, Clock clock, TaskPoster post)
    : report_(report), clock_(std::move(clock)), post_(post ? std::move(post) : PostAfterPause) {}

void UpdateManager::Execute(int argc, char* argv[]) {
  argc_ = argc;
  argv_ = argv;
  try {
    const std::string root = boost::filesystem::current_path().parent_path().string();
    taln::TALN_DownloadManager::Instance(root);
    Engine().Subscribe(this);
    boost::system::error_code error;
    repair_ = boost::filesystem::exists(kRepairTrigger, error);
    if (repair_) {
      Logger::Instance().Print("ENGINE", 2,
                               "UpdateManager.Execute: repair requested by the file '%s': every "
                               "file is checked again",
                               kRepairTrigger);
      Engine().RequestRepair();
    }
    Engine().Start();
  } catch (const std::exception& error) {
    Logger::Instance().Print("ENGINE", 4, "UpdateManager.Execute: %s", error.what());
    report_->SetStatusText("An error has occurred");
    startGame_ = false;
  } catch (...) {
    Logger::Instance().Print("ENGINE", 4, "UpdateManager.Execute: unknown error occured");
    report_->SetStatusText("An error has occurred");
    startGame_ = false;
  }
}

void UpdateManager::OnUpdaterEvent(taln::TALN_UpdaterPublisher* /*publisher*/,
                                   const std::string& state, int progress,
                                   const std::string& message) {
  namespace State = taln::UPDATER_STATE;
  if (state == State::DOWNLOAD_STARTED || state == State::INSTALLING_UPDATES) {
    report_->SetStatusText(message.c_str());
  } else if (state == State::DOWNLOAD_FINISHED) {
    if (repair_) FinishRepair();
    StartGame(argc_, argv_);
  } else if (state == State::DOWNLOAD_FAILED) {
    report_->SetStatusText(message.c_str());
    StartGame(argc_, argv_);
  } else if (state == State::INITIALIZATION_SUCCESSFUL) {
    Engine().RequestUpdate();
    Engine().ProcessRequests();
  } else if (state == State::INITIALIZATION_FAILED) {
    Logger::Instance().Print("ENGINE", 2,
                             "UpdateManager.OnUpdaterEvent: the update check failed (%s); retry "
                             "in %d seconds",
                             message.c_str(), static_cast<int>(kRetrySeconds));
    failTime_ = clock_();
    ReinitUpdater();
  } else if (state == State::INITIALIZATION_STARTED) {
    report_->SetStatusText(message.c_str());
  } else if (state == State::DOWNLOADING) {
    report_->SetProgress(static_cast<float>(progress));
  }
}

void UpdateManager::ReinitUpdater() {
  const std::int64_t elapsedSeconds = (clock_() - failTime_) / kTicksPerSecond;
  const std::int64_t remaining = kRetrySeconds - elapsedSeconds;
  if (remaining > 0) {
    char text[1024];
    std::snprintf(text, sizeof text, "Failed to connect to autoupdate server. Retry in %02d sec",
                  static_cast<int>(remaining));
    report_->SetStatusText(text);
    post_([this] { ReinitUpdater(); });
    return;
  }
  Logger::Instance().Print("ENGINE", 2, "UpdateManager.ReinitUpdater: attempt to reinit updater.");
  Engine().Start();
}

void UpdateManager::FinishRepair() {
  repair_ = false;
  boost::system::error_code error;
  boost::filesystem::remove(kRepairTrigger, error);
  if (error) {
    Logger::Instance().Print("ENGINE", 3,
                             "UpdateManager.FinishRepair: cannot remove '%s', the next start "
                             "repairs again: %s",
                             kRepairTrigger, error.message().c_str());
  } else {
    Logger::Instance().Print(
        "ENGINE", 2, "UpdateManager.FinishRepair: repair finished, '%s' removed", kRepairTrigger);
  }
}

void UpdateManager::StartGame(int argc, char* argv[]) {
  if (!startGame_) return;
  const int result = platform::StartProgram(kGameProgram, GameParameters(argc, argv));
  if (result > kLastStartError) {
    Logger::Instance().Print("ENGINE", 2, "UpdateManager.StartGame: started the game '%s'",
                             kGameProgram);
  } else {
    Logger::Instance().Print("ENGINE", 4,
                             "UpdateManager.StartGame: cannot start the game '%s' (error %d)",
                             kGameProgram, result);
  }
  report_->Close();
}

}  // namespace launcher
