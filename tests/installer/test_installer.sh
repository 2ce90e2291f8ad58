#!/usr/bin/env bash
# The setup program, end to end, in a fresh Wine prefix of its own (under the build tree, so that
# the other tests' prefix is not disturbed). For all users (with the service) and then for the
# current user, each in turn:
#   - a silent install (for all users into a folder given with /D=, for the user into the default
#     folder, whose name has blanks);
#   - koopc lists the server among the OPC servers and reads an item from it, COM starting the
#     server by its ProgID (for all users also the service's class, COM starting the service);
#   - a silent uninstall;
#   - nothing the installation added is left, but what the uninstaller documents.
# Before them, options that exclude each other are refused with exit code 2.
# Usage: test_installer.sh <build-dir> <setup.exe>
set -euo pipefail
here=$(dirname "$(realpath "$0")")
build=$(realpath "$1")
setup=$(realpath "$2")
work=$build/installer-test
log=$work/wine.log

export WINEPREFIX=$work/wineprefix
export WINEDEBUG=-all
# No menu builder: it would copy the Start-menu entries into this machine's own menus (and
# should it run all the same, its menus land in the test's folder).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export XDG_DATA_HOME=$work/xdg-data XDG_CONFIG_HOME=$work/xdg-config
export WINEARCH=win64
unset DISPLAY

fail() {
  echo "FAILED: $*" >&2
  echo "---- Wine output ----" >&2
  tr -d '\r' <"$log" | tail -n 60 >&2 || true
  exit 1
}

# Every Wine process writes to the log, never to CTest's pipes: the wineserver, Wine's services
# and a server that COM starts inherit the output of the process that started them, and CTest
# would wait for them to end before it calls the test done.
wine_run() { wine "$@" </dev/null >>"$log" 2>&1; }
# Until every process of the prefix has ended (a server that COM started ends a few seconds
# after its last client, the services after the last ordinary process); the registry files are
# then written.
settle() { timeout 120 wineserver -w || fail "the prefix's processes did not end within 120 s"; }

trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
rm -rf "$work"
mkdir -p "$work"
: >"$log"
started=$SECONDS
wine_run wineboot --init
settle
wine_run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
settle
echo "fresh prefix: $((SECONDS - started)) s"

setup_win=$(printf 'Z:%s' "$setup" | tr / '\\')

# What the uninstaller documents as left behind: its own temporary copy, which Windows deletes at
# the next restart (with the registry value that asks for it).
documented='^file users/[^/]+/Temp/~nsu[^/]*\.tmp(/|$)|^value HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\:PendingFileRenameOperations$'
# What Wine itself changes in a prefix whatever runs in it (its console keeps its settings under
# HKCU\Console once a console program has run), and the user's class registry, which Windows
# always has and a fresh Wine prefix has not.
wine_own='^key HKCU\\Software\\Classes$|^(key|value) HKCU\\Console(\\|$)'

