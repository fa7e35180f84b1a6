#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

struct ProgramResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;    // standard output
  std::string err;    // standard error
  // From the close (SIGTERM) to the exit; negative when the program was not closed.
  std::chrono::milliseconds closeToExit{-1};
};

// Runs `program` with `arguments` in `workingDir`, waits for it, and returns what it printed. One
// still running 60 seconds later is killed (exitCode -1).
ProgramResult RunProgram(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDir);

// Runs a program that opens a window, as RunProgram does but with SDL's dummy video driver, and
// closes it the way a player closes its window: once the program handles SIGTERM (SDL's event
// loop turns that signal into its quit event) it is sent SIGTERM. A program that exits before
// that is simply waited for; one still running 30 seconds later is killed (exitCode -1). With
// `readyToClose`, the close waits until it also returns true.
ProgramResult RunAndCloseWindow(const std::filesystem::path& program,
                                const std::vector<std::string>& arguments,
                                const std::filesystem::path& workingDir,
                                const std::function<bool()>& readyToClose = {});

}  // namespace e2e
