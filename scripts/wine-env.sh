# Sourced by the scripts that run Windows programs: the Wine environment and the
# project-local prefix of one build tree (created on first use, then reused).
# Usage: ko_wine_env <build-dir>
ko_wine_env() {
  local build=$1
  export WINEPREFIX="$build/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  if [[ ! -f "$WINEPREFIX/.ko-ready" ]]; then
    # Several test processes may start at once: one of them creates the prefix.
    mkdir -p "$build"
    (
      flock 9
      if [[ ! -f "$WINEPREFIX/.ko-ready" ]]; then
        rm -rf "$WINEPREFIX"
        env -u DISPLAY wine wineboot --init >/dev/null 2>&1
        wineserver -w
        # A display-less graphics driver: windows, controls and messages work without X.
        env -u DISPLAY wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.ko-ready"
      fi
    ) 9>"$build/.wineprefix.lock"
  fi
}

# Windows path (drive Z:) of a Unix path.
ko_winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
