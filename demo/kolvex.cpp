// Kolvex.exe, the demo game client: shows the arguments it was started with and the installed
// version in a window titled "Game" for a few seconds ("--seconds N"), and prints them. Without a
// display it only prints them. KOLVEX_RECORD=path appends the arguments to that file first, so
// tests can check what the launcher handed over.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <SDL.h>
#include <SDL_ttf.h>

#include "demo/gameclient.h"

namespace {

constexpr const char* kTitle = "Game";
constexpr int kWidth = 560;
constexpr int kMargin = 16;
constexpr int kFontSize = 18;
constexpr std::size_t kMaxLines = 24;
constexpr const char* kFonts[] = {
#ifdef _WIN32
    "C:/Windows/Fonts/arial.ttf",
    // Under wine the build machine's fonts are on drive Z:.
    "Z:/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
#endif
    "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
};

// SDL picks these when there is no screen; a window there would be seen by nobody.
bool HasScreen() {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (!driver) return false;
  const std::string name = driver;
  return name != "offscreen" && name != "dummy";
}

TTF_Font* OpenFont() {
  if (TTF_Init() != 0) return nullptr;
  for (const char* path : kFonts) {
    if (TTF_Font* font = TTF_OpenFont(path, kFontSize)) return font;
  }
  return nullptr;
}

void Draw(SDL_Window* window, TTF_Font* font, const std::vector<std::string>& lines) {
  SDL_Surface* surface = SDL_GetWindowSurface(window);
  if (!surface) return;
  SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, 24, 32, 48));
  SDL_Rect band{0, 0, surface->w, 6};
  SDL_FillRect(surface, &band, SDL_MapRGB(surface->format, 230, 160, 40));
  if (font) {
    int y = kMargin;
    for (const auto& line : lines) {
      // An empty text renders as nothing, so keep the line's height with a blank.
      SDL_Surface* text =
          TTF_RenderUTF8_Blended(font, line.empty() ? " " : line.c_str(), {235, 235, 235, 255});
      if (text) {
        SDL_Rect at{kMargin, y, text->w, text->h};
        SDL_BlitSurface(text, nullptr, surface, &at);
        SDL_FreeSurface(text);
      }
      y += TTF_FontLineSkip(font);
    }
  }
  SDL_UpdateWindowSurface(window);
}

void ShowWindow(std::vector<std::string> lines, int seconds) {
  // A long command line must not make a window taller than the screen.
  if (lines.size() > kMaxLines) {
    const std::size_t hidden = lines.size() - kMaxLines + 1;
    lines.resize(kMaxLines - 1);
    lines.push_back("  ... and " + std::to_string(hidden) + " more");
  }
  TTF_Font* font = OpenFont();
  const int lineSkip = font ? TTF_FontLineSkip(font) : kFontSize;
  const int height = 2 * kMargin + lineSkip * static_cast<int>(lines.size() + 1);
  SDL_Window* window = SDL_CreateWindow(kTitle, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                        kWidth, height, SDL_WINDOW_SHOWN);
  if (!window) {
    std::fprintf(stderr, "Kolvex.exe: no window: %s\n", SDL_GetError());
    if (font) TTF_CloseFont(font);
    return;
  }
  lines.emplace_back();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (bool open = true; open;) {
    const auto left =
        std::chrono::ceil<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    lines.back() = "Closing in " + std::to_string(left.count()) + " s";
    Draw(window, font, lines);
    SDL_Event event;
    if (SDL_WaitEventTimeout(&event, 200) && event.type == SDL_QUIT) open = false;
  }
  SDL_DestroyWindow(window);
  if (font) TTF_CloseFont(font);
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (const char* record = std::getenv("KOLVEX_RECORD")) {
    if (!demo::AppendRecord(record, arguments)) {
      std::fprintf(stderr, "Kolvex.exe: cannot append to %s\n", record);
    }
  }

  // Started by the launcher from its own folder, whose parent is the installation root.
  std::error_code error;
  const auto root = std::filesystem::current_path(error).parent_path();
  std::vector<std::string> lines{"Installed version: " + demo::InstalledVersion(root),
                                 "Arguments (" + std::to_string(arguments.size()) + "):"};
  for (const auto& argument : arguments) lines.push_back("  " + argument);
  for (const auto& line : lines) std::printf("Kolvex.exe: %s\n", line.c_str());
  std::fflush(stdout);

  if (SDL_Init(SDL_INIT_VIDEO) != 0 || !HasScreen()) {
    std::printf("Kolvex.exe: no display, not opening a window\n");
    return 0;
  }
  ShowWindow(lines, demo::DisplaySeconds(arguments));
  SDL_Quit();
  return 0;
}
