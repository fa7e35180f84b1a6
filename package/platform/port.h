#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The port layer: every call the launcher needs from the operating system's user interface and
// process services. One implementation per platform (POSIX/X11 and Win32), chosen by file in the
// build; nothing else in the code base includes a system header of either. None of these
// functions throws.
namespace platform {

// A top-level window; kNoWindow when none was found.
using WindowHandle = std::uint64_t;
inline constexpr WindowHandle kNoWindow = 0;

// ShowWindow commands.
inline constexpr int kShowMinimize = 6;
inline constexpr int kShowDefault = 10;

// The topmost top-level window whose whole title is `title` regardless of case
// (FindWindowA(NULL, title)): "game" finds "Game", but "Game Launcher" never matches "Game". On X11
// the title is _NET_WM_NAME, else WM_NAME, of the client window, which a window manager may have
// reparented into a frame, and case is that of the ASCII letters. Without a display there is no
// window.
WindowHandle FindWindowByTitle(const std::string& title);
// ShowWindow(window, command). kShowMinimize iconifies the window (on X11 it is unmapped when no
// window manager acts on the request); every other command shows and raises it. A window that no
// longer exists is ignored.
void ShowWindow(WindowHandle window, int command);

// ShellExecuteA(NULL, "open", file, parameters, NULL, SW_SHOW): starts `file` without waiting.
// On POSIX the file is taken from the working directory first, then from PATH, `parameters` are
// split by SplitCommandLine, and the program gets none of the caller's open files and SIGPIPE at
// its default (see IgnoreBrokenPipes); a thread reaps it when it ends (when no thread can be
// created, a later call does). Keeps ShellExecute's contract: above 32 when started, 32 or less
// when not (on POSIX kErrorFileNotFound, kErrorAccessDenied, kErrorBadFormat or 0).
int StartProgram(const std::string& file, const std::string& parameters);
inline constexpr int kProgramStarted = 42;
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorBadFormat = 11;

// Makes a write to a pipe or socket whose reader has gone fail with an error instead of ending
// the process: on POSIX SIGPIPE is ignored process-wide. Windows has no such signal. Called once
// at the start of the program.
void IgnoreBrokenPipes();

// The command-line tail a Windows GUI program receives, rebuilt from argv[1..]: joined by one
// blank, an argument quoted with the Windows rules only when it is empty or holds a blank, tab or
// quote; empty without arguments. SplitCommandLine(CommandLineTail(argc, argv)) gives argv[1..]
// back.
std::string CommandLineTail(int argc, const char* const* argv);
// Splits the arguments of a command line (the text after the program name) with the rules of
// CommandLineToArgvW: blanks and tabs separate arguments outside quotes; 2n backslashes before a
// quote give n backslashes and the quote toggles quoting, 2n+1 give n and a literal quote; other
// backslashes are literal; of consecutive quotes every third is literal.
std::vector<std::string> SplitCommandLine(const std::string& arguments);

}  // namespace platform
