#include "launcher/launcherwindow.h"

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include "launcher/resources/resources.h"
#include "launcher/tests/windowtest.h"

namespace {

using launcher::LauncherWindow;
using launcher_test::kBar;
using launcher_test::kStrip;
using launcher_test::kWhite;
using launcher_test::Rgb;

constexpr int kStripBottom = LauncherWindow::kStripTop + LauncherWindow::kStripHeight;

struct SurfaceDeleter {
  void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
using Surface = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

class LauncherWindowTest : public launcher_test::WindowTest {
 protected:
  struct ExpectedStrip {
    Surface strip;
    int textWidth;
  };

  // What the strip must show: the strip colour with `text` rendered by the embedded font and
  // blitted at the centred position, the same way the window does it.
  static ExpectedStrip StripWithText(const SDL_Surface* like, const std::string& text) {
    Surface strip(SDL_CreateRGBSurfaceWithFormat(
        0, LauncherWindow::kWidth, LauncherWindow::kStripHeight, 32, like->format->format));
    SDL_FillRect(strip.get(), nullptr, SDL_MapRGB(strip->format, kStrip.r, kStrip.g, kStrip.b));
    const auto bytes = launcher::resources::StatusFont();
    SDL_RWops* stream = SDL_RWFromConstMem(bytes.data(), static_cast<int>(bytes.size()));
    TTF_Font* font = TTF_OpenFontRW(stream, 1, 18);
    Surface rendered(TTF_RenderUTF8_Blended(font, text.c_str(), SDL_Color{255, 255, 255, 255}));
    TTF_CloseFont(font);
    SDL_Rect place{(LauncherWindow::kWidth - rendered->w) / 2,
                   (LauncherWindow::kStripHeight - rendered->h) / 2, rendered->w, rendered->h};
    SDL_BlitSurface(rendered.get(), nullptr, strip.get(), &place);
    return {std::move(strip), rendered->w};
  }

  // The strip's pixels that differ from `expected`, as "x,y" texts (empty when all match).
  static std::vector<std::string> StripDifferences(const LauncherWindow& window,
                                                   const SDL_Surface* expected) {
    std::vector<std::string> differences;
    for (int y = 0; y < LauncherWindow::kStripHeight; ++y) {
      for (int x = 0; x < LauncherWindow::kWidth; ++x) {
        if (PixelAt(window, x, LauncherWindow::kStripTop + y) != PixelAt(expected, x, y)) {
          differences.push_back(std::to_string(x) + "," + std::to_string(y));
        }
      }
    }
    return differences;
  }

  static std::vector<std::string> StripPixelsNotStripColour(const LauncherWindow& window) {
    std::vector<std::string> differences;
    for (int y = LauncherWindow::kStripTop; y < kStripBottom; ++y) {
      for (int x = 0; x < LauncherWindow::kWidth; ++x) {
        if (PixelAt(window, x, y) != kStrip) {
          differences.push_back(std::to_string(x) + "," + std::to_string(y));
        }
      }
    }
    return differences;
  }

