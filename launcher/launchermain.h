#pragma once

namespace launcher {

// The launcher's start-up and shut-down sequence. `argv` holds exactly two strings: " " in place
// of the program name and the command-line tail, unsplit (possibly empty), which the game client
// receives unchanged. Returns 1 when another "Game" window exists and multiple instances are not
// enabled, else 0 once the window's loop has ended. Handles no exceptions: a settings or window
// failure leaves it after being logged.
int LauncherMain(int argc, char* argv[]);

}  // namespace launcher
