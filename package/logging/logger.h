#pragma once

#include <memory>

// The process-wide logger. Every message is one line
//   "YYYY-Mon-DD HH:MM:SS; CHANNEL; LEVEL; text"
// on standard output (stream bit 0x01) and/or the log file (bit 0x02). Levels run from 0 (TRACE)
// to 5 (CRITICAL); messages below the minimum level or above 5 are dropped. One mutex serialises
// every operation, so any thread may log. Logging never throws. A write error loses the line for
// that stream only; the next line is tried again.
class Logger {
 public:
  static constexpr int kBufferSize = 16384;
  static constexpr int kStreamStdout = 0x01;
  static constexpr int kStreamFile = 0x02;

  // The single logger, created on first use (minimum level 3, mask 0x01, no file).
  static Logger& Instance();

  // Tests build their own loggers; the launcher uses Instance().
  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // printf-style message. A null channel writes nothing. A text that formats to 16384 characters
  // or more is written cut to 16383 and, like a broken format, followed by the level-4 line
  // "Log message is too long or has incorrect format.".
  void Print(const char* channel, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  void SetLevel(int level);
  void SetStreamMask(int mask);
  // Closes the current file, then opens `path` truncated; a null path clears stream bit 0x02.
  // A failed open leaves the logger without a file and reports nothing.
  void SetFile(const char* path);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
