#!/usr/bin/env bash
# Cross-builds the launcher for 64-bit Windows with mingw-w64 into build-windows/bin/:
# launcher.exe, Kolvex.exe and the unit tests, all linked statically.
#
# The libraries it links are built first from Debian's source packages, at the versions pinned
# below, and kept in ${LAUNCHER_DEPS_CACHE:-~/.cache/launcher-windows-deps}/<key>/, the key
# naming those versions and the way they are built: a later run reuses them and a change of
# either builds them anew. Each library is built with only what the launcher uses.
#
# Usage: bash scripts/build-windows.sh [--deps-only]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source_tree=$PWD
build=build-windows
jobs=$(nproc)

# Debian 12's versions. A pinned version the archive no longer serves (a point release or a
# security update replaced it) falls back to the one it serves, with a warning; the cache key
# names the version actually built.
pins=(
  libsdl2=2.26.5+dfsg-1
  freetype=2.12.1+dfsg-5+deb12u4
  libsdl2-ttf=2.20.1+dfsg-2
  libsdl2-image=2.6.3+dfsg-1
  openssl=3.0.20-1~deb12u2
  boost1.81=1.81.0-5+deb12u1
  googletest=1.12.1-0.2
)
# Raised whenever a library's build options below change.
recipe=2

host=x86_64-w64-mingw32
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib RC=$host-windres

cache_root=${LAUNCHER_DEPS_CACHE:-$HOME/.cache/launcher-windows-deps}
sources_dir=$cache_root/sources
mkdir -p "$sources_dir"

log() { echo "build-windows: $*"; }

# Adds a deb-src entry for the archive and suites of the machine's own Debian sources, once.
ensure_deb_src() {
  if [ -n "$(apt-cache showsrc libsdl2 2>/dev/null | sed -n '/^Package:/p')" ]; then
    return
  fi
  local list=/etc/apt/sources.list.d/launcher-deb-src.sources
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  log "adding $list"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee "$list"
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $sudo tee "${list%.sources}.list"
  fi
  $sudo apt-get update -qq
}

