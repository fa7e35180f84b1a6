// Entry point on POSIX systems: rebuilds the command-line tail a Windows GUI program receives,
// so the launcher sees the same two-string argument vector on every platform.
#include <exception>
#include <iostream>
#include <string>

#include "launcher/exitcodes.h"
#include "launcher/launchermain.h"
#include "package/network/common/downloadmanager.h"
#include "package/platform/port.h"

int main(int argc, char* argv[]) {
  // A standard output whose reader has gone must cost the log its lines there, not the process.
  platform::IgnoreBrokenPipes();
  network::common::KeepTransferBuffersMapped();
  std::string programName = " ";
  std::string tail = platform::CommandLineTail(argc, argv);
  char* arguments[] = {programName.data(), tail.data(), nullptr};
  try {
    return launcher::LauncherMain(2, arguments);
  } catch (const std::exception& error) {
    std::cerr << "launcher.exe: stopped by an error: " << error.what() << '\n';
  } catch (...) {
    std::cerr << "launcher.exe: stopped by an unknown error\n";
  }
  return launcher::kExitFailure;
}
