#include "launcher/launcherwindow.h"

#include <cmath>
#include <exception>
#include <memory>
#include <stdexcept>

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>
#include <boost/format.hpp>

#include "launcher/posttask.h"
#include "launcher/resources/resources.h"
#include "package/logging/logger.h"

namespace launcher {
namespace {

constexpr const char* kChannel = "ENGINE";
constexpr Uint32 kEventWaitMs = 30;
constexpr int kFontPointSize = 18;

// The colours' alpha bytes are 0 and play no part: clear and fill replace pixels, and the text's
// transparency comes from glyph coverage alone, so everything is drawn opaque.
SDL_Color Opaque(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return SDL_Color{r, g, b, SDL_ALPHA_OPAQUE};
}

// round(progress x width), halves away from zero, cut to the window: a bar beyond the edges
// looks the same as one at the edge, and the cut keeps NaN and huge values out of the int.
int BarWidth(double progress) {
  const double width = progress * LauncherWindow::kWidth;
  if (!(width > 0.0)) return 0;
  if (width >= LauncherWindow::kWidth) return LauncherWindow::kWidth;
  return static_cast<int>(std::round(width));
}

void RunTask(std::unique_ptr<Task> task) {
  try {
    task->callable();
  } catch (const std::exception& e) {
    Logger::Instance().Print(kChannel, 4,
                             "LauncherWindow::Idle: exception while invoking task %p. Msg: %s",
                             static_cast<void*>(task.get()), e.what());
    throw;
  } catch (...) {
    Logger::Instance().Print(kChannel, 4,
                             "LauncherWindow::Idle: unknown exception while invoking task %p.",
                             static_cast<void*>(task.get()));
    throw;
  }
}

}  // namespace

LauncherWindow::LauncherWindow()
    : LauncherWindow(resources::BackgroundPicture(), resources::StatusFont()) {}

LauncherWindow::LauncherWindow(std::span<const unsigned char> picture,
                               std::span<const unsigned char> font) {
  if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
    throw std::runtime_error(
        (boost::format("SDL initialization failed: '%s'.") % SDL_GetError()).str());
  }
  TTF_Init();
  SDL_SetHint("SDL_RENDER_SCALE_QUALITY", "linear");

  window_ = SDL_CreateWindow("Game Launcher", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                             kWidth, kHeight, SDL_WINDOW_SHOWN);
  if (window_ == nullptr) {
    Logger::Instance().Print(kChannel, 4, "Could not create a window: %s", SDL_GetError());
    throw std::runtime_error("SDL_CreateWindow failed");
  }
  windowSurface_ = SDL_GetWindowSurface(window_);
  renderer_ = windowSurface_ ? SDL_CreateSoftwareRenderer(windowSurface_) : nullptr;
  if (renderer_ == nullptr) {
    Logger::Instance().Print(kChannel, 4, "Could not create a valid rendering context: %s",
                             SDL_GetError());
    // The destructor does not run for a throwing constructor.
    SDL_DestroyWindow(window_);
    throw std::runtime_error("SDL_CreateRenderer failed");
  }
  SDL_SetRenderDrawColor(renderer_, backgroundColour_.r, backgroundColour_.g, backgroundColour_.b,
                         backgroundColour_.a);
  SDL_ShowCursor(SDL_ENABLE);

  LoadFont(font);
  LoadPicture(picture);
}

LauncherWindow::~LauncherWindow() {
  SDL_FreeSurface(background_);
  SDL_FreeSurface(textSurface_);
  SDL_DestroyRenderer(renderer_);
  SDL_DestroyWindow(window_);
  if (font_ != nullptr) TTF_CloseFont(font_);
  // The font reads its stream until it is closed; the stream itself is ours to free.
  if (fontStream_ != nullptr) SDL_RWclose(fontStream_);
}

void LauncherWindow::LoadFont(std::span<const unsigned char> font) {
  fontStream_ = SDL_RWFromConstMem(font.data(), static_cast<int>(font.size()));
  if (fontStream_ != nullptr) font_ = TTF_OpenFontRW(fontStream_, 0, kFontPointSize);
  if (font_ == nullptr) {
    Logger::Instance().Print(kChannel, 3,
                             "LauncherWindow.LauncherWindow: cannot open the font, the status "
                             "line stays empty: %s",
                             SDL_GetError());
  }
}

