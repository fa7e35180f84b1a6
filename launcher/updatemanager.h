#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "launcher/ireportonprogress.h"
#include "package/taln/talnupdaterpublisher.h"

namespace launcher {

// The launch token the game client receives after "--lg".
inline constexpr const char* kLaunchToken = "D41C7A90E35B4F2688A1C0E97B52F3D6";

// The game client's parameters: "--lg", a blank, the token, then a blank and argv[i] unchanged
// for every i from 1 to argc - 1.
std::string GameParameters(int argc, char* argv[]);

// Drives the update engine from the window: starts it for the installation root (the parent of
// the working directory), shows its events, asks for a full update once it has initialised,
// retries a failed initialisation after a ten-second countdown, and starts the game client when
// the update has finished or failed. Main thread only; never unsubscribes, so the engine must be
// shut down before this object goes away.
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

  // Starts the engine and returns. A failure is logged as "UpdateManager.Execute: %s", shown as
  // "An error has occurred", and keeps the game from being started.
  void Execute(int argc, char* argv[]);

  void OnUpdaterEvent(taln::TALN_UpdaterPublisher* publisher, const std::string& state,
                      int progress, const std::string& message) override;

  // One step of the retry countdown: shows the seconds left, or starts the engine again once ten
  // seconds have passed since the failure.
  void ReinitUpdater();

  // Starts "Kolvex.exe" with GameParameters and closes the window; nothing after a failed
  // Execute.
  void StartGame(int argc, char* argv[]);

 private:
  IReportOnProgress* report_;
  bool startGame_ = true;
  int argc_ = 0;
  char** argv_ = nullptr;
  std::int64_t failTime_ = 0;
  Clock clock_;
  TaskPoster post_;
};

}  // namespace launcher
