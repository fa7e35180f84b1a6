// Entry point on POSIX systems: rebuilds the command-line tail a Windows GUI program receives,
// so the launcher sees the same two-string argument vector on every platform.
#include "launcher/launchermain.h"
#include "package/platform/port.h"

int main(int argc, char* argv[]) {
  // A standard output whose reader has gone must cost the log its lines there, not the process.
  platform::IgnoreBrokenPipes();
  return launcher::RunLauncher(platform::CommandLineTail(argc, argv));
}
