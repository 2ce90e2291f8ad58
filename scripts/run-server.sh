#!/usr/bin/env bash
# Builds the project and runs KoOPCServer under Wine until it ends (Ctrl-C stops it).
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" --target KoOPCServer
echo "Running KoOPCServer (Ctrl-C stops it)" >&2
exec "$root/scripts/wine-run.sh" "$build" "$build/bin/KoOPCServer.exe" "$@"