# check_mode <name> <setup options> <folder for /D=, or empty for the default> <installation
#            folder (Windows)> <the same under drive_c> <hive of the installation> <progids to read>
check_mode() {
  local name=$1 options=$2 folder=$3 dir_win=$4 dir=$5 hive=$6
  shift 6
  echo "== $name"
  python3 "$here/prefix_snapshot.py" "$WINEPREFIX" >"$work/$name-before.txt"

  # shellcheck disable=SC2086
  wine_run "$setup_win" /S $options ${folder:+"/D=$folder"} || fail "$name: the setup program failed ($?)"
  settle
  for f in KoOPCServer.exe KoOPCServerSvc.exe koopc.exe KoOPCProxy.dll Uninstall.exe; do
    [[ -f "$WINEPREFIX/drive_c/$dir/$f" ]] || fail "$name: $f was not installed"
  done
  # The registration, in the installation's own hive only.
  python3 "$here/prefix_snapshot.py" "$WINEPREFIX" >"$work/$name-installed.txt"
  local other=HKLM key
  [[ $hive == HKLM ]] && other=HKCU
  for key in 'Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvelOPCServer' \
    'Software\Classes\CLSID\{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}\LocalServer32' \
    'Software\Classes\CLSID\{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}\Implemented Categories\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}' \
    'Software\Classes\Korvel.OPC.Simulation\OPC\Vendor' \
    'Software\Classes\CLSID\{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}\LocalServer32' \
    'Software\Classes\Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32'; do
    grep -Fxiq "key $hive\\$key" "$work/$name-installed.txt" || fail "$name: $hive\\$key is missing"
    ! grep -Fxiq "key $other\\$key" "$work/$name-installed.txt" || fail "$name: $other\\$key was written"
  done

  local koopc="$dir_win\\koopc.exe" progid
  if [[ $# -eq 0 ]]; then
    echo "$name: registered; no read under Wine"
  else
    wine "$koopc" list </dev/null >"$work/$name-list.txt" 2>>"$log" || fail "$name: koopc list failed"
  fi
  for progid in "$@"; do
    grep -q "$progid" "$work/$name-list.txt" || fail "$name: koopc list does not show $progid: $(cat "$work/$name-list.txt")"
    wine "$koopc" read Static.KoFloat1 --progid "$progid" --format csv </dev/null >"$work/$name-read.txt" 2>>"$log" ||
      fail "$name: koopc read through $progid failed: $(tr -d '\r' <"$work/$name-read.txt")"
    tr -d '\r' <"$work/$name-read.txt" | grep -q '^Static.KoFloat1,' ||
      fail "$name: koopc read through $progid printed no value: $(cat "$work/$name-read.txt")"
    echo "read through $progid: $(tr -d '\r' <"$work/$name-read.txt" | tail -n 1)"
  done
  settle

  wine_run "$dir_win\\Uninstall.exe" /S || fail "$name: the uninstaller failed ($?)"
  # The uninstaller works from a copy of itself, which is still running when the first process
  # has ended.
  settle
  python3 "$here/prefix_snapshot.py" "$WINEPREFIX" --since "$work/$name-before.txt" >"$work/$name-added.txt"
  local left
  left=$(grep -Ev "$documented|$wine_own" "$work/$name-added.txt" || true)
  [[ -z "$left" ]] || fail "$name: the uninstallation left:
$left"
  echo "$name: nothing left but: $(grep -Ec "$documented" "$work/$name-added.txt" || true) documented entries"
}

# Options that exclude each other are refused before anything is installed.
echo "== refused options"
python3 "$here/prefix_snapshot.py" "$WINEPREFIX" >"$work/refused-before.txt"
for options in "/CurrentUser /Service" "/AllUsers /CurrentUser"; do
  status=0
  # shellcheck disable=SC2086
  wine_run "$setup_win" /S $options || status=$?
  [[ $status -eq 2 ]] || fail "setup $options: exit code $status, not 2"
done
settle
python3 "$here/prefix_snapshot.py" "$WINEPREFIX" --since "$work/refused-before.txt" >"$work/refused-added.txt"
! grep -Ev "$wine_own" "$work/refused-added.txt" || fail "a refused setup changed the prefix"

# /D= is given as it comes, to the end of the line; wine quotes an argument with a blank, which the
# setup program would not take for /D=: a folder without one.
check_mode all-users "/AllUsers /Service" 'C:\KorvelOPCTest' 'C:\KorvelOPCTest' 'KorvelOPCTest' HKLM \
  Korvel.OPC.Simulation Korvel.OPC.Service
# The default folder of a per-user installation: the user's local application data. Wine's COM
# reads the machine's class registry only (HKEY_CLASSES_ROOT is HKLM\Software\Classes there, without
# the user's HKCU\Software\Classes): a per-user registration cannot be activated under Wine, so
# this one is checked by its entries, not by a read.
user=$(whoami)
check_mode current-user "/CurrentUser" "" "C:\\users\\$user\\AppData\\Local\\Programs\\Korvel OPC Server" \
  "users/$user/AppData/Local/Programs/Korvel OPC Server" HKCU
echo "installer test passed in $((SECONDS - started)) s"
