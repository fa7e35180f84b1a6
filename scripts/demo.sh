#!/usr/bin/env bash
# The main job: installs what is missing, builds the launcher, the update server, the demo game
# and the release tools, then shows the launcher installing a signed release from a local
# aus-server, starting the game, starting again with nothing to do, and updating to the next
# release (demo/scenario.sh; docs/demo.md explains each step); with --windows the launcher and the
# game are the Windows programs, run under wine. It uses the screen when $DISPLAY is set, else a
# virtual one (Xvfb), else SDL's dummy video driver. Ends by itself; exit code 0 when every step
# did what it should.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target launcher aus-server aus-publish kolvex demo_release_tool
if [ "${1:-}" = --windows ]; then
  # The same story with the Windows launcher.exe and Kolvex.exe under wine, against the Linux
  # aus-server.
  echo "Building the Windows programs (scripts/build-windows.sh)"
  bash scripts/build-windows.sh >/dev/null
  export WINDOWS_BUILD=build-windows
fi

if [ -n "${DISPLAY:-}" ]; then
  echo "Using the display $DISPLAY"
  exec bash demo/scenario.sh
elif command -v xvfb-run >/dev/null; then
  echo "No display: running on a virtual one (Xvfb)"
  exec xvfb-run -a bash demo/scenario.sh
else
  echo "No display and no Xvfb: windows are drawn off screen (SDL_VIDEODRIVER=dummy)"
  SDL_VIDEODRIVER=dummy exec bash demo/scenario.sh
fi