# The .dsc of NAME=VERSION in the sources cache, fetched from the archive when missing; prints
# the version used.
fetch_source() {
  local name=${1%%=*} version=${1#*=}
  local found
  found=$(ls "$sources_dir/${name}_"*.dsc 2>/dev/null | grep -F "/${name}_${version}.dsc" || true)
  if [ -z "$found" ]; then
    ensure_deb_src
    if ! (cd "$sources_dir" && apt-get source --download-only -qq "$name=$version" \
        >/dev/null 2>&1); then
      local served
      served=$(apt-cache showsrc "$name" | awk '/^Version:/ {print $2}' | sort -V | tail -1)
      log "WARNING: $name $version is no longer served; using $served" >&2
      (cd "$sources_dir" && apt-get source --download-only -qq "$name=$served" >/dev/null 2>&1)
      version=$served
    fi
  fi
  echo "$version"
}

versions=()
for pin in "${pins[@]}"; do
  versions+=("${pin%%=*}=$(fetch_source "$pin")")
done
key=$(printf '%s\n' "$host" "recipe=$recipe" "${versions[@]}" | sha256sum | cut -c1-16)
deps=$cache_root/$host-$key
prefix=$deps/prefix
work=$deps/work
mkdir -p "$prefix" "$work"
printf '%s\n' "$host" "recipe=$recipe" "${versions[@]}" >"$deps/VERSIONS"

version_of() {
  printf '%s\n' "${versions[@]}" | awk -F= -v n="$1" '$1 == n {print $2}'
}

# Unpacks a source package (with Debian's patches applied) into $work/NAME; prints the folder.
unpack() {
  local name=$1 version
  version=$(version_of "$name")
  rm -rf "${work:?}/$name"
  dpkg-source --no-check -x "$sources_dir/${name}_${version}.dsc" "$work/$name" >/dev/null
  echo "$work/$name"
}

cmake_cross=(
  -G "Unix Makefiles"
  -DCMAKE_TOOLCHAIN_FILE="$source_tree/cmake/mingw-w64.cmake"
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$prefix"
  -DCMAKE_PREFIX_PATH="$prefix"
  -DLAUNCHER_WINDOWS_PREFIX="$prefix"
  -DBUILD_SHARED_LIBS=OFF
)

# A static-only build of SDL2_ttf or SDL2_image names its target NAME::NAME-static; like SDL2
# itself, its package file then also gives NAME::NAME, the name the project links.
alias_static_target() {
  cat >>"$prefix/lib/cmake/$1/$1Config.cmake" <<CMAKE

if(TARGET $1::$1-static AND NOT TARGET $1::$1)
  add_library($1::$1 INTERFACE IMPORTED)
  set_target_properties($1::$1 PROPERTIES INTERFACE_LINK_LIBRARIES $1::$1-static)
endif()
CMAKE
}

build_sdl2() {
  local src
  src=$(unpack libsdl2)
  # Video, events, timers and threads are what the window uses; the rest stays out.
  cmake -S "$src" -B "$src/build" "${cmake_cross[@]}" \
    -DSDL_SHARED=OFF -DSDL_STATIC=ON -DSDL_TEST=OFF -DSDL_TESTS=OFF -DSDL_INSTALL_TESTS=OFF \
    -DSDL_AUDIO=OFF -DSDL_JOYSTICK=OFF -DSDL_HAPTIC=OFF -DSDL_HIDAPI=OFF -DSDL_SENSOR=OFF \
    -DSDL_POWER=OFF -DSDL_LOCALE=OFF -DSDL_MISC=OFF -DSDL_VULKAN=OFF
  cmake --build "$src/build" -j"$jobs"
  cmake --install "$src/build"
}

build_freetype() {
  local src
  src=$(unpack freetype)
  cmake -S "$src" -B "$src/build" "${cmake_cross[@]}" \
    -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON \
    -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON
  cmake --build "$src/build" -j"$jobs"
  cmake --install "$src/build"
}

build_sdl2_ttf() {
  local src
  src=$(unpack libsdl2-ttf)
  cmake -S "$src" -B "$src/build" "${cmake_cross[@]}" \
    -DSDL2TTF_SAMPLES=OFF -DSDL2TTF_VENDORED=OFF -DSDL2TTF_HARFBUZZ=OFF
  cmake --build "$src/build" -j"$jobs"
  cmake --install "$src/build"
  alias_static_target SDL2_ttf
}

build_sdl2_image() {
  local src
  src=$(unpack libsdl2-image)
  # JPEG and PNG through the bundled stb loader; no other format.
  local formats=()
  for format in AVIF BMP GIF JXL LBM PCX PNM QOI SVG TGA TIF WEBP XCF XPM XV; do
    formats+=(-DSDL2IMAGE_$format=OFF)
  done
  cmake -S "$src" -B "$src/build" "${cmake_cross[@]}" \
    -DSDL2IMAGE_SAMPLES=OFF -DSDL2IMAGE_TESTS=OFF -DSDL2IMAGE_VENDORED=OFF \
    -DSDL2IMAGE_BACKEND_STB=ON -DSDL2IMAGE_BACKEND_WIC=OFF \
    -DSDL2IMAGE_JPG=ON -DSDL2IMAGE_PNG=ON "${formats[@]}"
  cmake --build "$src/build" -j"$jobs"
  cmake --install "$src/build"
  # Its package file asks for libjpeg and libpng even when stb decodes both.
  sed -i 's/^if(SDL2IMAGE_\(JPG\|PNG\) AND NOT SDL2IMAGE_VENDORED/& AND NOT SDL2IMAGE_BACKEND_STB/' \
    "$prefix/lib/cmake/SDL2_image/SDL2_imageConfig.cmake"
  alias_static_target SDL2_image
}

build_libcrypto() {
  local src
  src=$(unpack openssl)
  # The launcher hashes with SHA-256 and verifies Ed25519 signatures through EVP, and nothing
  # else: libcrypto alone, static, without the TLS protocols, the legacy and loadable modules,
  # and the algorithms it never reaches (Ed25519 needs the elliptic curves).
  local off=(
    no-shared no-tests no-module no-legacy no-engine no-dso no-ui-console no-sock
    no-ssl3 no-tls1 no-tls1_1 no-dtls no-srp no-psk no-srtp no-comp no-ct no-ocsp no-ts
    no-cms no-aria no-bf no-camellia no-cast no-des no-idea no-md4 no-mdc2 no-rc2 no-rc4
    no-rmd160 no-seed no-sm2 no-sm3 no-sm4 no-whirlpool no-scrypt no-siphash no-siv no-ocb
    no-gost no-dsa no-dh no-ec2m
  )
  (cd "$src" &&
    ./Configure mingw64 --prefix="$prefix" --libdir=lib "${off[@]}" >/dev/null &&
    make -j"$jobs" build_generated >/dev/null &&
    make -j"$jobs" libcrypto.a >/dev/null)
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$src/libcrypto.a" "$prefix/lib/"
  cp -r "$src/include/openssl" "$prefix/include/"
}

build_boost() {
  local src
  src=$(unpack boost1.81)
  # The headers of every library, then the two compiled ones the launcher uses.
  mkdir -p "$prefix/include/boost"
  for include in "$src"/libs/*/include "$src"/libs/numeric/*/include; do
    [ -d "$include/boost" ] && cp -r "$include/boost/." "$prefix/include/boost/"
  done
  local flags=(-std=c++20 -O2 -DNDEBUG -I"$prefix/include" -DBOOST_ALL_NO_LIB
    -D_WIN32_WINNT=0x0601 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -DBOOST_USE_WINDOWS_H)
  local lib source
  for lib in filesystem program_options; do
    mkdir -p "$src/build/$lib"
    local defines=(-DBOOST_PROGRAM_OPTIONS_STATIC_LINK=1)
    if [ "$lib" = filesystem ]; then
      defines=(-DBOOST_FILESYSTEM_STATIC_LINK=1 -DBOOST_FILESYSTEM_HAS_BCRYPT
        -DBOOST_FILESYSTEM_HAS_INIT_PRIORITY)
    fi
    for source in "$src/libs/$lib/src/"*.cpp; do
      echo "$CXX ${flags[*]} ${defines[*]} -I$src/libs/$lib/src -c $source" \
        "-o $src/build/$lib/$(basename "${source%.cpp}").o"
    done | xargs -P"$jobs" -I{} sh -c '{}'
    mkdir -p "$prefix/lib"
    rm -f "$prefix/lib/libboost_$lib.a"
    "$AR" rcs "$prefix/lib/libboost_$lib.a" "$src/build/$lib/"*.o
  done
}

build_googletest() {
  local src
  src=$(unpack googletest)
  cmake -S "$src" -B "$src/build" "${cmake_cross[@]}" -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON \
   
  cmake --build "$src/build" -j"$jobs"
  cmake --install "$src/build"
}

# Each library is built once per key; a run that stopped half-way resumes with the next one.
for dep in sdl2 freetype sdl2_ttf sdl2_image libcrypto boost googletest; do
  if [ ! -f "$deps/built-$dep" ]; then
    log "building $dep"
    start=$SECONDS
    # In the background, so that the build stops at its first failing command.
    "build_$dep" >"$deps/build-$dep.log" 2>&1 &
    if ! wait $!; then
      tail -n 40 "$deps/build-$dep.log"
      log "building $dep failed; its log: $deps/build-$dep.log"
      exit 1
    fi
    rm -rf "${work:?}"/*
    touch "$deps/built-$dep"
    log "$dep built in $((SECONDS - start)) s"
  fi
done
log "dependencies ready in $deps"
[ "${1:-}" = --deps-only ] && exit 0

# The whole tree, with the programs and the unit tests in build-windows/bin/, optimised as the
# Linux build is (-O2) and stripped. CTest runs the tests through wine.
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
# A build configured against another dependency folder (other versions or build options) would
# keep the libraries it found there, and one of another source folder cannot be configured: either
# is configured afresh.
cache=$build/CMakeCache.txt
if [ -f "$cache" ] && { grep -F "$cache_root/" "$cache" | grep -qvF "$deps/" ||
  ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$source_tree" "$cache"; }; then
  rm -rf "$cache" "$build/CMakeFiles"
fi
cmake -S . -B "$build" -DLAUNCHER_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE="-s" \
  -DCMAKE_TOOLCHAIN_FILE="$source_tree/cmake/mingw-w64.cmake" \
  -DLAUNCHER_WINDOWS_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine"
cmake --build "$build" -j"$jobs"
log "built $(cd "$build/bin" && echo *.exe)"
