#!/usr/bin/env bash
# Cross builds for Windows, 64-bit and 32-bit (the release): whatever each
# preset builds must compile and link with MinGW-w64.
set -euo pipefail
for preset in mingw-x86_64 mingw-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
