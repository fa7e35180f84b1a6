#include "launcher/launchermain.h"

#include "launcher/exitcodes.h"
#include "launcher/launcherwindow.h"
#include "package/logging/logger.h"
#include "package/platform/port.h"
#include "package/settings/clientsettings.h"

namespace launcher {

namespace {

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

}  // namespace

int LauncherMain(int /*argc*/, char* /*argv*/[]) {
  const ClientSettings& settings = ClientSettings::Instance();
  if (!settings.IsMultipleInstancesEnabled() && ActivateRunningGame()) return kExitGameRunning;
  ConfigureLogger(settings);

  // Still to come here: the engine's log and main-thread hooks, the old-Windows client-version
  // pin.
  LauncherWindow window;
  // Still to come here: the update manager's Execute. Until then the window stays open until the
  // player closes it.
  while (window.Idle()) {
  }
  // Still to come here: the engine's shut-down, before the window is released.
  return kExitNormal;
}

}  // namespace launcher
