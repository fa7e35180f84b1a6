#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "launcher/ireportonprogress.h"
#include "package/taln/talnupdaterpublisher.h"

namespace launcher {

// The launch token the game client receives after "--lg".
inline constexpr const char* kLaunchToken = "D41C7A90E35B4F2688A1C0E97B52F3D6";
// A file of this name in the working directory, beside "Settings.ini", asks for a repair: the
// engine hashes every file again instead of trusting "Update.db". Removed once the update has
// succeeded, so it works once.
inline constexpr const char* kRepairTrigger = "Repair";

// The game client's parameters: "--lg", a blank, the token, then a blank and argv[i] unchanged
// for every i from 1 to argc - 1.
std::string GameParameters(int argc, char* argv[]);

// Drives the update engine from the window: starts it for the installation root (the parent of
// the working directory), shows its events, asks for a full update once it has initialised,
// retries a failed initialisation after a ten-second countdown, and starts the game client when
// the update has finished or failed. Main thread only; never unsubscribes, so the engine must be
// shut down before this object goes away. Logs, at INFO, a requested repair, a failed
// initialisation and the game's start; a game that cannot be started at ERROR.
class UpdateManager : public taln::TALN_UpdaterSubscriber {
 public:
  // Ticks of 100 ns on the system clock; injectable so the countdown is testable.
  using Clock = std::function<std::int64_t()>;
  // Queues the next countdown step for the main thread. The launcher's own poster pauses briefly
  // before PostTask so that the countdown does not spin a core while the server is unreachable.
  using TaskPoster = std::function<void(std::function<void()>)>;

  static std::int64_t SystemTicks();

  explicit UpdateManager(IReportOnProgress* report, Clock clock = SystemTicks,
                         TaskPoster post = nullptr);

  // Starts the engine, with a repair when kRepairTrigger is in the working directory, and
  // returns. A failure is logged as "UpdateManager.Execute: %s", shown as
  // "An error has occurred", and keeps the game from being started.
  void Execute(int argc, char* argv[]);

  void OnUpdaterEvent(taln::TALN_UpdaterPublisher* publisher, const std::string& state,
                      int progress, const std::string& message) override;

  // One step of the retry countdown: shows the seconds left, or starts the engine again once ten
  // seconds have passed since the failure.
  void ReinitUpdater();

  // Starts "Kolvex.exe" with GameParameters, logs the result and closes the window; nothing
  // after a failed Execute.
  void StartGame(int argc, char* argv[]);

 private:
  // Removes kRepairTrigger after a successful update; one that stays is logged.
  void FinishRepair();

  IReportOnProgress* report_;
  bool startGame_ = true;
  bool repair_ = false;  // the trigger was there at Execute
  int argc_ = 0;
  char** argv_ = nullptr;
  std::int64_t failTime_ = 0;
  Clock clock_;
  TaskPoster post_;
};

}  // namespace launcher
