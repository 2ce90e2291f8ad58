#!/usr/bin/env bash
# Runs one Windows program in the build tree's Wine prefix (the test emulator of CTest).
# Usage: wine-run.sh <build-dir> <program.exe> [args...]
#
# Under Wine every process inherits the Unix standard error of the process that started it,
# whatever the Windows handles say: a server that COM starts for the program, a service, a helper
# would keep the caller's pipe open after the program has ended, and CTest waits for that pipe
# before it calls a test done (a test then seems to hang at its exit, until the other process
# ends or the test times out). The program's standard error therefore goes through a file that
# only it and what it starts write to; this script copies it out as it grows and stops copying
# when the program ends. Its exit code is the program's.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/wine-env.sh"
build=$1; shift
ko_wine_env "$build"
unset DISPLAY
exec 3<&0
errors=$(mktemp "${TMPDIR:-/tmp}/ko-wine-stderr.XXXXXX")
# Started in the background, the program still reads this script's standard input.
wine "$@" 2>"$errors" <&3 &
program=$!
# Ended from outside (CTest's time-out), the program goes too.
trap 'kill -KILL "$program" 2>/dev/null || true' TERM INT HUP
tail -n +1 -s 0.1 -f --pid="$program" "$errors" >&2 &
copier=$!
status=0
wait "$program" || status=$?
wait "$copier" || true
rm -f "$errors"
exit "$status"
