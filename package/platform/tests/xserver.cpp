#include "package/platform/tests/xserver.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

extern char** environ;

namespace platform_test {
namespace {

// The display number Xvfb writes once it accepts connections, or empty after 20 seconds.
std::string ReadDisplayNumber(int fd) {
  std::string number;
  pollfd ready{fd, POLLIN, 0};
  while (poll(&ready, 1, 20000) == 1) {
    char c = 0;
    if (read(fd, &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  return number;
}

}  // namespace

XServer::XServer() {
  if (const char* current = std::getenv("DISPLAY")) previousDisplay_ = current;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return;
  const std::string writeFd = std::to_string(pipeFds[1]);
  std::vector<std::string> arguments{"Xvfb", "-displayfd", writeFd, "-nolisten",
                                     "tcp",  "-screen",    "0",     "320x240x24"};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const bool started = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  const std::string number = started ? ReadDisplayNumber(pipeFds[0]) : "";
  close(pipeFds[0]);
  if (!started) pid_ = -1;
  if (number.empty()) return;
  setenv("DISPLAY", (":" + number).c_str(), 1);
  display_ = XOpenDisplay(nullptr);
}

XServer::~XServer() {
  if (display_ != nullptr) XCloseDisplay(display_);
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (previousDisplay_) {
    setenv("DISPLAY", previousDisplay_->c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

XWindow XServer::CreateWindow(std::optional<std::string> netName, std::optional<std::string> wmName,
                              XWindow parent) {
  if (parent == 0) parent = DefaultRootWindow(display_);
  const Window window = XCreateSimpleWindow(display_, parent, 0, 0, 40, 30, 0, 0, 0);
  if (netName) {
    XChangeProperty(display_, window, XInternAtom(display_, "_NET_WM_NAME", False),
                    XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(netName->data()),
                    static_cast<int>(netName->size()));
  }
  if (wmName) {
    XChangeProperty(display_, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(wmName->data()),
                    static_cast<int>(wmName->size()));
  }
  XMapWindow(display_, window);
  XSync(display_, False);
  return window;
}

void XServer::DestroyWindow(XWindow window) {
  XDestroyWindow(display_, window);
  XSync(display_, False);
}

void XServer::SetWmState(XWindow window) {
  const Atom wmState = XInternAtom(display_, "WM_STATE", False);
  const long state[2] = {NormalState, None};
  XChangeProperty(display_, window, wmState, wmState, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(state), 2);
  XSync(display_, False);
}

bool XServer::Viewable(XWindow window) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display_, window, &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

void XServer::BecomeIdleWindowManager() {
  XSelectInput(display_, DefaultRootWindow(display_),
               SubstructureRedirectMask | SubstructureNotifyMask);
  XSync(display_, False);
}

bool XServer::ReceivedIconifyRequest(XWindow window) {
  const Atom changeState = XInternAtom(display_, "WM_CHANGE_STATE", False);
  XSync(display_, False);
  XEvent event;
  bool received = false;
  while (XCheckTypedEvent(display_, ClientMessage, &event)) {
    received =
        received || (event.xclient.window == window && event.xclient.message_type == changeState &&
                     event.xclient.data.l[0] == IconicState);
  }
  return received;
}

}  // namespace platform_test
