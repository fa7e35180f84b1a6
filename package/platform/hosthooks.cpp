#include "package/platform/hosthooks.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "package/logging/logger.h"

namespace taln {
namespace {

logging::LogCallback& LogSlot() {
  static logging::LogCallback slot;
  return slot;
}

logging::LogLevel& MostDetailedSlot() {
  static logging::LogLevel slot = logging::LogLevel::kTrace;
  return slot;
}

InvokeCallback& InvokeSlot() {
  static InvokeCallback slot;
  return slot;
}

}  // namespace

namespace logging {

void SetLogCallback(LogCallback callback, LogLevel mostDetailed) {
  LogSlot() = std::move(callback);
  MostDetailedSlot() = mostDetailed;
}

bool Logs(LogLevel level) { return LogSlot() && level <= MostDetailedSlot(); }

void Log(LogLevel level, const std::string& where, const std::string& what) {
  if (Logs(level)) LogSlot()(level, where + "; " + what);
}

LogCallback ForwardTo(Logger& logger) {
  return [&logger](LogLevel level, const std::string& message) {
    const int value = static_cast<int>(level);
    if (value < 0 || value > 5) return;
    logger.Print("TALN", 5 - value, "%s", message.c_str());
  };
}

LogLevel MostDetailedFor(int loggerLevel) {
  return static_cast<LogLevel>(std::clamp(5 - loggerLevel, -1, 5));
}

}  // namespace logging

void SetInvokeCallback(InvokeCallback invoker) { InvokeSlot().swap(invoker); }

void TALN_Client::InvokeInMainThread(const std::function<void()>& work) {
  if (!work) {
    throw std::runtime_error("TALN_Client.InvokeInMainThread: cannot invoke null function");
  }
  const InvokeCallback& invoker = InvokeSlot();
  if (!invoker) {
    throw std::runtime_error("TALN_Client.InvokeInMainThread: invoke callback is not set");
  }
  invoker(work);
}

}  // namespace taln
