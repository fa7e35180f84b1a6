#include "launcher/launchermain.h"

#include <functional>
#include <utility>

#include "launcher/exitcodes.h"
#include "launcher/launcherwindow.h"
#include "launcher/posttask.h"
#include "launcher/updatemanager.h"
#include "package/logging/logger.h"
#include "package/platform/hosthooks.h"
#include "package/platform/platform.h"
#include "package/platform/platformfacts.h"
#include "package/platform/port.h"
#include "package/settings/clientsettings.h"
#include "package/settings/serversettings.h"
#include "package/taln/talndownloadmanager.h"

namespace launcher {

namespace {

constexpr const char* kPinnedClientVersion = "[Client]\nclient_version=4.34.1905201200";

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
  logger.SetFile("LogLauncher.txt");
}

// The engine logs through the logger and hands its main-thread work to the window's queue.
void InstallEngineHooks() {
  taln::logging::SetLogCallback(taln::logging::ForwardTo(Logger::Instance()));
  taln::SetInvokeCallback([](std::function<void()> work) { PostTask(std::move(work)); });
}

// Old Windows versions get the last client version they can run, from the next start on.
void PinClientVersionOnOldWindows() {
  const Platform& system = Platform::Instance();
  if (!platform::IsOldWindows(system.type, system.osMajorVersion, system.osMinorVersion)) return;
  if (!ServerSettings::Instance().GetClientVersion().empty()) return;
  ClientSettings::UpdateSettings(kPinnedClientVersion, false);
}

}  // namespace

int LauncherMain(int argc, char* argv[]) {
  const ClientSettings& settings = ClientSettings::Instance();
  if (!settings.IsMultipleInstancesEnabled() && ActivateRunningGame()) return kExitGameRunning;
  ConfigureLogger(settings);
  InstallEngineHooks();
  PinClientVersionOnOldWindows();

  LauncherWindow window;
  UpdateManager updateManager(&window);
  updateManager.Execute(argc, argv);
  while (window.Idle()) {
  }
  taln::TALN_DownloadManager::Instance("").Shutdown();
  return kExitNormal;
}

}  // namespace launcher
