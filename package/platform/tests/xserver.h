#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

// Xlib's macros (None, Bool, Status) collide with other headers, so this header keeps it out.
struct _XDisplay;

namespace platform_test {

using XWindow = unsigned long;

// A private Xvfb server on a display it picks itself (-displayfd), made the process's $DISPLAY
// while it lives, with a connection of the test's own. Stopped and $DISPLAY restored on
// destruction.
class XServer {
 public:
  XServer();
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  bool Running() const { return display_ != nullptr; }

  // A mapped window titled with `netName` (_NET_WM_NAME) and `wmName` (WM_NAME) where given,
  // inside `parent` (the root when 0).
  XWindow CreateWindow(std::optional<std::string> netName, std::optional<std::string> wmName,
                       XWindow parent = 0);
  void DestroyWindow(XWindow window);
  // Marks `window` as a window manager's client (WM_STATE).
  void SetWmState(XWindow window);
  bool Viewable(XWindow window);

  // Takes the window manager's place on the root window without ever acting.
  void BecomeIdleWindowManager();
  // Whether an iconify request (WM_CHANGE_STATE, IconicState) for `window` reached the window
  // manager's place.
  bool ReceivedIconifyRequest(XWindow window);

 private:
  pid_t pid_ = -1;
  std::optional<std::string> previousDisplay_;
  _XDisplay* display_ = nullptr;
};

}  // namespace platform_test
