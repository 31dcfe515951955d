#!/usr/bin/env bash
# Installs what building, running and testing the panel needs on Debian 12.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev qt6-qpa-plugins
      libgtest-dev libgmock-dev libbenchmark-dev python3 socat procps
      xvfb xdotool trayer imagemagick x11-utils passwd util-linux)
# Xvfb, xdotool and trayer let the acceptance test use the window's own File > Exit and
# the screenshot script show a tray. gpsd is the real NMEA client of the interop tests;
# --no-install-recommends keeps its GUI clients out. useradd (passwd) and setpriv
# (util-linux) give the fault runs their second, unprivileged user.
missing=()
for p in "${pkgs[@]}" gpsd; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
