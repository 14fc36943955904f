# Sourced by scripts/run.sh and scripts/checks/50-wine.sh: a Wine prefix under
# build/, a private X server when there is no display, and cleaning up after.
# Only the 64-bit Wine runs here (no 32-bit Linux programs on this kernel).

# wine_prefix DIR: uses (and on first use creates) the prefix DIR. The e2e
# driver gets a Wine virtual desktop of 800 x 600, so its screenshots show
# Windows' own frames, captions and menu bars, and LORMIX.exe, which it
# starts, runs inside it; LORMIX.exe started on its own gets a normal window.
wine_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/.lormix-ready" ]; then
    echo "creating the Wine prefix $WINEPREFIX (once)"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\AppDefaults\lormix_driver.exe\Explorer' /v Desktop /d lormix /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v lormix /d 800x600 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.lormix-ready"
  fi
  # Caption buttons are drawn with Marlett; this Wine does not find the
  # packaged copy by itself.
  if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
}

# start_xvfb: starts Xvfb on the first free display from :90 on and exports
# DISPLAY; XVFB_PID names it for stop_xvfb.
XVFB_PID=
start_xvfb() {
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    if kill -0 "$XVFB_PID" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
      export DISPLAY=":$n"
      return 0
    fi
  done
  echo "no free X display for Xvfb" >&2
  return 1
}

# Ends this prefix's Wine processes and our Xvfb.
wine_cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}

# winpath PATH: the Windows name of a Linux path (drive Z: is the root).
winpath() {
  local p
  p=$(realpath -m "$1")
  echo "Z:${p//\//\\}"
}
