#!/usr/bin/env bash
# Builds the setup program of the 64-bit build (installs nsis and the rest when missing):
# build/installer/KoOPCServer-<version>-x64-setup.exe (or under $KO_BUILD_DIR).
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -DKO_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target installer "$@"
ls "$build"/installer/*-setup.exe
