#!/usr/bin/env bash
# Builds the project and every test, then runs them all under Wine through CTest.
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
# The 32-bit build of every program, test and the 32-bit setup program: compiled here, not run
# (32-bit Wine does not install on this Debian image).
cmake -S "$root" -B "$build-i686" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
  -DKO_BUILD_TESTS=ON -DKO_WERROR=ON >/dev/null
cmake --build "$build-i686" -j"$(nproc)" >/dev/null
# The prefix's wineserver and Wine's own service processes are started here, with no pipe of the
# test runner: started by the first test program instead, they inherit its output pipes and CTest
# waits for those to close, which they do only when the wineserver ends. They are ended after the
# run.
source "$root/scripts/wine-env.sh"
ko_wine_env "$build"
wineserver -p </dev/null >/dev/null 2>&1
env -u DISPLAY wine cmd.exe /c exit </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
cd "$build"
# Every test runs once: one that fails is reported as failed. (A test that seemed to hang at its exit
# was waiting for a process it had started, a server started by COM, that held its standard error:
# scripts/wine-run.sh keeps such processes off the test's pipes.)
ctest --output-on-failure -j"$(nproc)"