  static bool HasWhite(const LauncherWindow& window, int fromX, int toX) {
    for (int y = LauncherWindow::kStripTop; y < kStripBottom; ++y) {
      for (int x = fromX; x < toX; ++x) {
        if (PixelAt(window, x, y) == kWhite) return true;
      }
    }
    return false;
  }
};

TEST_F(LauncherWindowTest, OpensCentredTitledWindowOfFixedSize) {
  LauncherWindow window;
  SDL_Window* sdlWindow = window.SdlWindow();
  EXPECT_STREQ(SDL_GetWindowTitle(sdlWindow), "Game Launcher");
  int w = 0, h = 0, x = 0, y = 0;
  SDL_GetWindowSize(sdlWindow, &w, &h);
  EXPECT_EQ(w, 400);
  EXPECT_EQ(h, 270);
  SDL_Rect display{};
  ASSERT_EQ(SDL_GetDisplayBounds(SDL_GetWindowDisplayIndex(sdlWindow), &display), 0);
  SDL_GetWindowPosition(sdlWindow, &x, &y);
  EXPECT_EQ(x, display.x + (display.w - 400) / 2);
  EXPECT_EQ(y, display.y + (display.h - 270) / 2);
  const SDL_Surface* surface = SDL_GetWindowSurface(sdlWindow);
  EXPECT_EQ(surface->w, 400);
  EXPECT_EQ(surface->h, 270);
}

TEST_F(LauncherWindowTest, PictureFillsTheTopAndTheEmptyStripShowsNothing) {
  LauncherWindow window;
  DrawOnce(window);

  const auto bytes = launcher::resources::BackgroundPicture();
  Surface picture(IMG_Load_RW(SDL_RWFromConstMem(bytes.data(), static_cast<int>(bytes.size())), 1));
  ASSERT_TRUE(picture);
  ASSERT_EQ(picture->w, 400);
  ASSERT_EQ(picture->h, 247);
  int mismatches = 0;
  for (int y = 0; y < LauncherWindow::kStripTop; ++y) {
    for (int x = 0; x < LauncherWindow::kWidth; ++x) {
      mismatches += PixelAt(window, x, y) != PixelAt(picture.get(), x, y);
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(StripPixelsNotStripColour(window), std::vector<std::string>{});
}

TEST_F(LauncherWindowTest, BarIsRoundedShareOfTheWidthCutAtTheEdges) {
  struct Case {
    const char* name;
    float percent;
    int width;
  };
  const Case cases[] = {
      {"zero", 0.0f, 0},
      {"just under half a pixel", 0.1f, 0},
      {"half a pixel rounds up", 0.125f, 1},
      {"half", 50.0f, 200},
      {"full", 100.0f, 400},
      {"beyond full is clipped", 150.0f, 400},
      {"negative", -10.0f, 0},
      {"not a number", std::numeric_limits<float>::quiet_NaN(), 0},
      {"infinite", std::numeric_limits<float>::infinity(), 400},
  };
  LauncherWindow window;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.SetProgress(c.percent);
    DrawOnce(window);
    for (int y : {LauncherWindow::kStripTop, kStripBottom - 1}) {
      for (int x = 0; x < LauncherWindow::kWidth; ++x) {
        const Rgb expected = x < c.width ? kBar : kStrip;
        if (PixelAt(window, x, y) != expected) {
          ADD_FAILURE() << "pixel " << x << "," << y << " is " << PixelAt(window, x, y);
          break;
        }
      }
    }
    EXPECT_NE(PixelAt(window, 0, LauncherWindow::kStripTop - 1), kBar);
  }
}

TEST_F(LauncherWindowTest, StatusTextIsCentredAndClippedOnBothSides) {
  struct Case {
    const char* name;
    std::string text;
    bool widerThanWindow;
  };
  const Case cases[] = {
      {"short", "Checking for updates...", false},
      {"utf-8", "Mise \xC3\xA0 jour \xE2\x80\x94 50 %", false},
      // 453 pixels: an odd excess tells division truncating toward zero (x = -26) from floor.
      {"wider than the window", std::string(30, 'W') + ". end", true},
  };
  LauncherWindow window;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.SetStatusText(c.text.c_str());
    DrawOnce(window);
    const auto expected = StripWithText(SDL_GetWindowSurface(window.SdlWindow()), c.text);
    if (c.widerThanWindow) {
      ASSERT_GT(expected.textWidth, LauncherWindow::kWidth);
      ASSERT_EQ(expected.textWidth % 2, 1);
    }
    EXPECT_EQ(StripDifferences(window, expected.strip.get()), std::vector<std::string>{});
    EXPECT_TRUE(HasWhite(window, 0, LauncherWindow::kWidth)) << "text is drawn opaque white";
    EXPECT_EQ(HasWhite(window, 0, 8) && HasWhite(window, 392, 400), c.widerThanWindow);
  }
}

TEST_F(LauncherWindowTest, ClearedStatusIsRasterisedAgainAndShowsNothing) {
  LauncherWindow window;
  for (const char* cleared : {"", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(cleared ? "empty" : "null");
    window.SetStatusText("Installing updates...");
    DrawOnce(window);
    ASSERT_NE(StripPixelsNotStripColour(window), std::vector<std::string>{});
    window.SetStatusText(cleared);
    DrawOnce(window);
    EXPECT_EQ(StripPixelsNotStripColour(window), std::vector<std::string>{});
  }
}

TEST_F(LauncherWindowTest, UnrasterisableStatusIsLeftOutWithOneWarning) {
  LauncherWindow window;
  window.SetProgress(50);
  window.SetStatusText("\xE2\x80\x8B");  // a zero-width space has no pixels to render
  DrawOnce(window);
  DrawOnce(window);
  EXPECT_EQ(PixelAt(window, 199, LauncherWindow::kStripTop), kBar);
  EXPECT_EQ(PixelAt(window, 200, LauncherWindow::kStripTop), kStrip);
  EXPECT_FALSE(HasWhite(window, 0, LauncherWindow::kWidth));
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ENGINE; WARNING; LauncherWindow.DrawFrame: cannot rasterise", 0), 0u)
      << lines[0];

  window.SetStatusText("Downloading updates...");
  DrawOnce(window);
  EXPECT_TRUE(HasWhite(window, 0, LauncherWindow::kWidth));
}

TEST_F(LauncherWindowTest, UndecodableResourcesAreLeftOutWithAWarningEach) {
  const auto picture = launcher::resources::BackgroundPicture();
  const auto font = launcher::resources::StatusFont();
  const std::vector<unsigned char> garbage(4096, 0x5a);
  struct Case {
    const char* name;
    bool pictureOk;
    bool fontOk;
    const char* warning;
  };
  const Case cases[] = {
      {"garbage picture", false, true, "cannot decode the background picture"},
      {"garbage font", true, false, "cannot open the font"},
      {"neither", false, false, "cannot"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Logger::Instance().SetFile("log.txt");
    LauncherWindow window(c.pictureOk ? picture : garbage, c.fontOk ? font : garbage);
    window.SetStatusText("Checking for updates...");
    window.SetProgress(25);
    DrawOnce(window);
    DrawOnce(window);

    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), c.pictureOk && c.fontOk ? 0u : (c.pictureOk || c.fontOk ? 1u : 2u));
    for (const auto& line : lines) {
      EXPECT_EQ(line.rfind("ENGINE; WARNING; LauncherWindow.LauncherWindow: ", 0), 0u) << line;
      EXPECT_NE(line.find(c.warning), std::string::npos) << line;
    }
    EXPECT_EQ(PixelAt(window, 200, 100) == kStrip, !c.pictureOk);
    EXPECT_EQ(PixelAt(window, 99, LauncherWindow::kStripTop), kBar);
    EXPECT_EQ(PixelAt(window, 100, LauncherWindow::kStripTop), kStrip);
    EXPECT_EQ(HasWhite(window, 0, LauncherWindow::kWidth), c.fontOk);
  }
}

TEST_F(LauncherWindowTest, FailedSdlStartIsReportedWithSdlsText) {
  // Video stays initialised between windows; start SDL afresh so the driver is chosen again.
  SDL_Quit();
  SDL_setenv("SDL_VIDEODRIVER", "bogus", 1);
  try {
    LauncherWindow window;
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("SDL initialization failed: '", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "'.") << text;
    EXPECT_GT(text.size(), std::string("SDL initialization failed: ''.").size()) << text;
  }
  SDL_setenv("SDL_VIDEODRIVER", launcher_test::kTestVideoDriver, 1);
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
