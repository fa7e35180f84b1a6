#pragma once

#include <functional>
#include <string>

class Logger;

// The two process-wide hooks through which the update engine reaches the program that hosts it:
// a log hook and a main-thread invoker. Each is one global slot without a lock: the host fills
// both on its main thread before any engine thread exists and never changes them afterwards,
// while Log and InvokeInMainThread may then be called from any thread.
namespace taln {
namespace logging {

// The engine's severity, most severe first (the reverse of the logger's levels).
enum class LogLevel : int {
  kCritical = 0,
  kError = 1,
  kWarning = 2,
  kInfo = 3,
  kDebug = 4,
  kTrace = 5
};

using LogCallback = std::function<void(LogLevel level, const std::string& message)>;

// Replaces (and releases) the installed log callback, which takes the lines of `mostDetailed`
// and the more severe levels; an empty callback uninstalls it.
void SetLogCallback(LogCallback callback, LogLevel mostDetailed = LogLevel::kTrace);
// Whether a line at `level` reaches the installed callback: a caller may skip building a line
// that nothing keeps (an update of thousands of files logs several debug lines per file).
bool Logs(LogLevel level);
// Hands `where` + "; " + `what` to the installed callback; the line is lost when none is
// installed or it does not take `level`. `where` names the reporting operation as
// Class.Operation.
void Log(LogLevel level, const std::string& where, const std::string& what);

// The host's bridge to `logger`: level L from 0 to 5 becomes logger level 5 - L on channel
// "TALN", the message printed verbatim; any other level is dropped. `logger` must outlive it.
LogCallback ForwardTo(Logger& logger);
// The most detailed level that ForwardTo passes on to a logger printing `loggerLevel` and above.
LogLevel MostDetailedFor(int loggerLevel);

}  // namespace logging

// Takes a piece of work and queues it for the host's main thread, returning once it is queued.
using InvokeCallback = std::function<void(std::function<void()> work)>;

// Replaces (and releases) the installed invoker; an empty invoker uninstalls it.
void SetInvokeCallback(InvokeCallback invoker);

class TALN_Client {
 public:
  // Hands a copy of `work` to the installed invoker and returns when the invoker returns; the
  // work runs later on the host's main thread. Throws std::runtime_error
  // "TALN_Client.InvokeInMainThread: cannot invoke null function" when `work` is empty (checked
  // first), "TALN_Client.InvokeInMainThread: invoke callback is not set" when no invoker is
  // installed; what the invoker throws passes through.
  static void InvokeInMainThread(const std::function<void()>& work);
};

}  // namespace taln
