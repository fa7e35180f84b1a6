#pragma once

#include <string>

class Platform;
class ServerSettings;

namespace launcher {

// Settings text that pins the last client version old Windows versions can run.
inline constexpr const char* kPinnedClientVersion = "[Client]\nclient_version=4.34.1905201200";

// On an old Windows version (platform::IsOldWindows of `system`) without a configured client
// version, merges kPinnedClientVersion into "Settings.ini" of the working directory, so the
// next start asks for that version. Throws what the settings update throws.
void PinClientVersionOnOldWindows(const Platform& system, const ServerSettings& settings);

// The launcher's start-up and shut-down sequence. `argv` holds exactly two strings: " " in place
// of the program name and the command-line tail, unsplit (possibly empty), which the game client
// receives unchanged. Returns 1 when another "Game" window exists and multiple instances are not
// enabled, else 0 once the window's loop has ended. Handles no exceptions: a settings or window
// failure leaves it after being logged.
int LauncherMain(int argc, char* argv[]);

// What each platform's entry point runs once it has the command-line tail: LauncherMain with
// the argument vector {" ", tail}. An exception that ends it is reported on standard error (it
// was logged where it happened) and gives kExitFailure.
int RunLauncher(std::string tail);

}  // namespace launcher
