#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Safe to run again: only missing packages are installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libsdl2-dev libsdl2-ttf-dev libsdl2-image-dev fonts-liberation
  libboost-dev libboost-filesystem-dev libboost-system-dev
  libboost-program-options-dev libboost-date-time-dev
  libssl-dev libx11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth imagemagick x11-utils
  g++-mingw-w64-x86-64 wine64 dpkg-dev
  nginx haproxy curl bc
  strace
  rsync
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
