#pragma once

namespace launcher {

// What the update manager reports to the player through. Implementations accept calls from any
// thread. Nothing is ever deleted through this interface, so it has no virtual destructor.
class IReportOnProgress {
 public:
  // Replaces the status line by a copy of `text` (UTF-8).
  virtual void SetStatusText(const char* text) = 0;
  // Sets the progress bar; `percent` runs from 0 to 100.
  virtual void SetProgress(float percent) = 0;
  // Asks the window to close and returns at once; the window's loop ends when it reaches the
  // quit request in its queue.
  virtual void Close() = 0;

 protected:
  ~IReportOnProgress() = default;
};

}  // namespace launcher
