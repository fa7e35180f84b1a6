#include "package/logging/logger.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <locale>
#include <mutex>
#include <sstream>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

constexpr const char* kTooLongOrBroken = "Log message is too long or has incorrect format.";

const char* LevelName(int level) {
  static constexpr std::array<const char*, 6> kNames = {"TRACE",   "DEBUG", "INFO",
                                                        "WARNING", "ERROR", "CRITICAL"};
  return level < 0 ? "UKNOWN PRIORITY" : kNames[level];
}

// Local time in boost.date_time's default form, "2019-May-20 13:05:07"; throws when the
// conversion to local time fails.
std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  // Windows has no localtime_r; its localtime_s takes the arguments the other way round.
  if (localtime_s(&local, &now) != 0) throw std::runtime_error("localtime failed");
#else
  if (localtime_r(&now, &local) == nullptr) throw std::runtime_error("localtime failed");
#endif
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << boost::posix_time::ptime_from_tm(local);
  return out.str();
}

// A failed write (a closed pipe, a full disk) loses the line for this stream only: the other
// stream still gets it, and the next line is tried again on this one.
void WriteLine(std::ostream& out, const std::string& stamp, const char* channel, const char* level,
               const char* text) {
  try {
    out << stamp << "; " << channel << "; " << level << "; " << text << '\n';
    out.flush();
  } catch (...) {
    // Thrown only when someone set the stream's exception mask; the state says the same.
  }
  if (!out) out.clear();
}

}  // namespace

struct Logger::State {
  std::mutex mutex;
  std::ofstream file;                      // guarded by mutex
  std::array<char, kBufferSize> buffer{};  // guarded by mutex
  int minimumLevel = 3;                    // guarded by mutex
  int streamMask = kStreamStdout;          // guarded by mutex
};

Logger& Logger::Instance() {
  static Logger logger;
  return logger;
}

Logger::Logger() : state_(std::make_unique<State>()) {}

Logger::~Logger() = default;

void Logger::Print(const char* channel, int level, const char* format, ...) {
  if (channel == nullptr) return;
  int length = 0;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->streamMask == 0 || level < state_->minimumLevel || level > 5) return;

    std::va_list args;
    va_start(args, format);
    length = std::vsnprintf(state_->buffer.data(), state_->buffer.size(), format, args);
    va_end(args);

    if (length > 0) {
      try {
        const std::string stamp = Timestamp();
        if (state_->streamMask & kStreamStdout) {
          WriteLine(std::cout, stamp, channel, LevelName(level), state_->buffer.data());
        }
        if ((state_->streamMask & kStreamFile) && state_->file.is_open()) {
          WriteLine(state_->file, stamp, channel, LevelName(level), state_->buffer.data());
        }
      } catch (...) {
        // A message that cannot be written is lost; logging never fails its caller.
      }
    }
  }
  // Outside the lock: the follow-up goes through Print again.
  if (length < 0 || length >= kBufferSize) Print(channel, 4, "%s", kTooLongOrBroken);
}

void Logger::SetLevel(int level) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->minimumLevel = level;
}

void Logger::SetStreamMask(int mask) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->streamMask = mask;
}

void Logger::SetFile(const char* path) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->file.is_open()) state_->file.close();
  state_->file.clear();
  if (path != nullptr) {
    state_->file.open(path, std::ios::out | std::ios::trunc);
  } else {
    state_->streamMask &= ~kStreamFile;
  }
}
