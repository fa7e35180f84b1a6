#include "launcher/launchermain.h"

#include <exception>
#include <functional>
#include <iostream>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "launcher/exitcodes.h"
#include "launcher/launcherwindow.h"
#include "launcher/posttask.h"
#include "launcher/updatemanager.h"
#include "package/logging/logger.h"
#include "package/network/common/downloadmanager.h"
#include "package/platform/hosthooks.h"
#include "package/platform/platform.h"
#include "package/platform/platformfacts.h"
#include "package/platform/port.h"
#include "package/settings/clientsettings.h"
#include "package/settings/serversettings.h"
#include "package/taln/talndownloadmanager.h"

namespace launcher {

namespace {

constexpr const char* kLogFile = "LogLauncher.txt";
constexpr const char* kPreviousLogFile = "LogLauncher.old.txt";

// Another game client runs: bring its window forward instead of starting a second one.
bool ActivateRunningGame() {
  const platform::WindowHandle game = platform::FindWindowByTitle("Game");
  if (game == platform::kNoWindow) return false;
  platform::ShowWindow(game, platform::kShowMinimize);
  platform::ShowWindow(game, platform::kShowDefault);
  return true;
}

void ConfigureLogger(const ClientSettings& settings) {
  auto& logger = Logger::Instance();
  logger.SetLevel(settings.GetLogLevel());
  logger.SetStreamMask(settings.GetLogStreamMask());
  // The previous run's log is what a player who restarts after a failure has lost otherwise.
  boost::system::error_code error;
  if (boost::filesystem::exists(kLogFile, error)) {
    boost::filesystem::rename(kLogFile, kPreviousLogFile, error);
  }
  logger.SetFile(kLogFile);
  if (error) {
    logger.Print("ENGINE", 3, "ConfigureLogger: cannot keep the previous log as '%s': %s",
                 kPreviousLogFile, error.message().c_str());
  }
}

// The engine logs through the logger, only the lines it prints, and hands its main-thread work
// to the window's queue.
void InstallEngineHooks(const ClientSettings& settings) {
  taln::logging::SetLogCallback(taln::logging::ForwardTo(Logger::Instance()),
                                taln::logging::MostDetailedFor(settings.GetLogLevel()));
  taln::SetInvokeCallback([](std::function<void()> work) { PostTask(std::move(work)); });
}

}  // namespace

void PinClientVersionOnOldWindows(const Platform& system, const ServerSettings& settings) {
  if (!platform::IsOldWindows(system.type, system.osMajorVersion, system.osMinorVersion)) return;
  if (!settings.GetClientVersion().empty()) return;
  ClientSettings::UpdateSettings(kPinnedClientVersion, false);
}

int LauncherMain(int argc, char* argv[]) {
  const ClientSettings& settings = ClientSettings::Instance();
  if (!settings.IsMultipleInstancesEnabled() && ActivateRunningGame()) return kExitGameRunning;
  ConfigureLogger(settings);
  InstallEngineHooks(settings);
  PinClientVersionOnOldWindows(Platform::Instance(), ServerSettings::Instance());

  LauncherWindow window;
  UpdateManager updateManager(&window);
  updateManager.Execute(argc, argv);
  while (window.Idle()) {
  }
  // The player sees the window go at once; the engine's stop aborts its connections.
  window.Hide();
  taln::TALN_DownloadManager::Instance("").Shutdown();
  return kExitNormal;
}

int RunLauncher(std::string tail) {
  network::common::KeepTransferBuffersMapped();
  std::string programName = " ";
  char* arguments[] = {programName.data(), tail.data(), nullptr};
  try {
    return LauncherMain(2, arguments);
  } catch (const std::exception& error) {
    std::cerr << "launcher.exe: stopped by an error: " << error.what() << '\n';
  } catch (...) {
    std::cerr << "launcher.exe: stopped by an unknown error\n";
  }
  return kExitFailure;
}

}  // namespace launcher
