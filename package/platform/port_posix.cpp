#include "package/platform/port.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "package/platform/port_posix.h"

extern char** environ;

namespace platform {
namespace {

// Xlib's default handler ends the process; a window that vanishes between the search and its use
// must only make that request fail.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// One connection per call: the calls are rare, and no connection outlives them.
class Connection {
 public:
  Connection() : display_(XOpenDisplay(nullptr)) {
    if (display_ != nullptr) previous_ = XSetErrorHandler(IgnoreXError);
  }
  ~Connection() {
    if (display_ == nullptr) return;
    XSync(display_, False);  // the requests take effect before the call returns
    XCloseDisplay(display_);
    XSetErrorHandler(previous_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* get() const { return display_; }

 private:
  Display* display_;
  XErrorHandler previous_ = nullptr;
};

struct XFreeDeleter {
  void operator()(void* data) const {
    if (data != nullptr) XFree(data);
  }
};
template <typename T>
using XPtr = std::unique_ptr<T, XFreeDeleter>;

struct Property {
  bool present = false;
  bool complete = false;  // nothing was left unread
  std::string text;
};

// Reads at most about `limit` bytes: a title longer than the one searched for cannot match, and
// a window must not make us allocate what it claims.
Property ReadProperty(Display* display, Window window, Atom name, std::size_t limit) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* raw = nullptr;
  const long longs = static_cast<long>(limit / 4 + 1);
  if (XGetWindowProperty(display, window, name, 0, longs, False, AnyPropertyType, &type, &format,
                         &count, &remaining, &raw) != Success) {
    return {};
  }
  const XPtr<unsigned char> data(raw);
  Property property;
  property.present = type != None;
  property.complete = remaining == 0;
  if (format == 8 && data) property.text.assign(reinterpret_cast<const char*>(data.get()), count);
  return property;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// FindWindowA ignores case; so does the search here, for ASCII letters (the other bytes of a UTF-8
// title compare as they are).
bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

bool HasTitle(Display* display, Window window, const std::string& title) {
  const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  Property name = ReadProperty(display, window, netName, title.size());
  if (!name.present) name = ReadProperty(display, window, XA_WM_NAME, title.size());
  return name.present && name.complete && EqualIgnoringCase(name.text, title);
}

bool HasWmState(Display* display, Window window) {
  const Atom wmState = XInternAtom(display, "WM_STATE", False);
  return ReadProperty(display, window, wmState, 0).present;
}

std::vector<Window> Children(Display* display, Window window) {
  Window root = None;
  Window parent = None;
  Window* raw = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, window, &root, &parent, &raw, &count) == 0) return {};
  const XPtr<Window> children(raw);
  return std::vector<Window>(raw, raw + count);
}

// A window manager reparents each client into a frame and marks the client with WM_STATE.
std::optional<Window> FindClient(Display* display, Window window) {
  if (HasWmState(display, window)) return window;
  for (const Window child : Children(display, window)) {
    if (const auto client = FindClient(display, child)) return client;
  }
  return std::nullopt;
}

bool Viewable(Display* display, Window window) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display, window, &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

// A window manager holds the substructure redirection of the root window.
bool WindowManagerRuns(Display* display) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display, DefaultRootWindow(display), &attributes) != 0 &&
         (attributes.all_event_masks & SubstructureRedirectMask) != 0;
}

bool BecomesHidden(Display* display, Window window, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Viewable(display, window)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool IsExecutableFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

bool IsFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<std::string> ResolveProgram(const std::string& file) {
  if (file.empty()) return std::nullopt;
  const bool hasDirectory = file.find('/') != std::string::npos;
  if (IsFile(file)) return hasDirectory ? file : "./" + file;
  if (hasDirectory) return std::nullopt;
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "";
  for (std::size_t start = 0; start <= directories.size();) {
    std::size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    const std::string directory = directories.substr(start, end - start);
    if (!directory.empty() && IsExecutableFile(directory + "/" + file)) {
      return directory + "/" + file;
    }
    start = end + 1;
  }
  return std::nullopt;
}

int ShellErrorFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOEXEC:
      return kErrorBadFormat;
    default:
      return 0;
  }
}

void StartDetachedThread(std::function<void()> body) { std::thread(std::move(body)).detach(); }

std::atomic<ThreadStarter> threadStarter{StartDetachedThread};

void WaitFor(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Programs whose reaper thread could not be created; each call reaps those that have ended.
std::mutex unreapedMutex;
std::vector<pid_t> unreaped;  // guarded by unreapedMutex

void ReapEnded() {
  const std::lock_guard<std::mutex> lock(unreapedMutex);
  // 0: still running; otherwise reaped now, or no longer ours to reap.
  std::erase_if(unreaped, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

// Nobody waits for the program; this reaps it so it leaves no zombie behind.
void Reap(pid_t pid) {
  try {
    threadStarter.load()([pid] { WaitFor(pid); });
    return;
  } catch (const std::exception&) {
    // No thread now (std::system_error) or no memory for one: a later call reaps it.
  }
  try {
    const std::lock_guard<std::mutex> lock(unreapedMutex);
    unreaped.push_back(pid);
  } catch (const std::exception&) {
    // Left to whoever inherits it when this process ends.
  }
}

}  // namespace

ThreadStarter SetThreadStarter(ThreadStarter starter) { return threadStarter.exchange(starter); }

void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

WindowHandle FindWindowByTitle(const std::string& title) {
  const Connection connection;
  Display* display = connection.get();
  if (display == nullptr) return kNoWindow;
  const auto topLevel = Children(display, DefaultRootWindow(display));
  // The tree lists the children bottom to top; the topmost match wins.
  for (auto it = topLevel.rbegin(); it != topLevel.rend(); ++it) {
    const Window client = FindClient(display, *it).value_or(*it);
    if (HasTitle(display, client, title)) return client;
  }
  return kNoWindow;
}

void ShowWindow(WindowHandle window, int command) {
  const Connection connection;
  Display* display = connection.get();
  if (display == nullptr || window == kNoWindow) return;
  const auto x11Window = static_cast<Window>(window);
  if (command != kShowMinimize) {
    XMapRaised(display, x11Window);
    return;
  }
  XIconifyWindow(display, x11Window, DefaultScreen(display));
  XSync(display, False);
  if (WindowManagerRuns(display) &&
      BecomesHidden(display, x11Window, std::chrono::milliseconds(500))) {
    return;
  }
  XUnmapWindow(display, x11Window);
}

int StartProgram(const std::string& file, const std::string& parameters) {
  ReapEnded();
  const auto path = ResolveProgram(file);
  if (!path) return kErrorFileNotFound;
  std::vector<std::string> arguments = SplitCommandLine(parameters);
  arguments.insert(arguments.begin(), *path);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The program is not ours to share the log file or the server connections with.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // That this process ignores SIGPIPE (IgnoreBrokenPipes) is not the program's business.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &brokenPipe);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, path->c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return ShellErrorFor(error);
  Reap(pid);
  return kProgramStarted;
}

}  // namespace platform
