#!/usr/bin/env bash
# Runs one Windows program in the build tree's Wine prefix (the test emulator of CTest).
# Usage: wine-run.sh <build-dir> <program.exe> [args...]
set -euo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/wine-env.sh"
build=$1; shift
ko_wine_env "$build"
unset DISPLAY
exec wine "$@"
