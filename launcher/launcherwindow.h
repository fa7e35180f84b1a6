#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "launcher/ireportonprogress.h"

struct SDL_Renderer;
struct SDL_RWops;
struct SDL_Surface;
struct SDL_Window;
struct _TTF_Font;

namespace launcher {

// The launcher's only window: 400 by 270 pixels, titled "Game Launcher", centred, showing the
// background picture (0, 0, 400 by 247) above a status strip (0, 247, 400 by 23) that holds the
// progress bar and the centred status line. All drawing is software drawing on the window's own
// surface. Its loop, Idle, is the main thread's loop and task queue (see launcher/posttask.h).
//
// Construction, destruction and Idle belong to the main thread; the three IReportOnProgress
// operations may be called from any thread.
class LauncherWindow final : public IReportOnProgress {
 public:
  static constexpr int kWidth = 400;
  static constexpr int kHeight = 270;
  static constexpr int kStripTop = 247;
  static constexpr int kStripHeight = 23;

  // Initialises SDL (timer, video, events) and SDL_ttf, opens the window with the embedded
  // picture and font. Throws std::runtime_error "SDL initialization failed: '<SDL error>'." when
  // SDL cannot start, and (after logging the SDL error) "SDL_CreateWindow failed" or
  // "SDL_CreateRenderer failed". A picture or font that cannot be decoded is logged as a warning
  // and left out of every frame.
  LauncherWindow();
  // The same with the given encoded picture and font; both must outlive the window.
  LauncherWindow(std::span<const unsigned char> picture, std::span<const unsigned char> font);
  // Releases the picture, the status line, the renderer, the window and the font, in that order.
  // SDL itself is not shut down.
  ~LauncherWindow();
  LauncherWindow(const LauncherWindow&) = delete;
  LauncherWindow& operator=(const LauncherWindow&) = delete;

  // A null text clears the status line.
  void SetStatusText(const char* text) override;
  // Not clamped: the bar is percent / 100 of the window's width, cut at the window's edges.
  void SetProgress(float percent) override;
  // Queues SDL's quit event.
  void Close() override;
  // Takes the window off the screen at once, for the shut-down that follows the loop. Main
  // thread only.
  void Hide();

  // Draws a frame, then waits up to 30 ms for an event, over and over. Runs each task event's
  // task between two frames and destroys it; a task event without a task is logged and skipped;
  // other events are ignored. Returns false at the quit event; never returns true. A task's
  // exception is logged with the task's address and raised again out of Idle.
  bool Idle();

  // The SDL window, whose surface holds the last frame drawn.
  SDL_Window* SdlWindow() const { return window_; }

 private:
  struct Colour {
    std::uint8_t r, g, b, a;
  };

  void DrawFrame();
  void LoadPicture(std::span<const unsigned char> picture);
  void LoadFont(std::span<const unsigned char> font);
  void RenderText(const std::string& text);

  std::mutex mutex_;
  std::string status_;                  // guarded by mutex_
  SDL_Surface* background_ = nullptr;   // null when the picture could not be decoded
  SDL_Surface* textSurface_ = nullptr;  // the rasterised status line; null until the first frame
  SDL_Surface* windowSurface_ = nullptr;
  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;  // software renderer drawing into windowSurface_
  const Colour backgroundColour_{14, 95, 182, 0};
  const Colour barColour_{5, 34, 90, 0};
  const Colour textColour_{255, 255, 255, 0};
  _TTF_Font* font_ = nullptr;        // null when the font could not be opened
  SDL_RWops* fontStream_ = nullptr;  // read by font_ for as long as it is open
  double progress_ = 0.0;            // guarded by mutex_; fraction of the bar's width
  bool textDirty_ = true;            // guarded by mutex_; status_ changed since last rasterised
};

}  // namespace launcher
