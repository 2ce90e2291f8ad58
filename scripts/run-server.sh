#!/usr/bin/env bash
# Builds the project, registers KoOPCServer in the build tree's Wine prefix, runs it and shows it
# at work through koopc, the command-line client; then the server keeps running until Ctrl-C.
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" --target KoOPCServer KoOPCProxy koopc
source "$root/scripts/wine-env.sh"
ko_wine_env "$build"
unset DISPLAY

# COM finds the server and the proxies of the OPC interfaces through the prefix's registry.
echo "Registering KoOPCServer and its proxy/stub DLL in $WINEPREFIX" >&2
wine regsvr32 /s "$(ko_winpath "$build/bin/KoOPCProxy.dll")" 2>/dev/null
wine "$build/bin/KoOPCServer.exe" /RegServer 2>/dev/null

koopc() {
  echo
  echo "\$ scripts/koopc.sh $*"
  wine "$build/bin/koopc.exe" "$@" 2>&1 | grep -v -e 'wine32' -e 'multiarch' -e 'dpkg --add-architecture' -e 'apt-get install wine32' || true
}

# The demonstration runs beside the server (this script's process becomes the server's). Should a
# call come before the server has registered its class, COM starts a server of its own for it,
# which ends when idle: the output is the same.
demo() {
  local server=$1
  # The server's start under Wine and the registration of its class take about a second.
  sleep 3
  kill -0 "$server" 2>/dev/null || return 0
  echo "KoOPCServer at work, as koopc sees it:"
  koopc info
  koopc browse Static
  koopc read Static.KoFloat1 Static.KoString1 Static.KoDateTime1 Random.KoFloat1 Random.KoInteger1 \
    SawTooth.KoFloat1 SawTooth.KoInteger1
  koopc watch SawTooth.KoFloat1 --count 5
  cat <<'TRY'

KoOPCServer keeps running (Ctrl-C stops it). From a second shell, try:
  scripts/koopc.sh --help
  scripts/koopc.sh list
  scripts/koopc.sh browse Random
  scripts/koopc.sh props Static.KoFloat1
  scripts/koopc.sh write Static.KoFloat1=42.5 Static.KoString1=hello
  scripts/koopc.sh read Static.KoFloat1 Static.KoString1 --format json
  scripts/koopc.sh write ReadOnly.KoFloat1=1        (refused: no access rights, exit code 1)
  scripts/koopc.sh watch Sinusoid.KoFloat1 --rate 250 --for 10 --format csv
  scripts/koopc.sh browse Static --format csv | tail -n +2 | cut -d, -f3 | scripts/koopc.sh read -
TRY
}

echo "Running KoOPCServer (Ctrl-C stops it)" >&2
# KoOPCServer is a windowed program: Wine does not pass the terminal's Ctrl-C to it. The script
# takes the Ctrl-C and closes the server's window instead, as a user would (taskkill without /f
# sends WM_CLOSE), so that the server ends cleanly and withdraws its class from COM.
wine "$build/bin/KoOPCServer.exe" "$@" &
server=$!
stop() {
  trap - INT TERM
  echo "Closing KoOPCServer" >&2
  wine taskkill /im KoOPCServer.exe >/dev/null 2>&1 || true
  # Closing asks for confirmation while clients are connected: after a while it is ended.
  for _ in $(seq 1 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.2; done
  kill "$server" 2>/dev/null || true
}
trap stop INT TERM
demo "$server" &
wait "$server" || true
# A Ctrl-C interrupts the first wait; the server's end is waited for here.
wait "$server" 2>/dev/null || true
