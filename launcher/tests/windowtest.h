#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <SDL.h>
#include <gtest/gtest.h>

#include "launcher/launcherwindow.h"
#include "launcher/posttask.h"
#include "package/logging/logger.h"
#include "tests/support/scratchdir.h"

namespace launcher_test {

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Rgb& c) {
  return out << '(' << int{c.r} << ", " << int{c.g} << ", " << int{c.b} << ')';
}

inline constexpr Rgb kStrip{14, 95, 182};
inline constexpr Rgb kBar{5, 34, 90};
inline constexpr Rgb kWhite{255, 255, 255};

// The video driver of the window tests: SDL's dummy driver, or on Windows the system's own, which
// wine draws on an X display.
#ifdef _WIN32
inline constexpr const char* kTestVideoDriver = "windows";
#else
inline constexpr const char* kTestVideoDriver = "dummy";
#endif

// Runs with kTestVideoDriver, the process logger writing every level into "log.txt" in a
// scratch directory, and an event queue emptied of what a test leaves behind.
class WindowTest : public test_support::InScratchDir {
 protected:
  static void SetUpTestSuite() { SDL_setenv("SDL_VIDEODRIVER", kTestVideoDriver, 1); }

  WindowTest() {
    Logger::Instance().SetLevel(0);
    Logger::Instance().SetStreamMask(Logger::kStreamFile);
    Logger::Instance().SetFile("log.txt");
  }

  ~WindowTest() override {
    DropQueuedEvents();
    Logger::Instance().SetFile(nullptr);
  }

  // Tasks left behind a quit event are never run; free them so the next test starts clean.
  static void DropQueuedEvents() {
    SDL_Event event;
    while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1) {
      if (event.type == launcher::kTaskEventType)
        delete static_cast<launcher::Task*>(event.user.data1);
    }
  }

  // The log lines without their timestamps: "CHANNEL; LEVEL; text".
  std::vector<std::string> LogLines() const {
    std::istringstream in(test_support::ReadText(dir() / "log.txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(22));
    return lines;
  }

  // One frame, then the loop ends at the quit event queued behind everything else.
  static void DrawOnce(launcher::LauncherWindow& window) {
    window.Close();
    ASSERT_FALSE(window.Idle());
  }

  static Rgb PixelAt(const SDL_Surface* surface, int x, int y) {
    const auto* row = static_cast<const std::uint8_t*>(surface->pixels) + y * surface->pitch;
    Uint32 value = 0;
    std::memcpy(&value, row + x * surface->format->BytesPerPixel, surface->format->BytesPerPixel);
    Rgb c{};
    SDL_GetRGB(value, surface->format, &c.r, &c.g, &c.b);
    return c;
  }

  static Rgb PixelAt(const launcher::LauncherWindow& window, int x, int y) {
    return PixelAt(SDL_GetWindowSurface(window.SdlWindow()), x, y);
  }
};

}  // namespace launcher_test
