#!/usr/bin/env bash
# Builds the benchmarks (optimised) and runs them under Wine, one after the other.
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" --target KoBenchVars KoBenchSyncRead KoBenchDataChange KoBenchBrowse KoBenchMainThread
"$root/scripts/wine-run.sh" "$build" "$build/bin/KoBenchVars.exe"
# These register KoOPCServer in the build tree's prefix for their run and unregister it again.
"$root/scripts/wine-run.sh" "$build" "$build/bin/KoBenchSyncRead.exe"
"$root/scripts/wine-run.sh" "$build" "$build/bin/KoBenchDataChange.exe"
"$root/scripts/wine-run.sh" "$build" "$build/bin/KoBenchBrowse.exe"
# This one hosts the windowed server in its own process.
"$root/scripts/wine-run.sh" "$build" "$build/bin/KoBenchMainThread.exe"
