#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine. Cheap when
# everything is present: apt is only consulted for packages that are missing.
set -euo pipefail

packages=(
  cmake make python3
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools
  libwine-dev wine wine64
  xvfb x11-utils imagemagick
  nsis
  googletest
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "bootstrap: installing ${missing[*]}" >&2
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
