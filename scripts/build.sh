#!/usr/bin/env bash
# Installs what is missing, configures and builds the project into build/ (or $KO_BUILD_DIR).
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -DKO_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" "$@"
