#!/usr/bin/env bash
# Installs what building, running and testing LORMIX need on Debian (run as root).
# Only missing packages are fetched, so a second run costs a few dpkg queries.
set -euo pipefail
packages=(
  cmake ninja-build g++ make libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64 mingw-w64-tools
  wine wine64 fonts-wine xvfb xauth xdotool imagemagick
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
