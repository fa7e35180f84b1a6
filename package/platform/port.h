#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The port layer: every call the launcher needs from the operating system's user interface and
// process services. One implementation per platform (POSIX/X11 and Win32), chosen by file in the
// build; nothing else in the code base includes a system header of either.
namespace platform {

// A top-level window; kNoWindow when none was found.
using WindowHandle = std::uint64_t;
inline constexpr WindowHandle kNoWindow = 0;

// ShowWindow commands.
inline constexpr int kShowMinimize = 6;
inline constexpr int kShowDefault = 10;

// The top-level window whose whole title is exactly `title` (FindWindowA(NULL, title)).
WindowHandle FindWindowByTitle(const std::string& title);
// ShowWindow(window, command); the result is ignored by every caller.
void ShowWindow(WindowHandle window, int command);

// ShellExecuteA(NULL, "open", file, parameters, NULL, SW_SHOW): starts `file` (the working
// directory first, then PATH) with `parameters` split by the Windows command-line rules, without
// waiting. Keeps ShellExecute's contract: above 32 when started, 32 or less when not.
int StartProgram(const std::string& file, const std::string& parameters);

// The command-line tail a Windows GUI program receives, rebuilt from argv[1..]: joined by one
// blank, an argument quoted with the Windows rules only when it holds a blank, tab or quote.
std::string CommandLineTail(int argc, const char* const* argv);
// Splits a command line into arguments with the Windows rules (CommandLineToArgvW).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace platform
