// Shows the launcher window with a fixed status line and progress until it is closed:
//   window_preview "Downloading updates..." 40
#include <cstdlib>

#include "launcher/launcherwindow.h"

int main(int argc, char** argv) {
  launcher::LauncherWindow window;
  if (argc > 1) window.SetStatusText(argv[1]);
  if (argc > 2) window.SetProgress(std::strtof(argv[2], nullptr));
  while (window.Idle()) {
  }
  return 0;
}
