#include "package/platform/port.h"

// Placeholder until the POSIX port layer lands: no window is ever found, no program starts.
namespace platform {

WindowHandle FindWindowByTitle(const std::string&) { return kNoWindow; }

void ShowWindow(WindowHandle, int) {}

int StartProgram(const std::string&, const std::string&) { return 2; }

std::string CommandLineTail(int argc, const char* const* argv) {
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) tail += ' ';
    tail += argv[i];
  }
  return tail;
}

std::vector<std::string> SplitCommandLine(const std::string&) { return {}; }

}  // namespace platform
