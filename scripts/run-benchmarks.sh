#!/usr/bin/env bash
# Builds the benchmarks (optimised) and runs them under Wine, one after the other.
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" --target KoBenchVars KoBenchSyncRead
"$root/scripts/wine-run.sh" "$build" "$build/bin/KoBenchVars.exe"
# Registers KoOPCServer in the build tree's prefix for its run and unregisters it again.
"$root/scripts/wine-run.sh" "$build" "$build/bin/KoBenchSyncRead.exe"
