#include "package/platform/port.h"

// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdint>

namespace platform {

WindowHandle FindWindowByTitle(const std::string& title) {
  return reinterpret_cast<std::uintptr_t>(FindWindowA(nullptr, title.c_str()));
}

void ShowWindow(WindowHandle window, int command) {
  if (window == kNoWindow) return;
  ::ShowWindow(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)), command);
}

// Windows reports a write to a closed pipe as an error; there is no signal to ignore.
void IgnoreBrokenPipes() {}

int StartProgram(const std::string& file, const std::string& parameters) {
  const HINSTANCE result =
      ShellExecuteA(nullptr, "open", file.c_str(),
                    parameters.empty() ? nullptr : parameters.c_str(), nullptr, SW_SHOW);
  return static_cast<int>(reinterpret_cast<INT_PTR>(result));
}

}  // namespace platform
