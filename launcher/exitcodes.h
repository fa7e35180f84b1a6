#pragma once

namespace launcher {

// Process exit codes: 0 after the window loop (whatever the update's outcome, and after a
// restart for a settings update), 1 when another game client runs, 3 when an error ended
// start-up or the window loop (already logged where it happened).
inline constexpr int kExitNormal = 0;
inline constexpr int kExitGameRunning = 1;
inline constexpr int kExitFailure = 3;

}  // namespace launcher
