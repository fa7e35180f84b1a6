#!/usr/bin/env bash
# Cross-compiles the platform package and its tests for 64-bit Windows with mingw-w64 and runs
# them under wine on a private Xvfb display: the whole suite once, then the version test under
# several configured Windows versions. Uses its own build directory and wine prefix
# (build-windows/).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-windows

if [ -z "${TEST_WINDOWS_DISPLAY_READY:-}" ]; then
  bash scripts/setup.sh
  cmake -S package/platform/crossbuild -B "$build" -DLAUNCHER_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build" -j"$(nproc)" --target platform_tests platform_record_arguments
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

tests="$build/bin/platform_tests.exe"
configure_windows win7
"$wine" "$tests" --gtest_brief=1

# Windows before 7 pins the client version; 7 and later (reported as 6.2 without a manifest
# naming newer systems) do not.
for setting in "winxp64=5.2 old" "vista=6.0 old" "win7=6.1 new" "win10=6.2 new"; do
  echo "test-windows: configured as ${setting%%=*}, expecting ${setting#*=}"
  configure_windows "${setting%%=*}"
  PLATFORM_TEST_WINDOWS="${setting#*=}" "$wine" "$tests" --gtest_brief=1 \
    --gtest_filter=PlatformTest.VersionIsTheConfiguredWindows
done
