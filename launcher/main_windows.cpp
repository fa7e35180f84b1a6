// Entry point on Windows: a GUI program receives the tail of its command line unsplit, which is
// what the launcher forwards to the game client.
#include "launcher/launchermain.h"

// Declared as the C runtime calls it rather than through windows.h, which only the port layer
// includes: the launcher uses none of the handles.
extern "C" int __stdcall WinMain(void* instance, void* previousInstance, char* commandLineTail,
                                 int showCommand);

extern "C" int __stdcall WinMain(void* /*instance*/, void* /*previousInstance*/,
                                 char* commandLineTail, int /*showCommand*/) {
  return launcher::RunLauncher(commandLineTail == nullptr ? "" : commandLineTail);
}