void LauncherWindow::LoadPicture(std::span<const unsigned char> picture) {
  SDL_RWops* stream = SDL_RWFromConstMem(picture.data(), static_cast<int>(picture.size()));
  if (stream != nullptr) {
    background_ = IMG_Load_RW(stream, 0);
    SDL_RWclose(stream);
  }
  if (background_ == nullptr) {
    Logger::Instance().Print(kChannel, 3,
                             "LauncherWindow.LauncherWindow: cannot decode the background "
                             "picture, it is left out: %s",
                             SDL_GetError());
  }
}

void LauncherWindow::SetStatusText(const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = text != nullptr ? text : "";
  textDirty_ = true;
}

void LauncherWindow::SetProgress(float percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  progress_ = static_cast<double>(percent) / 100.0;
}

void LauncherWindow::Close() {
  SDL_Event event;
  SDL_zero(event);
  event.type = SDL_QUIT;
  SDL_PushEvent(&event);
}

void LauncherWindow::Hide() {
  SDL_HideWindow(window_);
  // Without a pass over the events a display server may keep showing the window.
  SDL_PumpEvents();
}

bool LauncherWindow::Idle() {
  for (;;) {
    DrawFrame();
    SDL_Event event;
    if (SDL_WaitEventTimeout(&event, kEventWaitMs) == 0) continue;
    if (event.type == SDL_QUIT) return false;
    if (event.type != kTaskEventType) continue;
    if (event.user.data1 == nullptr) {
      Logger::Instance().Print(kChannel, 3,
                               "LauncherWindow.Idle.SDL_USEREVENT+1: evt.user.data1 == nullptr");
      continue;
    }
    RunTask(std::unique_ptr<Task>(static_cast<Task*>(event.user.data1)));
  }
}

void LauncherWindow::DrawFrame() {
  // An empty status still rasterises: a single space, which shows nothing.
  std::string text = " ";
  bool textDirty = false;
  double progress = 0.0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    textDirty = textDirty_;
    textDirty_ = false;
    progress = progress_;
    if (!status_.empty()) text = status_;
  }

  SDL_SetRenderDrawColor(renderer_, backgroundColour_.r, backgroundColour_.g, backgroundColour_.b,
                         backgroundColour_.a);
  SDL_RenderClear(renderer_);

  if (background_ != nullptr) {
    SDL_Rect picture{0, 0, background_->w, background_->h};
    SDL_BlitSurface(background_, nullptr, windowSurface_, &picture);
  }

  // SDL's software renderer fills at least one column, so an empty bar is not filled at all.
  const SDL_Rect bar{0, kStripTop, BarWidth(progress), kStripHeight};
  if (bar.w > 0) {
    SDL_SetRenderDrawColor(renderer_, barColour_.r, barColour_.g, barColour_.b, barColour_.a);
    SDL_RenderFillRect(renderer_, &bar);
  }

  if (textDirty) RenderText(text);
  if (textSurface_ != nullptr) {
    SDL_Rect place{(kWidth - textSurface_->w) / 2, kStripTop + (kStripHeight - textSurface_->h) / 2,
                   textSurface_->w, textSurface_->h};
    SDL_BlitSurface(textSurface_, nullptr, windowSurface_, &place);
  }

  SDL_UpdateWindowSurface(window_);
}

void LauncherWindow::RenderText(const std::string& text) {
  SDL_FreeSurface(textSurface_);
  textSurface_ = nullptr;
  if (font_ == nullptr) return;  // reported once, when the font failed to open
  textSurface_ = TTF_RenderUTF8_Blended(font_, text.c_str(),
                                        Opaque(textColour_.r, textColour_.g, textColour_.b));
  if (textSurface_ == nullptr) {
    Logger::Instance().Print(kChannel, 3,
                             "LauncherWindow.DrawFrame: cannot rasterise the status line, it is "
                             "left out: %s",
                             SDL_GetError());
  }
}

}  // namespace launcher
