#!/usr/bin/env bash
# Runs LORMIX: installs what is missing, builds the x86_64 Windows program and
# the simulated FTD2XX.dll (build/mingw-x86_64/), and starts LORMIX.exe under
# wine64 with the simulator beside it.
#
# With a display (DISPLAY set) the window opens there and you operate it; the
# simulator's trace of the line scrolls in this terminal.
# Without one it starts Xvfb, shows the trace here, saves screenshots to
# build/run/, answers No to "Update another device?" and exits with the
# program's exit code.
#
# LORMIX_SIM_SCENARIO picks what is behind the adapter (default: replace);
# docs/windows.md lists the scenarios.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-common.sh

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/install-deps.sh
elif command -v sudo >/dev/null; then
  sudo bash scripts/install-deps.sh
fi

cmake --preset mingw-x86_64 >/dev/null
cmake --build --preset mingw-x86_64 -j "$(nproc)"

out=build/run
mkdir -p "$out"
rm -f "$out"/*.bmp "$out"/*.png "$out"/run.trace.txt "$out"/run.result.txt
tail_pid=
finish() {
  [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
  wine_cleanup
}
trap finish EXIT

headless=0
[ -z "${DISPLAY:-}" ] && headless=1
[ "$headless" -eq 1 ] && start_xvfb
wine_prefix "$root/build/wine-prefix"

export LORMIX_SIM_SCENARIO=${LORMIX_SIM_SCENARIO:-}
export LORMIX_SIM_TRACE="$(winpath "$out/run.trace.txt")"
export LORMIX_SIM_RESULT="$(winpath "$out/run.result.txt")"
: >"$out/run.trace.txt"
tail -n +1 -f "$out/run.trace.txt" &
tail_pid=$!

rc=0
if [ "$headless" -eq 0 ]; then
  echo "LORMIX.exe on $DISPLAY; the simulator's trace follows"
  (cd build/mingw-x86_64 && wine LORMIX.exe) || rc=$?
else
  echo "no display: LORMIX.exe on Xvfb $DISPLAY; screenshots go to $out/"
  # The driver starts LORMIX.exe (with the same environment), photographs it
  # and answers the question; its exit code is the program's.
  wine build/mingw-x86_64/lormix_driver.exe run "$(winpath build/mingw-x86_64/LORMIX.exe)" "$(winpath "$out")" || rc=$?
  for shot in "$out"/*.bmp; do
    [ -e "$shot" ] || continue
    convert "$shot" "${shot%.bmp}.png" && rm -f "$shot"
  done
  ls "$out"/*.png 2>/dev/null | sed 's/^/screenshot: /'
fi
sleep 0.5
[ -s "$out/run.result.txt" ] && sed 's/^/simulated /' "$out/run.result.txt"
echo "LORMIX.exe exit code: $rc"
exit "$rc"
