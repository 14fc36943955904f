#!/usr/bin/env bash
# The Windows program end to end: LORMIX.exe (x86_64) under wine64 on a private
# Xvfb, with the simulated FTD2XX.dll beside it, driven by tests/e2e/driver.cpp
# one case at a time. Before that: the imports of both builds (only Windows' own
# DLLs and FTD2XX.dll, with the fourteen undecorated FTD2XX names), the
# simulated DLL's exports, and the drawn logo and icon against their generator.
# Screenshots (.png), traces and device reports land in build/e2e/.
set -euo pipefail
export LC_ALL=C  # sort order of the name lists
cd "$(dirname "$0")/../.."
root=$PWD
source scripts/wine-common.sh

for preset in mingw-x86_64 mingw-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done

failed=()
fail() {
  echo "FAIL: $*"
  failed+=("$1")
}

# --- imports and exports ------------------------------------------------------
ftd2xx_names="FT_Close FT_ClrDtr FT_GetDeviceInfo FT_GetStatus FT_ListDevices FT_OpenEx FT_Read FT_SetBaudRate FT_SetChars FT_SetDataCharacteristics FT_SetDtr FT_SetFlowControl FT_SetLatencyTimer FT_Write"
allowed_dlls="FTD2XX.DLL GDI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL WINMM.DLL"

for arch in x86_64 i686; do
  dir=build/mingw-$arch
  objdump=$arch-w64-mingw32-objdump
  dump=$($objdump -p "$dir/LORMIX.exe")
  dlls=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$dump" | sort -u | xargs)
  echo "$arch LORMIX.exe imports: $dlls"
  for dll in $dlls; do
    [[ " $allowed_dlls " == *" $dll "* ]] || fail "imports-$arch" "LORMIX.exe ($arch) imports $dll"
  done
  [[ " $dlls " == *" FTD2XX.DLL "* ]] || fail "imports-$arch" "LORMIX.exe ($arch) does not import FTD2XX.dll"
  # The functions taken from FTD2XX.dll: exactly the fourteen, by plain name.
  names=$(awk '/DLL Name:/ {inside = (toupper($3) == "FTD2XX.DLL"); next}
               inside && NF == 0 {inside = 0}
               inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {print $3}' <<<"$dump" | sort | xargs)
  echo "$arch FTD2XX.dll functions: $names"
  [ "$names" = "$ftd2xx_names" ] || fail "imports-$arch" "LORMIX.exe ($arch) takes from FTD2XX.dll: $names"
  exports=$($objdump -p "$dir/FTD2XX.dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' | sort | xargs)
  [ "$exports" = "$ftd2xx_names" ] || fail "exports-$arch" "the simulated FTD2XX.dll ($arch) exports: $exports"
  sim_dlls=$($objdump -p "$dir/FTD2XX.dll" | awk '/DLL Name:/ {print toupper($3)}' | sort -u | xargs)
  for dll in $sim_dlls; do
    [[ " $allowed_dlls " == *" $dll "* ]] || fail "exports-$arch" "the simulated FTD2XX.dll ($arch) imports $dll"
  done
done

# --- the logo and icon are what their generator draws ---------------------------
mkdir -p build/e2e/art
g++ -std=c++20 -O1 -o build/e2e/art/draw_art res/draw_art.cpp
build/e2e/art/draw_art build/e2e/art
cmp -s build/e2e/art/logo.bmp res/logo.bmp || fail art "res/logo.bmp differs from what res/draw_art.cpp draws"
cmp -s build/e2e/art/lormix.ico res/lormix.ico || fail art "res/lormix.ico differs from what res/draw_art.cpp draws"

# --- end to end under wine64 ----------------------------------------------------
trap wine_cleanup EXIT
wine_prefix "$root/build/wine-prefix-e2e"
start_xvfb
echo "Xvfb on $DISPLAY"
work=build/e2e
exe=$(winpath build/mingw-x86_64/LORMIX.exe)
driver=build/mingw-x86_64/lormix_driver.exe

# Each case starts its own LORMIX.exe; the longest (two whole updates) takes
# about a minute under Wine.
cases=(resources window close-box no-thread close-mid-update replace bridge no-echo noisy up-to-date refuse-baud pulled-out)
for c in "${cases[@]}"; do
  rc=0
  timeout 240 wine "$driver" "$c" "$exe" "$(winpath "$work")" || rc=$?
  if [ "$rc" -ne 0 ]; then
    fail "$c" "case $c (exit code $rc)"
    for f in "$work/$c.trace.txt" "$work/$c.result.txt"; do
      [ -f "$f" ] && { echo "--- tail of $f"; tail -n 25 "$f"; }
    done
  fi
done
for shot in "$work"/*.bmp; do
  [ -e "$shot" ] || continue
  convert "$shot" "${shot%.bmp}.png" && rm -f "$shot"
done
echo "screenshots: $(ls "$work"/*.png 2>/dev/null | xargs -n1 basename | xargs)"

if ((${#failed[@]})); then
  echo "failed: ${failed[*]}"
  exit 1
fi
