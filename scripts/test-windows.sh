#!/usr/bin/env bash
# The Windows half of the test command. Cross-builds the whole tree for 64-bit Windows
# (scripts/build-windows.sh, into build-windows/), then on a private Xvfb display runs under
# wine: every unit test that is not about Linux alone (CTest with wine as the emulator; the window
# tests with SDL's Windows video driver), the platform version test under several configured
# Windows versions, and the end-to-end update against the Linux aus-server
# (tests/e2e/windows_e2e.sh, which needs build/bin/aus-server from the Linux build).
# Uses its own wine prefix (build-windows/wineprefix).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-windows

if [ -z "${TEST_WINDOWS_DISPLAY_READY:-}" ]; then
  bash scripts/build-windows.sh
  # Windows need a display: wine draws them through X.
  TEST_WINDOWS_DISPLAY_READY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0"
fi

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX="$PWD/$build/wineprefix"
export WINEDEBUG=-all
# No runtime installers for .NET or the HTML engine: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k 2>/dev/null || true' EXIT
configure_windows() {
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null
}

configure_windows win7
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# Windows before 7 pins the client version; 7 and later (reported as 6.2 without a manifest
# naming newer systems) do not.
tests="$build/bin/platform_tests.exe"
for setting in "winxp64=5.2 old" "vista=6.0 old" "win7=6.1 new" "win10=6.2 new"; do
  echo "test-windows: configured as ${setting%%=*}, expecting ${setting#*=}"
  configure_windows "${setting%%=*}"
  PLATFORM_TEST_WINDOWS="${setting#*=}" "$wine" "$tests" --gtest_brief=1 \
    --gtest_filter=PlatformTest.VersionIsTheConfiguredWindows
done

configure_windows win7
bash tests/e2e/windows_e2e.sh
