#!/usr/bin/env bash
# Takes pictures of KoOPCServer's windows under a virtual display: the main window, the monitor
# window ("Client Connections") with a client connected, its group and items selected, the
# variables window with the module Random selected, and the variant editor on a float array.
# Writes PNG files to docs/pictures (or the folder given as the first argument).
#
# The tests' prefix uses a display-less graphics driver, which draws nothing: the pictures are
# taken in a prefix of their own (build/wineprefix-pictures) with Wine's X11 driver, on an Xvfb
# display, inside a Wine desktop window (there is no window manager to draw frames otherwise).
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
if [[ "${1:-}" == --inside-display ]]; then inside=1; shift; else inside=0; fi
out=$(realpath -m "${1:-$root/docs/pictures}")
if (( ! inside )); then
  "$root/scripts/build.sh" --target KoOPCServer KoOPCProxy koopc KoWindowDriver
  mkdir -p "$out"
fi

export WINEPREFIX="$build/wineprefix-pictures" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
if [[ ! -f "$WINEPREFIX/.ko-ready" ]]; then
  rm -rf "$WINEPREFIX"
  env -u DISPLAY wine wineboot --init >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.ko-ready"
fi
source "$root/scripts/wine-env.sh"  # for ko_winpath

if (( ! inside )); then
  # The script runs again inside the virtual display.
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-display "$out"
fi

shoot() {
  local main="Korvel OPC Dadived Simulation Server" monitor="Client Connections" variables="Variables"
  local editor="Variant Editor"
  drive() { KO_DESKTOP=KoPictures wine "$build/bin/KoWindowDriver.exe" "$@" 2>/dev/null | tr -d '\r'; }
  # The frame of a window placed at the desktop's top left corner, as -crop takes it.
  place() {
    local frame
    frame=$(drive place "$1" 0 0)
    # The window repaints after the move.
    sleep 1
    read -r x y w h <<<"$frame"
    echo "${w}x${h}+${x}+${y}"
  }
  snap() { import -window root -crop "$2" +repage "$out/$1.png"; echo "wrote $out/$1.png ($2)" >&2; }

  wine regsvr32 /s "$(ko_winpath "$build/bin/KoOPCProxy.dll")" 2>/dev/null
  wine "$build/bin/KoOPCServer.exe" /RegServer 2>/dev/null
  wine explorer /desktop=KoPictures,1024x768 "$build/bin/KoOPCServer.exe" >/dev/null 2>&1 &
  drive wait "$main" 60 >/dev/null
  # A client of the running server: koopc watching two items for a while.
  wine "$build/bin/koopc.exe" watch Random.KoFloat1 SawTooth.KoFloat1 --rate 500 --for 40 >/dev/null 2>&1 &
  local client=$!
  # The client count of the main window shows the client within its one-second refresh.
  sleep 4
  snap main-window "$(place "$main")"

  drive command "$main" 201  # View > Client Connections
  drive wait "$monitor" 30 >/dev/null
  drive select "$monitor" 301 0  # the first client
  drive select "$monitor" 311 0  # its first group: its items
  snap monitor "$(place "$monitor")"

  drive command "$main" 202       # View > Variables
  drive wait "$variables" 30 >/dev/null
  drive command "$variables" 641  # the module Random
  drive command "$variables" 806  # its row KoFloatArray1
  sleep 1
  snap variables "$(place "$variables")"
  drive command "$variables" 620  # the variant editor on that array (modal: posted)
  drive wait "$editor" 30 >/dev/null
  snap variant-editor "$(place "$editor")"
  drive command "$editor" 2       # Cancel

  kill "$client" 2>/dev/null || true
  wineserver -k || true
}
shoot
