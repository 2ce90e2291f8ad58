#!/usr/bin/env bash
# Runs koopc, the command-line OPC client, in the build tree's Wine prefix (building it first
# when it is not built yet). The server must be registered there: scripts/run-server.sh does it.
# Usage: koopc.sh [koopc arguments...]     (koopc.sh --help tells more)
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
if [[ ! -f "$build/bin/koopc.exe" ]]; then
  "$root/scripts/build.sh" --target koopc >&2
fi
exec "$root/scripts/wine-run.sh" "$build" "$build/bin/koopc.exe" "$@"
