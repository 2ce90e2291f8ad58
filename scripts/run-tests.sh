#!/usr/bin/env bash
# Builds the project and every test, then runs them all under Wine through CTest.
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
cd "$build"
ctest --output-on-failure -j"$(nproc)"
