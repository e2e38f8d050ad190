#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12 (as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wixl msitools gcab
  xvfb xauth xdotool imagemagick nsis
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
