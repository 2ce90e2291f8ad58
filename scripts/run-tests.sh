#!/usr/bin/env bash
# Builds the project and every test, then runs them all under Wine through CTest.
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
# The programs stay buildable for 32-bit Windows (compiled here, not run).
cmake -S "$root" -B "$build-i686" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
  -DKO_BUILD_TESTS=OFF -DKO_WERROR=ON >/dev/null
cmake --build "$build-i686" -j"$(nproc)" >/dev/null
cd "$build"
# Under Wine a test process has been seen to hang at its exit after all its tests passed, right
# after the prefix was first used; a test that fails runs once more (CTest lists both outcomes).
ctest --output-on-failure -j"$(nproc)" --repeat until-pass:2
