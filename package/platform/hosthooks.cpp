#include "package/platform/hosthooks.h"

#include <stdexcept>
#include <utility>

#include "package/logging/logger.h"

namespace taln {
namespace {

logging::LogCallback& LogSlot() {
  static logging::LogCallback slot;
  return slot;
}

InvokeCallback& InvokeSlot() {
  static InvokeCallback slot;
  return slot;
}

}  // namespace

namespace logging {

void SetLogCallback(LogCallback callback) { LogSlot() = std::move(callback); }

void Log(LogLevel level, const std::string& where, const std::string& what) {
  const LogCallback& callback = LogSlot();
  if (callback) callback(level, where + "; " + what);
}

LogCallback ForwardTo(Logger& logger) {
  return [&logger](LogLevel level, const std::string& message) {
    const int value = static_cast<int>(level);
    if (value < 0 || value > 5) return;
    logger.Print("TALN", 5 - value, "%s", message.c_str());
  };
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
